// Calls the node modules make into Python at run time: package attributes read at
// each use (so a patched constant or clock is seen), equality as Python evaluates
// it, method calls, the node's logger, daemon threads, and the guard that turns a
// failure into one log entry.
#pragma once

#include "host.hpp"
#include "method.hpp"
#include "names.hpp"

namespace vx {

// module.<name>, looked up at each use. The module's namespace answers first, which
// is what attribute access finds, without its overhead; a missing name takes the
// full lookup (module __getattr__, AttributeError).
inline nb::object module_attr(LazyModule &module, nb::handle name) {
    PyObject *found = PyDict_GetItemWithError(PyModule_GetDict(module.get().ptr()), name.ptr());
    if (found)
        return nb::borrow(found);
    if (PyErr_Occurred())
        throw_error_already_set();
    return module.attr(name);
}

// velarix.constants.Constants.<group>.<name>
inline nb::object constant(nb::handle group, nb::handle name) {
    nb::object constants = module_attr(modules::constants, names::Constants);
    return vx::getattr(vx::getattr(constants, group), name);
}

// velarix.logger.LogType.<name>
inline nb::object log_type(nb::handle name) {
    return vx::getattr(module_attr(modules::logger, names::LogType), name);
}

inline bool truthy(nb::handle value) { return check_status(PyObject_IsTrue(value.ptr())); }

// `a == b` as Python evaluates it; identity decides only for exact str and int,
// whose equality cannot be overridden.
inline bool equals(nb::handle a, nb::handle b) {
    if (a.is(b) && (PyUnicode_CheckExact(a.ptr()) || PyLong_CheckExact(a.ptr())))
        return true;
    nb::object result = steal_or_throw(PyObject_RichCompare(a.ptr(), b.ptr(), Py_EQ));
    return truthy(result);
}

// function(args...)
template <typename... Args>
nb::object call(nb::handle function, Args... args) {
    PyObject *vector[] = {nullptr, nb::handle(args).ptr()...};
    return steal_or_throw(PyObject_Vectorcall(function.ptr(), vector + 1,
                                              sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                              nullptr));
}

// obj.<name>(args...) with the object's own method lookup.
template <typename... Args>
nb::object call_method(nb::handle obj, nb::handle name, Args... args) {
    PyObject *vector[] = {obj.ptr(), nb::handle(args).ptr()...};
    return steal_or_throw(
        PyObject_VectorcallMethod(name.ptr(), vector, 1 + sizeof...(Args), nullptr));
}

// super(cls, obj).<name>(): the next class of the object's own order, so a class
// with several node bases runs each base's version once.
inline nb::object call_super(nb::handle cls, nb::handle obj, nb::handle name) {
    PyObject *super_args[] = {cls.ptr(), obj.ptr()};
    nb::object parent =
        steal_or_throw(PyObject_Vectorcall((PyObject *)&PySuper_Type, super_args, 2, nullptr));
    return call_method(parent, name);
}

// cls.<name> bound to obj, whatever the object's own class overrides.
inline nb::object bind_from(nb::handle cls, nb::handle name, nb::handle obj) {
    nb::object function = vx::getattr(cls, name);
    descrgetfunc get = Py_TYPE(function.ptr())->tp_descr_get;
    if (get)
        return steal_or_throw(get(function.ptr(), obj.ptr(), (PyObject *)Py_TYPE(obj.ptr())));
    return steal_or_throw(PyMethod_New(function.ptr(), obj.ptr()));
}

// self._logger.write(LogType.<type>, message)
inline void write_log(nb::handle self, nb::handle type, nb::handle message) {
    nb::object logger = vx::getattr(self, names::logger);
    call_method(logger, names::write, log_type(type), message);
}

// time.time() and time.sleep(), through the module at each use.
inline nb::object now() { return call(module_attr(modules::time, names::time)); }

inline void sleep(double seconds) {
    nb::object pause = steal_or_throw(PyFloat_FromDouble(seconds));
    call(module_attr(modules::time, names::sleep), pause);
}

// threading.Thread(target=target, daemon=True), not started.
inline nb::object daemon_thread(nb::handle target) {
    nb::object thread_class = module_attr(modules::threading, names::Thread);
    nb::object kwnames = steal_or_throw(PyTuple_Pack(2, names::target.ptr(), names::daemon.ptr()));
    PyObject *args[] = {target.ptr(), Py_True};
    return steal_or_throw(PyObject_Vectorcall(thread_class.ptr(), args, 0, kwnames.ptr()));
}

inline bool is_current_thread(nb::handle thread) {
    nb::object current = call(module_attr(modules::threading, names::current_thread));
    return current.is(thread);
}

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
    } catch (...) {
        // A C++ failure (out of memory) becomes the Python error it stands for.
        translate_exception();
    }
    nb::python_error error;
    if (!error.matches(PyExc_Exception))
        throw error;
    on_failure(error.value());
}

// One ERROR entry for a failure caught on a node's own thread. The text comes from
// exception_message, so an exception without arguments, or whose first argument is
// not text, still leaves an entry instead of failing the guard itself.
inline void log_failure(nb::handle self, nb::handle exception) {
    write_log(self, names::ERROR, exception_message(exception));
}

// fn(key, value) for every item of `mapping`, in order. Both are held by strong
// references while fn runs, since fn may run code that changes the mapping.
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
    nb::object items = steal_or_throw(PyMapping_Items(mapping.ptr()));
    nb::object iterator = steal_or_throw(PyObject_GetIter(items.ptr()));
    while (PyObject *item = PyIter_Next(iterator.ptr())) {
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
