// The one include every module starts from: the C API, nanobind's handles, and
// the project's namespace alias.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <nanobind/nanobind.h>

#include "compat.hpp"  // the version guard, and the one door to private API

namespace nb = nanobind;

// Ownership is said by type, not by comment: nb::object owns its reference (a new
// one, or one kept), nb::handle borrows. A C++ member that owns a reference is an
// nb::object; raw PyObject * stays only where a hot path or the C API needs it.
namespace vx {

// Py_CLEAR for an owned member: the member is empty before the object is let go,
// since letting it go may run code that reads the member again.
inline void clear(nb::object &owned) noexcept { nb::object gone = std::move(owned); }

} // namespace vx
