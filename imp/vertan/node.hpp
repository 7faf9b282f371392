// NodeImp: the node base (handlers, state, condition, logger, load bookkeeping)
// and its timed, error-guarded step cycle.
#pragma once

#include "common/runtime.hpp"

namespace vertan {

// What the module makes when it loads, kept for the life of the process.
struct ModuleState {
    vx::Kept node_class;    // NodeImp, for super(NodeImp, self)
    vx::Kept module_name;   // "velarix.imp.vertan", the __module__ of the handlers
    vx::Kept default_data;  // the one empty dict _cycle() uses without argument
    vx::Kept zero, one, hundred;
    vx::Kept cycle_method;  // NodeImp._cycle as the class holds it
};
inline ModuleState kept;

// node.cpp
vx::MethodBody init, set_setup_handler, set_pre_step_handler, set_post_step_handler, set_step_handler, start,
    stop, get_name, set_logger, get_state, get_counter, get_last_exception, get_load, get_data, get_metadata,
    push_data, push_metadata, do_nothing;

// One of the default handlers, which accept any one argument and do nothing: a
// cycle may leave out the call.
bool is_do_nothing(nb::handle handler);

// step_stats.cpp
extern bool collecting_stats;
class NodeAttributes;
void record_step(const NodeAttributes &own, nb::handle t_start, nb::handle t_end);
void record_step(const NodeAttributes &own, double t_start, double t_end);  // float readings
void record_skip(const NodeAttributes &own);
vx::MethodBody get_step_stats, set_statistics;

// cycle.cpp
vx::MethodBody cycle, drive, setup_wrapper, deepcopy, array_pool;
// node._cycle(data) for the other modules (api.hpp's lent methods): 0, or -1 with the
// error set.
int lent_cycle(PyObject *self, PyObject *data);

} // namespace vertan
