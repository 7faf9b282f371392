// What the node and pipeline modules use at run time: package attributes read at
// each use (so a patched constant or clock is seen), the log, the clock, daemon
// threads, and the guard that turns a failure into one log entry. Everything here
// reaches Python through host.hpp, so it is safe on a daemon thread at exit.
#pragma once

#include <cstdint>
#include <cstring>
#include <ctime>

#include "dict_version.hpp"
#include "host.hpp"
#include "method.hpp"
#include "names.hpp"

namespace vx {

// module.<name>, looked up at each use. The module's namespace answers first, which
// is what attribute access finds, without its overhead; a missing name takes the
// full lookup (module __getattr__, AttributeError).
inline nb::object module_attr(LazyModule &module, nb::handle name) {
    PyObject *found = nullptr;
    if (compat::dict_get_ref(PyModule_GetDict(module.get().ptr()), name.ptr(), &found) < 0)
        throw_error_already_set();
    return found ? nb::steal(found) : module.attr(name);
}

// module.<name> from the module's namespace alone, as a new reference, or an empty
// object when the namespace has no such name. For a name read on every step: the
// value found is remembered while the namespace is unchanged (any assignment in
// the module renews the search).
inline nb::object namespace_value(LazyModule &module, nb::handle name, SeenValue &seen) {
    PyObject *namespace_ = PyModule_GetDict(module.get().ptr());
    if (PyObject *value = seen.get(namespace_))
        return nb::borrow(value);
    PyObject *found = PyDict_GetItemWithError(namespace_, name.ptr());
    if (!found) {
        if (PyErr_Occurred())
            throw_error_already_set();
        return nb::object();
    }
    seen.remember(namespace_, found);
    return nb::borrow(found);
}

// module_attr() with the namespace's answer remembered as above.
inline nb::object module_attr(LazyModule &module, nb::handle name, SeenValue &seen) {
    nb::object found = namespace_value(module, name, seen);
    return found.is_valid() ? found : module.attr(name);
}

// velarix.imp.SKIP, which a step returns to push nothing. The package makes it
// before any module loads; each module that meets it keeps it at its own load
// (left unset where the package has none: then nothing is the marker).
inline Kept skip_marker;

inline void keep_skip_marker() {
    nb::object found = lookup(nb::handle(PyModule_GetDict(modules::imp.get().ptr())), names::SKIP);
    if (found.is_valid())
        skip_marker.set(found);
}

inline bool is_skip(nb::handle value) { return value.ptr() == skip_marker.ptr() && value.ptr(); }

// velarix.constants.Constants
inline nb::object constants() {
    static SeenValue seen;
    return module_attr(modules::constants, names::Constants, seen);
}

// Constants.<group>.<name> of a Constants class already in hand.
inline nb::object constant(nb::handle constants, nb::handle group, nb::handle name) {
    return vx::getattr(vx::getattr(constants, group), name);
}

// velarix.constants.Constants.<group>.<name>
inline nb::object constant(nb::handle group, nb::handle name) {
    return constant(constants(), group, name);
}

// velarix.imp.ConstantsImp.<name>: the tunable values, read at each use so that a
// changed value counts.
inline nb::object tunable(nb::handle name) {
    return vx::getattr(module_attr(modules::imp, names::ConstantsImp), name);
}

// velarix.logger.LogType.<name>
inline nb::object log_type(nb::handle name) {
    return vx::getattr(module_attr(modules::logger, names::LogType), name);
}

// logger.write(LogType.<type>, message)
inline void write_to(nb::handle logger, nb::handle type, nb::handle message) {
    vx::call_method(logger, names::write, log_type(type), message);
}

// self._logger.write(LogType.<type>, message)
inline void write_log(nb::handle self, nb::handle type, nb::handle message) {
    write_to(vx::getattr(self, names::logger_), type, message);
}

// node.get_name() as text, the way string formatting shows it.
inline nb::object name_text(nb::handle node) {
    return vx::to_text(vx::call_method(node, names::get_name));
}

// super(cls, obj).<name>(args...): the next class of the object's own order, so a
// class with several node bases runs each base's version once.
template <typename... Args>
nb::object call_super(nb::handle cls, nb::handle obj, nb::handle name, const Args &...args) {
    nb::object parent = vx::call(nb::handle((PyObject *)&PySuper_Type), cls, obj);
    return vx::call_method(parent, name, args...);
}

// cls.<name> bound to obj, whatever the object's own class overrides.
inline nb::object bind_from(nb::handle cls, nb::handle name, nb::handle obj) {
    nb::object function = vx::getattr(cls, name);
    descrgetfunc get = Py_TYPE(function.ptr())->tp_descr_get;
    if (get)
        return steal_call([&] { return get(function.ptr(), obj.ptr(), (PyObject *)Py_TYPE(obj.ptr())); });
    return steal_or_throw(PyMethod_New(function.ptr(), obj.ptr()));
}

namespace clock_detail {

// The time module's own `time` function (not a replacement put in its place).
inline bool is_module_time(nb::handle function, nb::handle module) {
    if (!PyCFunction_CheckExact(function.ptr()) || PyCFunction_GET_SELF(function.ptr()) != module.ptr())
        return false;
    // Asked twice a step: the module's method entry, static in its C code, is
    // remembered once its name has been read.
    static PyMethodDef *known = nullptr;
    PyMethodDef *entry = ((PyCFunctionObject *)function.ptr())->m_ml;
    if (entry == known)
        return true;
    if (std::strcmp(entry->ml_name, "time") != 0)
        return false;
    known = entry;
    return true;
}

// What time.time() returns, read the way it reads it: the system clock in whole
// nanoseconds, then seconds as a double rounded as CPython rounds them. False where
// the clock cannot be read or the reading is out of its range (the call reports it).
// `nanoseconds` is the reading itself, as time.time_ns() gives it.
inline bool system_clock_reading(double &seconds, int64_t &nanoseconds) {
    timespec reading;
    if (clock_gettime(CLOCK_REALTIME, &reading) != 0)
        return false;
    const int64_t per_second = 1000000000;
    if (reading.tv_sec > INT64_MAX / per_second - 1 || reading.tv_sec < INT64_MIN / per_second + 1)
        return false;
    nanoseconds = (int64_t)reading.tv_sec * per_second + reading.tv_nsec;
    volatile double value;  // as CPython computes it: no fused or reordered rounding
    if (nanoseconds % per_second == 0) {
        value = (double)(nanoseconds / per_second);
    } else {
        value = (double)nanoseconds;
        value /= 1e9;
    }
    seconds = value;
    return true;
}

inline bool system_clock_seconds(double &seconds) {
    int64_t nanoseconds;
    return system_clock_reading(seconds, nanoseconds);
}

} // namespace clock_detail

// time.time() and time.sleep(), through the module at each use. While the module's
// attribute is its own function, the clock is read here without the call.
inline nb::object now() {
    static SeenValue seen;
    nb::object function = module_attr(modules::time, names::time, seen);
    double seconds;
    if (clock_detail::is_module_time(function, modules::time.get()) &&
        clock_detail::system_clock_seconds(seconds))
        return steal_or_throw(PyFloat_FromDouble(seconds));
    return vx::call(function);
}

// The seconds of the float now() would give, without making it, where the clock is
// the time module's own and readable; false otherwise (then call now()).
inline bool now_seconds(double &seconds) {
    static SeenValue seen;
    nb::object function = module_attr(modules::time, names::time, seen);
    return clock_detail::is_module_time(function, modules::time.get()) && clock_detail::system_clock_seconds(seconds);
}

inline void sleep(double seconds) {
    nb::object pause = steal_or_throw(PyFloat_FromDouble(seconds));
    vx::call(module_attr(modules::time, names::sleep), pause);
}

// threading.Thread(target=target, daemon=True), not started.
inline nb::object daemon_thread(nb::handle target) {
    static vx::Kept keywords_tuple;
    nb::handle keywords = keyword_names(keywords_tuple, {names::target, names::daemon});
    nb::object thread_class = module_attr(modules::threading, names::Thread);
    return vx::call_kw(thread_class, keywords, target, Py_True);
}

// threading.current_thread()
inline nb::object current_thread() {
    return vx::call(module_attr(modules::threading, names::current_thread));
}

inline bool is_current_thread(nb::handle thread) { return current_thread().is(thread); }

// Runs `body`. An Exception it raises is handed to `on_failure` (with the exception
// object) and goes no further; anything else (an exit, an interrupt) passes through.
template <typename Body, typename OnFailure>
void guarded(Body &&body, OnFailure &&on_failure) {
    try {
        body();
        return;
    } catch (nb::python_error &error) {
        if (!error.matches(PyExc_Exception))
            throw;
        on_failure(error.value());
        return;
    } catch (forced_unwind &) {
        throw;  // the thread is being ended: not a failure of the body (exit_safe.hpp)
    } catch (...) {
        // A C++ failure (out of memory) becomes the Python error it stands for.
        translate_exception();
    }
    nb::python_error error;
    if (!error.matches(PyExc_Exception))
        throw error;
    on_failure(error.value());
}

// While a guard writes the entry for a failure, the thread shows the caught exception
// as the one being handled (what sys.exception() gives) and the failing node's name
// in the thread state's dict, so the log's bridge to the logging module can hand on
// both. Neither step runs Python code: the keys are exact strings.
class HandlingFailure {
public:
    HandlingFailure(nb::handle exception, nb::handle node_name) {
        previous_ = nb::steal(PyErr_GetHandledException());
        PyErr_SetHandledException(exception.ptr());
        if (node_name.is_valid() && (state_dict_ = PyThreadState_GetDict()) != nullptr) {
            if (PyDict_SetItem(state_dict_, names::failing_node.ptr(), node_name.ptr()) < 0) {
                PyErr_Clear();
                state_dict_ = nullptr;
            }
        }
    }
    ~HandlingFailure() {
        if (state_dict_ && PyDict_DelItem(state_dict_, names::failing_node.ptr()) < 0)
            PyErr_Clear();
        PyErr_SetHandledException(previous_.is_valid() ? previous_.ptr() : nullptr);
    }
    HandlingFailure(const HandlingFailure &) = delete;
    HandlingFailure &operator=(const HandlingFailure &) = delete;

private:
    nb::object previous_;
    PyObject *state_dict_ = nullptr;
};

// The name of a node for the logging bridge, or an invalid handle when the object
// has none (the pipeline) or cannot give it: the entry matters more than its name.
inline nb::object failing_node_name(nb::handle self) {
    try {
        if (!vx::has_attr(self, "get_name"))
            return nb::object();
        return vx::to_text(vx::call_method(self, names::get_name));
    } catch (nb::python_error &error) {
        if (!error.matches(PyExc_Exception))
            throw;
        return nb::object();
    }
}

// One ERROR entry for a failure caught on a node's own thread. The text comes from
// exception_message, so an exception without arguments, or whose first argument is
// not text, still leaves an entry instead of failing the guard itself. The exception
// is kept on the object first (get_last_exception()), so whoever sees the entry
// finds it there.
inline void log_failure(nb::handle self, nb::handle exception) {
    nb::object message = exception_message(exception);
    try {
        vx::setattr(self, names::last_exception_, exception);
    } catch (nb::python_error &error) {
        if (!error.matches(PyExc_Exception))
            throw;
    }
    nb::object name = failing_node_name(self);
    HandlingFailure handling(exception, name);
    write_log(self, names::ERROR, message);
}

// fn(key, value) for every item of `mapping`, in order, until fn returns false. Both
// are held by strong references while fn runs, since fn may run code that changes
// the mapping.
template <typename Fn>
void for_each_item(nb::handle mapping, Fn &&fn) {
    if (PyDict_CheckExact(mapping.ptr())) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(mapping.ptr(), &pos, &key, &value)) {
            nb::object held_key = nb::borrow(key), held_value = nb::borrow(value);
            if (!fn(nb::handle(held_key), nb::handle(held_value)))
                return;
        }
        return;
    }
    nb::object items = steal_call([&] { return PyMapping_Items(mapping.ptr()); });
    nb::object iterator = steal_call([&] { return PyObject_GetIter(items.ptr()); });
    while (PyObject *item = exit_safe([&] { return PyIter_Next(iterator.ptr()); })) {
        nb::object held = nb::steal(item);
        if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != 2)
            raise(PyExc_TypeError, "items() must yield pairs");
        if (!fn(nb::handle(PyTuple_GET_ITEM(item, 0)), nb::handle(PyTuple_GET_ITEM(item, 1))))
            return;
    }
    if (PyErr_Occurred())
        throw_error_already_set();
}

} // namespace vx
