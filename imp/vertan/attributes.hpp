// Attribute access on the step cycle's hot path. Both helpers give exactly what
// ordinary attribute access gives; they skip work only while CPython's type version
// tags (renewed on every change to a class or to one of its bases) prove that the
// skipped work would find the same thing.
#pragma once

#include "node.hpp"

namespace vertan {

inline bool has_version(PyTypeObject *type) {
    return (type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) && type->tp_version_tag != 0;
}

// owner.<name> for a class whose metaclass is `type` (such as Constants.States):
// remembered while the class keeps its version, unless the class holds a
// descriptor under that name, whose __get__ must run each time. The latest class
// and value are kept for the life of the process.
class ClassAttribute {
public:
    nb::object get(nb::handle owner, nb::handle name) {
        if (owner.ptr() == owner_.ptr() && has_version((PyTypeObject *)owner.ptr()) &&
            ((PyTypeObject *)owner.ptr())->tp_version_tag == version_)
            return nb::borrow(value_.get());
        nb::object value = vx::getattr(owner, name);
        // The lookup has given the class a version tag if it can have one.
        if (Py_TYPE(owner.ptr()) != &PyType_Type)
            return value;
        PyTypeObject *type = (PyTypeObject *)owner.ptr();
        PyObject *entry = _PyType_Lookup(type, name.ptr());
        if (entry && !Py_TYPE(entry)->tp_descr_get && has_version(type)) {
            // Releasing the old class may run code that comes back here: no tag is
            // 0, so nothing matches until both are in place.
            version_ = 0;
            owner_.replace(owner);
            value_.replace(value);
            version_ = type->tp_version_tag;
        }
        return value;
    }

private:
    vx::Kept owner_;
    vx::Kept value_;
    unsigned int version_ = 0;
};

// The node's own attributes, read and written straight in its __dict__ while its
// class keeps the default attribute protocol and defines none of the names the
// cycle uses; the full protocol otherwise. Every access re-checks the class and
// its version and reads the __dict__ slot afresh, so handlers that change the
// class or replace the __dict__ are seen at once.
class NodeAttributes {
public:
    explicit NodeAttributes(nb::handle self) : self_(self), type_(Py_TYPE(self.ptr())) {
        if (plain_class(type_)) {
            version_ = type_->tp_version_tag;
            slot_ = _PyObject_GetDictPtr(self.ptr());  // makes the __dict__ if need be
        }
    }

    nb::object get(nb::handle name) const {
        if (PyObject *dict = current_dict()) {
            PyObject *found = PyDict_GetItemWithError(dict, name.ptr());  // no Python code: interned name
            if (found)
                return nb::borrow(found);
            if (PyErr_Occurred())
                vx::throw_error_already_set();
        }
        return vx::getattr(self_, name);  // the usual AttributeError when missing
    }

    void set(nb::handle name, nb::handle value) const {
        if (PyObject *dict = current_dict())
            vx::check_status(PyDict_SetItem(dict, name.ptr(), value.ptr()));  // no Python code: interned name
        else
            vx::setattr(self_, name, value);
    }

private:
    PyObject *current_dict() const {
        if (!slot_ || Py_TYPE(self_.ptr()) != type_ || !has_version(type_) ||
            type_->tp_version_tag != version_)
            return nullptr;
        PyObject *dict = *slot_;
        return dict && PyDict_Check(dict) ? dict : nullptr;
    }

    // Generic get/set and no class attribute of any name the cycle uses, proven
    // once per class version and remembered for a few classes.
    static bool plain_class(PyTypeObject *type) {
        if (type->tp_getattro != PyObject_GenericGetAttr ||
            type->tp_setattro != PyObject_GenericSetAttr || type->tp_dictoffset == 0)
            return false;
        if (has_version(type))
            for (const Known &known : known_)
                if (known.type == type && known.version == type->tp_version_tag)
                    return true;
        const vx::Kept *hot[] = {&names::condition_, &names::state_, &names::counter_,
                                   &names::pre_step_handler_, &names::step_handler_,
                                   &names::post_step_handler_, &names::time_busy_,
                                   &names::time_start_, &names::load_};
        for (const vx::Kept *name : hot)
            if (_PyType_Lookup(type, name->ptr()))
                return false;
        if (!has_version(type))
            return false;
        // No reference is kept: a type made later at the same address has a new
        // version tag, so a stale entry can only miss.
        known_[next_] = Known{type, type->tp_version_tag};
        next_ = (next_ + 1) % known_size;
        return true;
    }

    struct Known {
        PyTypeObject *type;
        unsigned int version;
    };
    static constexpr size_t known_size = 8;
    static inline Known known_[known_size] = {};
    static inline size_t next_ = 0;

    nb::handle self_;
    PyTypeObject *type_;
    unsigned int version_ = 0;
    PyObject **slot_ = nullptr;  // where the object keeps its __dict__
};

} // namespace vertan
