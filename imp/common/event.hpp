// set(), wait() and clear() of a threading.Event, done here step for step as
// threading.py does them, without their seven Python frames per wake-up: the worker
// of every input node waits on one and every arriving value may set it.
//
// Only an exact threading.Event whose parts are the standard ones (a Condition over
// a plain lock, its waiters in a deque) takes this path; anything else, a subclass
// or a stand-in, is called through its methods. The parts are those of CPython's
// threading module in 3.12 and 3.13 (Event._cond, Event._flag, Condition._lock,
// Condition._waiters); the Makefile builds for 3.12 only.
#pragma once

#include "runtime.hpp"

namespace vx {

namespace event_detail {

inline LazyModule thread_module{"_thread"};
inline LazyModule collections{"collections"};

// The event's own dict, condition lock and waiter deque, when they are standard.
struct Parts {
    nb::object dict, lock, waiters;
};

// The standard classes the fast path knows, taken once: an object of exactly one of
// them has the parts below whatever a module attribute is later rebound to.
struct Standard {
    PyObject *event, *condition, *lock, *deque, *allocate_lock, *event_set;
};

// No function-local static with a guard: filling it runs Python code, and a second
// thread blocked on the guard would hold the interpreter lock the first one needs.
// Two threads may both fill it; the first result stays.
inline const Standard &standard() {
    static Standard *known = nullptr;
    if (!known) {
        auto keep = [](nb::object value) { return value.release().ptr(); };  // kept for the process
        nb::object event = modules::threading.attr(names::Event);
        Standard found{keep(event), keep(modules::threading.attr(names::Condition)),
                       keep(thread_module.attr(names::LockType)), keep(collections.attr(names::deque)),
                       keep(thread_module.attr(names::allocate_lock)), keep(vx::getattr(event, names::set))};
        if (!known)
            known = new Standard(found);
    }
    return *known;
}

inline bool is_exact(nb::handle obj, PyObject *type) { return (PyObject *)Py_TYPE(obj.ptr()) == type; }

inline bool parts_of(nb::handle event, Parts &parts) {
    const Standard &known = standard();
    if (!is_exact(event, known.event))
        return false;
    parts.dict = vx::getattr(event, names::dunder_dict);
    nb::object condition = lookup(parts.dict, names::cond);
    if (!condition.is_valid() || !is_exact(condition, known.condition))
        return false;
    nb::object condition_dict = vx::getattr(condition, names::dunder_dict);
    parts.lock = lookup(condition_dict, names::lock);
    parts.waiters = lookup(condition_dict, names::waiters);
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
    return PyMethod_GET_FUNCTION(handler.ptr()) == known.event_set && event_detail::is_exact(event, known.event);
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
        try {
            vx::call_method(waiter, names::release);
            --count;
        } catch (nb::python_error &error) {
            if (!error.matches(PyExc_RuntimeError))
                throw;
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
        vx::call_method(event, names::set);
        return;
    }
    event_detail::holding(parts, [&] {
        dict_set(parts.dict, names::flag, Py_True);
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
        dict_set(parts.dict, names::flag, Py_False);
        return true;
    });
}

// event.wait() without a time limit.
inline void event_wait(nb::handle event) {
    event_detail::Parts parts;
    if (!event_detail::parts_of(event, parts)) {
        vx::call_method(event, names::wait);
        return;
    }
    event_detail::holding(parts, [&] {
        nb::object flag = lookup(parts.dict, names::flag);
        if (flag.is_valid() && vx::truthy(flag))
            return true;
        // Condition.wait(): a fresh lock, taken once here and once more to sleep
        // until notify_all() releases it; the condition's lock is let go meanwhile.
        nb::object waiter = vx::call(nb::handle(event_detail::standard().allocate_lock));
        vx::call_method(waiter, names::acquire);
        vx::call_method(parts.waiters, names::append, waiter);
        vx::call_method(parts.lock, names::release);
        try {
            vx::call_method(waiter, names::acquire);
        } catch (...) {
            vx::call_method(parts.lock, names::acquire);
            try {
                vx::call_method(parts.waiters, names::remove, waiter);
            } catch (nb::python_error &) {
                // Already taken out by a notify.
            }
            throw;
        }
        vx::call_method(parts.lock, names::acquire);
        return true;
    });
}

} // namespace vx
