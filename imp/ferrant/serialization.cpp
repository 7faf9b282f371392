// Serialised form: class name, module, class source (with the module's imports)
// and a deep copy of the configuration without its reserved entries.
#include "common/runtime.hpp"
#include "portable.hpp"

namespace ferrant {
namespace {

vx::LazyModule inspect_module{"inspect"};
vx::LazyModule ast_module{"ast"};
vx::LazyModule importlib_module{"importlib"};

// module.<name>(arg)
nb::object call_function(vx::LazyModule &module, const char *name, nb::handle arg) {
    return vx::call(module.attr(name), arg);
}

nb::object deep_copy(nb::handle value) {
    return call_function(vx::modules::copy, "deepcopy", value);
}

// Every value of ReservedKeys' namespace that is a key of the copy is dropped.
void drop_reserved_entries(nb::handle live_config, nb::handle copy) {
    nb::object reserved = vx::getattr(vx::getattr(live_config, names::ReservedKeys), names::dunder_dict);
    nb::object values = vx::steal_call([&] { return PyMapping_Values(reserved.ptr()); });
    Py_ssize_t count = PyList_GET_SIZE(values.ptr());
    for (Py_ssize_t i = 0; i < count; ++i) {
        nb::handle key = PyList_GET_ITEM(values.ptr(), i);
        if (vx::contains(copy, key))
            vx::check_call([&] { return PyObject_DelItem(copy.ptr(), key.ptr()); });
    }
}

// True when any preinstalled module name occurs inside `module_name`. Every entry
// is tested, as a plain `in`, so a failing test surfaces whatever the order.
bool is_preinstalled(nb::handle module_name) {
    bool found = false;
    vx::for_each(class_table(names::preinstalled_modules_), [&](nb::handle entry) {
        if (vx::contains(module_name, entry))
            found = true;
    });
    return found;
}

// The defining module's import statements (breadth-first, one line each), a blank
// line, and the class statement as written.
nb::object class_source(nb::handle cls) {
    nb::object module = call_function(inspect_module, "getmodule", cls);
    nb::object module_text = call_function(inspect_module, "getsource", module);
    nb::object tree = call_function(ast_module, "parse", module_text);
    nb::object walk = call_function(ast_module, "walk", tree);
    nb::object import_type = ast_module.attr("Import");
    nb::object import_from_type = ast_module.attr("ImportFrom");
    nb::object lines = vx::steal_or_throw(PyList_New(0));
    vx::for_each(walk, [&](nb::handle node) {
        if (vx::is_instance(node, import_type) || vx::is_instance(node, import_from_type)) {
            nb::object line = call_function(ast_module, "unparse", node);
            vx::check_status(PyList_Append(lines.ptr(), line.ptr()));
        }
    });
    nb::object class_text = call_function(inspect_module, "getsource", cls);

    nb::object newline = vx::steal_or_throw(PyUnicode_FromString("\n"));
    nb::object imports = vx::steal_or_throw(PyUnicode_Join(newline.ptr(), lines.ptr()));
    nb::object text = vx::steal_or_throw(PyUnicode_FromFormat("%U\n\n", imports.ptr()));
    return vx::steal_or_throw(PyUnicode_Concat(text.ptr(), class_text.ptr()));
}

// Source text, or None when the host cannot give it (interactive class, built-in
// module): OSError and TypeError mean "no source", anything else is a real fault.
nb::object try_class_source(nb::handle cls) {
    try {
        return class_source(cls);
    } catch (nb::python_error &error) {
        if (error.matches(PyExc_OSError) || error.matches(PyExc_TypeError))
            return nb::none();
        throw;
    }
}

// data[key] by plain subscription (KeyError with the key when missing).
nb::object entry(nb::handle data, const char *key) {
    return vx::get_item(data, nb::str(key));
}

// exec(text) compiles the text as compile(text, "<string>", "exec") does; a saved
// pipeline repeats one class's text for each of its nodes, so the code is compiled
// once per text and run afresh for each node (each still gets a class of its own).
// Anything but an exact str goes to exec as it is.
nb::object compiled(nb::handle source) {
    static vx::Kept cache_kept;  // text -> code
    static constexpr Py_ssize_t cache_limit = 256;
    if (!PyUnicode_CheckExact(source.ptr()))
        return nb::borrow(source);
    PyObject *cache = cache_kept.get_or_make([] { return vx::steal_or_throw(PyDict_New()); }).ptr();
    if (PyObject *found = PyDict_GetItemWithError(cache, source.ptr()))  // no Python code: exact str
        return nb::borrow(found);
    if (PyErr_Occurred())
        vx::throw_error_already_set();
    nb::object compile = vx::borrow_or_throw(PyDict_GetItemString(PyEval_GetBuiltins(), "compile"));
    nb::object filename = vx::steal_or_throw(PyUnicode_FromString("<string>"));
    nb::object mode = vx::steal_or_throw(PyUnicode_FromString("exec"));
    nb::object code = vx::call(compile, source, filename, mode);
    if (PyDict_GET_SIZE(cache) >= cache_limit)
        PyDict_Clear(cache);
    vx::dict_set(cache, source, code);
    return code;
}

// The class the saved source defines, run in a namespace of its own named after
// the stored module, so the class's __module__ is that name.
nb::object class_from_source(nb::handle data) {
    nb::object custom_globals = vx::steal_or_throw(PyDict_New());
    vx::check_status(PyDict_SetItem(custom_globals.ptr(), names::dunder_name.ptr(),
                                    entry(data, "module").ptr()));
    nb::object source = entry(data, "source");
    nb::object exec = vx::borrow_or_throw(PyDict_GetItemString(PyEval_GetBuiltins(), "exec"));
    vx::call(exec, compiled(source), custom_globals, custom_globals);
    nb::object found = vx::lookup(custom_globals, entry(data, "class"));
    return found.is_valid() ? found : nb::none();
}

nb::object class_from_module(nb::handle data) {
    nb::object module = call_function(importlib_module, "import_module", entry(data, "module"));
    nb::object name = entry(data, "class");
    try {
        return vx::getattr(module, name);
    } catch (nb::python_error &error) {
        if (!error.matches(PyExc_AttributeError))
            throw;
        return nb::none();
    }
}

// cls(**settings), with the interpreter's rule that the settings be a mapping.
nb::object construct(nb::handle cls, nb::handle settings) {
    nb::object kwargs = vx::steal_or_throw(PyDict_New());
    // A dict subclass may answer through its own keys() and __getitem__.
    if (PyDict_Check(settings.ptr())) {
        vx::check_call([&] { return PyDict_Update(kwargs.ptr(), settings.ptr()); });
    } else if (vx::has_attr(settings, "keys")) {
        vx::check_call([&] { return PyDict_Merge(kwargs.ptr(), settings.ptr(), 1); });
    } else {
        vx::raise(PyExc_TypeError, "argument after ** must be a mapping, not %.200s",
                  Py_TYPE(settings.ptr())->tp_name);
    }
    return vx::call_with_kwargs(cls, kwargs);
}

} // namespace

nb::object serialize(const vx::Call &call) {
    static constexpr vx::Params<1> params{"serialize", {"interface"}};
    auto [interface] = call.bind(params);

    nb::object live_config = vx::getattr(call.self, names::config);
    nb::object settings = deep_copy(live_config);
    drop_reserved_entries(live_config, settings);

    nb::object cls = vx::getattr(interface, names::dunder_class);
    nb::object module_name = vx::getattr(cls, names::dunder_module);
    nb::object source = is_preinstalled(module_name) ? nb::none() : try_class_source(cls);

    nb::dict result;
    result["class"] = vx::getattr(cls, names::dunder_name);
    result["module"] = module_name;
    result["source"] = source;
    result["config"] = settings;
    return std::move(result);
}

nb::object deserialize(const vx::Call &call) {
    static constexpr vx::Params<1> params{"deserialize", {"data"}};
    auto [data] = call.bind(params);
    vx::require_dict(data, "data");
    nb::object portable = vx::modules::portable.attr(names::Portable);

    nb::object cls = entry(data, "source").is_none() ? class_from_module(data) : class_from_source(data);
    if (cls.is_none())
        vx::raise(PyExc_TypeError, "Class '%S' could not be imported.", entry(data, "class").ptr());

    nb::object mro = vx::getattr(cls, names::dunder_mro);
    if (!vx::contains(mro, portable))
        vx::raise(PyExc_TypeError, "Class '%S' must be derived from class 'Portable'.",
                  vx::getattr(cls, names::dunder_name).ptr());
    return construct(cls, entry(data, "config"));
}

} // namespace ferrant
