// What the ports count for the statistics: an input port's values received, still
// queued and dropped (kept by its native queue), an output port's values pushed
// and the cycles it pushed nothing in (SKIP).
#include "portan/ports/port_queue.hpp"
#include "portan/ports/ports.hpp"

namespace portan {
namespace {

nb::object count(unsigned long long value) { return vx::steal_or_throw(PyLong_FromUnsignedLongLong(value)); }

} // namespace

nb::object input_get_stats(const vx::Call &call) {
    call.bind_none("get_stats");
    nb::dict figures;
    // Held for the figures below: a `_values` property may hand out a queue no one keeps.
    nb::object values = vx::getattr(call.self, names::values_);
    vx::PortQueueState *queue = vx::queue_state(values);
    figures["received"] = queue ? count(queue->received) : nb::none();
    figures["queued"] = queue ? count(queue->items.size()) : nb::none();
    figures["dropped"] = queue ? count(queue->dropped) : nb::none();
    // Push to the start of the step that took the value, and the value's age then.
    const vx::LatencyRing *ring = queue ? queue->latency.get() : nullptr;
    figures["latency"] = vx::summary(ring, false);
    figures["age"] = vx::summary(ring, true);
    return std::move(figures);
}

nb::object output_get_stats(const vx::Call &call) {
    call.bind_none("get_stats");
    nb::dict figures;
    nb::object pushed = vx::getattr_or_none(call.self, names::pushed_);
    figures["pushed"] = pushed.is_none() ? count(0) : pushed;
    // Cycles whose step said SKIP for this port (or for the whole node).
    nb::object skipped = vx::getattr_or_none(call.self, names::skipped_);
    figures["skipped"] = skipped.is_none() ? count(0) : skipped;
    return std::move(figures);
}

} // namespace portan
