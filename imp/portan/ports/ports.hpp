// IPortImp and OPortImp: the ports through which output nodes hand values to input
// nodes. Both are portable objects (PortableImp subclasses); an input port keeps
// what arrives in a native queue (port_queue.hpp).
#pragma once

#include "common/kept.hpp"
#include "common/method.hpp"

namespace portan {

// The two classes, set once by the module: connect() checks the kind of the other end.
struct ModuleState {
    vx::Kept input_port_class;
    vx::Kept output_port_class;
};
inline ModuleState kept;

// input_port.cpp
vx::MethodBody input_init, set_event_handler, data_available, get, input_get_timing, receive, input_connect,
    input_disconnect, source_metadata;

// output_port.cpp
vx::MethodBody output_init, output_get_timing, push, output_connect, output_disconnect;

// stats.cpp
vx::MethodBody input_get_stats, output_get_stats;

// links.cpp: what both kinds do with their list of linked ports.
void init_port_base(nb::handle self, nb::handle config);
void link(nb::handle self, nb::handle other, nb::handle other_class, const char *own_kind,
          const char *other_kind);
void unlink(nb::handle self, nb::handle other);

// api.cpp: the capsule of the node modules' table (api.hpp).
nb::object api_capsule();

// scheduler.cpp: the Scheduler and Task types.
nb::object make_scheduler_type();
nb::object make_task_type();
nb::object carried(const vx::Call &call);

// trace.cpp: a step's origin, and the switch.
vx::MethodBody current_origin, set_origin, set_tracing, get_tracing;


} // namespace portan
