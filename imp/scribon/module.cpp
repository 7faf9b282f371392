// velarix.imp.scribon: builds LogEntryImp and LoggerImp on the package's
// Implementation base, with the module constants they read.
#include "common/classes.hpp"
#include "scribon.hpp"

namespace scribon {
namespace {

PyMethodDef entry_methods[] = {
    VX_METHOD("__init__", entry_init, "Record `type`'s value, `stack` and `message` with the time and thread."),
    VX_METHOD("to_line", entry_to_line, "The fixed-width table line of this entry, without a line end."),
    VX_METHOD("to_formatted_string", entry_to_formatted_string, "This entry as a block for display."),
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef logger_methods[] = {
    VX_METHOD("__init__", logger_init, "A logger filing into `directory` (None: DEFAULT_DIR, \"\": memory only)."),
    VX_METHOD("write", logger_write, "Store and file an entry of `type` with `message`; returns the entry."),
    VX_METHOD("flush", logger_flush, "Wake the file writer now."),
    VX_METHOD("stop", logger_stop, "End the file writer and wait for it."),
    VX_METHOD("get_all", logger_get_all, "The stored entries, oldest first."),
    VX_METHOD("get_by_type", logger_get_by_type, "The stored entries of `type`, oldest first."),
    VX_METHOD("has_entries", logger_has_entries, "Whether entries (of `type`, when given) are stored."),
    VX_METHOD("get_last_error", logger_get_last_error, "The newest stored ERROR entry, or None."),
    VX_METHOD("get_file_name", logger_get_file_name, "The log file's path, or None."),
    VX_METHOD("_log_worker", logger_log_worker, "Body of the file writer thread."),
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef logger_static_methods[] = {
    VX_METHOD("_get_stack", logger_get_stack, "Summary of the calling code's stack."),
    {nullptr, nullptr, 0, nullptr},
};

nb::object call(nb::handle function, std::initializer_list<nb::handle> args) {
    nb::object tuple = vx::bases_of(args);
    return vx::steal_or_throw(PyObject_CallObject(function.ptr(), tuple.ptr()));
}

// The default log directory of this host. Besides Windows and macOS, Linux keeps
// its state under $XDG_STATE_HOME (~/.local/state when unset or empty).
void set_default_dir(nb::module_ &m) {
    nb::object platform = vx::steal_or_throw(PyImport_ImportModule("platform"));
    nb::object os = vx::steal_or_throw(PyImport_ImportModule("os"));
    nb::object path = vx::steal_or_throw(PyImport_ImportModule("os.path"));
    nb::object getenv = vx::steal_or_throw(PyObject_GetAttrString(os.ptr(), "getenv"));
    nb::object expanduser = vx::steal_or_throw(PyObject_GetAttrString(path.ptr(), "expanduser"));
    nb::object join = vx::steal_or_throw(PyObject_GetAttrString(path.ptr(), "join"));
    nb::str brio("brio"), velarix("velarix");

    nb::object system = vx::steal_or_throw(PyObject_CallMethod(platform.ptr(), "system", nullptr));
    nb::object base;
    if (system.equal(nb::str("Windows"))) {
        base = call(getenv, {nb::str("APPDATA")});
    } else if (system.equal(nb::str("Darwin"))) {
        base = call(expanduser, {nb::str("~/Library/Application Support")});
        m.attr("basedir") = base;
    } else if (system.equal(nb::str("Linux"))) {
        base = call(getenv, {nb::str("XDG_STATE_HOME")});
        if (!truthy(base))
            base = call(expanduser, {nb::str("~/.local/state")});
    } else {
        vx::raise(PyExc_RuntimeError, "Unsupported OS");
    }
    m.attr("DEFAULT_DIR") = call(join, {base, brio, velarix});
}

nb::object build_entry_class(const char *module_name) {
    nb::dict ns;
    ns["__doc__"] = "One log record: a dict of timestamp, type, stack, thread and message.";
    nb::object base = vx::modules::imp.attr(names::Implementation);
    nb::object cls = vx::make_class("LogEntryImp", vx::bases_of({nb::handle((PyObject *)&PyDict_Type), base}),
                                    ns, module_name);
    vx::add_methods(cls, entry_methods);
    return cls;
}

nb::object build_logger_class(const char *module_name) {
    nb::dict ns;
    ns["__doc__"] = "The newest entries in memory, and every entry in a log file.";
    nb::object base = vx::modules::imp.attr(names::Implementation);
    nb::object cls = vx::make_class("LoggerImp", vx::bases_of({base}), ns, module_name);
    vx::add_methods(cls, logger_methods);
    vx::add_static_methods(cls, logger_static_methods);
    return cls;
}

} // namespace
} // namespace scribon

NB_MODULE(scribon, m) {
    names::init();
    scribon::texts::init();
    scribon::module_dict = nb::handle(PyModule_GetDict(m.ptr())).inc_ref();  // lives as long as the process

    m.attr("MAX_LOG_ENTRIES") = 100;
    m.attr("TIMESTAMP_WIDTH") = 30;
    m.attr("TYPE_WIDTH") = 10;
    m.attr("STACK_WIDTH") = 60;
    m.attr("THREAD_WIDTH") = 12;
    m.attr("MESSAGE_WIDTH") = 50;
    scribon::set_default_dir(m);

    m.attr("LogEntryImp") = scribon::build_entry_class("velarix.imp.scribon");
    m.attr("LoggerImp") = scribon::build_logger_class("velarix.imp.scribon");
}
