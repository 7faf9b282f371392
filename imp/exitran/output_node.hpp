// ONodeImp: a node with named output ports that it links to input ports of other
// nodes and through which it pushes each step's results.
#pragma once

#include "common/kept.hpp"
#include "common/method.hpp"

namespace exitran {

// ONodeImp itself, set once by the module, for super(ONodeImp, self).start().
inline vx::Kept output_node_class;

// output_node.cpp
nb::object init(const vx::Call &call);
nb::object get_port(const vx::Call &call);
nb::object connect(const vx::Call &call);
nb::object disconnect(const vx::Call &call);
nb::object push_data(const vx::Call &call);
nb::object push_metadata(const vx::Call &call);

// setup_thread.cpp
nb::object start(const vx::Call &call);
nb::object thread_function(const vx::Call &call);

} // namespace exitran
