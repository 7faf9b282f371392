// velarix.imp.exitran: builds ONodeImp on the package's NodeImp base.
#include "common/classes.hpp"
#include "common/host.hpp"
#include "common/names.hpp"
#include "output_node.hpp"

namespace exitran {
namespace {

PyMethodDef methods[] = {
    VX_METHOD("__init__", init, "Check the output-port list, set up the node and build its ports."),
    VX_METHOD("start", start,
              "Start the node; with only ASYNC output ports, run one cycle on a set-up thread."),
    VX_METHOD("_thread_function", thread_function, "The set-up thread: one step cycle."),
    VX_METHOD("get_port", get_port, "The output port named `port_name`."),
    VX_METHOD("connect", connect, "Link `output_port` to `input_port` of the input node `target`."),
    VX_METHOD("disconnect", disconnect, "Undo a link made by connect()."),
    VX_METHOD("_push_data", push_data, "Push each output port's value from `data`."),
    VX_METHOD("_push_metadata", push_metadata, "Store each output port's metadata."),
    {nullptr, nullptr, 0, nullptr},
};

nb::object build_class(const char *module) {
    // Declared types only; the class holds no values of its own.
    nb::dict annotations;
    annotations["_output_ports"] = "Dict[str, imp.OPortImp]";
    annotations["_setup_thread"] = "threading.Thread";
    annotations["config"] = "'ONode.Configuration'";

    nb::dict ns;
    ns["__annotations__"] = annotations;
    ns["__doc__"] = "A node with output ports, linked to the input ports of other nodes.";

    nb::object base = vx::modules::imp.attr(names::NodeImp);
    nb::object cls = vx::make_class("ONodeImp", vx::bases_of({base}), ns, module);
    vx::add_methods(cls, methods);
    return cls;
}

} // namespace
} // namespace exitran

NB_MODULE(exitran, m) {
    names::init();
    nb::object cls = exitran::build_class("velarix.imp.exitran");
    exitran::output_node_class = cls.inc_ref();  // lives as long as the module
    m.attr("ONodeImp") = cls;
}
