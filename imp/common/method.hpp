// Methods written in C++ that bind like Python methods on classes made with
// type(name, bases, namespace): method descriptors (and plain builtins wrapped in
// staticmethod) over METH_FASTCALL | METH_KEYWORDS entry points.
//
// Each entry point is a function `nb::object f(const vx::Call &)`. The trampoline
// that CPython calls is the only place where a C++ exception becomes the
// interpreter's error again.
#pragma once

#include <new>

#include "args.hpp"
#include "exit_safe.hpp"

namespace vx {

struct Call {
    nb::handle self;  // nullptr for static methods
    PyObject *const *args;
    Py_ssize_t nargs;
    PyObject *kwnames;

    template <size_t N>
    std::array<PyObject *, N> bind(const Params<N> &params) const {
        return vx::bind(params, args, nargs, kwnames);
    }
    void bind_none(const char *function) const { vx::bind_none(function, nargs, kwnames); }
};

// What an entry point is; a header declares a file's entry points at once with it:
// `vx::MethodBody start, stop;`.
using MethodBody = nb::object(const Call &);
using Body = MethodBody *;

inline PyObject *translate_exception() noexcept {
    try {
        throw;
    } catch (nb::python_error &e) {
        e.restore();
    } catch (const nb::builtin_exception &e) {
        PyObject *type = PyExc_RuntimeError;
        switch (e.type()) {
            case nb::exception_type::type_error: type = PyExc_TypeError; break;
            case nb::exception_type::value_error: type = PyExc_ValueError; break;
            case nb::exception_type::key_error: type = PyExc_KeyError; break;
            case nb::exception_type::index_error: type = PyExc_IndexError; break;
            case nb::exception_type::attribute_error: type = PyExc_AttributeError; break;
            default: break;
        }
        PyErr_SetString(type, e.what());
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (const std::exception &e) {
        PyErr_SetString(PyExc_SystemError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
    }
    return nullptr;
}

// Not noexcept: at interpreter exit CPython ends a daemon thread that wants the GIL
// back with pthread_exit, which glibc runs as a forced unwind. The modules' calls
// into Python stop it where it starts (exit_safe.hpp); one that still reaches these
// frames must pass through untouched, since swallowing it would set an error
// without a thread state and crash the exiting process.
template <Body F>
PyObject *trampoline(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                     PyObject *kwnames) {
    try {
        nb::object result = F(Call{self, args, nargs, kwnames});
        if (!result.is_valid())
            Py_RETURN_NONE;
        return result.release().ptr();
    } catch (forced_unwind &) {
        throw;
    } catch (...) {
        return translate_exception();
    }
}

} // namespace vx

// One PyMethodDef entry: VX_METHOD("write", write, "doc").
#define VX_METHOD(name, body, doc)                                                     \
    PyMethodDef {                                                                      \
        name, (PyCFunction)(void (*)(void))vx::trampoline<body>,                       \
            METH_FASTCALL | METH_KEYWORDS, doc                                         \
    }
