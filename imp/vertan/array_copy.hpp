// The step cycle's private copy of an exact numpy array of non-object items, made
// as its __deepcopy__ makes it (a copy in the source's own memory order: same
// dtype, byte order and strides, writeable, owning its data), with the data in the
// array pool. numpy's memory-handler API lets an allocator own array data: our
// handler is made the current one only around the copy, and the array keeps it,
// so numpy's own free returns the block to the pool whenever the array goes.
//
// numpy is reached through its C API table (the capsule its core module exports),
// found once numpy is imported, never imported from here. Its slot numbers are
// fixed across numpy's releases; a numpy without the handler API (before 1.22), or
// a table that does not look like one, leaves the copy to __deepcopy__.
//
// A contiguous array of up to a megabyte has its bytes copied here, with the
// interpreter lock held: numpy's own copy lets the lock go for any array of more
// than a few hundred items, and on a thread per node each step's copy then costs a
// hand-over of the lock to another thread and back, some tens of microseconds, for
// a memcpy of a few. Larger arrays keep numpy's copy, so that other threads run
// while their bytes move.
#pragma once

#include "array_pool.hpp"
#include "common/host.hpp"

namespace vx::array_copy {

namespace detail {

// numpy's PyDataMem_Handler, version 1.
struct Allocator {
    void *ctx;
    void *(*malloc)(void *ctx, size_t size);
    void *(*calloc)(void *ctx, size_t count, size_t item_size);
    void *(*realloc)(void *ctx, void *data, size_t size);
    void (*free)(void *ctx, void *data, size_t size);
};
struct Handler {
    char name[127];
    uint8_t version;
    Allocator allocator;
};

inline void *pool_malloc(void *, size_t size) { return array_pool::pool().allocate(size); }
inline void *pool_calloc(void *, size_t count, size_t item_size) {
    return array_pool::pool().allocate_zeroed(count, item_size);
}
inline void *pool_realloc(void *, void *data, size_t size) { return array_pool::pool().reallocate(data, size); }
inline void pool_free(void *, void *data, size_t) { array_pool::pool().release(data); }

inline Handler handler = {"velarix_step_copy", 1, {nullptr, pool_malloc, pool_calloc, pool_realloc, pool_free}};

// The table's slots used here.
constexpr int slot_ndarray_type = 2;
constexpr int slot_c_version = 0;  // ABI version: 1.x or 2.x in its top byte
constexpr int slot_new_copy = 85;
constexpr int slot_new_like_array = 277;
constexpr int slot_feature_version = 211;
constexpr int slot_set_handler = 304;
constexpr int slot_default_handler = 306;  // the address of numpy's default handler object
constexpr unsigned handler_feature_version = 0x0f;  // numpy 1.22
constexpr int keep_order = 2;                       // NPY_KEEPORDER

struct Api {
    PyObject *(*new_copy)(PyObject *array, int order);
    PyObject *(*new_like_array)(PyObject *prototype, int order, PyObject *descr, int subok);
    PyObject *(*set_handler)(PyObject *handler);
    PyObject **default_handler;
};

inline Api api;
inline bool pooled = true;  // off: arrays go to __deepcopy__, to compare against
inline Kept handler_capsule;
inline Kept unusable;  // set to True once numpy's table was found wanting

// The table of an imported numpy, or null.
inline void **find_table() {
    static const char *const cores[] = {"numpy._core._multiarray_umath", "numpy.core._multiarray_umath"};
    for (const char *core : cores) {
        nb::object name = steal_or_throw(PyUnicode_FromString(core));
        nb::object module = nb::steal(PyImport_GetModule(name.ptr()));
        if (!module.is_valid()) {
            PyErr_Clear();
            continue;
        }
        nb::object capsule = nb::steal(exit_safe([&] { return PyObject_GetAttrString(module.ptr(), "_ARRAY_API"); }));
        if (!capsule.is_valid() || !PyCapsule_CheckExact(capsule.ptr())) {
            PyErr_Clear();
            continue;
        }
        // numpy keeps its table for the life of the process.
        void **table = (void **)PyCapsule_GetPointer(capsule.ptr(), nullptr);
        if (!table)
            PyErr_Clear();
        return table;
    }
    return nullptr;
}

// Fills `api` from numpy's table; false while numpy is not usable for it.
inline bool load(PyTypeObject *ndarray) {
    if (handler_capsule.is_set())
        return true;
    if (unusable.is_set())
        return false;
    void **table = find_table();
    if (!table)
        return false;
    auto c_version = (unsigned (*)())table[slot_c_version];
    unsigned abi = c_version() >> 24;
    bool fits = (abi == 1 || abi == 2) && table[slot_ndarray_type] == (void *)ndarray &&
                ((unsigned (*)())table[slot_feature_version])() >= handler_feature_version;
    if (!fits) {
        unusable.set_once(nb::borrow(Py_True));
        return false;
    }
    api.new_copy = (PyObject * (*)(PyObject *, int)) table[slot_new_copy];
    api.new_like_array = (PyObject * (*)(PyObject *, int, PyObject *, int)) table[slot_new_like_array];
    api.set_handler = (PyObject * (*)(PyObject *)) table[slot_set_handler];
    api.default_handler = (PyObject **)table[slot_default_handler];
    handler_capsule.set_once(steal_or_throw(PyCapsule_New(&handler, "mem_handler", nullptr)));
    return true;
}

// The leading fields of numpy's array object, laid out alike in numpy 1.x and 2.x.
struct ArrayFields {
    PyObject_HEAD
    char *data;
    int nd;
    Py_ssize_t *dimensions, *strides;
    PyObject *base, *descr;
    int flags;
};
constexpr int c_contiguous = 0x0001, f_contiguous = 0x0002;  // NPY_ARRAY_C_CONTIGUOUS, _F_
constexpr Py_ssize_t held_copy_limit = Py_ssize_t(1) << 20;  // bytes copied with the lock held

// An array laid out as `array` (numpy's own choice of strides for the order it
// keeps) holding its bytes; numpy's copy where `array` is not contiguous or large.
inline PyObject *new_copy(PyObject *array) {
    auto *source = (ArrayFields *)array;
    if (!(source->flags & (c_contiguous | f_contiguous)))
        return api.new_copy(array, keep_order);
    // A contiguous array and one made like it in the order kept hold their items at
    // the same byte offsets.
    // An exact ndarray (an immutable type, no instance dict) answers from its getter.
    PyObject *nbytes = PyObject_GetAttr(array, names::nbytes.ptr());  // no Python code: ndarray's getter
    if (!nbytes)
        return nullptr;
    const Py_ssize_t size = PyLong_AsSsize_t(nbytes);
    Py_DECREF(nbytes);
    if (size < 0)
        return nullptr;
    if (size > held_copy_limit)
        return api.new_copy(array, keep_order);
    PyObject *copy = api.new_like_array(array, keep_order, nullptr, 1);
    if (copy && size > 0)
        std::memcpy(((ArrayFields *)copy)->data, source->data, (size_t)size);
    return copy;
}

} // namespace detail

// The copy of `array`, an exact `ndarray` (of type `ndarray`) whose items are not
// objects; an empty object where numpy's API is not usable or the program has set a
// memory handler of its own, for the caller's own way.
inline nb::object copy(PyObject *array, PyTypeObject *ndarray) {
    if (!detail::pooled || !detail::load(ndarray))
        return nb::object();
    // No Python code runs below: the handler is a context variable of this thread,
    // and copying items that are not objects calls none.
    PyObject *previous = detail::api.set_handler(detail::handler_capsule.ptr());
    if (!previous)
        throw_error_already_set();
    // A handler the program chose itself makes the copies, as in copy.deepcopy.
    const bool numpys_own = previous == *detail::api.default_handler;
    PyObject *result = numpys_own ? detail::new_copy(array) : nullptr;
    PyObject *failure = result ? nullptr : PyErr_GetRaisedException();
    PyObject *restored = detail::api.set_handler(previous);
    Py_DECREF(previous);
    if (!restored) {
        Py_XDECREF(result);
        Py_XDECREF(failure);
        throw_error_already_set();
    }
    Py_DECREF(restored);
    if (!numpys_own)
        return nb::object();
    if (failure) {
        PyErr_SetRaisedException(failure);
        throw_error_already_set();
    }
    return nb::steal(result);
}

inline void set_pooled(bool on) { detail::pooled = on; }

// What the pool holds now (for tests and benchmarks).
inline array_pool::Figures pool_figures() { return array_pool::pool().figures(); }

} // namespace vx::array_copy
