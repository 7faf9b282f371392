// Argument binding and the exact-type checks, with the messages every module
// reports for a wrong call:
//   "%.200s() takes %.8s %zd positional argument%.1s (%zd given)"
//   "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)"
//   "Expected %s, got %.200s"
// Type names are the interpreter's own (tp_name), e.g. "collections.OrderedDict".
#pragma once

#include <array>
#include <cstring>

#include "errors.hpp"

namespace vx {

// A function's parameters: the first `required` are mandatory, the rest optional.
template <size_t N>
struct Params {
    const char *function;
    std::array<const char *, N> names;
    size_t required = N;
};

[[noreturn]] inline void raise_arg_count(const char *function, size_t required, size_t total,
                                         Py_ssize_t given) {
    const char *how;
    Py_ssize_t expected;
    if (required == total) {
        how = "exactly";
        expected = (Py_ssize_t)required;
    } else if (given < (Py_ssize_t)required) {
        how = "at least";
        expected = (Py_ssize_t)required;
    } else {
        how = "at most";
        expected = (Py_ssize_t)total;
    }
    // PyErr_Format knows no %.8s-with-width quirks beyond these; the text matches the
    // documented format exactly.
    raise(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
          function, how, expected, expected == 1 ? "" : "s", given);
}

// Bind a vectorcall's positional and keyword arguments to the parameters.
// Returns borrowed references, nullptr for an omitted optional parameter.
template <size_t N>
std::array<PyObject *, N> bind(const Params<N> &params, PyObject *const *args, Py_ssize_t nargs,
                               PyObject *kwnames) {
    std::array<PyObject *, N> bound{};
    if (nargs > (Py_ssize_t)N)
        raise_arg_count(params.function, params.required, N, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i)
        bound[i] = args[i];
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject *key = PyTuple_GET_ITEM(kwnames, k);
        size_t slot = N;
        for (size_t i = 0; i < N; ++i) {
            if (PyUnicode_CompareWithASCIIString(key, params.names[i]) == 0) {
                slot = i;
                break;
            }
        }
        if (slot == N)
            raise(PyExc_TypeError, "%.200s() got an unexpected keyword argument '%U'",
                  params.function, key);
        if (bound[slot])
            raise(PyExc_TypeError, "%.200s() got multiple values for keyword argument '%U'",
                  params.function, key);
        bound[slot] = args[nargs + k];
    }
    for (size_t i = 0; i < params.required; ++i)
        if (!bound[i])
            raise_arg_count(params.function, params.required, N, nargs);
    return bound;
}

// No parameters at all (beyond self).
inline void bind_none(const char *function, Py_ssize_t nargs, PyObject *kwnames) {
    if (kwnames && PyTuple_GET_SIZE(kwnames) > 0)
        raise(PyExc_TypeError, "%.200s() takes no keyword arguments", function);
    if (nargs != 0)
        raise_arg_count(function, 0, 0, nargs);
}

// Exactly `type` (no subclass); None passes only when `allow_none`.
inline void require_exact(PyObject *value, PyTypeObject *type, const char *name,
                          bool allow_none = false) {
    if (Py_TYPE(value) == type || (allow_none && value == Py_None))
        return;
    raise(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
          name, type->tp_name, Py_TYPE(value)->tp_name);
}

inline void require_str(PyObject *value, const char *name, bool allow_none = false) {
    require_exact(value, &PyUnicode_Type, name, allow_none);
}

inline void require_dict(PyObject *value, const char *name, bool allow_none = false) {
    require_exact(value, &PyDict_Type, name, allow_none);
}

// A value that must be exactly a list inside a method; None passes (callers that
// take its length then fail as the interpreter would).
inline void require_list_value(PyObject *value) {
    if (value == Py_None || PyList_CheckExact(value))
        return;
    raise(PyExc_TypeError, "Expected %s, got %.200s", "list", Py_TYPE(value)->tp_name);
}

} // namespace vx
