// Python errors inside the modules travel as C++ exceptions (nb::python_error) and
// are set again as the interpreter's error in exactly one place: the trampoline that
// CPython calls (method.hpp). Nothing returns half an error.
#pragma once

#include <cstdarg>

#include "py.hpp"

namespace vx {

// The interpreter's error indicator is set: carry it out as a C++ exception.
[[noreturn]] inline void throw_error_already_set() { throw nb::python_error(); }

// Raise `type` with a printf-style message (PyUnicode_FromFormat rules).
[[noreturn]] inline void raise(PyObject *type, const char *format, ...) {
    va_list args;
    va_start(args, format);
    PyErr_FormatV(type, format, args);
    va_end(args);
    throw nb::python_error();
}

// Owns a new reference returned by the C API, or throws the error it set.
template <typename T = nb::object>
inline T steal_or_throw(PyObject *result) {
    if (!result)
        throw nb::python_error();
    return nb::steal<T>(result);
}

// Borrowed reference from the C API (NULL with an error set means failure).
inline nb::object borrow_or_throw(PyObject *result) {
    if (!result)
        throw nb::python_error();
    return nb::borrow(result);
}

// -1 from a C API call that reports failure that way.
inline int check_status(int status) {
    if (status < 0)
        throw nb::python_error();
    return status;
}

// The text logged for a caught exception: its first argument when that is text,
// str() of it otherwise, and the exception's type name when it has no arguments
// (a bare `raise Failure` must still leave a readable entry, not a second error).
inline nb::object exception_message(nb::handle exception) {
    nb::object args = steal_or_throw(PyObject_GetAttrString(exception.ptr(), "args"));
    if (PyTuple_Check(args.ptr()) && PyTuple_GET_SIZE(args.ptr()) > 0) {
        PyObject *first = PyTuple_GET_ITEM(args.ptr(), 0);
        if (PyUnicode_CheckExact(first))
            return nb::borrow(first);
        return steal_or_throw(PyObject_Str(first));
    }
    return steal_or_throw(PyType_GetName(Py_TYPE(exception.ptr())));
}

} // namespace vx
