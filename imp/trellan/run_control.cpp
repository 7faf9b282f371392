// Starting and stopping the nodes together, and the run-state queries.
#include "pipeline.hpp"

namespace trellan {
namespace {

void for_each_node(nb::handle self, nb::handle method) {
    nb::object nodes = nodes_of(self);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(nodes.ptr()); ++i)
        vx::call_method(PyList_GET_ITEM(nodes.ptr(), i), method);
}

// A stopped pipeline may still have the last run's monitoring thread finishing its
// pass; it must be gone before a new one starts, or two loops would watch the same
// run. Its stop event is set, so it ends at its next wait.
void retire_previous_monitor(nb::handle self) {
    nb::object thread = vx::getattr(self, names::monitor_thread);
    if (thread.is_none())
        return;
    if (vx::equals(vx::getattr(self, names::state), vx::constant(names::States, names::RUNNING)))
        return;
    vx::call_method(vx::getattr(self, names::stop_event), names::set);
    join_unless_current(thread);
}

void start_monitor(nb::handle self) {
    nb::object thread = vx::daemon_thread(vx::getattr(self, names::monitoring_fun));
    vx::setattr(self, names::monitor_thread, thread);
    vx::check_status(PyDict_SetItem(live_monitors.ptr(), thread.ptr(),
                                    vx::getattr(self, names::stop_event).ptr()));
    try {
        vx::call_method(thread, names::start);
    } catch (nb::python_error &) {
        PyDict_DelItem(live_monitors.ptr(), thread.ptr());
        PyErr_Clear();
        throw;
    }
}

} // namespace

nb::object start(const vx::Call &call) {
    call.bind_none("start");
    nb::handle self = call.self;
    // Before the checks: a last pass of the old thread may still find an error and
    // mark the pipeline unhealthy, which the checks below must see.
    retire_previous_monitor(self);

    vx::write_log(self, names::INFO, texts::starting);
    if (!vx::equals(vx::getattr(self, names::condition), vx::constant(names::Conditions, names::HEALTHY))) {
        vx::write_log(self, names::INFO, texts::not_healthy);
        return nb::none();
    }
    if (vx::equals(vx::getattr(self, names::state), vx::constant(names::States, names::RUNNING))) {
        vx::write_log(self, names::INFO, texts::running_skip);
        return nb::none();
    }

    for_each_node(self, names::start);
    vx::setattr(self, names::start_time, vx::now());
    vx::setattr(self, names::state, vx::constant(names::States, names::RUNNING));
    vx::write_log(self, names::INFO, texts::started);

    vx::call_method(vx::getattr(self, names::stop_event), names::clear);
    start_monitor(self);
    return nb::none();
}

nb::object stop(const vx::Call &call) {
    call.bind_none("stop");
    nb::handle self = call.self;

    vx::write_log(self, names::INFO, texts::stopping);
    if (vx::equals(vx::getattr(self, names::state), vx::constant(names::States, names::STOPPED))) {
        nb::object condition = vx::getattr(self, names::condition);
        if (vx::equals(condition, vx::constant(names::Conditions, names::HEALTHY))) {
            vx::write_log(self, names::INFO, texts::already_stopped);
        } else if (vx::equals(condition, vx::constant(names::Conditions, names::ERROR))) {
            vx::write_log(self, names::INFO, texts::already_stopped_error);
            nb::object thread = vx::getattr(self, names::monitor_thread);
            if (!thread.is_none()) {
                // Called by the monitoring thread itself: it cannot wait for its own
                // end, so the next stop() from outside waits for it instead.
                if (vx::is_current_thread(thread))
                    return nb::none();
                vx::call_method(thread, names::join);
            }
            vx::setattr(self, names::monitor_thread, nb::none());
        }
        return nb::none();
    }

    // The normal path does not wait for the monitoring thread: that thread calls
    // stop() itself when it stops the pipeline.
    for_each_node(self, names::stop);
    vx::setattr(self, names::start_time, nb::none());
    vx::setattr(self, names::state, vx::constant(names::States, names::STOPPED));
    vx::write_log(self, names::INFO, texts::stopped);
    vx::call_method(vx::getattr(self, names::stop_event), names::set);
    return nb::none();
}

nb::object get_state(const vx::Call &call) {
    call.bind_none("get_state");
    return vx::getattr(call.self, names::state);
}

nb::object get_condition(const vx::Call &call) {
    call.bind_none("get_condition");
    return vx::getattr(call.self, names::condition);
}

nb::object get_last_error(const vx::Call &call) {
    call.bind_none("get_last_error");
    return vx::call_method(vx::getattr(call.self, names::logger), names::get_last_error);
}

nb::object get_elapsed_time(const vx::Call &call) {
    call.bind_none("get_elapsed_time");
    // One read: stop() on another thread may clear it at any moment.
    nb::object start_time = vx::getattr(call.self, names::start_time);
    if (start_time.is_none())
        return vx::steal_or_throw(PyFloat_FromDouble(0.0));
    return vx::subtract(vx::now(), start_time);
}

nb::object write_log(const vx::Call &call) {
    static constexpr vx::Params<1> params{"write_log", {"entry"}};
    auto [entry] = call.bind(params);
    vx::require_str(entry, "entry");
    nb::object logger = vx::getattr(call.self, names::logger);
    if (!logger.is_none())
        vx::write_to(logger, names::INFO, entry);
    return nb::none();
}

} // namespace trellan
