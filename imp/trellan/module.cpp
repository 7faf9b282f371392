// velarix.imp.trellan: builds PipelineImp on the package's Implementation base.
#include "common/classes.hpp"
#include "common/method_table.hpp"
#include "pipeline.hpp"
#include "portan/api/api.hpp"

namespace trellan {
namespace {

auto methods = vx::method_table(
    VX_METHOD("__init__", init, "An empty, stopped pipeline with its own logger in `directory`."),
    VX_METHOD("add_node", add_node, "Add `node` and hand it the pipeline's logger."),
    VX_METHOD("remove_node", remove_node, "Take `node` out of the pipeline; its links stay."),
    VX_METHOD("connect_ports", connect_ports,
              "Link an output port of `output_node` to an input port of `input_node`."),
    VX_METHOD("connect", connect, "Link the default output port to the default input port."),
    VX_METHOD("disconnect_ports", disconnect_ports, "Remove the link between two named ports."),
    VX_METHOD("disconnect", disconnect, "Remove the link between the default ports."),
    VX_METHOD("start", start, "Start every node and the monitoring thread."),
    VX_METHOD("stop", stop, "Stop every node and end the monitoring thread."),
    VX_METHOD("get_state", get_state, "RUNNING or STOPPED."),
    VX_METHOD("get_condition", get_condition, "HEALTHY, or ERROR once monitoring has stopped the pipeline."),
    VX_METHOD("get_last_error", get_last_error, "The newest ERROR entry of the pipeline's log, or None."),
    VX_METHOD("get_elapsed_time", get_elapsed_time, "Seconds since the start of the current run; 0.0 when stopped."),
    VX_METHOD("get_load", get_load, "Load of every node in percent, and the highest as the pipeline's."),
    VX_METHOD("write_log", write_log, "Write `entry` to the pipeline's log as an INFO entry."),
    VX_METHOD("_monitoring_fun", monitoring_fun, "The body of the monitoring thread."),
    VX_METHOD("serialize", serialize, "The nodes' serialised forms and the port links, as one dict."));

auto static_methods = vx::method_table(
    VX_METHOD("deserialize", deserialize, "A new, stopped Pipeline re-created from serialize()'s form."));

nb::object build_class(const char *module) {
    nb::dict ns;
    ns["SerializationKeys"] = vx::make_key_class(
        "SerializationKeys", "PipelineImp", module, {{"NODES", "nodes"}, {"CONNECTIONS", "connections"}});
    return vx::define_class_on(
        names::Implementation,
        {"PipelineImp", module, "The nodes of one graph, run, watched and saved together.",
         {{"_nodes", "List[Node]"},
          {"_logger", "Logger"},
          {"_state", "str"},
          {"_condition", "str"},
          {"_monitor_thread", "Optional[threading.Thread]"},
          {"_stop_event", "threading.Event"},
          {"_start_time", "Optional[float]"}},
         methods, static_methods},
        ns);
}

PyMethodDef functions[] = {
    VX_METHOD("_end_monitors", end_monitors,
              "_end_monitors($module, /)\n--\n\nEnd every monitoring thread that still runs (called at exit)."),
};

// A daemon thread still running when the interpreter shuts down is stopped where it
// stands (exit_safe.hpp). Monitoring threads are ended earlier, by an exit hook that
// runs while threads still work normally, so each finishes its pass and logs its end.
void register_exit_hook(nb::module_ &module) {
    kept.live_monitors.set_new(PyDict_New());
    vx::add_functions(module, functions);
    nb::object atexit = vx::import_module("atexit");
    vx::call_method(atexit, nb::str("register"), vx::getattr(module, "_end_monitors"));
}

} // namespace
} // namespace trellan

NB_MODULE(trellan, m) {
    names::init();
    port_api::import_api();  // whether a thread is stepping nodes for a shared scheduler
    trellan::texts::init();
    m.attr("PipelineImp") = trellan::build_class("velarix.imp.trellan");
    trellan::register_exit_hook(m);
    trellan::kept.run_turns.set(vx::call(vx::getattr(vx::import_module("weakref"), "WeakKeyDictionary")));
}
