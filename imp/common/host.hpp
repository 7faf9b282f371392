// Modules of the package that the extension modules use at run time. They are
// imported on first use, never while a module loads (the public layer imports the
// implementation package, not the other way round), then kept.
#pragma once

#include "errors.hpp"

namespace vx {

class LazyModule {
public:
    explicit constexpr LazyModule(const char *name) : name_(name) {}

    nb::handle get() {
        if (!module_) {
            PyObject *module = PyImport_ImportModule(name_);
            if (!module)
                throw nb::python_error();
            // Another thread may have won while the import released the lock.
            if (module_)
                Py_DECREF(module);
            else
                module_ = module;
        }
        return module_;
    }

    // module.<name>, looked up on every call so that a patched attribute is seen.
    nb::object attr(nb::handle name) {
        return steal_or_throw(PyObject_GetAttr(get().ptr(), name.ptr()));
    }

private:
    const char *name_;
    PyObject *module_ = nullptr;
};

namespace modules {
inline LazyModule imp{"velarix.imp"};
inline LazyModule constants{"velarix.constants"};
inline LazyModule logger{"velarix.logger"};
inline LazyModule portable{"velarix.portable"};
inline LazyModule i_port{"velarix.i_port"};
inline LazyModule o_port{"velarix.o_port"};
inline LazyModule node{"velarix.node"};
inline LazyModule i_node{"velarix.i_node"};
inline LazyModule o_node{"velarix.o_node"};
inline LazyModule pipeline{"velarix.pipeline"};
inline LazyModule threading{"threading"};
inline LazyModule time{"time"};
inline LazyModule copy{"copy"};
} // namespace modules

// Attribute lookup that throws on failure: vx::getattr(obj, names::counter).
inline nb::object getattr(nb::handle obj, nb::handle name) {
    return steal_or_throw(PyObject_GetAttr(obj.ptr(), name.ptr()));
}

inline void setattr(nb::handle obj, nb::handle name, nb::handle value) {
    check_status(PyObject_SetAttr(obj.ptr(), name.ptr(), value.ptr()));
}

// mapping[key], or an empty object when the key is missing (KeyError swallowed).
inline nb::object lookup(nb::handle mapping, nb::handle key) {
    if (PyDict_CheckExact(mapping.ptr())) {
        PyObject *found = PyDict_GetItemWithError(mapping.ptr(), key.ptr());
        if (!found && PyErr_Occurred())
            throw nb::python_error();
        return found ? nb::borrow(found) : nb::object();
    }
    PyObject *found = PyObject_GetItem(mapping.ptr(), key.ptr());
    if (!found) {
        if (!PyErr_ExceptionMatches(PyExc_KeyError))
            throw nb::python_error();
        PyErr_Clear();
        return nb::object();
    }
    return nb::steal(found);
}

// The text of `value` as string formatting would give it ("%s" % value).
inline nb::object to_text(nb::handle value) {
    if (PyUnicode_CheckExact(value.ptr()))
        return nb::borrow(value);
    return steal_or_throw(PyObject_Str(value.ptr()));
}

} // namespace vx
