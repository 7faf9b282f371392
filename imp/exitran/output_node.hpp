// ONodeImp: a node with named output ports that it links to input ports of other
// nodes and through which it pushes each step's results.
#pragma once

#include "common/kept.hpp"
#include "common/method.hpp"

namespace exitran {

// ONodeImp itself, set once by the module, for super(ONodeImp, self).start().
inline vx::Kept output_node_class;

// output_node.cpp
vx::MethodBody init, get_port, connect, disconnect, push_data, push_metadata;

// setup_thread.cpp
vx::MethodBody start, thread_function;

} // namespace exitran
