// Starting and stopping the nodes together, and the run-state queries.
#include "common/python_lock.hpp"
#include "pipeline.hpp"
#include "portan/api/api.hpp"

namespace trellan {
namespace {

void for_each_node(nb::handle self, nb::handle method) {
    nb::object nodes = nodes_of(self);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(nodes.ptr()); ++i)
        vx::call_method(PyList_GET_ITEM(nodes.ptr(), i), method);
}

// Every node's start() (`starting`) or stop(), then what the pipeline records of
// it: the start time (taken once the nodes run), the state, the log entry, and the
// stop event cleared or set.
void switch_run(nb::handle self, bool starting) {
    for_each_node(self, starting ? names::start : names::stop);
    vx::setattr(self, names::start_time_, starting ? vx::now() : nb::object(nb::none()));
    vx::setattr(self, names::state_, vx::constant(names::States, starting ? names::RUNNING : names::STOPPED));
    vx::write_log(self, names::INFO, starting ? texts::started : texts::stopped);
    vx::call_method(vx::getattr(self, names::stop_event_), starting ? names::clear : names::set);
}

// ---- one start() or stop() at a time ----------------------------------------------
//
// start() and stop() of one pipeline take turns, whichever threads call them, so a
// run has exactly one monitoring thread and a stop never meets a half-made start.
// Each pipeline has a re-entrant lock (a node's stop() may stop its pipeline again on
// the same thread) and a flag that says a stop() holds it, kept beside the pipeline
// rather than in it: [lock, stopping].

constexpr double TURN_SLICE = 0.05;  // seconds between looks while waiting for a turn

nb::object turn_state_of(nb::handle self) {
    nb::object found = vx::call_method(kept.run_turns, names::get, self);
    if (!found.is_none())
        return found;
    nb::object lock = vx::call(vx::module_attr(vx::modules::threading, texts::RLock));
    nb::object state = vx::steal_or_throw(PyList_New(2));
    PyList_SET_ITEM(state.ptr(), 0, lock.release().ptr());
    PyList_SET_ITEM(state.ptr(), 1, nb::handle(Py_False).inc_ref().ptr());
    // setdefault is one dict operation: two first callers end up with one lock.
    return vx::call_method(kept.run_turns, texts::setdefault, self, state);
}

// Whether the calling thread is the worker or set-up thread of one of the nodes, or
// steps nodes for a shared scheduler: a stop() in progress may be waiting for
// exactly this thread to end.
bool on_node_thread(nb::handle self) {
    // A shared scheduler's thread (or one carrying nodes) in the middle of a step.
    if (port_api::stepping_scheduled())
        return true;
    nb::object current = vx::current_thread();
    nb::object nodes = nodes_of(self);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(nodes.ptr()); ++i) {
        nb::object imp = vx::getattr_or_none(PyList_GET_ITEM(nodes.ptr(), i), names::imp_);
        if (imp.is_none())
            continue;
        if (vx::getattr_or_none(imp, names::thread_).is(current) ||
            vx::getattr_or_none(imp, names::setup_thread_).is(current))
            return true;
    }
    return false;
}

class Turn {
public:
    // Waits for the pipeline's turn. A node's own thread that finds a stop() in
    // progress does not wait: that stop may be joining it, and it stops the nodes
    // anyway. taken() is then false.
    Turn(nb::handle self, bool stopping) : state_(turn_state_of(self)) {
        nb::object lock = nb::borrow(PyList_GET_ITEM(state_.ptr(), 0));
        nb::object slice = vx::steal_or_throw(PyFloat_FromDouble(TURN_SLICE));
        while (!held_.try_acquire(lock, true, slice)) {
            if (PyList_GET_ITEM(state_.ptr(), 1) == Py_True && on_node_thread(self))
                return;
        }
        if (stopping && PyList_GET_ITEM(state_.ptr(), 1) != Py_True) {
            PyList_SetItem(state_.ptr(), 1, nb::handle(Py_True).inc_ref().ptr());
            marked_ = true;
        }
    }
    // The mark goes before the lock (held_ is destroyed after this body).
    ~Turn() {
        if (marked_)
            PyList_SetItem(state_.ptr(), 1, nb::handle(Py_False).inc_ref().ptr());
    }
    bool taken() const { return held_.held(); }
    Turn(const Turn &) = delete;
    Turn &operator=(const Turn &) = delete;

private:
    nb::object state_;
    vx::HeldLock held_;
    bool marked_ = false;
};

// A turn not taken skips the call; the log says which call (`call_entry`) and why.
bool skipped(const Turn &turn, nb::handle self, nb::handle call_entry, nb::handle why) {
    if (turn.taken())
        return false;
    vx::write_log(self, names::INFO, call_entry);
    vx::write_log(self, names::INFO, why);
    return true;
}

// The monitoring thread of the last run, when it is still finishing its pass after a
// stop and is not the calling thread; otherwise an empty object. It must be gone
// before a new one starts, or two loops would watch the same run.
nb::object finishing_monitor(nb::handle self) {
    nb::object thread = vx::getattr(self, names::monitor_thread_);
    if (thread.is_none() || vx::is_current_thread(thread))
        return nb::object();
    if (vx::equals(vx::getattr(self, names::state_), vx::constant(names::States, names::RUNNING)))
        return nb::object();
    if (!vx::truthy(vx::call_method(thread, names::is_alive)))
        return nb::object();
    return thread;
}

void start_monitor(nb::handle self) {
    nb::object thread = vx::daemon_thread(vx::getattr(self, names::monitoring_fun_));
    vx::setattr(self, names::monitor_thread_, thread);
    nb::object stop_event = vx::getattr(self, names::stop_event_);
    vx::check_call([&] { return PyDict_SetItem(kept.live_monitors.ptr(), thread.ptr(), stop_event.ptr()); });
    try {
        vx::call_method(thread, names::start);
    } catch (nb::python_error &) {
        vx::exit_safe([&] { return PyDict_DelItem(kept.live_monitors.ptr(), thread.ptr()); });
        PyErr_Clear();
        throw;
    }
}

// The body of start(), in its turn, once no monitoring thread is left over.
nb::object start_nodes_and_monitor(nb::handle self) {
    vx::write_log(self, names::INFO, texts::starting);
    if (!vx::equals(vx::getattr(self, names::condition_), vx::constant(names::Conditions, names::HEALTHY))) {
        vx::write_log(self, names::INFO, texts::not_healthy);
        return nb::none();
    }
    if (vx::equals(vx::getattr(self, names::state_), vx::constant(names::States, names::RUNNING))) {
        vx::write_log(self, names::INFO, texts::running_skip);
        return nb::none();
    }

    switch_run(self, true);
    start_monitor(self);
    return nb::none();
}

// The body of stop(), in its turn. Returns the monitoring thread to wait for when the
// pipeline was stopped by an error, else an empty object.
nb::object stop_in_turn(nb::handle self) {
    vx::write_log(self, names::INFO, texts::stopping);
    if (vx::equals(vx::getattr(self, names::state_), vx::constant(names::States, names::STOPPED))) {
        nb::object condition = vx::getattr(self, names::condition_);
        if (vx::equals(condition, vx::constant(names::Conditions, names::HEALTHY))) {
            vx::write_log(self, names::INFO, texts::already_stopped);
        } else if (vx::equals(condition, vx::constant(names::Conditions, names::ERROR))) {
            vx::write_log(self, names::INFO, texts::already_stopped_error);
            nb::object thread = vx::getattr(self, names::monitor_thread_);
            // Called by the monitoring thread itself: it cannot wait for its own
            // end, so the next stop() from outside waits for it instead.
            if (thread.is_none() || vx::is_current_thread(thread))
                return nb::object();
            return thread;
        }
        return nb::object();
    }

    // The normal path does not wait for the monitoring thread: that thread calls
    // stop() itself when it stops the pipeline.
    switch_run(self, false);
    return nb::object();
}

} // namespace

nb::object start(const vx::Call &call) {
    call.bind_none("start");
    nb::handle self = call.self;
    // Before the checks: a last pass of the old monitoring thread may still find an
    // error and mark the pipeline unhealthy, which the checks below must see. It is
    // waited for without the turn, since it may itself be waiting to call stop().
    for (;;) {
        nb::object finishing;
        {
            Turn turn(self, /*stopping=*/false);
            if (skipped(turn, self, texts::starting, texts::running_skip))
                return nb::none();
            finishing = finishing_monitor(self);
            if (!finishing.is_valid())
                return start_nodes_and_monitor(self);
        }
        vx::call_method(vx::getattr(self, names::stop_event_), names::set);
        vx::call_method(finishing, names::join);
    }
}

nb::object stop(const vx::Call &call) {
    call.bind_none("stop");
    nb::handle self = call.self;
    nb::object monitor;
    {
        Turn turn(self, /*stopping=*/true);
        if (skipped(turn, self, texts::stopping, texts::already_stopped))
            return nb::none();
        monitor = stop_in_turn(self);
    }
    // Waited for outside the turn: the monitoring thread may be waiting for it.
    if (monitor.is_valid()) {
        vx::call_method(monitor, names::join);
        vx::setattr(self, names::monitor_thread_, nb::none());
    }
    return nb::none();
}

// A query that takes no arguments and answers with the attribute `name`.
nb::object attribute_query(const vx::Call &call, const char *method, nb::handle name) {
    call.bind_none(method);
    return vx::getattr(call.self, name);
}

nb::object get_state(const vx::Call &call) { return attribute_query(call, "get_state", names::state_); }

nb::object get_condition(const vx::Call &call) { return attribute_query(call, "get_condition", names::condition_); }

nb::object get_last_error(const vx::Call &call) {
    call.bind_none("get_last_error");
    return vx::call_method(vx::getattr(call.self, names::logger_), names::get_last_error);
}

nb::object get_elapsed_time(const vx::Call &call) {
    call.bind_none("get_elapsed_time");
    // One read: stop() on another thread may clear it at any moment.
    nb::object start_time = vx::getattr(call.self, names::start_time_);
    if (start_time.is_none())
        return vx::steal_or_throw(PyFloat_FromDouble(0.0));
    return vx::subtract(vx::now(), start_time);
}

nb::object write_log(const vx::Call &call) {
    static constexpr vx::Params<1> params{"write_log", {"entry"}};
    auto [entry] = call.bind(params);
    vx::require_str(entry, "entry");
    nb::object logger = vx::getattr(call.self, names::logger_);
    if (!logger.is_none())
        vx::write_to(logger, names::INFO, entry);
    return nb::none();
}

} // namespace trellan
