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
// _push_data's body for the step cycle (api.hpp's lent methods): 0, or -1 with the
// error set.
int lent_push_data(PyObject *self, PyObject *data);

// setup_thread.cpp
vx::MethodBody start, thread_function;

} // namespace exitran
