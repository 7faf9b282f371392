// PipelineImp: the nodes of one graph (graph.cpp), starting, stopping and
// watching them (run_control.cpp, monitoring.cpp), and saving the whole graph
// (serialization.cpp). module.cpp builds the class.
#pragma once

#include "common/host.hpp"
#include "common/method.hpp"
#include "common/names.hpp"

namespace trellan {

// Texts of this module only: log lines, keys and fixed arguments.
// X(identifier, "text"); interned once by texts::init().
#define TRELLAN_TEXTS(X)                                                               \
    X(directory, "directory")                                                          \
    X(Configuration, "Configuration")                                                  \
    X(get_elapsed_time, "get_elapsed_time")                                            \
    X(key_class, "class")                                                              \
    X(key_name, "name")                                                                \
    X(key_load, "load")                                                                \
    X(pipeline_name, "Pipeline")                                                       \
    X(nodes_key, "nodes")                                                              \
    X(connections_key, "connections")                                                  \
    X(two_decimals, ".2f")                                                             \
    X(separator, "; ")                                                                 \
    X(starting, "Starting pipeline...")                                                \
    X(not_healthy, "Pipeline not healthy, skipping.")                                  \
    X(running_skip, "Pipeline running, skipping.")                                     \
    X(started, "Pipeline started.")                                                    \
    X(stopping, "Stopping pipeline...")                                                \
    X(already_stopped, "Pipeline has already been stopped. Skipping.")                 \
    X(already_stopped_error, "Pipeline has already been stopped due to an error. Skipping.") \
    X(stopped, "Pipeline stopped.")                                                    \
    X(monitor_started, "Monitoring thread started...")                                 \
    X(monitor_terminated, "Monitoring thread terminated.")                             \
    X(deserialization_starting, "Starting pipeline deserialization...")                \
    X(deserialization_complete, "Deserialization complete.")

namespace texts {
#define TRELLAN_DECLARE_TEXT(identifier, text) inline nb::handle identifier;
TRELLAN_TEXTS(TRELLAN_DECLARE_TEXT)
#undef TRELLAN_DECLARE_TEXT

inline void init() {
#define TRELLAN_INTERN_TEXT(identifier, text)                                          \
    if (!identifier.is_valid()) {                                                      \
        PyObject *interned = PyUnicode_InternFromString(text);                         \
        if (!interned)                                                                 \
            throw nb::python_error();                                                  \
        identifier = interned; /* owned for the life of the process */                 \
    }
    TRELLAN_TEXTS(TRELLAN_INTERN_TEXT)
#undef TRELLAN_INTERN_TEXT
}
} // namespace texts

// graph.cpp
nb::object init(const vx::Call &call);
nb::object add_node(const vx::Call &call);
nb::object remove_node(const vx::Call &call);
nb::object connect_ports(const vx::Call &call);
nb::object connect(const vx::Call &call);
nb::object disconnect_ports(const vx::Call &call);
nb::object disconnect(const vx::Call &call);

// run_control.cpp
nb::object start(const vx::Call &call);
nb::object stop(const vx::Call &call);
nb::object get_state(const vx::Call &call);
nb::object get_condition(const vx::Call &call);
nb::object get_last_error(const vx::Call &call);
nb::object get_elapsed_time(const vx::Call &call);
nb::object write_log(const vx::Call &call);

// monitoring.cpp
nb::object get_load(const vx::Call &call);
nb::object monitoring_fun(const vx::Call &call);
nb::object end_monitors(const vx::Call &call);

// Monitoring threads that may still run: thread -> its pipeline's stop event. Set
// once by the module; end_monitors() ends them all when the interpreter exits.
inline nb::handle live_monitors;

// serialization.cpp
nb::object serialize(const vx::Call &call);
nb::object deserialize(const vx::Call &call);

// --- helpers shared by the files ---------------------------------------------------

// velarix.constants.Constants.<group>.<name>, resolved at each use.
inline nb::object constant(nb::handle group, nb::handle name) {
    nb::object constants = vx::modules::constants.attr(names::Constants);
    return vx::getattr(vx::getattr(constants, group), name);
}

// velarix.imp.ConstantsImp.<name>, read at each use so that a changed value counts.
inline nb::object tunable(nb::handle name) {
    return vx::getattr(vx::modules::imp.attr(names::ConstantsImp), name);
}

// velarix.logger.LogType.<name>
inline nb::object log_type(nb::handle name) {
    return vx::getattr(vx::modules::logger.attr(names::LogType), name);
}

// `a == b` then its truth, as Python's == gives it.
inline bool equals(nb::handle a, nb::handle b) {
    nb::object result = vx::steal_or_throw(PyObject_RichCompare(a.ptr(), b.ptr(), Py_EQ));
    return vx::check_status(PyObject_IsTrue(result.ptr())) != 0;
}

inline bool greater(nb::handle a, nb::handle b) {
    return vx::check_status(PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_GT)) != 0;
}

// time.time(), through the module at each use so a patched clock is seen.
inline nb::object now() {
    nb::object clock = vx::modules::time.attr(names::time);
    return vx::steal_or_throw(PyObject_CallNoArgs(clock.ptr()));
}

// obj.<name>(args...) with the object's own method lookup.
template <typename... Args>
nb::object call_method(nb::handle obj, nb::handle name, Args... args) {
    PyObject *vector[] = {obj.ptr(), nb::handle(args).ptr()...};
    return vx::steal_or_throw(
        PyObject_VectorcallMethod(name.ptr(), vector, 1 + sizeof...(Args), nullptr));
}

// logger.write(LogType.<type_name>, message)
inline void write_to(nb::handle logger, nb::handle type_name, nb::handle message) {
    call_method(logger, names::write, log_type(type_name), message);
}

// self._logger.write(LogType.<type_name>, message)
inline void log(nb::handle self, nb::handle type_name, nb::handle message) {
    write_to(vx::getattr(self, names::logger), type_name, message);
}

// node.get_name() as text, the way string formatting shows it.
inline nb::object name_text(nb::handle node) {
    return vx::to_text(call_method(node, names::get_name));
}

// A private copy of _nodes to walk: node calls made during the walk may change the
// graph, and the walk must see the list as it was, never one half-way changed.
inline nb::object nodes_of(nb::handle self) {
    nb::object nodes = vx::getattr(self, names::nodes);
    if (PyList_CheckExact(nodes.ptr()))
        return vx::steal_or_throw(PyList_GetSlice(nodes.ptr(), 0, PY_SSIZE_T_MAX));
    return vx::steal_or_throw(PySequence_List(nodes.ptr()));
}

// thread.join(), unless it is the calling thread: the monitoring thread calls stop()
// itself and must never wait for its own end.
inline void join_unless_current(nb::handle thread) {
    nb::object current = vx::steal_or_throw(
        PyObject_CallNoArgs(vx::modules::threading.attr(names::current_thread).ptr()));
    if (!current.is(thread))
        call_method(thread, names::join);
}

} // namespace trellan
