// LoggerImp: the bounded in-memory store of the newest entries, its queries and
// write(), which stores an entry, then hands it to the log file's writer
// (log_file.cpp) and to the logging module (logging_bridge.cpp).
#include "scribon.hpp"

namespace scribon {
namespace {

// The store's entries, oldest first, copied under the lock. Queries then compare
// outside it, so an entry's __eq__ or __getitem__ may log without deadlocking.
nb::object snapshot(nb::handle self) {
    vx::HeldLock held(vx::getattr(self, names::lock_));
    nb::object entries = vx::list_copy(vx::getattr(self, names::log_));
    held.release();
    return entries;
}

nb::object type_of(nb::handle entry) {
    return vx::get_item(entry, names::type);
}

// LogEntry(type=..., stack=..., message=...), the public entry class looked up now.
nb::object make_entry(nb::handle type, nb::handle stack, nb::handle message) {
    static vx::Kept keywords_tuple;
    nb::handle keywords = vx::keyword_names(keywords_tuple, {names::type, names::stack, names::message});
    nb::object entry_class = vx::module_attr(vx::modules::logger, names::LogEntry);
    return vx::call_kw(entry_class, keywords, type, stack, message);
}

// The LogType member a query asks for: the member itself, or its name as text
// ("ERROR"), which reads naturally and was refused with an AttributeError before.
nb::object wanted_type(nb::handle type) {
    if (!PyUnicode_Check(type.ptr()))
        return nb::borrow(type);
    nb::object log_types = vx::module_attr(vx::modules::logger, names::LogType);
    nb::object member = vx::getattr_or_none(log_types, type);
    if (member.is_none() || !vx::is_instance(member, log_types))
        vx::raise(PyExc_TypeError, "Unknown log type '%U': pass a LogType member such as LogType.ERROR.",
                  type.ptr());
    return member;
}

} // namespace

nb::object logger_init(const vx::Call &call) {
    static constexpr vx::Params<1> params{"__init__", {"directory"}};
    auto [directory_arg] = call.bind(params);
    vx::require_str(directory_arg, "directory", /*allow_none=*/true);
    nb::handle self = call.self;

    static vx::Kept maxlen_tuple;
    nb::handle maxlen = vx::keyword_names(maxlen_tuple, {texts::maxlen});
    nb::object deque_class = vx::modules::collections.attr("deque");
    nb::object bound = module_global(texts::MAX_LOG_ENTRIES);
    nb::object store = vx::call_kw(deque_class, maxlen, bound);
    nb::object queue = vx::call(vx::modules::queue.attr("Queue"));
    nb::object lock = vx::call(vx::modules::threading.attr("Lock"));

    vx::setattr(self, names::log_, store);
    vx::setattr(self, names::log_file_queue_, queue);
    vx::setattr(self, names::lock_, lock);
    vx::setattr(self, names::has_error_, Py_False);
    vx::setattr(self, names::stop_, Py_False);
    vx::setattr(self, names::thread_, Py_None);
    vx::setattr(self, names::event_, Py_None);
    vx::setattr(self, names::file_, Py_None);
    vx::setattr(self, texts::lost_, vx::steal_or_throw(PyLong_FromLong(0)));

    nb::object directory =
        directory_arg == Py_None ? module_global(texts::DEFAULT_DIR) : nb::borrow(directory_arg);
    if (PyUnicode_Check(directory.ptr()) && PyUnicode_GET_LENGTH(directory.ptr()) == 0)
        return nb::none();  // memory only

    nb::object path, why;
    try {
        path = create_log_file(directory, why);
    } catch (nb::python_error &error) {
        if (!error.matches(PyExc_OSError))
            throw;
        why = nb::borrow(error.value());
    }
    if (!path.is_valid() || path.is_none()) {
        // Memory only, said in the log itself and so to logging.
        vx::setattr(self, names::file_, Py_None);
        vx::call_method(self, names::write, vx::log_type(names::WARNING),
                        vx::formatted("The log folder %R cannot be used (%S); the log stays in memory only.",
                                      directory.ptr(), why.ptr()));
        return nb::none();
    }
    vx::setattr(self, names::file_, path);
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
    const bool is_error = vx::equals(type, vx::log_type(names::ERROR));
    if (is_error)
        vx::setattr(self, names::has_error_, Py_True);

    {
        vx::HeldLock held(vx::getattr(self, names::lock_));
        vx::call_method(vx::getattr(self, names::log_), names::append, entry);
        held.release();
    }

    file_entry(self, entry, is_error);
    bridge(self, type, message, entry, is_error);
    return entry;
}


nb::object logger_get_all(const vx::Call &call) {
    call.bind_none("get_all");
    return snapshot(call.self);
}

nb::object logger_get_by_type(const vx::Call &call) {
    static constexpr vx::Params<1> params{"get_by_type", {"type"}};
    auto [type_arg] = call.bind(params);
    nb::object wanted = vx::getattr(wanted_type(type_arg), names::value);
    nb::object entries = snapshot(call.self);
    nb::object found = vx::steal_or_throw(PyList_New(0));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(entries.ptr()); ++i) {
        nb::handle entry = PyList_GET_ITEM(entries.ptr(), i);
        if (vx::equals(type_of(entry), wanted))
            vx::check_status(PyList_Append(found.ptr(), entry.ptr()));
    }
    return found;
}

nb::object logger_has_entries(const vx::Call &call) {
    static constexpr vx::Params<1> params{"has_entries", {"type"}, 0};
    auto [type] = call.bind(params);
    if (type && vx::truthy(type)) {
        nb::object wanted = vx::getattr(wanted_type(type), names::value);
        nb::object entries = snapshot(call.self);
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(entries.ptr()); ++i)
            if (vx::equals(type_of(PyList_GET_ITEM(entries.ptr(), i)), wanted))
                return nb::borrow(Py_True);
        return nb::borrow(Py_False);
    }
    vx::HeldLock held(vx::getattr(call.self, names::lock_));
    nb::object store = vx::getattr(call.self, names::log_);
    Py_ssize_t count = vx::check_call([&] { return PyObject_Length(store.ptr()); });
    held.release();
    return nb::borrow(count > 0 ? Py_True : Py_False);
}

nb::object logger_get_last_error(const vx::Call &call) {
    call.bind_none("get_last_error");
    nb::object wanted = vx::getattr(vx::log_type(names::ERROR), names::value);
    nb::object entries = snapshot(call.self);
    for (Py_ssize_t i = PyList_GET_SIZE(entries.ptr()) - 1; i >= 0; --i) {
        nb::handle entry = PyList_GET_ITEM(entries.ptr(), i);
        if (vx::equals(type_of(entry), wanted))
            return nb::borrow(entry);
    }
    return nb::none();
}

nb::object logger_get_file_name(const vx::Call &call) {
    call.bind_none("get_file_name");
    return vx::getattr(call.self, names::file_);
}


} // namespace scribon
