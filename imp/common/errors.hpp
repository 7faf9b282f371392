// Python errors inside the modules travel as C++ exceptions (nb::python_error) and
// are set again as the interpreter's error in exactly one place: the trampoline that
// CPython calls (method.hpp). Nothing returns half an error.
//
// A C API call that may run Python code may also be where the interpreter ends a
// daemon thread at exit (exit_safe.hpp). Such calls go through steal_call and
// check_call, or through the helpers of host.hpp and runtime.hpp built on them, so
// that no C++ frame above them unwinds at that moment.
#pragma once

#include <cstdarg>
#include <utility>

#include "exit_safe.hpp"
#include "py.hpp"

namespace vx {

// The interpreter's error indicator is set: carry it out as a C++ exception.
[[noreturn]] inline void throw_error_already_set() { throw nb::python_error(); }

// Owns a new reference returned by the C API, or throws the error it set.
template <typename T = nb::object>
inline T steal_or_throw(PyObject *result) {
    if (!result)
        throw_error_already_set();
    return nb::steal<T>(result);
}

// Borrowed reference from the C API (NULL with an error set means failure).
inline nb::object borrow_or_throw(PyObject *result) {
    if (!result)
        throw_error_already_set();
    return nb::borrow(result);
}

// A negative result from a C API call that reports failure that way.
template <typename Status>
inline Status check_status(Status status) {
    if (status < 0)
        throw_error_already_set();
    return status;
}

// steal_or_throw of `call()`, a lambda around one C API call that may run Python
// code: vx::steal_call([&] { return PyObject_Str(value.ptr()); }). The lambda owns
// nothing itself: an object it held would be released by the very unwinding that
// exit_safe stops.
template <typename Call>
inline nb::object steal_call(Call &&call) {
    return steal_or_throw(exit_safe(std::forward<Call>(call)));
}

// check_status of `call()`, a lambda around one C API call that may run Python
// code and reports failure with a negative result.
template <typename Call>
inline auto check_call(Call &&call) {
    return check_status(exit_safe(std::forward<Call>(call)));
}

// Raise `type` with a printf-style message (PyUnicode_FromFormat rules; %S and %R
// run str() and repr()).
[[noreturn]] inline void raise(PyObject *type, const char *format, ...) {
    va_list args;
    va_start(args, format);
    exit_safe([&] { PyErr_FormatV(type, format, args); });
    va_end(args);
    throw_error_already_set();
}

// raise exception: an exception object already made (its context and cause as the
// caller set them).
[[noreturn]] inline void raise(nb::object exception) {
    PyErr_SetRaisedException(exception.release().ptr());
    throw_error_already_set();
}

// New text from a printf-style format (PyUnicode_FromFormat rules; %S and %R run
// str() and repr()).
inline nb::object formatted(const char *format, ...) {
    va_list args;
    va_start(args, format);
    PyObject *text = exit_safe([&] { return PyUnicode_FromFormatV(format, args); });
    va_end(args);
    return steal_or_throw(text);
}

// Hands a failure that cannot propagate (a clean-up on the way out of another
// failure) to sys.unraisablehook, naming `context` as its origin.
inline void report_unraisable(nb::python_error &error, nb::handle context) noexcept {
    error.restore();
    exit_safe([&] { PyErr_WriteUnraisable(context.ptr()); });
}

// The text logged for a caught exception: its first argument when that is text,
// str() of it otherwise, and the exception's type name when it has no arguments
// (a bare `raise Failure` must still leave a readable entry, not a second error).
inline nb::object exception_message(nb::handle exception) {
    nb::object args = steal_call([&] { return PyObject_GetAttrString(exception.ptr(), "args"); });
    if (PyTuple_Check(args.ptr()) && PyTuple_GET_SIZE(args.ptr()) > 0) {
        PyObject *first = PyTuple_GET_ITEM(args.ptr(), 0);
        if (PyUnicode_CheckExact(first))
            return nb::borrow(first);
        return steal_call([&] { return PyObject_Str(first); });
    }
    return steal_or_throw(PyType_GetName(Py_TYPE(exception.ptr())));
}

} // namespace vx
