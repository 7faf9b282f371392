// Interned attribute names, made once per module (names::init() in the module's
// set-up) and kept for the life of the process.
//
// Each is spelled as the Python name it stands for, by one rule:
//   a public name `x` is names::x             (get_name -> names::get_name)
//   a private name `_x` is names::x_          (_get_data -> names::get_data_)
//   a special name `__x__` is names::dunder_x (__init__ -> names::dunder_init)
// C++ reserves a leading underscore before a capital (_GET_METADATA_TIMEOUT) and a
// double underscore, so the underscore of every private name moves to the end
// alike. A text that is no Python identifier is named for what it holds
// (names::failing_node). The modules' own tables of texts (scribon, trellan)
// spell their names the same way.
#pragma once

#include "errors.hpp"
#include "kept.hpp"

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
    X(imp_, "_imp")                                                                    \
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
    X(SKIP, "SKIP")                                                                    \
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
    X(id_map_, "_id_map")                                                              \
    X(ids_, "_ids")                                                                    \
    X(preinstalled_modules_, "_preinstalled_modules")                                  \
    /* node */                                                                          \
    X(counter_, "_counter")                                                            \
    X(pre_step_handler_, "_pre_step_handler")                                          \
    X(post_step_handler_, "_post_step_handler")                                        \
    X(setup_handler_, "_setup_handler")                                                \
    X(step_handler_, "_step_handler")                                                  \
    X(logger_, "_logger")                                                              \
    X(state_, "_state")                                                                \
    X(condition_, "_condition")                                                        \
    X(time_start_, "_time_start")                                                      \
    X(time_busy_, "_time_busy")                                                        \
    X(time_blocked_, "_time_blocked")                                                  \
    X(load_, "_load")                                                                  \
    X(setup_wrapper_, "_setup_wrapper")                                                \
    X(cycle_, "_cycle")                                                                \
    X(get_data_, "_get_data")                                                          \
    X(get_metadata_, "_get_metadata")                                                  \
    X(push_data_, "_push_data")                                                        \
    X(push_metadata_, "_push_metadata")                                                \
    X(get_name, "get_name")                                                            \
    X(get_load, "get_load")                                                            \
    X(last_exception_, "_last_exception")                                              \
    X(step_stats_, "_step_stats")                                                      \
    X(pushed_, "_pushed")                                                              \
    X(skipped_, "_skipped")                                                            \
    X(warned_stopped_, "_warned_stopped")                                              \
    X(warned_keys_, "_warned_keys")                                                    \
    X(warned_drift_, "_warned_drift")                                                  \
    X(overloaded_node_, "_overloaded_node")                                            \
    X(add_note, "add_note")                                                            \
    X(failing_node, "velarix.failing_node")                                            \
    X(set_logger, "set_logger")                                                        \
    /* input and output nodes, ports */                                                 \
    X(thread_event_, "_thread_event")                                                  \
    X(is_thread_running_, "_is_thread_running")                                        \
    X(thread_, "_thread")                                                              \
    X(input_ports_, "_input_ports")                                                    \
    X(output_ports_, "_output_ports")                                                  \
    X(setup_thread_, "_setup_thread")                                                  \
    X(thread_function_, "_thread_function")                                            \
    X(scheduler_, "_scheduler")                                                        \
    X(scheduler_task_, "_scheduler_task")                                              \
    X(run_ready_, "_run_ready")                                                        \
    X(run_, "_run")                                                                    \
    X(name, "name")                                                                    \
    X(is_data_available_, "_is_data_available")                                        \
    X(GET_METADATA_TIMEOUT_, "_GET_METADATA_TIMEOUT")                                  \
    X(connected_ports_, "_connected_ports")                                            \
    X(event_handler_, "_event_handler")                                                \
    X(values_, "_values")                                                              \
    X(timing_, "_timing")                                                              \
    X(receive_, "_receive")                                                            \
    X(port_, "_port")                                                                  \
    X(flag_, "_flag")                                                                  \
    X(cond_, "_cond")                                                                  \
    X(waiters_, "_waiters")                                                            \
    X(Condition, "Condition")                                                          \
    X(LockType, "LockType")                                                            \
    X(Lock, "Lock")                                                                    \
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
    X(nodes_, "_nodes")                                                                \
    X(monitor_thread_, "_monitor_thread")                                              \
    X(stop_event_, "_stop_event")                                                      \
    X(start_time_, "_start_time")                                                      \
    X(monitoring_fun_, "_monitoring_fun")                                              \
    X(add_node, "add_node")                                                            \
    X(serialize, "serialize")                                                          \
    X(deserialize, "deserialize")                                                      \
    X(get_by_id, "get_by_id")                                                          \
    X(get_last_error, "get_last_error")                                                \
    /* logger */                                                                        \
    X(log_, "_log")                                                                    \
    X(log_file_queue_, "_log_file_queue")                                              \
    X(lock_, "_lock")                                                                  \
    X(has_error_, "_has_error")                                                        \
    X(stop_, "_stop")                                                                  \
    X(event_, "_event")                                                                \
    X(file_, "_file")                                                                  \
    X(log_worker_, "_log_worker")                                                      \
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
    X(nbytes, "nbytes")                                                                \
    X(dtype, "dtype")                                                                  \
    X(hasobject, "hasobject")                                                          \
    X(flush, "flush")                                                                  \
    X(close, "close")                                                                  \
    X(get_nowait, "get_nowait")                                                        \
    X(connect_ports, "connect_ports")                                                  \
    X(disconnect_ports, "disconnect_ports")                                            \
    X(current_thread, "current_thread")                                                \
    X(is_alive, "is_alive")

// Declares a vx::Kept per entry of an X(identifier, "text") list and an init() that
// interns them all; modules use it for their own tables of fixed texts too.
#define VX_DECLARE_INTERNED(identifier, text) inline vx::Kept identifier;
#define VX_INTERN(identifier, text) vx::intern(identifier, text);
#define VX_INTERNED_TABLE(LIST)                                                        \
    LIST(VX_DECLARE_INTERNED)                                                          \
    inline void init() { LIST(VX_INTERN) }

namespace vx {
// Each module is its own shared library with its own copy of the table, filled by
// its own set-up; interning gives every module the same string object for a text.
// A set-up that runs again keeps what it interned before.
inline void intern(Kept &slot, const char *text) {
    slot.get_or_make([&] { return steal_or_throw(PyUnicode_InternFromString(text)); });
}
} // namespace vx

namespace names {
VX_INTERNED_TABLE(VX_NAMES)
} // namespace names
