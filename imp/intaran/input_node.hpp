// INodeImp: a node with named input ports and a worker thread that runs a step
// whenever every input port holds a value.
#pragma once

#include "common/kept.hpp"
#include "common/method.hpp"

namespace intaran {

// INodeImp itself, set once by the module: the metadata timeout is read from it,
// and its base's start and stop are reached through super(INodeImp, self).
inline vx::Kept input_node_class;

// input_node.cpp
nb::object init(const vx::Call &call);
nb::object get_port(const vx::Call &call);
nb::object is_data_available(const vx::Call &call);
nb::object get_data(const vx::Call &call);
nb::object get_metadata(const vx::Call &call);

// worker.cpp
nb::object start(const vx::Call &call);
nb::object stop(const vx::Call &call);
nb::object thread_function(const vx::Call &call);
nb::object run_ready(const vx::Call &call);

} // namespace intaran
