// A LoggerImp's log file: made with its title and rule when the logger is, then
// appended to by the writer thread, which takes the queued entries in batches, holds
// their lines while the disk refuses them and ends the file with the closing entry.
#include <cstdio>
#include <string>

#include "common/numbers.hpp"
#include "scribon.hpp"

namespace scribon {
namespace {

vx::LazyModule os_module{"os"};
vx::LazyModule os_path_module{"os.path"};
vx::LazyModule io_module{"io"};

constexpr int RULE_LENGTH = 134;  // shorter than the title line, as files have always had it

void close_quietly(nb::handle file) {
    try {
        vx::call_method(file, names::close);
    } catch (nb::python_error &) {
        // The file is given up either way.
    }
}

} // namespace

// Creates the log file for this logger in `directory` and writes its title and rule.
// The name is claimed by an exclusive create, so two loggers of the same second
// never share or truncate a file: the one that finds the name taken moves on to the
// next counter. Returns the path, or None when the file could not be made. An
// OSError of the directory propagates.
nb::object create_log_file(nb::handle directory, nb::object &why) {
    static vx::Kept exist_ok_tuple;
    nb::handle exist_ok = vx::keyword_names(exist_ok_tuple, {texts::exist_ok});
    vx::call_kw(os_module.attr("makedirs"), exist_ok, directory, Py_True);

    nb::object localtime = vx::modules::time.attr("localtime");
    nb::object strftime = vx::modules::time.attr("strftime");
    nb::object join = os_path_module.attr("join");
    nb::object format = vx::steal_or_throw(PyUnicode_FromString("%Y%m%d_%H%M%S"));
    nb::object stamp = vx::call(strftime, format, vx::call(localtime));
    nb::object base = vx::call(join, directory, stamp);

    nb::object open = io_module.attr("open");
    nb::object exclusive = vx::steal_or_throw(PyUnicode_FromString("x"));
    nb::object path = vx::formatted("%S.log", base.ptr());
    nb::object file;
    for (unsigned long long counter = 1; !file.is_valid(); ++counter) {
        try {
            file = vx::call(open, path, exclusive);
        } catch (nb::python_error &error) {
            // Advance on the refused create itself, not on an existence test, so a
            // name taken by anything (a dangling link included) is passed over.
            if (error.matches(PyExc_FileExistsError))
                path = vx::formatted("%S_%llu.log", base.ptr(), counter);
            else if (error.matches(PyExc_Exception)) {
                why = nb::borrow(error.value());
                return nb::none();
            }
            else
                throw;
        }
    }

    try {
        vx::call_method(file, names::write, title_line());
        std::string rule(RULE_LENGTH, '-');
        rule += '\n';
        vx::call_method(file, names::write,
                        vx::steal_or_throw(PyUnicode_FromStringAndSize(rule.data(), (Py_ssize_t)rule.size())));
        vx::call_method(file, names::close);
    } catch (nb::python_error &error) {
        close_quietly(file);
        if (!error.matches(PyExc_Exception))
            throw;
        why = nb::borrow(error.value());
        return nb::none();
    }
    return path;
}

namespace {

// A file line holds one entry: control characters (line ends among them, which
// would let a message forge entries) are written as escapes. Lines without any,
// nearly all of them, are returned as they are.
bool needs_escape(Py_UCS4 c) {
    return c < 0x20 || c == 0x7f || (c >= 0x80 && c < 0xa0) || c == 0x2028 || c == 0x2029;
}

nb::object escape_controls(nb::handle line) {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(line.ptr());
    const int kind = PyUnicode_KIND(line.ptr());
    const void *data = PyUnicode_DATA(line.ptr());
    Py_ssize_t first = 0;
    while (first < length && !needs_escape(PyUnicode_READ(kind, data, first)))
        ++first;
    if (first == length)
        return nb::borrow(line);

    std::u32string out;
    out.reserve((size_t)length + 16);
    for (Py_ssize_t i = 0; i < length; ++i) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (!needs_escape(c)) {
            out.push_back(c);
            continue;
        }
        char code[8];
        switch (c) {
        case '\n': std::snprintf(code, sizeof code, "\\n"); break;
        case '\r': std::snprintf(code, sizeof code, "\\r"); break;
        case '\t': std::snprintf(code, sizeof code, "\\t"); break;
        default:
            std::snprintf(code, sizeof code, c < 0x100 ? "\\x%02x" : "\\u%04x", (unsigned)c);
        }
        for (const char *p = code; *p; ++p)
            out.push_back((Py_UCS4)*p);
    }
    return vx::steal_or_throw(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, out.data(), (Py_ssize_t)out.size()));
}

// The text the writer puts into the file for one entry: its line and a line end, or,
// when the line cannot be rendered, a short note in its place so that one odd entry
// does not end file logging.
nb::object file_line(nb::handle entry) {
    nb::object line, reason;
    try {
        line = vx::call_method(vx::getattr(entry, names::imp_), names::to_line);
    } catch (nb::python_error &error) {
        if (!error.matches(PyExc_Exception))
            throw;
        reason = vx::steal_or_throw(PyType_GetName(Py_TYPE(error.value().ptr())));
    }
    if (line.is_valid() && PyUnicode_Check(line.ptr()))
        return vx::steal_or_throw(PyUnicode_Concat(escape_controls(line).ptr(), texts::newline.ptr()));
    if (line.is_valid())
        reason = vx::steal_or_throw(PyUnicode_FromString("not text"));
    return vx::formatted("Entry skipped: its line could not be rendered (%U).\n", reason.ptr());
}

// The waiting entries of a queue.Queue as CPython builds it (its mutex, its deque
// and the not_full condition), emptied at once under its own mutex; invalid when
// the queue is anything else. Taken one get_nowait() at a time, entries cost the
// writer about three times the interpreter time (some 2 us more each, under the
// lock the writing threads wait for); so this one reach inside stays, and a queue
// without those parts goes through get_nowait().
nb::object take_all_at_once(nb::handle queue) {
    static vx::Kept plain_queue_class, deque_class;
    nb::handle plain_queue = plain_queue_class.get_or_make([] { return vx::modules::queue.attr("Queue"); });
    nb::handle deque = deque_class.get_or_make([] { return vx::modules::collections.attr(names::deque); });
    if ((PyObject *)Py_TYPE(queue.ptr()) != plain_queue.ptr())
        return nb::object();
    nb::object mutex = vx::getattr_or_none(queue, texts::mutex);
    nb::object waiting = vx::getattr_or_none(queue, texts::queue);
    nb::object not_full = vx::getattr_or_none(queue, texts::not_full);
    if (mutex.is_none() || not_full.is_none() || (PyObject *)Py_TYPE(waiting.ptr()) != deque.ptr())
        return nb::object();
    vx::HeldLock held(mutex);
    nb::object taken = vx::list_copy(waiting);
    vx::call_method(waiting, names::clear);
    // Wakes putters of a bounded queue, as get() does; the condition shares the mutex.
    vx::call_method(not_full, texts::notify_all);
    held.release();
    return taken;
}

// The entries waiting in `queue`, oldest first; an empty list when there are none.
nb::object take_queued(nb::handle queue) {
    constexpr Py_ssize_t MOST = 4096;
    nb::object taken = take_all_at_once(queue);
    if (taken.is_valid())
        return taken;

    static vx::Kept empty_class;
    nb::handle empty = empty_class.get_or_make([] { return vx::modules::queue.attr("Empty"); });
    nb::object get_nowait = vx::getattr(queue, names::get_nowait);
    taken = vx::steal_or_throw(PyList_New(0));
    while (PyList_GET_SIZE(taken.ptr()) < MOST) {
        nb::object entry;
        try {
            entry = vx::call(get_nowait);
        } catch (nb::python_error &error) {
            if (!error.matches(empty))
                throw;
            break;
        }
        vx::check_status(PyList_Append(taken.ptr(), entry.ptr()));
    }
    return taken;
}

Py_ssize_t lost_count(nb::handle self) {
    nb::object lost = vx::getattr(self, texts::lost_);
    return PyLong_Check(lost.ptr()) ? vx::ssize_of(lost) : 0;  // no Python code: an int
}

void add_lost(nb::handle self, Py_ssize_t count) {
    if (count <= 0)
        return;
    vx::setattr(self, texts::lost_, vx::steal_or_throw(PyLong_FromSsize_t(lost_count(self) + count)));
}

Py_ssize_t pending_bound() {
    nb::object bound = module_global(texts::MAX_PENDING_LINES);
    Py_ssize_t value = PyLong_Check(bound.ptr()) ? vx::ssize_of(bound) : 0;  // no Python code: an int
    return value < 1 ? 1 : value;  // room for one line at least, or nothing could go out
}

nb::object open_for_append(nb::handle path) {
    // Text that the host's encoding cannot hold is written escaped instead of
    // ending the writer.
    static vx::Kept errors_tuple;
    nb::handle errors = vx::keyword_names(errors_tuple, {texts::errors});
    return vx::call_kw(io_module.attr("open"), errors, path, texts::append_mode, texts::backslashreplace);
}

// Writes the pending lines and flushes the file, all or nothing. Lines go out in
// chunks: fewer calls into the file object, and fewer hand-overs of the interpreter
// lock to the threads that keep writing entries. On an OSError (a full disk) the
// file is closed and cut back to its length before, so it holds whole lines only,
// and the lines stay pending for the next try.
void write_pending(nb::handle path, nb::object &file, nb::handle pending) {
    constexpr Py_ssize_t CHUNK = 4096;
    if (!file.is_valid())
        file = open_for_append(path);
    nb::object size;
    try {
        size = vx::getattr(vx::call(os_module.attr(texts::fstat), vx::call_method(file, texts::fileno)), texts::st_size);
    } catch (nb::python_error &error) {
        if (!error.matches(PyExc_Exception))
            throw;
        // A file object without a descriptor: nothing to cut back.
    }
    try {
        nb::object nothing = vx::steal_or_throw(PyUnicode_FromStringAndSize("", 0));
        const Py_ssize_t count = PyList_GET_SIZE(pending.ptr());
        for (Py_ssize_t start = 0; start < count; start += CHUNK) {
            nb::object chunk = vx::steal_or_throw(PyList_GetSlice(pending.ptr(), start, start + CHUNK));
            vx::call_method(file, names::write, vx::steal_or_throw(PyUnicode_Join(nothing.ptr(), chunk.ptr())));
        }
        vx::call_method(file, names::flush);
    } catch (nb::python_error &error) {
        if (!error.matches(PyExc_OSError))
            throw;
        nb::object failed = std::move(file);
        close_quietly(failed);
        if (size.is_valid()) {
            try {
                vx::call(os_module.attr(texts::truncate), path, size);
            } catch (nb::python_error &cut) {
                if (!cut.matches(PyExc_Exception))
                    throw;
            }
        }
        throw;
    }
    vx::check_status(PyList_SetSlice(pending.ptr(), 0, PY_SSIZE_T_MAX, nullptr));
}

// The writer's state between its turns.
struct Writer {
    nb::handle self;
    nb::object path;
    nb::object file;     // open, or invalid after a failed write
    nb::object pending;  // lines not yet in the file
    bool failing = false;
    bool quiet = false;  // once the log has ended: no more entries about the file
    Py_ssize_t lost_before = 0;  // the lost count when the failures began

    // One try at the file. The first failure of a run is reported (an entry and so a
    // logging record); the next success says how many entries the run cost.
    void attempt() {
        if (PyList_GET_SIZE(pending.ptr()) == 0 && file.is_valid())
            return;
        try {
            write_pending(path, file, pending);
        } catch (nb::python_error &error) {
            if (!error.matches(PyExc_OSError))
                throw;
            if (failing || quiet) {
                failing = true;
                return;
            }
            failing = true;
            lost_before = lost_count(self);
            vx::call_method(self, names::write, vx::log_type(names::WARNING),
                            vx::formatted("Writing the log file failed (%S); the writer keeps trying.",
                                          error.value().ptr()));
            return;
        }
        if (failing && !quiet) {
            failing = false;
            vx::call_method(self, names::write, vx::log_type(names::INFO),
                            vx::formatted("Writing the log file resumed; %zd entries were lost.",
                                          lost_count(self) - lost_before));
        }
    }

    // Takes every queued entry and adds its file line to the pending ones. When
    // MAX_PENDING_LINES are pending, they are written out first; only while the
    // file refuses them is an entry beyond the bound counted as lost.
    void take() {
        nb::object queue = vx::getattr(self, names::log_file_queue_);
        for (;;) {
            nb::object taken = take_queued(queue);
            const Py_ssize_t count = PyList_GET_SIZE(taken.ptr());
            if (count == 0)
                break;
            const Py_ssize_t bound = pending_bound();
            for (Py_ssize_t i = 0; i < count; ++i) {
                if (PyList_GET_SIZE(pending.ptr()) >= bound) {
                    if (!failing)
                        attempt();
                    if (PyList_GET_SIZE(pending.ptr()) >= bound) {
                        add_lost(self, 1);
                        continue;
                    }
                }
                vx::check_status(PyList_Append(pending.ptr(), file_line(PyList_GET_ITEM(taken.ptr(), i)).ptr()));
            }
        }
    }
};

// Drops every queued entry, counting it as lost: the writer has ended.
void drop_queued(nb::handle self) {
    nb::object queue = vx::getattr(self, names::log_file_queue_);
    for (;;) {
        Py_ssize_t count = PyList_GET_SIZE(take_queued(queue).ptr());
        if (count == 0)
            break;
        add_lost(self, count);
    }
}

nb::object one_second() {
    static vx::Kept value;
    return nb::borrow(value.get_or_make([] { return vx::steal_or_throw(PyFloat_FromDouble(1.0)); }));
}

} // namespace

void start_writer(nb::handle self) {
    nb::object event = vx::call(vx::module_attr(vx::modules::threading, names::Event));
    vx::setattr(self, names::event_, event);
    nb::object thread = vx::daemon_thread(vx::getattr(self, names::log_worker_));
    vx::setattr(self, names::thread_, thread);
    vx::call_method(thread, names::start);
    // Remembered for the exit, which drains and closes the file as stop() does.
    vx::call_method(kept.file_loggers, names::add, self);
}

void file_entry(nb::handle self, nb::handle entry, bool is_error) {
    // Queued only while a writer can still take it: after stop, or once the writer
    // has given up, the queue would only grow.
    nb::object file = vx::getattr(self, names::file_);
    if (!PyUnicode_Check(file.ptr()) || PyUnicode_GET_LENGTH(file.ptr()) == 0 ||
        vx::truthy(vx::getattr(self, names::stop_)))
        return;
    vx::call_method(vx::getattr(self, names::log_file_queue_), names::put, entry);
    // An error goes to the file at once, not at the writer's next wake-up: it is the
    // entry most wanted there if the process ends soon after.
    if (is_error) {
        nb::object event = vx::getattr(self, names::event_);
        if (!event.is_none())
            vx::call_method(event, names::set);
    }
}

nb::object logger_flush(const vx::Call &call) {
    call.bind_none("flush");
    nb::object event = vx::getattr(call.self, names::event_);
    if (!event.is_none())  // a memory-only logger has no writer to wake
        vx::call_method(event, names::set);
    return nb::none();
}

nb::object logger_stop(const vx::Call &call) {
    call.bind_none("stop");
    vx::setattr(call.self, names::stop_, Py_True);
    nb::object event = vx::getattr(call.self, names::event_);
    if (!event.is_none())
        vx::call_method(event, names::set);
    nb::object thread = vx::getattr(call.self, names::thread_);
    if (!thread.is_none())
        vx::call_method(thread, names::join);
    return nb::none();
}

nb::object logger_get_lost_count(const vx::Call &call) {
    call.bind_none("get_lost_count");
    return vx::steal_or_throw(PyLong_FromSsize_t(lost_count(call.self)));
}


nb::object logger_log_worker(const vx::Call &call) {
    call.bind_none("_log_worker");
    nb::handle self = call.self;
    Writer writer{self, vx::getattr(self, names::file_)};
    if (writer.path.is_none())
        return nb::none();

    writer.pending = vx::steal_or_throw(PyList_New(0));
    try {
        try {
            writer.file = open_for_append(writer.path);
        } catch (nb::python_error &error) {
            if (!error.matches(PyExc_OSError))
                throw;
            // Tried again at each turn, as a failed write is.
        }

        while (!vx::truthy(vx::getattr(self, names::stop_))) {
            nb::object event = vx::getattr(self, names::event_);
            if (vx::truthy(vx::call_method(event, names::wait, one_second())))
                vx::call_method(event, names::clear);
            writer.take();
            writer.attempt();
        }
        // Once more after the loop: an entry queued just before stop() set the flag
        // would otherwise never reach the file.
        writer.take();
        const Py_ssize_t entries = PyList_GET_SIZE(writer.pending.ptr());

        nb::object entry_class = vx::module_attr(vx::modules::logger, names::LogEntry);
        nb::object closing =
            vx::call(entry_class, vx::log_type(names::INFO), texts::not_available, texts::logging_ended);
        vx::check_status(PyList_Append(writer.pending.ptr(), file_line(closing).ptr()));
        writer.quiet = true;
        writer.attempt();
        if (PyList_GET_SIZE(writer.pending.ptr()) > 0)
            add_lost(self, entries);
        if (writer.file.is_valid()) {
            nb::object done = std::move(writer.file);
            vx::call_method(done, names::close);
        }
    } catch (nb::python_error &error) {
        if (writer.file.is_valid())
            close_quietly(writer.file);
        if (!error.matches(PyExc_Exception))
            throw;
        // The file is lost to something other than the disk: stop queueing and drop
        // what waits, so the logger carries on in memory only instead of growing
        // its queue without end.
        vx::setattr(self, names::stop_, Py_True);
        try {
            Py_ssize_t waiting = PyList_GET_SIZE(writer.pending.ptr());
            add_lost(self, waiting);
            drop_queued(self);
        } catch (nb::python_error &) {
        }
    }
    return nb::none();
}

nb::object stop_file_loggers(const vx::Call &call) {
    call.bind_none("_stop_file_loggers");
    nb::object loggers = vx::list_copy(kept.file_loggers);
    vx::for_each(loggers, [&](nb::handle logger) {
        try {
            vx::call_method(logger, names::stop);
        } catch (nb::python_error &error) {
            if (!error.matches(PyExc_Exception))
                throw;
            vx::report_unraisable(error, logger);
        }
    });
    return nb::none();
}

} // namespace scribon
