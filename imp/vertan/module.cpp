// velarix.imp.vertan: builds NodeImp on the package's PortableImp base.
#include "common/classes.hpp"
#include "node.hpp"
#include "portan/api/api.hpp"

namespace vertan {
namespace {

PyMethodDef methods[] = {
    VX_METHOD("__init__", init, "Set up the node base on top of its portable identity."),
    VX_METHOD("set_setup_handler", set_setup_handler, "Use `handler(data, metadata)` for the set-up run."),
    VX_METHOD("set_pre_step_handler", set_pre_step_handler, "Use `handler(data)` before each step."),
    VX_METHOD("set_post_step_handler", set_post_step_handler, "Use `handler(data)` after each step of an output node."),
    VX_METHOD("set_step_handler", set_step_handler, "Use `handler(data)` as the step."),
    VX_METHOD("start", start, "Restart the load clock; a stopped node becomes RUNNING."),
    VX_METHOD("stop", stop, "A running node becomes STOPPED."),
    VX_METHOD("get_name", get_name, "The name in the configuration (str or None)."),
    VX_METHOD("set_logger", set_logger, "Write log entries to `logger` from now on."),
    VX_METHOD("get_state", get_state, "RUNNING or STOPPED."),
    VX_METHOD("get_counter", get_counter, "Number of completed step cycles."),
    VX_METHOD("get_load", get_load, "Share of time spent in step cycles, in percent."),
    VX_METHOD("get_step_stats", get_step_stats,
              "Steps done, and the step time (mean, p50, p99, max, in seconds) and steps per second "
              "over the latest steps."),
    VX_METHOD("get_last_exception", get_last_exception,
              "The last exception the node's guards caught, traceback included, or None."),
    VX_METHOD("_get_data", get_data, "Port data of a node without input ports: a new empty dict."),
    VX_METHOD("_get_metadata", get_metadata, "Input metadata of a node without input ports: a new empty dict."),
    VX_METHOD("_push_data", push_data, "Send a step's output data (nowhere, for the base)."),
    VX_METHOD("_push_metadata", push_metadata, "Send the set-up's output metadata (nowhere, for the base)."),
    VX_METHOD("_setup_wrapper", setup_wrapper, "The one-time set-up run of the first step."),
    VX_METHOD("_cycle", cycle, "Run one guarded, timed step on `data`."),
    VX_METHOD("_drive", drive,
              "_cycle(data) for cycle(): a stopped node also warns, once, that the data is dropped."),
    {nullptr, nullptr, 0, nullptr},
};

nb::object build_class(const char *module) {
    return vx::define_class_on(
        names::PortableImp,
        {"NodeImp", module, "Base of every node: handlers, state, condition, logger and the step cycle.",
         {{"_counter", "int"},
          {"_pre_step_handler", "Callable[[Dict[str, Any]], None]"},
          {"_post_step_handler", "Callable[[Dict[str, Any]], None]"},
          {"_setup_handler",
           "Callable[[Dict[str, Any], Dict[str, Dict[str, Any]]], Dict[str, Dict[str, Any]]]"},
          {"_step_handler", "Callable[[Dict[str, Any]], Dict[str, Any]]"},
          {"_logger", "Logger"},
          {"_state", "str"},
          {"_condition", "str"},
          {"_time_start", "float"},
          {"_time_busy", "float"},
          {"_load", "float"},
          {"config", "'Node.Configuration'"}},
         methods});
}

PyMethodDef functions[] = {
    VX_METHOD("_set_statistics", set_statistics,
              "_set_statistics(enabled)\n--\n\nWhether step cycles record their times (on unless turned off)."),
    VX_METHOD("_deepcopy", deepcopy,
              "_deepcopy(x, memo=None)\n--\n\nThe step cycle's deep copy: the result of copy.deepcopy(x, memo)."),
    VX_METHOD("_array_pool", array_pool,
              "_array_pool(pooled=None)\n--\n\nThe memory of the step cycle's array copies: blocks outstanding "
              "and cached.\npooled=False makes the copies as __deepcopy__ does, True natively again (for benchmarks)."),
};

} // namespace
} // namespace vertan

NB_MODULE(vertan, m) {
    names::init();
    port_api::import_api();
    vx::keep_skip_marker();
    vertan::ModuleState &kept = vertan::kept;
    kept.module_name.set_new(PyUnicode_InternFromString("velarix.imp.vertan"));
    kept.zero.set_new(PyLong_FromLong(0));
    kept.one.set_new(PyLong_FromLong(1));
    kept.hundred.set_new(PyLong_FromLong(100));
    // Made once with the class: every _cycle() without argument sees this object.
    kept.default_data.set_new(PyDict_New());

    m.attr("NodeImp") = kept.node_class.set(vertan::build_class("velarix.imp.vertan"));
    // What _drive compares a class's _cycle with.
    PyObject *class_dict = ((PyTypeObject *)kept.node_class.ptr())->tp_dict;
    kept.cycle_method.set(nb::borrow(PyDict_GetItemWithError(class_dict, names::cycle_.ptr())));  // no Python code: interned name
    port_api::lend_method(vx::NativeEntry::cycle, kept.cycle_method, vertan::lent_cycle);
    vx::add_functions(m, vertan::functions);
}
