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
nb::object init(const vx::Call &call);
nb::object set_setup_handler(const vx::Call &call);
nb::object set_pre_step_handler(const vx::Call &call);
nb::object set_post_step_handler(const vx::Call &call);
nb::object set_step_handler(const vx::Call &call);
nb::object start(const vx::Call &call);
nb::object stop(const vx::Call &call);
nb::object get_name(const vx::Call &call);
nb::object set_logger(const vx::Call &call);
nb::object get_state(const vx::Call &call);
nb::object get_counter(const vx::Call &call);
nb::object get_last_exception(const vx::Call &call);
nb::object get_load(const vx::Call &call);
nb::object get_data(const vx::Call &call);
nb::object get_metadata(const vx::Call &call);
nb::object push_data(const vx::Call &call);
nb::object push_metadata(const vx::Call &call);
nb::object do_nothing(const vx::Call &call);

// step_stats.cpp
extern bool collecting_stats;
class NodeAttributes;
void record_step(const NodeAttributes &own, nb::handle t_start, nb::handle t_end);
void record_skip(const NodeAttributes &own);
nb::object get_step_stats(const vx::Call &call);
nb::object set_statistics(const vx::Call &call);

// cycle.cpp
nb::object cycle(const vx::Call &call);
nb::object drive(const vx::Call &call);
nb::object setup_wrapper(const vx::Call &call);
nb::object deepcopy(const vx::Call &call);
nb::object array_pool(const vx::Call &call);

} // namespace vertan
