// Every entry is also handed to logging.getLogger("velarix") at the matching level;
// an entry written by a guard for a failing node goes to "velarix.node" with the
// node's name as the record's attribute velarix_node and the caught exception as
// exc_info. Two loggers for all nodes: logging never frees one, so a logger per
// node name would grow with every node a program makes. With the level disabled, a
// write costs one isEnabledFor() call.
#include "scribon.hpp"

namespace scribon {
namespace {

// A handler that writes to a velarix logger would otherwise loop back here.
thread_local bool bridging = false;

// logging's level for an entry; kinds of an extended LogType go out at INFO.
nb::handle level_of(nb::handle type, bool is_error) {
    if (is_error)
        return kept.level_error;
    if (vx::equals(type, vx::log_type(names::WARNING)))
        return kept.level_warning;
    return kept.level_info;
}

bool enabled_for(nb::handle logger, nb::handle level) {
    return vx::truthy(vx::call_method(logger, texts::isEnabledFor, level));
}

// The guard's node, as vx::HandlingFailure left it for this thread, or none.
nb::object failing_node() {
    PyObject *state = PyThreadState_GetDict();
    if (!state)
        return nb::object();
    PyObject *name = PyDict_GetItemWithError(state, names::failing_node.ptr());
    if (!name)
        PyErr_Clear();
    return name ? nb::borrow(name) : nb::object();
}

// Whether a record for `logger` would reach only logging's last resort (no handler
// on its way up): nothing of logging has been set up.
bool only_last_resort(nb::handle logger) {
    return !vx::truthy(vx::call_method(logger, texts::hasHandlers));
}

// Whether the owner of `self` (a pipeline) raises its nodes' failures, with their
// tracebacks, to the application (wait(), run()).
bool tracebacks_raised(nb::handle self) {
    return vx::truthy(vx::getattr_or_none(self, texts::tracebacks_raised_));
}

void hand_to_logging(nb::handle self, nb::handle message, nb::handle type, nb::handle entry, bool is_error) {
    nb::handle level = level_of(type, is_error);
    nb::handle logger = kept.velarix_logging;
    if (!enabled_for(logger, level))
        return;

    static vx::Kept keywords_tuple;
    nb::handle keywords = vx::keyword_names(keywords_tuple, {texts::exc_info, texts::extra});
    nb::dict extra;
    extra[texts::velarix_entry] = entry;
    nb::object exception = nb::none(), text = nb::borrow(message);
    if (is_error) {
        nb::object handled = nb::steal(PyErr_GetHandledException());
        nb::object node = failing_node();
        if (handled.is_valid() && !handled.is_none() && node.is_valid()) {
            // A node's failure: on "velarix.node", the line naming the node. The
            // entry's own message stays as it is.
            logger = kept.node_logging;
            if (!enabled_for(logger, level))
                return;
            extra[texts::velarix_node] = node;
            text = vx::formatted("node %U: %U", node.ptr(), message.ptr());
            // With nothing of logging set up the last resort prints the record to
            // stderr; the traceback is left to the error the pipeline raises, so it
            // is printed once.
            if (!(tracebacks_raised(self) && only_last_resort(logger)))
                exception = handled;
        } else if (handled.is_valid()) {
            exception = handled;
        }
    }
    vx::call_kw(vx::getattr(logger, texts::log), keywords, level, text, exception, extra);
}

} // namespace

void set_up_bridge() {
    // Imported when the module loads rather than on first use, since a first use on
    // two threads at once would wait on an import from inside a log call.
    nb::object logging = vx::import_module("logging");
    nb::object get_logger = vx::getattr(logging, texts::getLogger);
    kept.velarix_logging.set(vx::call(get_logger, nb::str("velarix")));
    kept.node_logging.set(vx::call(get_logger, nb::str("velarix.node")));
    kept.level_error.set(vx::getattr(logging, names::ERROR));
    kept.level_warning.set(vx::getattr(logging, names::WARNING));
    kept.level_info.set(vx::getattr(logging, names::INFO));
}

// A failing handler or filter must not fail the write: the entry is stored already.
void bridge(nb::handle self, nb::handle type, nb::handle message, nb::handle entry, bool is_error) {
    if (bridging)
        return;
    bridging = true;
    try {
        hand_to_logging(self, message, type, entry, is_error);
    } catch (nb::python_error &error) {
        bridging = false;
        if (!error.matches(PyExc_Exception))
            throw;
        vx::report_unraisable(error, entry);
        return;
    }
    bridging = false;
}

} // namespace scribon
