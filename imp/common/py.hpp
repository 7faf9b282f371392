// The one include every module starts from: the C API, nanobind's handles, and
// the project's namespace alias.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <nanobind/nanobind.h>

#include "compat.hpp"  // the version guard, and the one door to private API

namespace nb = nanobind;
