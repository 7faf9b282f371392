// velarix.imp.scribon: the log. LogEntryImp (log_entry.cpp), the call-stack summary
// (stack.cpp) and LoggerImp in three parts: the store, its queries and write()
// (logger.cpp), the log file and its writer thread (log_file.cpp), and the bridge
// to the logging module (logging_bridge.cpp); module.cpp builds the classes.
//
// The log is written from daemon threads, the file writer among them, so every call
// into Python goes through the common helpers (host.hpp): a thread that the
// interpreter ends inside a log call at exit must not take the process with it.
#pragma once

#include "common/kept.hpp"
#include "common/python_lock.hpp"
#include "common/runtime.hpp"

namespace scribon {

// Texts of this module only: entry keys, module constants and fixed arguments.
// X(identifier, "text"); interned once by texts::init().
#define SCRIBON_TEXTS(X)                                                               \
    X(timestamp, "timestamp")                                                          \
    X(thread, "thread")                                                                \
    X(TIMESTAMP_WIDTH, "TIMESTAMP_WIDTH")                                              \
    X(TYPE_WIDTH, "TYPE_WIDTH")                                                        \
    X(STACK_WIDTH, "STACK_WIDTH")                                                      \
    X(THREAD_WIDTH, "THREAD_WIDTH")                                                    \
    X(MESSAGE_WIDTH, "MESSAGE_WIDTH")                                                  \
    X(MAX_LOG_ENTRIES, "MAX_LOG_ENTRIES")                                              \
    X(DEFAULT_DIR, "DEFAULT_DIR")                                                      \
    X(dunder_file, "__file__")                                                         \
    X(maxlen, "maxlen")                                                                \
    X(errors, "errors")                                                                \
    X(exist_ok, "exist_ok")                                                            \
    X(unknown, "Unknown")                                                              \
    X(not_available, "n/a")                                                            \
    X(logging_ended, "Logging ended.")                                                 \
    X(newline, "\n")                                                                  \
    X(getLogger, "getLogger")                                                          \
    X(isEnabledFor, "isEnabledFor")                                                    \
    X(log, "log")                                                                      \
    X(exc_info, "exc_info")                                                            \
    X(extra, "extra")                                                                  \
    X(velarix_entry, "velarix_entry")                                                  \
    X(mutex, "mutex")                                                                  \
    X(queue, "queue")                                                                  \
    X(not_full, "not_full")                                                            \
    X(notify_all, "notify_all")                                                        \
    X(append_mode, "a")                                                                \
    X(backslashreplace, "backslashreplace")                                            \
    X(hasHandlers, "hasHandlers")                                                      \
    X(velarix_node, "velarix_node")                                                    \
    X(tracebacks_raised_, "_tracebacks_raised")                                        \
    X(lost_, "_lost")                                                                  \
    X(MAX_PENDING_LINES, "MAX_PENDING_LINES")                                          \
    X(fstat, "fstat")                                                                  \
    X(fileno, "fileno")                                                                \
    X(st_size, "st_size")                                                              \
    X(truncate, "truncate")

namespace texts {
VX_INTERNED_TABLE(SCRIBON_TEXTS)
} // namespace texts

// The columns of the log's table, in order: the entry's key, the module constant
// that holds the column's width (read at each line, so a changed constant counts),
// and the title of a log file's first line with the width it is padded to (the
// title keeps these when the constants change). The constants start at that width.
struct Column {
    const vx::Kept *key;
    const vx::Kept *width_name;
    const char *title;
    int width;
};

inline const Column COLUMNS[] = {
    {&texts::timestamp, &texts::TIMESTAMP_WIDTH, "Timestamp", 30},
    {&names::type, &texts::TYPE_WIDTH, "Type", 10},
    {&names::stack, &texts::STACK_WIDTH, "Source", 60},
    {&texts::thread, &texts::THREAD_WIDTH, "Thread", 12},
    {&names::message, &texts::MESSAGE_WIDTH, "Message", 50},
};
constexpr int COLUMN_COUNT = sizeof(COLUMNS) / sizeof(COLUMNS[0]);

// What the module sets up when it loads, kept for the life of the process.
struct ModuleState {
    // The module's namespace. The widths, the store's bound and DEFAULT_DIR are read
    // from it at each use, so a changed module attribute takes effect.
    vx::Kept module_dict;
    // The loggers with a writer thread, weakly held.
    vx::Kept file_loggers;
    // logging.getLogger("velarix"), and logging.getLogger("velarix.node") for the
    // records of failing nodes, each with the node's name as its attribute
    // velarix_node; logging's levels ERROR, WARNING and INFO.
    vx::Kept velarix_logging;
    vx::Kept node_logging;
    vx::Kept level_error;
    vx::Kept level_warning;
    vx::Kept level_info;
};
inline ModuleState kept;

// A module global as Python code of this module would read it (NameError if absent).
inline nb::object module_global(nb::handle name) {
    PyObject *value = vx::exit_safe([&] { return PyDict_GetItemWithError(kept.module_dict.ptr(), name.ptr()); });
    if (!value) {
        if (PyErr_Occurred())
            vx::throw_error_already_set();
        vx::raise(PyExc_NameError, "name '%U' is not defined", name.ptr());
    }
    return nb::borrow(value);
}

// LogEntryImp
vx::MethodBody entry_init, entry_to_line, entry_to_formatted_string;

// Call-stack summary of the Python code that called into the module.
nb::object stack_summary();

// LoggerImp
vx::MethodBody logger_init, logger_write, logger_flush, logger_stop, logger_get_all, logger_get_by_type,
    logger_has_entries, logger_get_last_error, logger_get_file_name, logger_get_lost_count, logger_get_stack,
    logger_log_worker;

// log_file.cpp, for the constructor and write(): creates the log file in `directory`
// with its title and rule (the path, or None with the reason in `why`; an OSError of
// the directory propagates), starts the writer, and queues an entry for it.
nb::object create_log_file(nb::handle directory, nb::object &why);
void start_writer(nb::handle self);
void file_entry(nb::handle self, nb::handle entry, bool is_error);

// logging_bridge.cpp: looks up logging's loggers and levels (when the module loads),
// and hands an entry on to logging.
void set_up_bridge();
void bridge(nb::handle self, nb::handle type, nb::handle message, nb::handle entry, bool is_error);

// Module functions: stop every logger that still writes a file (run at exit).
nb::object stop_file_loggers(const vx::Call &call);
// The title line of a log file (fixed widths, not the module constants).
nb::object title_line();

} // namespace scribon
