// Building the implementation classes: type(name, bases, namespace) with bases taken
// from Python, then C++ methods installed on the finished class. Classes made this
// way take any Python base (dict, a class of another module) and combine freely.
#pragma once

#include <initializer_list>
#include <string>
#include <utility>

#include "host.hpp"

namespace vx {

// type(name, bases, namespace); `__module__` and `__qualname__` are filled in when
// the namespace does not already hold them.
inline nb::object make_class(const char *name, nb::handle bases, nb::dict ns,
                             const char *module, const char *qualname = nullptr) {
    if (!ns.contains("__module__"))
        ns["__module__"] = module;
    if (!ns.contains("__qualname__"))
        ns["__qualname__"] = qualname ? qualname : name;
    nb::object text = steal_or_throw(PyUnicode_FromString(name));
    return vx::call(nb::handle((PyObject *)&PyType_Type), text, bases, ns);
}

inline nb::tuple bases_of(std::initializer_list<nb::handle> bases) {
    nb::object tuple = steal_or_throw(PyTuple_New((Py_ssize_t)bases.size()));
    Py_ssize_t i = 0;
    for (nb::handle base : bases)
        PyTuple_SET_ITEM(tuple.ptr(), i++, Py_NewRef(base.ptr()));
    return nb::borrow<nb::tuple>(tuple);
}

// Instance methods: method descriptors, so they bind to instances of `cls` and its
// subclasses and can be called unbound as Class.method(obj, ...).
// `defs` ends with a zeroed entry and must outlive the class (static storage).
inline void add_methods(nb::handle cls, PyMethodDef *defs) {
    for (PyMethodDef *def = defs; def->ml_name; ++def) {
        nb::object descr = steal_or_throw(PyDescr_NewMethod((PyTypeObject *)cls.ptr(), def));
        check_status(PyObject_SetAttrString(cls.ptr(), def->ml_name, descr.ptr()));
    }
}

// Static methods: plain builtins wrapped in staticmethod.
inline void add_static_methods(nb::handle cls, PyMethodDef *defs) {
    for (PyMethodDef *def = defs; def->ml_name; ++def) {
        nb::object function = steal_or_throw(PyCFunction_NewEx(def, nullptr, nullptr));
        nb::object method = steal_or_throw(PyStaticMethod_New(function.ptr()));
        check_status(PyObject_SetAttrString(cls.ptr(), def->ml_name, method.ptr()));
    }
}

// One class of the package: its docstring, declared types (annotations only, the
// class holds no values for them) and C++ methods. `methods` and `static_methods`
// end with a zeroed entry and must outlive the class (static storage).
struct ClassSpec {
    const char *name;
    const char *module;
    const char *doc;
    std::initializer_list<std::pair<const char *, const char *>> annotations = {};
    PyMethodDef *methods = nullptr;
    PyMethodDef *static_methods = nullptr;
};

// type(name, bases, ns) from the spec; `ns` may bring class attributes of its own.
nb::object define_class(const ClassSpec &spec, nb::handle bases, nb::dict ns = nb::dict());

// The same on one base, the package's class named `base` (velarix.imp.<base>).
inline nb::object define_class_on(nb::handle base, const ClassSpec &spec, nb::dict ns = nb::dict()) {
    return define_class(spec, bases_of({modules::imp.attr(base)}), ns);
}

// A module's functions: builtins of the module, installed as its attributes.
// `defs` must outlive the module (static storage).
template <size_t N>
void add_functions(nb::module_ &module, PyMethodDef (&defs)[N]) {
    nb::object name = getattr(module, "__name__");
    for (PyMethodDef &def : defs)
        if (def.ml_name)
            module.attr(def.ml_name) = steal_or_throw(PyCFunction_NewEx(&def, nullptr, name.ptr()));
}

inline nb::object define_class(const ClassSpec &spec, nb::handle bases, nb::dict ns) {
    if (spec.annotations.size() > 0) {
        nb::dict annotations;
        for (auto &[attr, declared] : spec.annotations)
            annotations[attr] = declared;
        ns["__annotations__"] = annotations;
    }
    ns["__doc__"] = spec.doc;
    nb::object cls = make_class(spec.name, bases, ns, spec.module);
    if (spec.methods)
        add_methods(cls, spec.methods);
    if (spec.static_methods)
        add_static_methods(cls, spec.static_methods);
    return cls;
}

// A nested class of plain attributes, such as SerializationKeys.
inline nb::object make_key_class(const char *name, const char *outer, const char *module,
                                 std::initializer_list<std::pair<const char *, const char *>> keys) {
    nb::dict ns;
    for (auto &[attr, value] : keys)
        ns[attr] = value;
    std::string qualname = std::string(outer) + "." + name;
    return make_class(name, bases_of({nb::handle((PyObject *)&PyBaseObject_Type)}), ns, module,
                      qualname.c_str());
}

} // namespace vx
