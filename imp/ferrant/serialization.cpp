// Serialised form: class name, module, class source (with the module's imports)
// and a deep copy of the configuration without its reserved entries.
#include "common/runtime.hpp"
#include "portable.hpp"

namespace ferrant {
namespace {

vx::LazyModule inspect_module{"inspect"};
vx::LazyModule ast_module{"ast"};
vx::LazyModule importlib_module{"importlib"};
vx::LazyModule textwrap_module{"textwrap"};
vx::LazyModule linecache_module{"linecache"};
vx::LazyModule os_path_module{"os.path"};
vx::LazyModule weakref_module{"weakref"};

// The text each class made from stored text was made from, for as long as the
// class lives. inspect cannot find the source of such a class (its module is a
// name, not a file), and without this a pipeline loaded from a file and saved
// again would lose the classes it was loaded with, or get another class's text.
nb::object made_from_text() {
    static vx::Kept table;
    return nb::borrow(table.get_or_make([] { return vx::call(weakref_module.attr("WeakKeyDictionary")); }));
}

// Best effort on both sides: a class whose metaclass refuses hashing or weak
// references is made and saved as it would be without this table.
void remember_text(nb::handle cls, nb::handle source) {
    if (!PyUnicode_CheckExact(source.ptr()) || !PyType_Check(cls.ptr()))
        return;
    vx::guarded([&] { vx::set_item(made_from_text(), cls, source); }, [](nb::handle) {});
}

// The text `cls` was made from, or None.
nb::object text_made_from(nb::handle cls) {
    nb::object found;
    if (PyType_Check(cls.ptr()))
        vx::guarded([&] { found = vx::lookup(made_from_text(), cls); }, [](nb::handle) {});
    return found.is_valid() ? found : nb::none();
}

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
// A class that was itself made from stored text keeps that text: inspect would
// look for it in whatever file its module name stands for now, and find nothing,
// or (3.13 reads the class's first line number there) another class's lines.
nb::object try_class_source(nb::handle cls) {
    nb::object made_from = text_made_from(cls);
    if (!made_from.is_none())
        return made_from;
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

// The stored text as it runs: a class defined inside a function is stored as
// written, indented, so the part after the imports' blank line is dedented.
nb::object runnable_text(nb::handle source) {
    Py_ssize_t length = PyUnicode_GET_LENGTH(source.ptr());
    nb::object blank = vx::steal_or_throw(PyUnicode_FromString("\n\n"));
    Py_ssize_t at = PyUnicode_Find(source.ptr(), blank.ptr(), 0, length, 1);
    if (at == -2)
        vx::throw_error_already_set();
    Py_ssize_t body = at + 2;
    if (at < 0 || body >= length)
        return nb::borrow(source);
    Py_UCS4 first = PyUnicode_READ_CHAR(source.ptr(), body);
    if (first != ' ' && first != '\t')
        return nb::borrow(source);
    nb::object head = vx::steal_or_throw(PyUnicode_Substring(source.ptr(), 0, body));
    nb::object tail = vx::steal_or_throw(PyUnicode_Substring(source.ptr(), body, length));
    nb::object dedented = call_function(textwrap_module, "dedent", tail);
    return vx::steal_call([&] { return PyUnicode_Concat(head.ptr(), dedented.ptr()); });
}

// The file name tracebacks and log stacks show for the class's code: the class
// and, when a file is being loaded, that file's base name.
nb::object code_file_name(nb::handle data, PyObject *origin) {
    nb::object name = vx::lookup(data, nb::str("class"));
    bool named = name.is_valid() && PyUnicode_CheckExact(name.ptr());
    if (!origin || origin == Py_None)
        return named ? vx::formatted("<velarix: %U>", name.ptr()) : vx::formatted("<velarix>");
    nb::object base = vx::call(os_path_module.attr("basename"), nb::handle(origin));
    return named ? vx::formatted("<velarix: %U from %U>", name.ptr(), base.ptr())
                 : vx::formatted("<velarix from %U>", base.ptr());
}

// The code of one stored text under one file name, and the linecache entry that
// gives tracebacks its lines.
struct Compiled {
    nb::object code;
    nb::object lines;  // (size, None, lines, file name): a None mtime keeps checkcache off it
    nb::object file_name;
};

// linecache.cache[file name] = lines, unless that very entry is there already.
void register_lines(const Compiled &compiled) {
    nb::object cache = linecache_module.attr("cache");
    nb::object current = vx::lookup(cache, compiled.file_name);
    if (!current.is_valid() || !current.is(compiled.lines))
        vx::set_item(cache, compiled.file_name, compiled.lines);
}

// A saved pipeline repeats one class's text for each of its nodes, so the code is
// compiled once per text and file name and run afresh for each node (each still
// gets a class of its own). Anything but an exact str goes to exec as it is.
nb::object compiled(nb::handle source, nb::handle file_name) {
    static vx::Kept cache_kept;  // (text, file name) -> (code, lines)
    static constexpr Py_ssize_t cache_limit = 256;
    if (!PyUnicode_CheckExact(source.ptr()))
        return nb::borrow(source);
    PyObject *cache = cache_kept.get_or_make([] { return vx::steal_or_throw(PyDict_New()); }).ptr();
    nb::object key = vx::steal_or_throw(PyTuple_Pack(2, source.ptr(), file_name.ptr()));
    Compiled result;
    result.file_name = nb::borrow(file_name);
    if (PyObject *found = PyDict_GetItemWithError(cache, key.ptr())) {  // no Python code: a tuple of exact str
        result.code = nb::borrow(PyTuple_GET_ITEM(found, 0));
        result.lines = nb::borrow(PyTuple_GET_ITEM(found, 1));
    } else {
        if (PyErr_Occurred())
            vx::throw_error_already_set();
        nb::object text = runnable_text(source);
        nb::object compile = vx::borrow_or_throw(PyDict_GetItemString(PyEval_GetBuiltins(), "compile"));
        nb::object mode = vx::steal_or_throw(PyUnicode_FromString("exec"));
        result.code = vx::call(compile, text, file_name, mode);
        nb::object lines = vx::call_method(text, nb::str("splitlines"), nb::handle(Py_True));
        nb::object size = vx::steal_or_throw(PyLong_FromSsize_t(PyUnicode_GET_LENGTH(text.ptr())));
        result.lines = vx::steal_or_throw(PyTuple_Pack(4, size.ptr(), Py_None, lines.ptr(), file_name.ptr()));
        if (PyDict_GET_SIZE(cache) >= cache_limit)
            PyDict_Clear(cache);
        nb::object value = vx::steal_or_throw(PyTuple_Pack(2, result.code.ptr(), result.lines.ptr()));
        vx::dict_set(cache, key, value);
    }
    register_lines(result);
    return result.code;
}

// The class the saved source defines, run in a namespace of its own named after
// the stored module, so the class's __module__ is that name.
nb::object class_from_source(nb::handle data, PyObject *origin) {
    nb::object custom_globals = vx::steal_or_throw(PyDict_New());
    vx::check_status(PyDict_SetItem(custom_globals.ptr(), names::dunder_name.ptr(),
                                    entry(data, "module").ptr()));
    nb::object source = entry(data, "source");
    nb::object exec = vx::borrow_or_throw(PyDict_GetItemString(PyEval_GetBuiltins(), "exec"));
    vx::call(exec, compiled(source, code_file_name(data, origin)), custom_globals, custom_globals);
    nb::object found = vx::lookup(custom_globals, entry(data, "class"));
    if (!found.is_valid())
        return nb::none();
    remember_text(found, source);
    return found;
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

bool given_by_keyword(const vx::Call &call, const char *name) {
    Py_ssize_t count = call.kwnames ? PyTuple_GET_SIZE(call.kwnames) : 0;
    for (Py_ssize_t i = 0; i < count; ++i)
        if (PyUnicode_CompareWithASCIIString(PyTuple_GET_ITEM(call.kwnames, i), name) == 0)
            return true;
    return false;
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
    // One positional parameter, as always; the file being loaded comes by keyword.
    static constexpr vx::Params<2> params{"deserialize", {"data", "origin"}, 1};
    if (call.nargs > 1 || (call.nargs == 0 && !given_by_keyword(call, "data")))
        vx::raise_arg_count(params.function, 1, 1, call.nargs);
    auto [data, origin] = call.bind(params);
    vx::require_dict(data, "data");
    if (origin)
        vx::require_str(origin, "origin", /*allow_none=*/true);
    nb::object portable = vx::modules::portable.attr(names::Portable);

    nb::object cls = entry(data, "source").is_none() ? class_from_module(data)
                                                     : class_from_source(data, origin);
    if (cls.is_none())
        vx::raise(PyExc_TypeError, "Class '%S' could not be imported.", entry(data, "class").ptr());

    nb::object mro = vx::getattr(cls, names::dunder_mro);
    if (!vx::contains(mro, portable))
        vx::raise(PyExc_TypeError, "Class '%S' must be derived from class 'Portable'.",
                  vx::getattr(cls, names::dunder_name).ptr());
    return construct(cls, entry(data, "config"));
}

} // namespace ferrant
