// The one door to CPython's private and internal API. Every use of a private
// function or of a field documented as internal goes through a wrapper here, with
// what it does, why the public API will not do, and the versions it is known for;
// where CPython has a public replacement on a version, the wrapper uses that.
//
// Tested versions: CPython 3.12, 3.13, 3.14 and 3.15 (with the interpreter lock;
// 3.14 and 3.15 through `make test-pythons`). Before adding a version to the guard
// below, read every note here against that version's headers
// (Include/cpython/object.h, Include/object.h, Include/cpython/dictobject.h) and
// run `make test` on it.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#if PY_VERSION_HEX < 0x030C0000 || PY_VERSION_HEX >= 0x03100000
#error "velarix is tested on CPython 3.12 to 3.15 only; check imp/common/compat.hpp against this version's private API before building for it"
#endif
#ifdef Py_GIL_DISABLED
#error "velarix needs the interpreter lock: the free-threaded build of CPython is not supported (see imp/common/compat.hpp)"
#endif

namespace vx::compat {

// Where `obj` keeps its __dict__ (making the dict of a managed-dict instance if it
// has none yet), or null for an object without one. No Python code runs.
// Private `_PyObject_GetDictPtr`, the same on 3.12 to 3.15 (from 3.13 on it makes
// the dict of an instance whose attributes are inline values, and points at the
// managed-dict slot): the public `PyObject_GenericGetDict` gives a new reference to
// the dict but not the slot, and the step cycle re-reads the slot at every access
// so that a replaced __dict__ is seen at once.
inline PyObject **dict_ptr(PyObject *obj) { return _PyObject_GetDictPtr(obj); }

// The attribute `name` of class `type` as found along its MRO (no descriptor
// called, no metaclass consulted), borrowed, or null without an exception. No
// Python code runs. Private `_PyType_Lookup` on 3.12 to 3.15; there is no public
// lookup that skips descriptors and metaclasses, and this one is served by the
// type's method cache. 3.13 on add the equally private `_PyType_LookupRef` (a new
// reference), which a free-threaded build would need; with the interpreter lock
// the borrowed entry stays valid until the caller runs Python code, and every
// caller here uses it before that or takes a reference first.
inline PyObject *type_lookup(PyTypeObject *type, PyObject *name) { return _PyType_Lookup(type, name); }

// dict[key] as a new reference: 1 with it in *result, 0 with *result null when
// missing, -1 with an exception. Runs Python code only for a key whose __eq__ or
// __hash__ is Python's. A strong reference stays valid across later calls that may
// run Python code (which may drop the entry), and is what free-threading needs.
// Public `PyDict_GetItemRef` from 3.13 on; 3.12 has only the borrowing lookup.
inline int dict_get_ref(PyObject *dict, PyObject *key, PyObject **result) {
#if PY_VERSION_HEX >= 0x030D0000
    return PyDict_GetItemRef(dict, key, result);
#else
    PyObject *found = PyDict_GetItemWithError(dict, key);
    *result = Py_XNewRef(found);
    return found ? 1 : (PyErr_Occurred() ? -1 : 0);
#endif
}

// getattr(obj, name) that says "missing" instead of raising AttributeError: 1 with
// a new reference in *result, 0 with *result null when missing, -1 with an
// exception. Runs Python code. Private `_PyObject_LookupAttr` on 3.12; the public
// `PyObject_GetOptionalAttr` from 3.13 on (3.14 and 3.15 alike; the private name
// is gone there).
inline int lookup_attr(PyObject *obj, PyObject *name, PyObject **result) {
#if PY_VERSION_HEX >= 0x030D0000
    return PyObject_GetOptionalAttr(obj, name, result);
#else
    return _PyObject_LookupAttr(obj, name, result);
#endif
}

// The class's version tag, renewed by CPython on every change to the class or to
// one of its bases; 0 when it has none (a class changed too often, or not looked
// up since its last change). `tp_version_tag` is a public field documented "for
// internal use only". On 3.12 the tag counts only while
// Py_TPFLAGS_VALID_VERSION_TAG is set; from 3.13 on (3.14 and 3.15 alike) CPython
// no longer sets that flag and a change sets the tag itself to 0, so a tag that is
// not 0 is valid. Type watchers (`PyType_AddWatcher`, public) are no replacement:
// CPython calls them from the code that renews the tag, which skips a class that
// holds no valid tag, so a watcher would still need the tag to be trusted.
inline unsigned int type_version(PyTypeObject *type) {
#if PY_VERSION_HEX >= 0x030D0000
    return type->tp_version_tag;
#else
    return (type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) ? type->tp_version_tag : 0;
#endif
}

#if PY_VERSION_HEX < 0x030D0000
// 3.12 only: the dict's version tag, renewed from one interpreter-wide counter at
// every change, whose low 8 bits name the dict's watchers. Deprecated by PEP 699
// (no longer renewed for every change from 3.13 on, and gone from 3.14 on, where
// the field is `_ma_watcher_tag` and holds only the watcher bits). Kept on 3.12 because the
// public replacement, a dict watcher (dict_version.hpp, used on 3.13), costs the
// step cycle about 5% (1.11 -> 1.17 us a cycle of an input-only node).
inline uint64_t dict_version_tag(PyObject *dict) {
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif
    return ((PyDictObject *)dict)->ma_version_tag;
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
}

// Some dict watcher watches `dict`: its callback may run Python code at a change.
inline bool dict_watched(PyObject *dict) { return (dict_version_tag(dict) & 0xFF) != 0; }
#endif

// True when every change to `dict` goes through the dict itself, so that its
// watchers hear of it. Always on 3.12, where an instance's __dict__, once made,
// holds the values. From 3.13 on (3.14 and 3.15 alike) an instance's attributes
// may stay in the object with the dict sharing them (a split table, `ma_values`
// set), and attribute stores then write them without going through the dict; only
// a combined table (`ma_values` null, a public field of the dict's struct on all
// four versions) is sure to tell its watchers.
inline bool dict_tells_watchers(PyObject *dict) {
#if PY_VERSION_HEX >= 0x030D0000
    return ((PyDictObject *)dict)->ma_values == nullptr;
#else
    (void)dict;
    return true;
#endif
}

// Gives `op`, an exact int of one positive digit, the value `value` in place, where
// that value is one positive digit too; false, with nothing changed, otherwise.
// Only for an object no other code can see (the caller holds the one reference
// there is, so the change is as good as a new object): the step cycle's and the
// ports' counters, which would otherwise make and store an int per step. The value
// layout (`long_value`: `lv_tag` holds the digit count above
// _PyLong_NON_SIZE_BITS bits of sign and flags, sign 0 for positive) is internal; the
// same in the 3.12 and 3.13 headers, and `PyUnstable_Long_IsCompact` reads it too.
// The small ints CPython shares are immortal, so never the one reference.
inline bool set_one_digit_int(PyObject *op, unsigned long long value) {
    if (!PyLong_CheckExact(op) || value == 0 || value >= (unsigned long long)PyLong_BASE)
        return false;
    PyLongObject *number = (PyLongObject *)op;
    if (number->long_value.lv_tag != ((uintptr_t)1 << _PyLong_NON_SIZE_BITS))
        return false;
    number->long_value.ob_digit[0] = (digit)value;
    return true;
}

// The value of `op`, an exact int of one positive digit, or 0 for anything else.
inline unsigned long long one_digit_int(PyObject *op) {
    if (!PyLong_CheckExact(op))
        return 0;
    PyLongObject *number = (PyLongObject *)op;
    return number->long_value.lv_tag == ((uintptr_t)1 << _PyLong_NON_SIZE_BITS) ? number->long_value.ob_digit[0]
                                                                               : 0;
}

} // namespace vx::compat
