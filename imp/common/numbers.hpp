// Python ints and floats read as C++ numbers. CPython's conversions answer -1 with
// an error set; these throw it instead, so a reader writes one call and cannot
// forget the check.
#pragma once

#include "errors.hpp"

namespace vx {

template <typename T>
T checked_number(T value) {
    if (value == (T)-1 && PyErr_Occurred())
        throw_error_already_set();
    return value;
}

inline long long_of(nb::handle number) { return checked_number(PyLong_AsLong(number.ptr())); }
inline unsigned long unsigned_long_of(nb::handle number) {
    return checked_number(PyLong_AsUnsignedLong(number.ptr()));
}
inline unsigned long long unsigned_long_long_of(nb::handle number) {
    return checked_number(PyLong_AsUnsignedLongLong(number.ptr()));
}
inline Py_ssize_t ssize_of(nb::handle number) { return checked_number(PyLong_AsSsize_t(number.ptr())); }
inline double double_of(nb::handle number) { return checked_number(PyFloat_AsDouble(number.ptr())); }

} // namespace vx
