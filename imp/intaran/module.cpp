// velarix.imp.intaran: builds INodeImp on the package's NodeImp base.
#include "common/classes.hpp"
#include "common/host.hpp"
#include "common/names.hpp"
#include "input_node.hpp"
#include "portan/api/api.hpp"

namespace intaran {
namespace {

PyMethodDef methods[] = {
    VX_METHOD("__init__", init, "Check the input-port list, set up the node and build its ports."),
    VX_METHOD("start", start, "Start the node and its worker thread."),
    VX_METHOD("stop", stop, "Stop the worker thread, wait for it, then stop the node."),
    VX_METHOD("get_port", get_port, "The input port named `port_name`."),
    VX_METHOD("_is_data_available", is_data_available, "True when every input port holds a value."),
    VX_METHOD("_get_data", get_data, "One value from every input port, by port name."),
    VX_METHOD("_get_metadata", get_metadata,
              "The metadata of every input port, waiting a bounded time for each."),
    VX_METHOD("_thread_function", thread_function, "The worker loop."),
    VX_METHOD("_run_ready", run_ready,
              "On a shared scheduler: run the cycles the ports have data for, up to a budget."),
    {nullptr, nullptr, 0, nullptr},
};

nb::object build_class(const char *module) {
    nb::dict ns;
    // Seconds to wait for one input port's metadata in the set-up run.
    ns["_GET_METADATA_TIMEOUT"] = vx::steal_or_throw(PyFloat_FromDouble(1.0));
    return vx::define_class_on(
        names::NodeImp,
        {"INodeImp", module, "A node with input ports, run by a worker thread when data arrives.",
         {{"_GET_METADATA_TIMEOUT", "float"},
          {"_thread_event", "threading.Event"},
          {"_is_thread_running", "bool"},
          {"_thread", "Optional[threading.Thread]"},
          {"_input_ports", "Dict[str, imp.IPortImp]"},
          {"config", "'INode.Configuration'"}},
         methods},
        ns);
}

// The check this module made of the port module's table at import, run on
// `capsule`: ImportError when it would refuse that table.
nb::object check_port_api(const vx::Call &call) {
    static constexpr vx::Params<1> params{"_check_port_api", {"capsule"}};
    auto [capsule] = call.bind(params);
    port_api::checked_capsule(capsule);
    return nb::none();
}

PyMethodDef functions[] = {
    VX_METHOD("_check_port_api", check_port_api, "Raise ImportError when this module would refuse `capsule`."),
};

} // namespace
} // namespace intaran

NB_MODULE(intaran, m) {
    names::init();
    port_api::import_api();
    vx::add_functions(m, intaran::functions);
    m.attr("INodeImp") = intaran::input_node_class.set(intaran::build_class("velarix.imp.intaran"));
}
