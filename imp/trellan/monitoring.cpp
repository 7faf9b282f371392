// The load report and the monitoring thread that watches a run: it warns on high
// load, and stops the pipeline on overload or as soon as an error has been logged.
#include "pipeline.hpp"

namespace trellan {
namespace {

// How long the exit waits for one monitoring thread to finish its pass.
constexpr double EXIT_JOIN_TIMEOUT = 5.0;

// The calling monitoring thread is ending: it need not be waited for at exit.
void forget_current_monitor() noexcept {
    try {
        nb::object current = vx::current_thread();
        if (vx::exit_safe([&] { return PyDict_DelItem(kept.live_monitors.ptr(), current.ptr()); }) < 0)
            PyErr_Clear();
    } catch (nb::python_error &) {
        // At worst the exit waits for a thread that has ended already.
    }
}

// Seconds after a start during which loads are not judged: a node's load is its
// busy share since its start, and the first seconds say little.
constexpr long GRACE_SECONDS = 10;

nb::object class_name(nb::handle obj) {
    return vx::steal_or_throw(PyType_GetName(Py_TYPE(obj.ptr())));
}

nb::object load_entry(nb::handle cls, nb::handle name, nb::handle load) {
    nb::dict entry;
    entry[texts::key_class] = cls;
    entry[texts::key_name] = name;
    entry[texts::key_load] = load;
    return std::move(entry);
}

// "Load info: A (a): 12.50%; B (b): 3.05%; PipelineImp (Pipeline): 12.50%"
nb::object load_summary(nb::handle report) {
    nb::object parts = vx::steal_or_throw(PyList_New(0));
    vx::for_each(report, [&](nb::handle entry) {
        nb::object cls = vx::to_text(vx::get_item(entry, texts::key_class));
        nb::object name = vx::to_text(vx::get_item(entry, texts::key_name));
        nb::object load = vx::format(vx::get_item(entry, texts::key_load), texts::two_decimals);
        nb::object part = vx::formatted("%U (%U): %U%%", cls.ptr(), name.ptr(), load.ptr());
        vx::check_status(PyList_Append(parts.ptr(), part.ptr()));
    });
    nb::object joined = vx::steal_or_throw(PyUnicode_Join(texts::separator.ptr(), parts.ptr()));
    return vx::formatted("Load info: %U", joined.ptr());
}

// The node entry of a load report with the highest load, as max() picks it (the
// first of equal values); an empty object for a report of no nodes.
nb::object highest_entry(nb::handle report) {
    nb::object best, best_load, pending;  // the last entry is the pipeline's own
    vx::for_each(report, [&](nb::handle entry) {
        if (pending.is_valid()) {
            nb::object load = vx::get_item(pending, texts::key_load);
            if (!best.is_valid() || vx::greater(load, best_load)) {
                best = pending;
                best_load = load;
            }
        }
        pending = nb::borrow(entry);
    });
    return best;
}

// Beside the threshold lines, which name no node: which one it is, as an INFO entry
// of its own. Returns the node's name (none without nodes).
nb::object name_highest(nb::handle self, nb::handle report) {
    nb::object entry = highest_entry(report);
    if (!entry.is_valid())
        return nb::none();
    nb::object name = vx::get_item(entry, texts::key_name);
    nb::object load = vx::format(vx::get_item(entry, texts::key_load), texts::two_decimals);
    nb::object message = vx::formatted("Highest load: node %U (%U) at %U%%.", vx::to_text(name).ptr(),
                                       vx::to_text(vx::get_item(entry, texts::key_class)).ptr(), load.ptr());
    vx::write_log(self, names::INFO, message);
    return name;
}

void mark_unhealthy(nb::handle self) {
    vx::setattr(self, names::condition_, vx::constant(names::Conditions, names::ERROR));
}

// One pass of the loop; false when the loop is to end.
bool monitoring_pass(nb::handle self, nb::handle grace) {
    if (vx::greater(vx::call_method(self, texts::get_elapsed_time), grace)) {
        nb::object report = vx::call_method(self, names::get_load);
        nb::object last = vx::steal_call([&] { return PySequence_GetItem(report.ptr(), -1); });
        nb::object load = vx::get_item(last, texts::key_load);
        nb::object summary = load_summary(vx::call_method(self, names::get_load));

        nb::object error_threshold = vx::tunable(names::LOAD_ERROR_THRESHOLD);
        if (vx::greater(load, error_threshold)) {
            // Kept for the PipelineError of this stop; written before the ERROR line,
            // which stays the last error.
            vx::setattr(self, names::overloaded_node_, name_highest(self, report));
            nb::object message = vx::formatted(
                "Pipeline load exceeds %U%% and will be stopped. Consider simplifying your code.",
                vx::to_text(error_threshold).ptr());
            vx::write_log(self, names::ERROR, message);
            vx::write_log(self, names::INFO, summary);
            mark_unhealthy(self);
            vx::call_method(self, names::stop);
            return false;
        }
        nb::object warning_threshold = vx::tunable(names::LOAD_WARNING_THRESHOLD);
        if (vx::greater(load, warning_threshold)) {
            name_highest(self, report);
            nb::object message = vx::formatted("Pipeline load exceeds %U%%. Consider simplifying your code.",
                                               vx::to_text(warning_threshold).ptr());
            vx::write_log(self, names::WARNING, message);
            vx::write_log(self, names::INFO, summary);
        }
    }

    nb::object last_error = vx::call_method(vx::getattr(self, names::logger_), names::get_last_error);
    if (!last_error.is_none()) {
        mark_unhealthy(self);
        vx::call_method(self, names::stop);
        return false;
    }

    // A stop() sets the event and ends the wait at once.
    nb::object stop_event = vx::getattr(self, names::stop_event_);
    nb::object woken = vx::call_method(stop_event, names::wait, vx::tunable(names::MONITORING_INTERVAL));
    return !vx::truthy(woken);
}

} // namespace

nb::object get_load(const vx::Call &call) {
    call.bind_none("get_load");
    nb::handle self = call.self;
    nb::object node_class = vx::modules::node.attr(names::Node);
    nb::object name_key = vx::getattr(vx::getattr(vx::getattr(node_class, texts::Configuration), names::Keys),
                                      names::NAME);

    nb::object nodes = nodes_of(self);
    nb::object report = vx::steal_or_throw(PyList_New(0));
    nb::object highest;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(nodes.ptr()); ++i) {
        nb::handle node = PyList_GET_ITEM(nodes.ptr(), i);
        nb::object cls = class_name(node);
        nb::object name = vx::get_item(vx::getattr(node, names::config), name_key);
        nb::object load = vx::call_method(node, names::get_load);
        vx::check_status(PyList_Append(report.ptr(), load_entry(cls, name, load).ptr()));
        // As max() picks it: the first of equal values, replaced only by a greater one.
        if (!highest.is_valid() || vx::greater(load, highest))
            highest = load;
    }
    // No nodes, no load: the pipeline entry reads 0.0 rather than failing.
    if (!highest.is_valid())
        highest = vx::steal_or_throw(PyFloat_FromDouble(0.0));
    nb::object entry = load_entry(class_name(self), texts::pipeline_name, highest);
    vx::check_status(PyList_Append(report.ptr(), entry.ptr()));
    return report;
}

nb::object monitoring_fun(const vx::Call &call) {
    call.bind_none("_monitoring_fun");
    nb::handle self = call.self;
    nb::object grace = vx::steal_or_throw(PyLong_FromLong(GRACE_SECONDS));

    try {
        vx::write_log(self, names::INFO, texts::monitor_started);
        try {
            while (vx::equals(vx::getattr(self, names::condition_), vx::constant(names::Conditions, names::HEALTHY))) {
                if (!monitoring_pass(self, grace))
                    break;
            }
        } catch (nb::python_error &error) {
            if (!error.matches(PyExc_Exception))
                throw;
            // The pipeline runs on unwatched from here: say so in the log rather
            // than let the thread vanish without a trace.
            vx::log_failure(self, error.value());
            forget_current_monitor();
            return nb::none();
        }
        vx::write_log(self, names::INFO, texts::monitor_terminated);
    } catch (nb::python_error &) {
        forget_current_monitor();
        throw;
    }
    forget_current_monitor();
    return nb::none();
}

nb::object end_monitors(const vx::Call &call) {
    call.bind_none("_end_monitors");
    nb::object entries = vx::steal_or_throw(PyDict_Items(kept.live_monitors.ptr()));
    nb::object timeout = vx::steal_or_throw(PyFloat_FromDouble(EXIT_JOIN_TIMEOUT));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(entries.ptr()); ++i) {
        nb::handle entry = PyList_GET_ITEM(entries.ptr(), i);
        try {
            vx::call_method(PyTuple_GET_ITEM(entry.ptr(), 1), names::set);
            vx::call_method(PyTuple_GET_ITEM(entry.ptr(), 0), names::join, timeout);
        } catch (nb::python_error &) {
            // One thread that cannot be ended must not keep the others running.
        }
    }
    return nb::none();
}

} // namespace trellan
