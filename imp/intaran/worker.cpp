// Start, stop and the worker loop.
//
// A worker serves one run: it keeps going only while the running flag is set and
// the node's `_thread` is still its own thread. A stop() that clears the flag
// therefore ends that worker for good, even when a start() on another thread sets
// the flag again before the worker looks, because that start() installs a new
// thread of its own.
#include "common/runtime.hpp"
#include "input_node.hpp"

namespace intaran {
namespace {

bool serves_current_run(nb::handle self, nb::handle me) {
    return vx::truthy(vx::getattr(self, names::is_thread_running)) &&
           vx::getattr(self, names::thread).is(me);
}

// True when every input port is ASYNC; asks the ports in order up to the first
// that is not.
bool all_ports_async(nb::handle self) {
    nb::object async = vx::constant(names::Timing, names::ASYNC);
    bool all = true;
    vx::for_each_item(vx::getattr(self, names::input_ports), [&](nb::handle, nb::handle port) {
        all = vx::equals(vx::call_method(port, names::get_timing), async);
        return all;
    });
    return all;
}

// Joins the worker of a run that has just been stopped. The wake-up is repeated
// while it lives: a worker of a newer run shares the event and may clear the
// first signal before the old worker waits on it.
void join_stopped_worker(nb::handle thread, nb::handle event) {
    nb::object slice = vx::steal_or_throw(PyFloat_FromDouble(0.1));
    // A thread not started yet finds its run stopped as soon as it starts.
    while (vx::truthy(vx::call_method(thread, names::is_alive))) {
        vx::call_method(thread, names::join, slice);
        vx::call_method(event, names::set);
    }
}

} // namespace

nb::object start(const vx::Call &call) {
    call.bind_none("start");
    nb::handle self = call.self;
    // The base first: the worker's first cycle must find the node RUNNING.
    vx::call_super(input_node_class, self, names::start);
    if (vx::truthy(vx::getattr(self, names::is_thread_running)))
        return nb::none();

    nb::object worker = vx::daemon_thread(vx::getattr(self, names::thread_function));
    // Flag and thread are set with no Python code in between (making the thread
    // may switch threads), so a concurrent stop() sees both or neither. The old
    // thread object is released only afterwards, for the same reason.
    nb::object previous = vx::getattr(self, names::thread);
    if (vx::truthy(vx::getattr(self, names::is_thread_running)))
        return nb::none();
    vx::setattr(self, names::is_thread_running, Py_True);
    vx::setattr(self, names::thread, worker);
    try {
        vx::call_method(worker, names::start);
    } catch (nb::python_error &) {
        // No thread could be started: leave the node as if none was asked for, so
        // that a later start() tries again.
        if (vx::getattr(self, names::thread).is(worker)) {
            vx::setattr(self, names::is_thread_running, Py_False);
            vx::setattr(self, names::thread, Py_None);
        }
        throw;
    }
    return nb::none();
}

nb::object stop(const vx::Call &call) {
    call.bind_none("stop");
    nb::handle self = call.self;
    if (vx::truthy(vx::getattr(self, names::is_thread_running))) {
        // The worker of the run being stopped, taken together with the flag.
        nb::object worker = vx::getattr(self, names::thread);
        vx::setattr(self, names::is_thread_running, Py_False);
        nb::object event = vx::getattr(self, names::thread_event);
        vx::call_method(event, names::set);
        // Called from the worker itself (a handler that stops its node): it ends at
        // its next check; joining it here would wait for ever.
        if (!worker.is_none() && !vx::is_current_thread(worker))
            join_stopped_worker(worker, event);
        // Unless a concurrent start() has installed its own worker meanwhile.
        if (vx::getattr(self, names::thread).is(worker))
            vx::setattr(self, names::thread, Py_None);
    }
    vx::call_super(input_node_class, self, names::stop);
    return nb::none();
}

nb::object thread_function(const vx::Call &call) {
    call.bind_none("_thread_function");
    nb::handle self = call.self;
    vx::guarded(
        [&] {
            nb::object me = vx::current_thread();
            while (serves_current_run(self, me)) {
                // ASYNC ports run one cycle per wake-up; otherwise cycles run back to
                // back while every port has data. The flag is checked per cycle so
                // that stop() does not wait for a backlog to drain.
                while (serves_current_run(self, me) &&
                       vx::truthy(vx::call_method(self, names::is_data_available))) {
                    nb::object data = vx::call_method(self, names::get_data_);
                    vx::call_method(self, names::cycle, data);
                    if (all_ports_async(self))
                        break;
                }
                if (!serves_current_run(self, me))
                    break;
                nb::object event = vx::getattr(self, names::thread_event);
                vx::call_method(event, names::wait);
                vx::call_method(event, names::clear);
            }
        },
        // The worker ends; the flag, the state and the condition stay as they are.
        [&](nb::handle exception) { vx::log_failure(self, exception); });
    return nb::none();
}

} // namespace intaran
