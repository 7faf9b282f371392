// LoggerImp: the bounded in-memory store with its queries, and the log file written
// by a background thread.
#include "scribon.hpp"

namespace scribon {
namespace {

vx::LazyModule collections_module{"collections"};
vx::LazyModule queue_module{"queue"};
vx::LazyModule os_module{"os"};
vx::LazyModule os_path_module{"os.path"};
vx::LazyModule io_module{"io"};

constexpr int RULE_LENGTH = 134;  // shorter than the title line, as files have always had it

// Holds a lock object (acquire/release) for a scope. A failing release on the way
// out of a failing scope is reported as unraisable rather than hiding the first error.
class Held {
public:
    explicit Held(nb::object lock) : lock_(std::move(lock)) {
        call_method(lock_, names::acquire);
        held_ = true;
    }
    void release() {
        held_ = false;
        call_method(lock_, names::release);
    }
    ~Held() {
        if (!held_)
            return;
        PyObject *result = PyObject_CallMethodNoArgs(lock_.ptr(), names::release.ptr());
        if (result)
            Py_DECREF(result);
        else
            PyErr_WriteUnraisable(lock_.ptr());
    }
    Held(const Held &) = delete;
    Held &operator=(const Held &) = delete;

private:
    nb::object lock_;
    bool held_ = false;
};

// The store's entries, oldest first, copied under the lock. Queries then compare
// outside it, so an entry's __eq__ or __getitem__ may log without deadlocking.
nb::object snapshot(nb::handle self) {
    Held held(get_attr(self, names::lock));
    nb::object store = get_attr(self, names::log);
    nb::object entries = vx::steal_or_throw(vx::exit_safe([&] { return PySequence_List(store.ptr()); }));
    held.release();
    return entries;
}

nb::object type_of(nb::handle entry) {
    return get_item(entry, names::type);
}

nb::object kwnames(std::initializer_list<nb::handle> names) {
    nb::object tuple = vx::steal_or_throw(PyTuple_New((Py_ssize_t)names.size()));
    Py_ssize_t i = 0;
    for (nb::handle name : names)
        PyTuple_SET_ITEM(tuple.ptr(), i++, Py_NewRef(name.ptr()));
    return tuple;
}

// Kept for the life of the process (never released: that would happen after the
// interpreter has gone).
PyObject *const_object(nb::object value) { return value.release().ptr(); }

// LogEntry(type=..., stack=..., message=...), the public entry class looked up now.
nb::object make_entry(nb::handle type, nb::handle stack, nb::handle message) {
    static PyObject *names_tuple = const_object(kwnames({names::type, names::stack, names::message}));
    nb::object entry_class = module_attr(vx::modules::logger, names::LogEntry);
    PyObject *args[] = {nullptr, type.ptr(), stack.ptr(), message.ptr()};
    return vectorcall(entry_class, args + 1, 0, names_tuple);
}

nb::object log_type_member(nb::handle member) {
    return get_attr(module_attr(vx::modules::logger, names::LogType), member);
}

// ---- log file -------------------------------------------------------------------

void close_quietly(nb::handle file) {
    PyObject *result = vx::exit_safe([&] { return PyObject_CallMethodNoArgs(file.ptr(), names::close.ptr()); });
    if (result)
        Py_DECREF(result);
    else
        PyErr_Clear();
}

// Creates the log file for this logger in `directory` and writes its title and rule.
// The name is claimed by an exclusive create, so two loggers of the same second
// never share or truncate a file: the one that finds the name taken moves on to the
// next counter. Returns the path, or None when the file could not be made. An
// OSError of the directory propagates.
nb::object create_log_file(nb::handle directory) {
    static PyObject *exist_ok_names = const_object(kwnames({texts::exist_ok}));
    nb::object makedirs = module_attr(os_module, "makedirs");
    PyObject *makedirs_args[] = {nullptr, directory.ptr(), Py_True};
    vectorcall(makedirs, makedirs_args + 1, 1, exist_ok_names);

    nb::object localtime = module_attr(vx::modules::time, "localtime");
    nb::object strftime = module_attr(vx::modules::time, "strftime");
    nb::object join = module_attr(os_path_module, "join");
    nb::object format = vx::steal_or_throw(PyUnicode_FromString("%Y%m%d_%H%M%S"));
    nb::object now = vectorcall(localtime, nullptr, 0);
    PyObject *strftime_args[] = {nullptr, format.ptr(), now.ptr()};
    nb::object stamp = vectorcall(strftime, strftime_args + 1, 2);
    PyObject *join_args[] = {nullptr, directory.ptr(), stamp.ptr()};
    nb::object base = vectorcall(join, join_args + 1, 2);

    nb::object open = module_attr(io_module, "open");
    nb::object exclusive = vx::steal_or_throw(PyUnicode_FromString("x"));
    nb::object path = vx::steal_or_throw(
        vx::exit_safe([&] { return PyUnicode_FromFormat("%S.log", base.ptr()); }));
    nb::object file;
    for (unsigned long long counter = 1;; ++counter) {
        PyObject *open_args[] = {nullptr, path.ptr(), exclusive.ptr()};
        PyObject *opened = vx::exit_safe([&] {
            return PyObject_Vectorcall(open.ptr(), open_args + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
        });
        if (opened) {
            file = nb::steal(opened);
            break;
        }
        // Advance on the refused create itself, not on an existence test, so a name
        // taken by anything (a dangling link included) is passed over.
        if (PyErr_ExceptionMatches(PyExc_FileExistsError)) {
            PyErr_Clear();
            path = vx::steal_or_throw(
                vx::exit_safe([&] { return PyUnicode_FromFormat("%S_%llu.log", base.ptr(), counter); }));
            continue;
        }
        if (PyErr_ExceptionMatches(PyExc_Exception)) {
            PyErr_Clear();
            return nb::none();
        }
        vx::throw_error_already_set();
    }

    try {
        call_method(file, names::write, title_line());
        std::string rule(RULE_LENGTH, '-');
        rule += '\n';
        call_method(file, names::write,
                    vx::steal_or_throw(PyUnicode_FromStringAndSize(rule.data(), (Py_ssize_t)rule.size())));
        call_method(file, names::close);
    } catch (nb::python_error &error) {
        close_quietly(file);
        if (!error.matches(PyExc_Exception))
            throw;
        return nb::none();
    }
    return path;
}

// The text the writer puts into the file for one entry: its line and a line end, or,
// when the line cannot be rendered, a short note in its place so that one odd entry
// does not end file logging.
nb::object file_line(nb::handle entry) {
    PyObject *line = nullptr;
    if (PyObject *imp = vx::exit_safe([&] { return PyObject_GetAttr(entry.ptr(), names::imp.ptr()); })) {
        line = vx::exit_safe([&] { return PyObject_CallMethodNoArgs(imp, names::to_line.ptr()); });
        Py_DECREF(imp);
    }
    if (line && PyUnicode_Check(line)) {
        nb::object held = nb::steal(line);
        return vx::steal_or_throw(PyUnicode_Concat(line, texts::newline.ptr()));
    }
    nb::object reason;
    if (line) {
        reason = vx::steal_or_throw(PyUnicode_FromString("not text"));
        Py_DECREF(line);
    } else {
        if (!PyErr_ExceptionMatches(PyExc_Exception))
            vx::throw_error_already_set();
        PyObject *raised = PyErr_GetRaisedException();
        reason = vx::steal_or_throw(PyType_GetName(Py_TYPE(raised)));
        Py_DECREF(raised);
    }
    return vx::steal_or_throw(
        PyUnicode_FromFormat("Entry skipped: its line could not be rendered (%U).\n", reason.ptr()));
}

// The entries waiting in `queue`, oldest first; an empty list when there are none.
// A plain queue.Queue is emptied at once under its own mutex; any other queue one
// get_nowait() at a time.
nb::object take_queued(nb::handle queue) {
    constexpr Py_ssize_t MOST = 4096;
    static PyObject *plain_queue = const_object(module_attr(queue_module, "Queue"));
    static PyObject *empty = const_object(module_attr(queue_module, "Empty"));
    static PyObject *mutex = const_object(vx::steal_or_throw(PyUnicode_InternFromString("mutex")));
    static PyObject *items = const_object(vx::steal_or_throw(PyUnicode_InternFromString("queue")));
    static PyObject *not_full = const_object(vx::steal_or_throw(PyUnicode_InternFromString("not_full")));
    static PyObject *notify_all = const_object(vx::steal_or_throw(PyUnicode_InternFromString("notify_all")));

    if ((PyObject *)Py_TYPE(queue.ptr()) == plain_queue) {
        Held held(get_attr(queue, mutex));
        nb::object waiting = get_attr(queue, items);
        nb::object taken = vx::steal_or_throw(vx::exit_safe([&] { return PySequence_List(waiting.ptr()); }));
        call_method(waiting, names::clear);
        // Wakes putters of a bounded queue, as get() does; the condition shares the mutex.
        call_method(get_attr(queue, not_full), notify_all);
        held.release();
        return taken;
    }
    nb::object taken = vx::steal_or_throw(PyList_New(0));
    while (PyList_GET_SIZE(taken.ptr()) < MOST) {
        PyObject *entry =
            vx::exit_safe([&] { return PyObject_CallMethodNoArgs(queue.ptr(), names::get_nowait.ptr()); });
        if (!entry) {
            if (!PyErr_ExceptionMatches(empty))
                vx::throw_error_already_set();
            PyErr_Clear();
            break;
        }
        nb::object held = nb::steal(entry);
        vx::check_status(PyList_Append(taken.ptr(), entry));
    }
    return taken;
}

// Takes every queued entry and writes it (or, with no file, drops it). Lines go out
// in chunks: fewer calls into the file object, and fewer hand-overs of the
// interpreter lock to the threads that keep writing entries.
void drain(nb::handle self, nb::handle file) {
    constexpr Py_ssize_t CHUNK = 4096;
    nb::object queue = get_attr(self, names::log_file_queue);
    nb::object lines = vx::steal_or_throw(PyList_New(0));
    nb::object nothing = vx::steal_or_throw(PyUnicode_FromStringAndSize("", 0));
    auto write_out = [&]() {
        if (PyList_GET_SIZE(lines.ptr()) == 0)
            return;
        nb::object text = vx::steal_or_throw(PyUnicode_Join(nothing.ptr(), lines.ptr()));
        vx::check_status(PyList_SetSlice(lines.ptr(), 0, PY_SSIZE_T_MAX, nullptr));
        call_method(file, names::write, text);
    };
    for (;;) {
        nb::object taken = take_queued(queue);
        Py_ssize_t count = PyList_GET_SIZE(taken.ptr());
        if (count == 0)
            break;
        if (!file.is_valid())
            continue;
        for (Py_ssize_t i = 0; i < count; ++i) {
            vx::check_status(PyList_Append(lines.ptr(), file_line(PyList_GET_ITEM(taken.ptr(), i)).ptr()));
            if (PyList_GET_SIZE(lines.ptr()) >= CHUNK)
                write_out();
        }
    }
    if (file.is_valid())
        write_out();
}

nb::object one_second() {
    static PyObject *value = const_object(vx::steal_or_throw(PyFloat_FromDouble(1.0)));
    return nb::borrow(value);
}

void start_writer(nb::handle self) {
    nb::object event = vectorcall(module_attr(vx::modules::threading, names::Event), nullptr, 0);
    set_attr(self, names::event, event);
    static PyObject *target_names = const_object(kwnames({names::target}));
    nb::object target = get_attr(self, names::log_worker);
    nb::object thread_class = module_attr(vx::modules::threading, names::Thread);
    PyObject *args[] = {nullptr, target.ptr()};
    nb::object thread = vectorcall(thread_class, args + 1, 0, target_names);
    set_attr(thread, names::daemon, nb::handle(Py_True));
    set_attr(self, names::thread, thread);
    call_method(thread, names::start);
}

} // namespace

nb::object logger_init(const vx::Call &call) {
    static constexpr vx::Params<1> params{"__init__", {"directory"}};
    auto [directory_arg] = call.bind(params);
    vx::require_str(directory_arg, "directory", /*allow_none=*/true);
    nb::handle self = call.self;

    static PyObject *maxlen_names = const_object(kwnames({texts::maxlen}));
    nb::object deque_class = module_attr(collections_module, "deque");
    nb::object bound = module_global(texts::MAX_LOG_ENTRIES);
    PyObject *deque_args[] = {nullptr, bound.ptr()};
    nb::object store = vectorcall(deque_class, deque_args + 1, 0, maxlen_names);
    nb::object queue = vectorcall(module_attr(queue_module, "Queue"), nullptr, 0);
    nb::object lock = vectorcall(module_attr(vx::modules::threading, "Lock"), nullptr, 0);

    set_attr(self, names::log, store);
    set_attr(self, names::log_file_queue, queue);
    set_attr(self, names::lock, lock);
    set_attr(self, names::has_error, nb::handle(Py_False));
    set_attr(self, names::stop_, nb::handle(Py_False));
    set_attr(self, names::thread, nb::none());
    set_attr(self, names::event, nb::none());
    set_attr(self, names::file, nb::none());

    nb::object directory =
        directory_arg == Py_None ? module_global(texts::DEFAULT_DIR) : nb::borrow(directory_arg);
    if (PyUnicode_Check(directory.ptr()) && PyUnicode_GET_LENGTH(directory.ptr()) == 0)
        return nb::none();  // memory only

    nb::object path;
    try {
        path = create_log_file(directory);
    } catch (nb::python_error &error) {
        if (!error.matches(PyExc_OSError))
            throw;
        return nb::none();  // no directory: memory only, quietly
    }
    if (path.is_none())
        return nb::none();
    set_attr(self, names::file, path);
    start_writer(self);
    return nb::none();
}

nb::object logger_write(const vx::Call &call) {
    static constexpr vx::Params<2> params{"write", {"type", "message"}};
    auto [type, message] = call.bind(params);
    vx::require_str(message, "message");
    nb::handle self = call.self;

    nb::object stack = stack_summary();
    nb::object entry = make_entry(type, stack, message);
    if (equals(type, log_type_member(names::ERROR)))
        set_attr(self, names::has_error, nb::handle(Py_True));

    {
        Held held(get_attr(self, names::lock));
        call_method(get_attr(self, names::log), names::append, entry);
        held.release();
    }

    // Queued only while a writer can still take it: after stop, or once the writer
    // has given up, the queue would only grow.
    nb::object file = get_attr(self, names::file);
    if (PyUnicode_Check(file.ptr()) && PyUnicode_GET_LENGTH(file.ptr()) > 0 &&
        !truthy(get_attr(self, names::stop_)))
        call_method(get_attr(self, names::log_file_queue), names::put, entry);
    return entry;
}

nb::object logger_flush(const vx::Call &call) {
    call.bind_none("flush");
    nb::object event = get_attr(call.self, names::event);
    if (!event.is_none())  // a memory-only logger has no writer to wake
        call_method(event, names::set);
    return nb::none();
}

nb::object logger_stop(const vx::Call &call) {
    call.bind_none("stop");
    set_attr(call.self, names::stop_, nb::handle(Py_True));
    nb::object event = get_attr(call.self, names::event);
    if (!event.is_none())
        call_method(event, names::set);
    nb::object thread = get_attr(call.self, names::thread);
    if (!thread.is_none())
        call_method(thread, names::join);
    return nb::none();
}

nb::object logger_get_all(const vx::Call &call) {
    call.bind_none("get_all");
    return snapshot(call.self);
}

nb::object logger_get_by_type(const vx::Call &call) {
    static constexpr vx::Params<1> params{"get_by_type", {"type"}};
    auto [type] = call.bind(params);
    nb::object wanted = get_attr(type, names::value);
    nb::object entries = snapshot(call.self);
    nb::object found = vx::steal_or_throw(PyList_New(0));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(entries.ptr()); ++i) {
        nb::handle entry = PyList_GET_ITEM(entries.ptr(), i);
        if (equals(type_of(entry), wanted))
            vx::check_status(PyList_Append(found.ptr(), entry.ptr()));
    }
    return found;
}

nb::object logger_has_entries(const vx::Call &call) {
    static constexpr vx::Params<1> params{"has_entries", {"type"}, 0};
    auto [type] = call.bind(params);
    if (type && truthy(type)) {
        nb::object wanted = get_attr(type, names::value);
        nb::object entries = snapshot(call.self);
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(entries.ptr()); ++i)
            if (equals(type_of(PyList_GET_ITEM(entries.ptr(), i)), wanted))
                return nb::borrow(Py_True);
        return nb::borrow(Py_False);
    }
    Held held(get_attr(call.self, names::lock));
    nb::object store = get_attr(call.self, names::log);
    Py_ssize_t count = vx::exit_safe([&] { return PyObject_Length(store.ptr()); });
    if (count < 0)
        vx::throw_error_already_set();
    held.release();
    return nb::borrow(count > 0 ? Py_True : Py_False);
}

nb::object logger_get_last_error(const vx::Call &call) {
    call.bind_none("get_last_error");
    nb::object wanted = get_attr(log_type_member(names::ERROR), names::value);
    nb::object entries = snapshot(call.self);
    for (Py_ssize_t i = PyList_GET_SIZE(entries.ptr()) - 1; i >= 0; --i) {
        nb::handle entry = PyList_GET_ITEM(entries.ptr(), i);
        if (equals(type_of(entry), wanted))
            return nb::borrow(entry);
    }
    return nb::none();
}

nb::object logger_get_file_name(const vx::Call &call) {
    call.bind_none("get_file_name");
    return get_attr(call.self, names::file);
}

nb::object logger_log_worker(const vx::Call &call) {
    call.bind_none("_log_worker");
    nb::handle self = call.self;
    nb::object path = get_attr(self, names::file);
    if (path.is_none())
        return nb::none();

    static PyObject *errors_names = const_object(kwnames({texts::errors}));
    static PyObject *append_mode = const_object(vx::steal_or_throw(PyUnicode_FromString("a")));
    // Text that the host's encoding cannot hold is written escaped instead of
    // ending the writer.
    static PyObject *escape = const_object(vx::steal_or_throw(PyUnicode_FromString("backslashreplace")));

    nb::object file;
    try {
        nb::object open = module_attr(io_module, "open");
        PyObject *args[] = {nullptr, path.ptr(), append_mode, escape};
        file = vectorcall(open, args + 1, 2, errors_names);

        while (!truthy(get_attr(self, names::stop_))) {
            nb::object event = get_attr(self, names::event);
            if (truthy(call_method(event, names::wait, one_second())))
                call_method(event, names::clear);
            drain(self, file);
            call_method(file, names::flush);
        }
        // Once more after the loop: an entry queued just before stop() set the flag
        // would otherwise never reach the file.
        drain(self, file);

        nb::object entry_class = module_attr(vx::modules::logger, names::LogEntry);
        nb::object info = log_type_member(names::INFO);
        PyObject *closing_args[] = {nullptr, info.ptr(), texts::not_available.ptr(), texts::logging_ended.ptr()};
        nb::object closing = vectorcall(entry_class, closing_args + 1, 3);
        call_method(file, names::write, file_line(closing));
        call_method(file, names::flush);
        nb::object done = std::move(file);
        call_method(done, names::close);
    } catch (nb::python_error &error) {
        if (file.is_valid())
            close_quietly(file);
        if (!error.matches(PyExc_Exception))
            throw;
        // The file is lost: stop queueing and drop what waits, so the logger carries
        // on in memory only instead of growing its queue without end.
        set_attr(self, names::stop_, nb::handle(Py_True));
        try {
            drain(self, nb::handle());
        } catch (nb::python_error &) {
        }
    }
    return nb::none();
}

} // namespace scribon
