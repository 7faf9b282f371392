// The host interpreter as the modules reach it: attributes, items, comparisons,
// calls, iteration, and the modules of the package imported on first use.
//
// Each helper that can run Python code (a __getattr__, an __eq__, a called
// function, an import) runs its C API call under exit_safe, so a daemon thread that
// the interpreter ends inside it at exit is parked there instead of unwinding
// through the modules' frames. The normal path costs nothing for it.
#pragma once

#include <cstring>
#include <initializer_list>

#include "errors.hpp"
#include "kept.hpp"

namespace vx {

// --- attributes and items --------------------------------------------------------

// Attribute lookup that throws on failure: vx::getattr(obj, names::counter_).
inline nb::object getattr(nb::handle obj, nb::handle name) {
    return steal_call([&] { return PyObject_GetAttr(obj.ptr(), name.ptr()); });
}

inline nb::object getattr(nb::handle obj, const char *name) {
    return steal_call([&] { return PyObject_GetAttrString(obj.ptr(), name); });
}

// getattr(obj, name, None)
inline nb::object getattr_or_none(nb::handle obj, nb::handle name) {
    PyObject *found = exit_safe([&] { return PyObject_GetAttr(obj.ptr(), name.ptr()); });
    if (found)
        return nb::steal(found);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError))
        throw_error_already_set();
    PyErr_Clear();
    return nb::none();
}

// hasattr(obj, name): any failure of the lookup counts as absent.
inline bool has_attr(nb::handle obj, const char *name) {
    return exit_safe([&] { return PyObject_HasAttrString(obj.ptr(), name); }) != 0;
}

inline void setattr(nb::handle obj, nb::handle name, nb::handle value) {
    check_call([&] { return PyObject_SetAttr(obj.ptr(), name.ptr(), value.ptr()); });
}

// obj[key]
inline nb::object get_item(nb::handle obj, nb::handle key) {
    return steal_call([&] { return PyObject_GetItem(obj.ptr(), key.ptr()); });
}

// obj[key] = value
inline void set_item(nb::handle obj, nb::handle key, nb::handle value) {
    check_call([&] { return PyObject_SetItem(obj.ptr(), key.ptr(), value.ptr()); });
}

// dict.__setitem__(mapping, key, value): the entries the framework owns in a
// configuration bypass any item-assignment rule of the configuration's class.
inline void store_in_base_dict(nb::handle mapping, nb::handle key, nb::handle value) {
    if (!PyDict_Check(mapping.ptr()))
        raise(PyExc_TypeError,
              "descriptor '__setitem__' requires a 'dict' object but received a '%.200s'",
              Py_TYPE(mapping.ptr())->tp_name);
    check_status(PyDict_SetItem(mapping.ptr(), key.ptr(), value.ptr()));
}

// dict[key] = value for an exact dict: the key's own __hash__ and __eq__ may run.
inline void dict_set(nb::handle dict, nb::handle key, nb::handle value) {
    check_call([&] { return PyDict_SetItem(dict.ptr(), key.ptr(), value.ptr()); });
}

// mapping[key], or an empty object when the key is missing (KeyError swallowed).
inline nb::object lookup(nb::handle mapping, nb::handle key) {
    if (PyDict_CheckExact(mapping.ptr())) {
        // The key's own __hash__ and __eq__ may run.
        PyObject *found = nullptr;
        if (exit_safe([&] { return compat::dict_get_ref(mapping.ptr(), key.ptr(), &found); }) < 0)
            throw_error_already_set();
        return nb::steal(found);
    }
    PyObject *found = exit_safe([&] { return PyObject_GetItem(mapping.ptr(), key.ptr()); });
    if (!found) {
        if (!PyErr_ExceptionMatches(PyExc_KeyError))
            throw_error_already_set();
        PyErr_Clear();
        return nb::object();
    }
    return nb::steal(found);
}

// getattr(obj, name) for an attribute the object keeps in its own __dict__ (a
// port's links, a node's ports), on a hot path. Where the class keeps the default
// attribute protocol and nothing along its MRO has that name, the default protocol
// would look in the instance dict and nowhere else: so does this, without the
// generic lookup's overhead. Anything else, and a name the dict lacks, takes the
// full lookup (with its usual AttributeError).
inline nb::object own_attr(nb::handle obj, nb::handle name) {
    PyTypeObject *type = Py_TYPE(obj.ptr());
    if (type->tp_getattro == PyObject_GenericGetAttr && !compat::type_lookup(type, name.ptr())) {
        PyObject **slot = compat::dict_ptr(obj.ptr());
        if (slot && *slot && PyDict_CheckExact(*slot)) {
            nb::object dict = nb::borrow(*slot);  // the key's comparison may replace it
            nb::object found = lookup(dict, name);
            if (found.is_valid())
                return found;
        }
    }
    return vx::getattr(obj, name);
}

// --- truth, comparison and arithmetic ----------------------------------------------

inline bool truthy(nb::handle value) {
    return check_call([&] { return PyObject_IsTrue(value.ptr()); }) != 0;
}

// `a == b` as Python evaluates it. Exact str and int, whose equality cannot be
// overridden, are answered here; everything else asks the objects.
inline bool equals(nb::handle a, nb::handle b) {
    if (PyUnicode_CheckExact(a.ptr()) && PyUnicode_CheckExact(b.ptr())) {
        if (a.is(b))
            return true;
        // A text has one canonical form (the narrowest kind that holds it), so
        // equal strings have the same length, kind and bytes.
        Py_ssize_t length = PyUnicode_GET_LENGTH(a.ptr());
        int kind = PyUnicode_KIND(a.ptr());
        return length == PyUnicode_GET_LENGTH(b.ptr()) && kind == (int)PyUnicode_KIND(b.ptr()) &&
               memcmp(PyUnicode_DATA(a.ptr()), PyUnicode_DATA(b.ptr()), (size_t)length * kind) == 0;
    }
    if (a.is(b) && PyLong_CheckExact(a.ptr()))
        return true;
    nb::object result = steal_call([&] { return PyObject_RichCompare(a.ptr(), b.ptr(), Py_EQ); });
    return vx::truthy(result);
}

// `a <op> b` as containers compare: identical objects are equal (and not unequal)
// without being asked.
inline bool compare(nb::handle a, nb::handle b, int op) {
    return check_call([&] { return PyObject_RichCompareBool(a.ptr(), b.ptr(), op); }) != 0;
}

// a > b
inline bool greater(nb::handle a, nb::handle b) { return compare(a, b, Py_GT); }

// item in container
inline bool contains(nb::handle container, nb::handle item) {
    return check_call([&] { return PySequence_Contains(container.ptr(), item.ptr()); }) != 0;
}

// isinstance(obj, cls)
inline bool is_instance(nb::handle obj, nb::handle cls) {
    return check_call([&] { return PyObject_IsInstance(obj.ptr(), cls.ptr()); }) != 0;
}

// a - b, a + b and a / b, as used on clock readings and counters: plain doubles
// when both are floats (the same IEEE result Python computes), the number protocol
// otherwise (a patched clock may return ints).
inline bool both_floats(nb::handle a, nb::handle b) {
    return PyFloat_CheckExact(a.ptr()) && PyFloat_CheckExact(b.ptr());
}

inline nb::object subtract(nb::handle a, nb::handle b) {
    if (both_floats(a, b))
        return steal_or_throw(PyFloat_FromDouble(PyFloat_AS_DOUBLE(a.ptr()) - PyFloat_AS_DOUBLE(b.ptr())));
    return steal_call([&] { return PyNumber_Subtract(a.ptr(), b.ptr()); });
}

inline nb::object add(nb::handle a, nb::handle b) {
    if (both_floats(a, b))
        return steal_or_throw(PyFloat_FromDouble(PyFloat_AS_DOUBLE(a.ptr()) + PyFloat_AS_DOUBLE(b.ptr())));
    return steal_call([&] { return PyNumber_Add(a.ptr(), b.ptr()); });
}

inline nb::object divide(nb::handle a, nb::handle b) {
    if (both_floats(a, b) && PyFloat_AS_DOUBLE(b.ptr()) != 0.0)
        return steal_or_throw(PyFloat_FromDouble(PyFloat_AS_DOUBLE(a.ptr()) / PyFloat_AS_DOUBLE(b.ptr())));
    return steal_call([&] { return PyNumber_TrueDivide(a.ptr(), b.ptr()); });
}

// --- text ----------------------------------------------------------------------------

// The text of `value` as string formatting would give it ("%s" % value).
inline nb::object to_text(nb::handle value) {
    if (PyUnicode_CheckExact(value.ptr()))
        return nb::borrow(value);
    return steal_call([&] { return PyObject_Str(value.ptr()); });
}

// format(value, spec)
inline nb::object format(nb::handle value, nb::handle spec) {
    return steal_call([&] { return PyObject_Format(value.ptr(), spec.ptr()); });
}

// --- calls ---------------------------------------------------------------------------

// function(args...)
template <typename... Args>
nb::object call(nb::handle function, const Args &...args) {
    // The free slot in front lets a bound method put its self there.
    PyObject *vector[] = {nullptr, nb::handle(args).ptr()...};
    return steal_call([&] {
        return PyObject_Vectorcall(function.ptr(), vector + 1,
                                   sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    });
}

// function(*positional, **keywords) where `args` holds the positional values, then
// one value for each name of the tuple `kwnames` (see keyword_names):
// vx::call_kw(thread_class, keyword_names(keywords, {names::target}), target).
template <typename... Args>
nb::object call_kw(nb::handle function, nb::handle kwnames, const Args &...args) {
    PyObject *vector[] = {nullptr, nb::handle(args).ptr()...};
    size_t positional = sizeof...(Args) - (size_t)PyTuple_GET_SIZE(kwnames.ptr());
    return steal_call([&] {
        return PyObject_Vectorcall(function.ptr(), vector + 1,
                                   positional | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.ptr());
    });
}

// function(**kwargs) for a dict of keyword arguments.
inline nb::object call_with_kwargs(nb::handle function, nb::handle kwargs) {
    nb::object no_args = steal_or_throw(PyTuple_New(0));
    return steal_call([&] { return PyObject_Call(function.ptr(), no_args.ptr(), kwargs.ptr()); });
}

// obj.<name>(args...) with the object's own method lookup. No free slot in front
// here: the method's self takes the first place of the vector.
template <typename... Args>
nb::object call_method(nb::handle obj, nb::handle name, const Args &...args) {
    PyObject *vector[] = {obj.ptr(), nb::handle(args).ptr()...};
    return steal_call([&] {
        return PyObject_VectorcallMethod(name.ptr(), vector, 1 + sizeof...(Args), nullptr);
    });
}

// A tuple of keyword names for call_kw, made once by the caller and kept for the
// life of the process:
//     static vx::Kept keywords;
//     vx::call_kw(f, vx::keyword_names(keywords, {names::target}), target);
inline nb::handle keyword_names(Kept &kept, std::initializer_list<nb::handle> names) {
    return kept.get_or_make([&] {
        nb::object tuple = steal_or_throw(PyTuple_New((Py_ssize_t)names.size()));
        Py_ssize_t i = 0;
        for (nb::handle name : names)
            PyTuple_SET_ITEM(tuple.ptr(), i++, Py_NewRef(name.ptr()));
        return tuple;
    });
}

// --- iteration -----------------------------------------------------------------------

// iter(iterable)
inline nb::object iterate(nb::handle iterable) {
    return steal_call([&] { return PyObject_GetIter(iterable.ptr()); });
}

// next(iterator), or an empty object once it is exhausted.
inline nb::object next_item(nb::handle iterator) {
    PyObject *next = exit_safe([&] { return PyIter_Next(iterator.ptr()); });
    if (!next && PyErr_Occurred())
        throw_error_already_set();
    return nb::steal(next);
}

// fn(item) for every item `iterable` yields, each held while fn runs.
template <typename Fn>
void for_each(nb::handle iterable, Fn &&fn) {
    nb::object iterator = iterate(iterable);
    while (nb::object item = next_item(iterator))
        fn(nb::handle(item));
}

// list(sequence); an exact list is copied without running any code.
inline nb::object list_copy(nb::handle sequence) {
    if (PyList_CheckExact(sequence.ptr()))
        return steal_or_throw(PyList_GetSlice(sequence.ptr(), 0, PY_SSIZE_T_MAX));
    return steal_call([&] { return PySequence_List(sequence.ptr()); });
}

// --- modules -------------------------------------------------------------------------

// import <name>: the module, imported now if it is not yet.
inline nb::object import_module(const char *name) {
    return steal_call([&] { return PyImport_ImportModule(name); });
}

// Modules of the package that the extension modules use at run time. They are
// imported on first use, never while a module loads (the public layer imports the
// implementation package, not the other way round), then kept.
class LazyModule {
public:
    explicit constexpr LazyModule(const char *name) : name_(name) {}

    nb::handle get() {
        return module_.get_or_make([&] { return import_module(name_); });
    }

    // module.<name>, looked up on every call so that a patched attribute is seen.
    nb::object attr(nb::handle name) { return vx::getattr(get(), name); }
    nb::object attr(const char *name) { return vx::getattr(get(), name); }

private:
    const char *name_;
    Kept module_;
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
inline LazyModule collections{"collections"};
inline LazyModule queue{"queue"};
} // namespace modules

} // namespace vx
