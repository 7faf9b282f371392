// The one way to declare a native type: a heap type made from a spec, whose
// instance is vx::Native<State>, the object header and then one C++ `State`.
//
// The State says what the instance owns through optional members:
//   int traverse(visitproc visit, void *arg) const  the references it owns (Py_VISIT);
//                                                   having it makes the type a GC type
//   void clear()                                    tp_clear: drops what may form cycles
//   void dispose()                                  what dealloc lets go of before the
//                                                   State is destroyed (default: clear())
// Its constructor may throw (containers allocate) but must not run Python code:
// make_native frees the bare object again and rethrows. Slot bodies are written as
// C++ that throws; slot_new and slot_init are the C slots around them, where the
// exception becomes the interpreter's error (as method.hpp's trampoline does).
#pragma once

#include <initializer_list>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

#include "method.hpp"

namespace vx {

template <typename State>
struct Native {
    PyObject_HEAD
    State state;
};

template <typename State>
State &native_state(PyObject *self) {
    return ((Native<State> *)self)->state;
}

namespace native_detail {

template <typename S, typename = void>
struct traverses : std::false_type {};
template <typename S>
struct traverses<S, std::void_t<decltype(std::declval<const S &>().traverse(visitproc{}, (void *)nullptr))>>
    : std::true_type {};

template <typename S, typename = void>
struct clears : std::false_type {};
template <typename S>
struct clears<S, std::void_t<decltype(std::declval<S &>().clear())>> : std::true_type {};

template <typename S, typename = void>
struct disposes : std::false_type {};
template <typename S>
struct disposes<S, std::void_t<decltype(std::declval<S &>().dispose())>> : std::true_type {};

template <typename State>
int traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    return native_state<State>(self).traverse(visit, arg);
}

template <typename State>
int clear(PyObject *self) {
    native_state<State>(self).clear();
    return 0;
}

template <typename State>
void dealloc(PyObject *self) {
    PyTypeObject *type = Py_TYPE(self);
    if constexpr (traverses<State>::value)
        PyObject_GC_UnTrack(self);
    State &state = native_state<State>(self);
    if constexpr (disposes<State>::value)
        state.dispose();
    else if constexpr (clears<State>::value)
        state.clear();
    std::destroy_at(&state);
    type->tp_free(self);
    Py_DECREF(type);
}

} // namespace native_detail

// A new instance of `type` (a type made by make_native_type<State>) holding
// State(args...). Throws when the allocation or the constructor fails, the bare
// object freed again.
template <typename State, typename... Args>
nb::object make_native(PyTypeObject *type, Args &&...args) {
    PyObject *self = type->tp_alloc(type, 0);
    if (!self)
        throw_error_already_set();
    try {
        new (&native_state<State>(self)) State(std::forward<Args>(args)...);
    } catch (...) {
        if (PyType_IS_GC(type))
            PyObject_GC_UnTrack(self);
        type->tp_free(self);
        Py_DECREF(type);
        throw;
    }
    return nb::steal(self);
}

// tp_new and tp_init over bodies that throw.
using NewBody = nb::object (*)(PyTypeObject *type, PyObject *args, PyObject *kwargs);
using InitBody = void (*)(PyObject *self, PyObject *args, PyObject *kwargs);

template <NewBody F>
PyObject *slot_new(PyTypeObject *type, PyObject *args, PyObject *kwargs) {
    try {
        return F(type, args, kwargs).release().ptr();
    } catch (forced_unwind &) {
        throw;  // see trampoline()
    } catch (...) {
        return translate_exception();
    }
}

template <InitBody F>
int slot_init(PyObject *self, PyObject *args, PyObject *kwargs) {
    try {
        F(self, args, kwargs);
        return 0;
    } catch (forced_unwind &) {
        throw;
    } catch (...) {
        translate_exception();
        return -1;
    }
}

// Refuses any argument, as a type's constructor that takes none.
inline void takes_no_arguments(const char *what, PyObject *args, PyObject *kwargs) {
    if ((args && PyTuple_GET_SIZE(args) > 0) || (kwargs && PyDict_GET_SIZE(kwargs) > 0))
        raise(PyExc_TypeError, "%s takes no arguments", what);
}

struct NativeSpec {
    const char *name;  // dotted: "velarix.imp.portan.RingEnd"
    const char *doc;
    std::initializer_list<PyType_Slot> slots = {};  // the type's own: tp_new, methods, ...
    unsigned int flags = 0;                          // beyond the default (and GC, from State)
};

// The type of Native<State>: its dealloc, traverse and clear from the State's
// members, then the spec's own slots.
template <typename State>
nb::object make_native_type(const NativeSpec &spec) {
    std::vector<PyType_Slot> slots{{Py_tp_doc, (void *)spec.doc},
                                   {Py_tp_dealloc, (void *)native_detail::dealloc<State>}};
    unsigned int flags = Py_TPFLAGS_DEFAULT | spec.flags;
    if constexpr (native_detail::traverses<State>::value) {
        slots.push_back({Py_tp_traverse, (void *)native_detail::traverse<State>});
        flags |= Py_TPFLAGS_HAVE_GC;
    }
    if constexpr (native_detail::clears<State>::value)
        slots.push_back({Py_tp_clear, (void *)native_detail::clear<State>});
    slots.insert(slots.end(), spec.slots.begin(), spec.slots.end());
    slots.push_back({0, nullptr});
    // CPython copies what it needs from the spec and its slots (not the method tables).
    PyType_Spec type_spec{spec.name, (int)sizeof(Native<State>), 0, flags, slots.data()};
    return steal_or_throw(PyType_FromSpec(&type_spec));
}

} // namespace vx
