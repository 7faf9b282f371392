// Construction, port lookup, links, and the two hooks through which the step cycle
// hands its results downstream.
#include "common/runtime.hpp"
#include "output_node.hpp"
#include "portan/api/api.hpp"

namespace exitran {

nb::object init(const vx::Call &call) {
    static constexpr vx::Params<1> params{"__init__", {"config"}};
    auto [config] = call.bind(params);
    nb::handle self = call.self;
    nb::object port_class = vx::module_attr(vx::modules::o_port, names::OPort);
    port_api::ConfiguredPorts configured = port_api::configured_ports(config, names::OUTPUT_PORTS, "output_ports");
    port_api::init_node_base(self, config);

    nb::object ports = port_api::build_ports(self, names::output_ports_, port_class, configured.entries,
                                       [](nb::handle) {});
    port_api::store_port_configs(self, configured.key, ports);
    return nb::none();
}

nb::object get_port(const vx::Call &call) { return port_api::named_port(call, names::output_ports_, "Output"); }

namespace {

struct Link {
    nb::object output, input;
};

// Both ends through the two classes' own lookups, so that a node that is both an
// input and an output node resolves each name against the right port list. The
// output side is looked up first: a bad output name fails before `target` is used.
Link find_link(const vx::Call &call, const char *function) {
    vx::Params<3> params{function, {"output_port", "target", "input_port"}};
    auto [output_port, target, input_port] = call.bind(params);
    vx::require_str(output_port, "output_port");
    vx::require_str(input_port, "input_port");
    nb::object output_class = vx::module_attr(vx::modules::imp, names::ONodeImp);
    nb::object input_class = vx::module_attr(vx::modules::imp, names::INodeImp);
    nb::object output = vx::call(vx::getattr(output_class, names::get_port), call.self,
                                 nb::handle(output_port));
    nb::object input =
        vx::call(vx::getattr(input_class, names::get_port), nb::handle(target), nb::handle(input_port));
    return {std::move(output), std::move(input)};
}

} // namespace

nb::object connect(const vx::Call &call) {
    Link link = find_link(call, "connect");
    vx::call_method(link.output, names::connect, link.input);
    vx::call_method(link.input, names::connect, link.output);
    return nb::none();
}

nb::object disconnect(const vx::Call &call) {
    Link link = find_link(call, "disconnect");
    vx::call_method(link.output, names::disconnect, link.input);
    vx::call_method(link.input, names::disconnect, link.output);
    return nb::none();
}

namespace {

// port.push(value). A plain OPortImp whose push is its class's own delivers here,
// on behalf of this node, so that a push blocked on a full input port stops waiting
// when this node stops.
void push_value(nb::handle self, nb::handle port, nb::handle value) {
    static vx::SeenValue seen;  // read on every push: remembered while the namespace is unchanged
    nb::object port_class = vx::module_attr(vx::modules::imp, names::OPortImp, seen);
    if (Py_TYPE(port.ptr()) == (PyTypeObject *)port_class.ptr()) {
        // Our own class: its __dict__ is the instance's own, read from its slot.
        PyObject **slot = vx::compat::dict_ptr(port.ptr());
        nb::object dict = slot && *slot ? nb::borrow(*slot) : vx::getattr(port, names::dunder_dict);
        static vx::SeenValues<> seen_push;  // asked on every push: whether the port has a push of its own
        const bool own_push = PyDict_CheckExact(dict.ptr()) ? vx::seen_entry(seen_push, dict.ptr(), names::push).is_valid()
                                                            : vx::lookup(dict, names::push).is_valid();
        if (!own_push) {
            port_api::push_to_links(port, value, self);
            return;
        }
    }
    port_api::release_held_wakes();  // a push of its own may block
    vx::call_method(port, names::push, value);
}

// The keys of a step's result that name no output port, each said once per node
// as a WARNING (its value is pushed nowhere). Called only when the result holds
// more keys than the node has ports, so a normal push never comes here.
void warn_unknown_keys(nb::handle self, nb::handle data, nb::handle ports) {
    nb::object warned = vx::getattr_or_none(self, names::warned_keys_);
    if (!PyDict_CheckExact(warned.ptr())) {
        warned = vx::steal_or_throw(PyDict_New());
        vx::setattr(self, names::warned_keys_, warned);
    }
    nb::object keys = vx::list_copy(data);  // the step's own dict: a key's __eq__ may change it
    nb::object names = vx::steal_or_throw(PyDict_Keys(ports.ptr()));  // no Python code: a dict of ours
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys.ptr()); ++i) {
        nb::handle key = PyList_GET_ITEM(keys.ptr(), i);
        if (vx::lookup(ports, key).is_valid() || vx::lookup(warned, key).is_valid())
            continue;
        vx::dict_set(warned, key, Py_True);
        nb::object text = vx::formatted(
            "Node %U: step() returned a value for %R, which names no output port (its ports: %R); "
            "that value goes nowhere.",
            vx::name_text(self).ptr(), key.ptr(), names.ptr());
        vx::write_log(self, names::WARNING, text);
    }
}

} // namespace

namespace {

void push_node_data(nb::handle self, PyObject *data) {
    vx::require_dict(data, "data");
    // The cycle's last act: on a worker's thread the next nodes are woken once it
    // is done (event.hpp).
    port_api::DeferWakes defer;
    // Every port needs a value; the ports before a missing one have been pushed.
    // SKIP as a port's value pushes nothing there this cycle.
    static vx::SeenAttribute<> seen_ports;  // read on every push: a node's port dict stays
    nb::object ports = vx::own_attr(self, names::output_ports_, seen_ports);
    vx::for_each_item(ports, [&](nb::handle name, nb::handle port) {
        nb::object value = vx::lookup(nb::handle(data), name);
        if (!value.is_valid())
            vx::raise(PyExc_ValueError, "No data available for port '%S'.", name.ptr());
        if (vx::is_skip(value)) {
            port_api::count_skip(port);
            return true;
        }
        push_value(self, port, value);
        return true;
    });
    // Every port found its key: more keys than ports means some name no port.
    // A warning that cannot be given (a key whose repr fails) leaves the push as it was.
    if (PyDict_CheckExact(ports.ptr()) && PyDict_GET_SIZE(data) > PyDict_GET_SIZE(ports.ptr()))
        vx::guarded([&] { warn_unknown_keys(self, data, ports); }, [](nb::handle) {});
}

} // namespace

nb::object push_data(const vx::Call &call) {
    static constexpr vx::Params<1> params{"_push_data", {"data"}};
    auto [data] = call.bind(params);
    push_node_data(call.self, data);
    return nb::none();
}

int lent_push_data(PyObject *self, PyObject *data) {
    return port_api::status_of([&] { push_node_data(self, data); });
}

nb::object push_metadata(const vx::Call &call) {
    static constexpr vx::Params<1> params{"_push_metadata", {"port_metadata_out"}};
    auto [metadata] = call.bind(params);
    vx::require_dict(metadata, "port_metadata_out");
    // Stored on the port's configuration, where the linked input ports read it.
    vx::for_each_item(vx::getattr(call.self, names::output_ports_), [&](nb::handle name, nb::handle port) {
        nb::object found = vx::lookup(nb::handle(metadata), name);
        if (!found.is_valid())
            vx::raise(PyExc_ValueError, "No metadata found for port '%S'.", name.ptr());
        vx::call_method(vx::getattr(port, names::config), names::set_metadata, found);
        return true;
    });
    return nb::none();
}

} // namespace exitran
