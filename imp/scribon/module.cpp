// velarix.imp.scribon: builds LogEntryImp and LoggerImp on the package's
// Implementation base, with the module constants they read.
#include "common/classes.hpp"
#include "common/method_table.hpp"
#include "scribon.hpp"

namespace scribon {
namespace {

auto entry_methods = vx::method_table(
    VX_METHOD("__init__", entry_init, "Record `type`'s value, `stack` and `message` with the time and thread."),
    VX_METHOD("to_line", entry_to_line, "The fixed-width table line of this entry, without a line end."),
    VX_METHOD("to_formatted_string", entry_to_formatted_string, "This entry as a block for display."));

auto logger_methods = vx::method_table(
    VX_METHOD("__init__", logger_init, "A logger filing into `directory` (None: DEFAULT_DIR, \"\": memory only)."),
    VX_METHOD("write", logger_write, "Store and file an entry of `type` with `message`; returns the entry."),
    VX_METHOD("flush", logger_flush, "Wake the file writer now."),
    VX_METHOD("stop", logger_stop, "End the file writer and wait for it."),
    VX_METHOD("get_all", logger_get_all, "The stored entries, oldest first."),
    VX_METHOD("get_by_type", logger_get_by_type, "The stored entries of `type`, oldest first."),
    VX_METHOD("has_entries", logger_has_entries, "Whether entries (of `type`, when given) are stored."),
    VX_METHOD("get_last_error", logger_get_last_error, "The newest stored ERROR entry, or None."),
    VX_METHOD("get_file_name", logger_get_file_name, "The log file's path, or None."),
    VX_METHOD("get_lost_count", logger_get_lost_count,
              "How many entries never reached the log file (the writer could not write them)."),
    VX_METHOD("_log_worker", logger_log_worker, "Body of the file writer thread."));

auto logger_static_methods = vx::method_table(
    VX_METHOD("_get_stack", logger_get_stack, "Summary of the calling code's stack."));

PyMethodDef functions[] = {
    VX_METHOD("_stop_file_loggers", stop_file_loggers,
              "Stop every logger that still writes a file: its queue is drained and the file closed."),
};

// The default log directory of this host. Besides Windows and macOS, Linux keeps
// its state under $XDG_STATE_HOME (~/.local/state when unset or empty).
void set_default_dir(nb::module_ &m) {
    nb::object platform = vx::import_module("platform");
    nb::object os = vx::import_module("os");
    nb::object path = vx::import_module("os.path");
    nb::object getenv = vx::getattr(os, "getenv");
    nb::object expanduser = vx::getattr(path, "expanduser");
    nb::object join = vx::getattr(path, "join");
    nb::str brio("brio"), velarix("velarix");

    nb::object system = vx::call(vx::getattr(platform, "system"));
    nb::object base;
    if (vx::equals(system, nb::str("Windows"))) {
        base = vx::call(getenv, nb::str("APPDATA"));
    } else if (vx::equals(system, nb::str("Darwin"))) {
        base = vx::call(expanduser, nb::str("~/Library/Application Support"));
        m.attr("basedir") = base;
    } else if (vx::equals(system, nb::str("Linux"))) {
        base = vx::call(getenv, nb::str("XDG_STATE_HOME"));
        if (!vx::truthy(base))
            base = vx::call(expanduser, nb::str("~/.local/state"));
    } else {
        vx::raise(PyExc_RuntimeError, "Unsupported OS");
    }
    m.attr("DEFAULT_DIR") = vx::call(join, base, brio, velarix);
}

nb::object build_entry_class(const char *module_name) {
    nb::object base = vx::modules::imp.attr(names::Implementation);
    return vx::define_class(
        {"LogEntryImp", module_name, "One log record: a dict of timestamp, type, stack, thread and message.",
         {}, entry_methods},
        vx::bases_of({nb::handle((PyObject *)&PyDict_Type), base}));
}

nb::object build_logger_class(const char *module_name) {
    return vx::define_class_on(names::Implementation,
                               {"LoggerImp", module_name, "The newest entries in memory, and every entry in a log file.",
                                {}, logger_methods, logger_static_methods});
}

} // namespace
} // namespace scribon

NB_MODULE(scribon, m) {
    names::init();
    scribon::texts::init();
    scribon::ModuleState &kept = scribon::kept;
    kept.module_dict.set(nb::borrow(PyModule_GetDict(m.ptr())));

    m.attr("MAX_LOG_ENTRIES") = 100;
    // Lines the writer holds for a log file it cannot write to; later ones are lost.
    m.attr("MAX_PENDING_LINES") = 10000;
    for (const scribon::Column &column : scribon::COLUMNS)
        m.attr(*column.width_name) = column.width;
    scribon::set_default_dir(m);

    scribon::set_up_bridge();
    kept.file_loggers.set(vx::call(vx::getattr(vx::import_module("weakref"), "WeakSet")));
    vx::add_functions(m, scribon::functions);

    m.attr("LogEntryImp") = scribon::build_entry_class("velarix.imp.scribon");
    m.attr("LoggerImp") = scribon::build_logger_class("velarix.imp.scribon");
}
