// PipelineImp: the nodes of one graph (graph.cpp), starting, stopping and
// watching them (run_control.cpp, monitoring.cpp), and saving the whole graph
// (serialization.cpp). module.cpp builds the class.
#pragma once

#include <vector>

#include "common/kept.hpp"
#include "common/runtime.hpp"

namespace trellan {

// Texts of this module only: log lines, keys and fixed arguments.
// X(identifier, "text"); interned once by texts::init().
#define TRELLAN_TEXTS(X)                                                               \
    X(directory, "directory")                                                          \
    X(RLock, "RLock")                                                                  \
    X(setdefault, "setdefault")                                                        \
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
VX_INTERNED_TABLE(TRELLAN_TEXTS)
} // namespace texts

// graph.cpp
vx::MethodBody init, add_node, remove_node, connect_ports, connect, disconnect_ports, disconnect;

// run_control.cpp
vx::MethodBody start, stop, get_state, get_condition, get_last_error, get_elapsed_time, write_log;

// monitoring.cpp
vx::MethodBody get_load, monitoring_fun, end_monitors;

// What the module makes when it loads, kept for the life of the process.
struct ModuleState {
    // Monitoring threads that may still run: thread -> its pipeline's stop event.
    // end_monitors() ends them all when the interpreter exits.
    vx::Kept live_monitors;
    // Each pipeline's run-control turn, weakly keyed by the pipeline (run_control.cpp).
    vx::Kept run_turns;
};
inline ModuleState kept;

// serialization.cpp
vx::MethodBody serialize, deserialize;

// What a load knows about the node list of the pipeline it fills: the elements it
// has appended, in order, and whether each one's type kept object's own equality
// when it was added. While the list is still that list holding exactly those
// elements, a new node whose type keeps object's equality is in it only if it is
// one of them: the membership test then compares addresses alone, instead of
// looking at every element's type for each of thousands of nodes.
struct LoadIndex {
    PyObject *pipeline = nullptr;  // the PipelineImp being filled
    PyObject *list = nullptr;      // its _nodes when indexing began
    std::vector<PyObject *> elements;
    bool all_plain = true;
};

// The load under way on this thread, if any (set by deserialize for its duration).
inline thread_local LoadIndex *current_load = nullptr;

// --- helpers shared by the files ---------------------------------------------------

// A private copy of _nodes to walk: node calls made during the walk may change the
// graph, and the walk must see the list as it was, never one half-way changed.
inline nb::object nodes_of(nb::handle self) { return vx::list_copy(vx::getattr(self, names::nodes_)); }

// thread.join(), unless it is the calling thread: the monitoring thread calls stop()
// itself and must never wait for its own end.
inline void join_unless_current(nb::handle thread) {
    if (!vx::is_current_thread(thread))
        vx::call_method(thread, names::join);
}

} // namespace trellan
