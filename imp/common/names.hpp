// Interned attribute names, made once per module (names::init() in the module's
// set-up) and kept for the life of the process. A private attribute `_x` is
// names::x; where that collides with a public name `x`, the private one is `x_`.
#pragma once

#include "errors.hpp"

// X(identifier, "attribute text")
#define VX_NAMES(X)                                                                    \
    /* package and public layer */                                                      \
    X(Implementation, "Implementation")                                                \
    X(ConstantsImp, "ConstantsImp")                                                    \
    X(PortableImp, "PortableImp")                                                      \
    X(NodeImp, "NodeImp")                                                              \
    X(INodeImp, "INodeImp")                                                            \
    X(ONodeImp, "ONodeImp")                                                            \
    X(IPortImp, "IPortImp")                                                            \
    X(OPortImp, "OPortImp")                                                            \
    X(Constants, "Constants")                                                          \
    X(LogType, "LogType")                                                              \
    X(Logger, "Logger")                                                                \
    X(LogEntry, "LogEntry")                                                            \
    X(Portable, "Portable")                                                            \
    X(Pipeline, "Pipeline")                                                            \
    X(Node, "Node")                                                                    \
    X(INode, "INode")                                                                  \
    X(ONode, "ONode")                                                                  \
    X(IPort, "IPort")                                                                  \
    X(OPort, "OPort")                                                                  \
    X(imp, "_imp")                                                                     \
    /* constants */                                                                     \
    X(States, "States")                                                                \
    X(STOPPED, "STOPPED")                                                              \
    X(RUNNING, "RUNNING")                                                              \
    X(Conditions, "Conditions")                                                        \
    X(HEALTHY, "HEALTHY")                                                              \
    X(ERROR, "ERROR")                                                                  \
    X(INFO, "INFO")                                                                    \
    X(WARNING, "WARNING")                                                              \
    X(Timing, "Timing")                                                                \
    X(ASYNC, "ASYNC")                                                                  \
    X(Defaults, "Defaults")                                                            \
    X(PORT_IN, "PORT_IN")                                                              \
    X(PORT_OUT, "PORT_OUT")                                                            \
    X(ID_TO_BE_GENERATED, "ID_TO_BE_GENERATED")                                        \
    X(LOAD_WARNING_THRESHOLD, "LOAD_WARNING_THRESHOLD")                                \
    X(LOAD_ERROR_THRESHOLD, "LOAD_ERROR_THRESHOLD")                                    \
    X(MONITORING_INTERVAL, "MONITORING_INTERVAL")                                      \
    /* configurations */                                                                \
    X(config, "config")                                                                \
    X(Keys, "Keys")                                                                    \
    X(ReservedKeys, "ReservedKeys")                                                    \
    X(ID, "ID")                                                                        \
    X(NAME, "NAME")                                                                    \
    X(INPUT_PORTS, "INPUT_PORTS")                                                      \
    X(OUTPUT_PORTS, "OUTPUT_PORTS")                                                    \
    /* portable registry */                                                             \
    X(id_map, "_id_map")                                                               \
    X(ids, "_ids")                                                                     \
    X(preinstalled_modules, "_preinstalled_modules")                                   \
    /* node */                                                                          \
    X(counter, "_counter")                                                             \
    X(pre_step_handler, "_pre_step_handler")                                           \
    X(post_step_handler, "_post_step_handler")                                         \
    X(setup_handler, "_setup_handler")                                                 \
    X(step_handler, "_step_handler")                                                   \
    X(logger, "_logger")                                                               \
    X(state, "_state")                                                                 \
    X(condition, "_condition")                                                         \
    X(time_start, "_time_start")                                                       \
    X(time_busy, "_time_busy")                                                         \
    X(load, "_load")                                                                   \
    X(setup_wrapper, "_setup_wrapper")                                                 \
    X(cycle, "_cycle")                                                                 \
    X(get_data_, "_get_data")                                                          \
    X(get_metadata_, "_get_metadata")                                                  \
    X(push_data, "_push_data")                                                         \
    X(push_metadata, "_push_metadata")                                                 \
    X(get_name, "get_name")                                                            \
    X(get_load, "get_load")                                                            \
    X(last_exception, "_last_exception")                                               \
    X(step_stats, "_step_stats")                                                       \
    X(pushed, "_pushed")                                                               \
    X(failing_node, "velarix.failing_node")                                            \
    X(set_logger, "set_logger")                                                        \
    /* input and output nodes, ports */                                                 \
    X(thread_event, "_thread_event")                                                   \
    X(is_thread_running, "_is_thread_running")                                         \
    X(thread, "_thread")                                                               \
    X(input_ports, "_input_ports")                                                     \
    X(output_ports, "_output_ports")                                                   \
    X(setup_thread, "_setup_thread")                                                   \
    X(thread_function, "_thread_function")                                             \
    X(is_data_available, "_is_data_available")                                         \
    X(GET_METADATA_TIMEOUT, "_GET_METADATA_TIMEOUT")                                   \
    X(connected_ports, "_connected_ports")                                             \
    X(event_handler, "_event_handler")                                                 \
    X(values, "_values")                                                               \
    X(timing, "_timing")                                                               \
    X(receive, "_receive")                                                             \
    X(port, "_port")                                                                   \
    X(flag, "_flag")                                                                   \
    X(cond, "_cond")                                                                   \
    X(waiters, "_waiters")                                                             \
    X(Condition, "Condition")                                                          \
    X(LockType, "LockType")                                                            \
    X(deque, "deque")                                                                  \
    X(remove, "remove")                                                                \
    X(TIMING, "TIMING")                                                                \
    X(CAPACITY, "CAPACITY")                                                            \
    X(OVERFLOW, "OVERFLOW")                                                            \
    X(Overflow, "Overflow")                                                            \
    X(BLOCK, "BLOCK")                                                                  \
    X(DROP_OLDEST, "DROP_OLDEST")                                                      \
    X(RAISE, "RAISE")                                                                  \
    X(set_event_handler, "set_event_handler")                                          \
    X(data_available, "data_available")                                                \
    X(get, "get")                                                                      \
    X(get_timing, "get_timing")                                                        \
    X(has_metadata, "has_metadata")                                                    \
    X(get_metadata, "get_metadata")                                                    \
    X(set_metadata, "set_metadata")                                                    \
    X(push, "push")                                                                    \
    X(connect, "connect")                                                              \
    X(disconnect, "disconnect")                                                        \
    X(get_port, "get_port")                                                            \
    /* pipeline */                                                                      \
    X(nodes, "_nodes")                                                                 \
    X(monitor_thread, "_monitor_thread")                                               \
    X(stop_event, "_stop_event")                                                       \
    X(start_time, "_start_time")                                                       \
    X(monitoring_fun, "_monitoring_fun")                                               \
    X(add_node, "add_node")                                                            \
    X(serialize, "serialize")                                                          \
    X(deserialize, "deserialize")                                                      \
    X(get_by_id, "get_by_id")                                                          \
    X(get_last_error, "get_last_error")                                                \
    /* logger */                                                                        \
    X(log, "_log")                                                                     \
    X(log_file_queue, "_log_file_queue")                                               \
    X(lock, "_lock")                                                                   \
    X(has_error, "_has_error")                                                         \
    X(stop_, "_stop")                                                                  \
    X(event, "_event")                                                                 \
    X(file, "_file")                                                                   \
    X(log_worker, "_log_worker")                                                       \
    X(to_line, "to_line")                                                              \
    X(value, "value")                                                                  \
    X(write, "write")                                                                  \
    /* threading and containers */                                                      \
    X(start, "start")                                                                  \
    X(stop, "stop")                                                                    \
    X(set, "set")                                                                      \
    X(clear, "clear")                                                                  \
    X(wait, "wait")                                                                    \
    X(join, "join")                                                                    \
    X(put, "put")                                                                      \
    X(append, "append")                                                                \
    X(add, "add")                                                                      \
    X(acquire, "acquire")                                                              \
    X(release, "release")                                                              \
    X(Thread, "Thread")                                                                \
    X(Event, "Event")                                                                  \
    X(target, "target")                                                                \
    X(daemon, "daemon")                                                                \
    X(type, "type")                                                                    \
    X(stack, "stack")                                                                  \
    X(message, "message")                                                              \
    X(dunder_module, "__module__")                                                     \
    X(dunder_name, "__name__")                                                         \
    X(dunder_class, "__class__")                                                       \
    X(dunder_dict, "__dict__")                                                         \
    X(dunder_mro, "__mro__")                                                           \
    X(dunder_init, "__init__")                                                         \
    X(time, "time")                                                                    \
    X(sleep, "sleep")                                                                  \
    X(deepcopy, "deepcopy")                                                            \
    X(dunder_deepcopy, "__deepcopy__")                                                 \
    X(numpy, "numpy")                                                                  \
    X(ndarray, "ndarray")                                                              \
    X(dtype, "dtype")                                                                  \
    X(hasobject, "hasobject")                                                          \
    X(flush, "flush")                                                                  \
    X(close, "close")                                                                  \
    X(get_nowait, "get_nowait")                                                        \
    X(connect_ports, "connect_ports")                                                  \
    X(disconnect_ports, "disconnect_ports")                                            \
    X(current_thread, "current_thread")                                                \
    X(is_alive, "is_alive")

// Declares a handle per entry of an X(identifier, "text") list and an init() that
// interns them all; modules use it for their own tables of fixed texts too.
#define VX_DECLARE_INTERNED(identifier, text) inline nb::handle identifier;
#define VX_INTERN(identifier, text) vx::intern(identifier, text);
#define VX_INTERNED_TABLE(LIST)                                                        \
    LIST(VX_DECLARE_INTERNED)                                                          \
    inline void init() { LIST(VX_INTERN) }

namespace vx {
// Interned once and owned for the life of the process.
inline void intern(nb::handle &slot, const char *text) {
    if (slot.is_valid())
        return;
    PyObject *interned = PyUnicode_InternFromString(text);
    if (!interned)
        throw_error_already_set();
    slot = interned;
}
} // namespace vx

namespace names {
VX_INTERNED_TABLE(VX_NAMES)
} // namespace names
