// velarix.imp.exitran: builds ONodeImp on the package's NodeImp base.
#include "common/classes.hpp"
#include "common/host.hpp"
#include "common/names.hpp"
#include "common/runtime.hpp"
#include "output_node.hpp"
#include "portan/api/api.hpp"

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
    return vx::define_class_on(
        names::NodeImp,
        {"ONodeImp", module, "A node with output ports, linked to the input ports of other nodes.",
         {{"_output_ports", "Dict[str, imp.OPortImp]"},
          {"_setup_thread", "threading.Thread"},
          {"config", "'ONode.Configuration'"}},
         methods});
}

} // namespace
} // namespace exitran

NB_MODULE(exitran, m) {
    names::init();
    port_api::import_api();
    vx::keep_skip_marker();
    m.attr("ONodeImp") = exitran::output_node_class.set(exitran::build_class("velarix.imp.exitran"));
    // The class's own _push_data, which the step cycle may call without the method.
    PyObject *class_dict = ((PyTypeObject *)exitran::output_node_class.ptr())->tp_dict;
    PyObject *push = PyDict_GetItemWithError(class_dict, names::push_data_.ptr());  // no Python code: interned name
    if (push)
        port_api::lend_method(vx::NativeEntry::push_data, push, exitran::lent_push_data);
    else
        PyErr_Clear();
}
