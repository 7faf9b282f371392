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
vx::MethodBody init, get_port, is_data_available, get_data, get_metadata;

// worker.cpp
vx::MethodBody start, stop, thread_function, run_ready;

} // namespace intaran
