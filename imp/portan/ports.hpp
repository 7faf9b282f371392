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
nb::object input_init(const vx::Call &call);
nb::object set_event_handler(const vx::Call &call);
nb::object data_available(const vx::Call &call);
nb::object get(const vx::Call &call);
nb::object input_get_timing(const vx::Call &call);
nb::object receive(const vx::Call &call);
nb::object input_connect(const vx::Call &call);
nb::object input_disconnect(const vx::Call &call);
nb::object source_metadata(const vx::Call &call);

// output_port.cpp
nb::object output_init(const vx::Call &call);
nb::object output_get_timing(const vx::Call &call);
nb::object push(const vx::Call &call);
nb::object output_connect(const vx::Call &call);
nb::object output_disconnect(const vx::Call &call);

// stats.cpp
nb::object input_get_stats(const vx::Call &call);
nb::object output_get_stats(const vx::Call &call);

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
nb::object current_origin(const vx::Call &call);
nb::object set_origin(const vx::Call &call);
nb::object set_tracing(const vx::Call &call);
nb::object get_tracing(const vx::Call &call);


} // namespace portan
