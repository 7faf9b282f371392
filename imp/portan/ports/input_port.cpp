// IPortImp: queues what arrives (SYNC: every value in order, ASYNC: the newest only,
// optionally bounded) and calls its event handler after each arriving value.
#include <cmath>
#include "portan/ports/port_queue.hpp"
#include "portan/ports/ports.hpp"

namespace portan {
namespace {

nb::object queue_type_object() { return nb::borrow((PyObject *)vx::port_queue_type()); }

// config.get(config.Keys.<key_attr>), None when the key is missing or unnamed.
nb::object optional_entry(nb::handle config, nb::handle key_attr) {
    nb::object keys = vx::getattr(config, names::Keys);
    if (!vx::has_attr(keys, PyUnicode_AsUTF8(key_attr.ptr())))
        return nb::none();
    nb::object found = vx::lookup(config, vx::getattr(keys, key_attr));
    return found.is_valid() ? found : nb::none();
}

// The capacity entry: None (unbounded) or an int of at least 1.
Py_ssize_t capacity_of(nb::handle config) {
    nb::object capacity = optional_entry(config, names::CAPACITY);
    if (capacity.is_none())
        return 0;
    if (!PyLong_Check(capacity.ptr()) || PyBool_Check(capacity.ptr()))
        vx::raise(PyExc_TypeError, "capacity must be an int or None, not %.200s", Py_TYPE(capacity.ptr())->tp_name);
    Py_ssize_t value = PyLong_AsSsize_t(capacity.ptr());
    if (value == -1 && PyErr_Occurred())
        vx::throw_error_already_set();
    if (value < 1)
        vx::raise(PyExc_ValueError, "capacity must be at least 1, got %zd.", value);
    return value;
}

// The overflow entry: None (block) or one of Constants.Overflow's values.
vx::Overflow overflow_of(nb::handle config) {
    nb::object overflow = optional_entry(config, names::OVERFLOW);
    if (overflow.is_none())
        return vx::Overflow::block;
    nb::object choices = vx::getattr(vx::constants(), names::Overflow);
    if (vx::equals(overflow, vx::getattr(choices, names::BLOCK)))
        return vx::Overflow::block;
    if (vx::equals(overflow, vx::getattr(choices, names::DROP_OLDEST)))
        return vx::Overflow::drop_oldest;
    if (vx::equals(overflow, vx::getattr(choices, names::RAISE)))
        return vx::Overflow::raise;
    vx::raise(PyExc_ValueError, "overflow must be 'block', 'drop_oldest' or 'raise', got %R.", overflow.ptr());
}

// The port's queue, with the object that holds it: `_values` may be a property of a
// subclass whose queue nothing else keeps alive.
struct HeldQueue {
    nb::object values;
    vx::PortQueueState *state;
};

HeldQueue queue_of(nb::handle self) {
    nb::object values = vx::getattr(self, names::values_);
    vx::PortQueueState *queue = vx::queue_state(values);
    if (!queue)
        vx::raise(PyExc_TypeError, "_values of an input port must be its PortQueue");
    return {std::move(values), queue};
}

} // namespace

nb::object input_init(const vx::Call &call) {
    static constexpr vx::Params<1> params{"__init__", {"config"}};
    auto [config] = call.bind(params);
    nb::handle self = call.self;
    init_port_base(self, config);

    // The queue's rules are read once, here: they are the port's configuration.
    bool keep_newest = vx::equals(vx::getattr(self, names::timing_), vx::constant(names::Timing, names::ASYNC));
    Py_ssize_t capacity = capacity_of(config);
    vx::Overflow overflow = overflow_of(config);
    nb::object values = vx::call(queue_type_object());
    vx::PortQueueState *queue = vx::queue_state(values);
    vx::set_queue_rules(*queue, keep_newest, capacity, overflow);
    vx::setattr(self, names::values_, values);
    vx::setattr(self, names::event_handler_, nb::none());
    // Lets the configuration answer for the linked output port's metadata.
    vx::setattr(config, names::port_, self);
    return nb::none();
}

nb::object set_event_handler(const vx::Call &call) {
    static constexpr vx::Params<1> params{"set_event_handler", {"handler"}};
    auto [handler] = call.bind(params);
    vx::setattr(call.self, names::event_handler_, handler);
    return nb::none();
}

nb::object data_available(const vx::Call &call) {
    call.bind_none("data_available");
    HeldQueue queue = queue_of(call.self);
    return nb::bool_(!queue.state->items.empty());
}

nb::object get(const vx::Call &call) {
    call.bind_none("get");
    HeldQueue queue = queue_of(call.self);
    PyObject *value = vx::port_queue_pop(*queue.state);
    if (!value) {
        nb::object config = vx::getattr(call.self, names::config);
        nb::object name = vx::get_item(config, vx::getattr(vx::getattr(config, names::Keys), names::NAME));
        vx::raise(PyExc_LookupError, "No data waiting on port '%S'.", name.ptr());
    }
    return nb::steal(value);
}

nb::object input_get_timing(const vx::Call &call) {
    call.bind_none("get_timing");
    return vx::getattr(call.self, names::timing_);
}

nb::object receive(const vx::Call &call) {
    static constexpr vx::Params<2> params{"_receive", {"value", "origin"}, 1};
    auto [value, origin] = call.bind(params);
    // A value from another process may bring its origin (in this process's clock).
    vx::Stamp stamp = vx::stamp_now();
    if (origin && origin != Py_None && vx::tracing) {
        const double given = PyFloat_AsDouble(origin);
        if (given == -1.0 && PyErr_Occurred())
            vx::throw_error_already_set();
        // A peer's NaN or infinity would turn every age figure into one: such a
        // value counts from its arrival, as one without an origin does.
        if (std::isfinite(given))
            stamp.origin = given;
    }
    // The queue is held while a push into a full one waits: code that runs meanwhile
    // may replace the port's _values.
    nb::object values = vx::getattr(call.self, names::values_);
    vx::PortQueueState *queue = vx::queue_state(values);
    if (!queue)
        vx::raise(PyExc_TypeError, "_values of an input port must be its PortQueue");
    vx::port_queue_push(*queue, call.self, value, nb::handle(), stamp);
    vx::wake_reader(*queue, call.self);
    return nb::none();
}

nb::object input_connect(const vx::Call &call) {
    static constexpr vx::Params<1> params{"connect", {"output_port"}};
    auto [other] = call.bind(params);
    link(call.self, other, kept.output_port_class, "input", "output");
    return nb::none();
}

nb::object input_disconnect(const vx::Call &call) {
    static constexpr vx::Params<1> params{"disconnect", {"output_port"}};
    auto [other] = call.bind(params);
    unlink(call.self, other);
    return nb::none();
}

// The configuration of the first linked output port that has metadata, else None.
nb::object source_metadata(const vx::Call &call) {
    call.bind_none("_source_metadata");
    nb::object found = nb::none();
    vx::for_each(vx::list_copy(vx::getattr(call.self, names::connected_ports_)), [&](nb::handle output_port) {
        if (!found.is_none())
            return;
        nb::object config = vx::getattr(output_port, names::config);
        if (vx::truthy(vx::call_method(config, names::has_metadata)))
            found = config;
    });
    return found;
}

} // namespace portan
