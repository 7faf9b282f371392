// set(), wait() and clear() of a threading.Event, done here step for step as
// threading.py does them, without their seven Python frames per wake-up: the worker
// of every input node waits on one and every arriving value may set it.
//
// Only an exact threading.Event whose parts are the standard ones (a Condition over
// a plain lock, its waiters in a deque) takes this path; anything else, a subclass
// or a stand-in, is called through its methods. The parts are those of CPython's
// threading module in 3.12 and 3.13 (Event._cond, Event._flag, Condition._lock,
// Condition._waiters); the Makefile builds for 3.12 only.
//
// A worker sleeps on a native Waiter rather than on a fresh Python lock: it can be
// signalled without the interpreter lock. A node's worker hands the wake-ups its
// cycle's pushes cause to the next nodes only once it has let the interpreter lock
// go (or, when it has more values to step, right after the cycle), so the woken
// worker finds the lock free instead of waking twice: once for the value and once
// more for the interpreter lock.
#pragma once

#include <condition_variable>
#include <mutex>
#include <new>
#include <vector>

#include "common/interpreter_lock.hpp"
#include "common/native_type.hpp"
#include "common/runtime.hpp"
#include "common/thread_record.hpp"

namespace vx {

// A one-shot wake-up: Condition.notify() calls its release(), the worker that made
// it waits until then.
struct WaiterState {
    std::mutex mutex;
    std::condition_variable released_cv;
    bool released = false;

    // Safe with or without the interpreter lock.
    void release() {
        {
            std::lock_guard<std::mutex> guard(mutex);
            released = true;
        }
        released_cv.notify_one();
    }

    // Without the interpreter lock.
    void wait() {
        std::unique_lock<std::mutex> hold(mutex);
        released_cv.wait(hold, [&] { return released; });
    }
};

using Waiter = Native<WaiterState>;

// Set by the module's set-up, before any waiter exists.
inline Kept known_waiter_type;

inline PyTypeObject *waiter_type() { return (PyTypeObject *)known_waiter_type.ptr(); }

inline WaiterState *waiter_state(nb::handle obj) {
    if (Py_TYPE(obj.ptr()) != waiter_type())
        return nullptr;
    return &((Waiter *)obj.ptr())->state;
}

// Wake-ups held back on this thread: waiters already taken off their condition,
// released at the next flush. Only an input node's worker holds any back, and only
// those of the pushes that end its cycles (the step's own pushes wake at once).
// Whatever may block or run other code on the way (a full bounded port, a port or
// handler of its own) lets them go first, so no node waits on a wake-up that the
// thread it waits for is holding.
struct DeferredWakes {
    bool worker = false;     // this thread flushes before it sleeps
    bool deferring = false;  // pushes now hold their wake-ups back
    std::vector<PyObject *> waiters;  // owned references
};

// This thread's held-back wake-ups. Compiled into the port module alone, so there
// is one record per thread; the node modules reach it through the C API (api.hpp).
inline DeferredWakes &deferred_wakes() { return thread_record<DeferredWakes>(); }

// Releases the held-back waiters, with the interpreter lock held.
inline void flush_deferred_wakes(DeferredWakes &wakes) noexcept {
    std::vector<PyObject *> pending;
    pending.swap(wakes.waiters);
    for (PyObject *waiter : pending)
        ((Waiter *)waiter)->state.release();
    for (PyObject *waiter : pending)
        Py_DECREF(waiter);
}

// The same, for the current thread: before anything that may block or run other code.
inline void release_held_wakes() { flush_deferred_wakes(deferred_wakes()); }

namespace event_detail {

inline LazyModule thread_module{"_thread"};

// The event's own dict, condition lock and waiter deque, when they are standard.
struct Parts {
    nb::object dict, lock, waiters;
};

// The standard classes the fast path knows, taken once: an object of exactly one of
// them has the parts below whatever a module attribute is later rebound to.
struct Standard {
    Kept event, condition, lock, deque, event_set;
    bool filled = false;
};

inline Standard known_standard;

// Filling it runs Python code (kept.hpp): two threads may both look the classes up;
// the first to finish fills all of them together.
inline const Standard &standard() {
    Standard &known = known_standard;
    if (!known.filled) {
        nb::object event = modules::threading.attr(names::Event);
        nb::object condition = modules::threading.attr(names::Condition);
        nb::object lock = thread_module.attr(names::LockType);
        nb::object deque = modules::collections.attr(names::deque);
        nb::object event_set = vx::getattr(event, names::set);
        if (!known.filled) {
            known.event.set(event);
            known.condition.set(condition);
            known.lock.set(lock);
            known.deque.set(deque);
            known.event_set.set(event_set);
            known.filled = true;
        }
    }
    return known;
}

inline bool is_exact(nb::handle obj, nb::handle type) { return (PyObject *)Py_TYPE(obj.ptr()) == type.ptr(); }

inline bool parts_of(nb::handle event, Parts &parts) {
    const Standard &known = standard();
    if (!is_exact(event, known.event))
        return false;
    parts.dict = vx::getattr(event, names::dunder_dict);
    nb::object condition = lookup(parts.dict, names::cond_);
    if (!condition.is_valid() || !is_exact(condition, known.condition))
        return false;
    nb::object condition_dict = vx::getattr(condition, names::dunder_dict);
    parts.lock = lookup(condition_dict, names::lock_);
    parts.waiters = lookup(condition_dict, names::waiters_);
    return parts.lock.is_valid() && is_exact(parts.lock, known.lock) && parts.waiters.is_valid() &&
           is_exact(parts.waiters, known.deque);
}

} // namespace event_detail

// True when `handler` is the bound set() of an exact threading.Event; `event` is then
// that event.
inline bool is_event_set(nb::handle handler, nb::handle &event) {
    if (!PyMethod_Check(handler.ptr()))
        return false;
    const event_detail::Standard &known = event_detail::standard();
    event = PyMethod_GET_SELF(handler.ptr());
    return PyMethod_GET_FUNCTION(handler.ptr()) == known.event_set.ptr() &&
           event_detail::is_exact(event, known.event);
}

namespace event_detail {

// with condition: body()
template <typename Body>
auto holding(const Parts &parts, Body &&body) {
    vx::call_method(parts.lock, names::acquire);
    try {
        auto result = body();
        vx::call_method(parts.lock, names::release);
        return result;
    } catch (...) {
        try {
            vx::call_method(parts.lock, names::release);
        } catch (nb::python_error &) {
            // The body's failure is the one to report.
        }
        throw;
    }
}

// Condition.notify_all(): release every waiter registered now.
inline void notify_all(const Parts &parts) {
    Py_ssize_t count = check_call([&] { return PySequence_Size(parts.waiters.ptr()); });
    while (count > 0 && check_call([&] { return PySequence_Size(parts.waiters.ptr()); }) > 0) {
        nb::object waiter = steal_call([&] { return PySequence_GetItem(parts.waiters.ptr(), 0); });
        if (WaiterState *native = waiter_state(waiter)) {
            DeferredWakes &wakes = deferred_wakes();
            if (wakes.deferring)
                wakes.waiters.push_back(Py_NewRef(waiter.ptr()));
            else
                native->release();
            --count;
        } else {
            try {
                vx::call_method(waiter, names::release);
                --count;
            } catch (nb::python_error &error) {
                if (!error.matches(PyExc_RuntimeError))
                    throw;
            }
        }
        try {
            vx::call_method(parts.waiters, names::remove, waiter);
        } catch (nb::python_error &error) {
            if (!error.matches(PyExc_ValueError))
                throw;
        }
    }
}

} // namespace event_detail

// event.set()
inline void event_set(nb::handle event) {
    event_detail::Parts parts;
    if (!event_detail::parts_of(event, parts)) {
        release_held_wakes();  // an event of another kind may block
        vx::call_method(event, names::set);
        return;
    }
    event_detail::holding(parts, [&] {
        dict_set(parts.dict, names::flag_, Py_True);
        event_detail::notify_all(parts);
        return true;
    });
}

// event.clear()
inline void event_clear(nb::handle event) {
    event_detail::Parts parts;
    if (!event_detail::parts_of(event, parts)) {
        vx::call_method(event, names::clear);
        return;
    }
    event_detail::holding(parts, [&] {
        dict_set(parts.dict, names::flag_, Py_False);
        return true;
    });
}

namespace event_detail {

// Lets the interpreter lock go, releases the held-back waiters, and sleeps on
// `waiter` until it is released.
inline void sleep_on(WaiterState &waiter) {
    std::vector<PyObject *> pending;
    pending.swap(deferred_wakes().waiters);
    without_interpreter_lock([&] {
        for (PyObject *woken : pending)
            ((Waiter *)woken)->state.release();
        waiter.wait();
    });
    for (PyObject *woken : pending)
        Py_DECREF(woken);
}

} // namespace event_detail

// event.wait() without a time limit. Wake-ups held back on this thread are released
// before it sleeps.
inline void event_wait(nb::handle event) {
    event_detail::Parts parts;
    if (!event_detail::parts_of(event, parts)) {
        release_held_wakes();
        vx::call_method(event, names::wait);
        return;
    }
    event_detail::holding(parts, [&] {
        nb::object flag = lookup(parts.dict, names::flag_);
        if (flag.is_valid() && vx::truthy(flag)) {
            release_held_wakes();
            return true;
        }
        // Condition.wait() with a waiter of ours in place of a fresh lock: it is put
        // in the condition's list, whose lock is let go while this thread sleeps.
        nb::object waiter = vx::call(nb::handle((PyObject *)waiter_type()));
        WaiterState *state = waiter_state(waiter);
        vx::call_method(parts.waiters, names::append, waiter);
        try {
            vx::call_method(parts.lock, names::release);
        } catch (...) {
            vx::call_method(parts.waiters, names::remove, waiter);
            throw;
        }
        event_detail::sleep_on(*state);
        vx::call_method(parts.lock, names::acquire);
        return true;
    });
}

} // namespace vx
