// Construction, port lookup, and what the step cycle reads from the input ports.
#include "common/runtime.hpp"
#include "input_node.hpp"
#include "portan/api/api.hpp"

namespace intaran {

nb::object init(const vx::Call &call) {
    static constexpr vx::Params<1> params{"__init__", {"config"}};
    auto [config] = call.bind(params);
    nb::handle self = call.self;

    nb::object port_class = vx::module_attr(vx::modules::i_port, names::IPort);
    port_api::ConfiguredPorts configured = port_api::configured_ports(config, names::INPUT_PORTS, "input_ports");
    port_api::init_node_base(self, config);

    nb::object event = vx::call(vx::module_attr(vx::modules::threading, names::Event));
    vx::setattr(self, names::thread_event_, event);
    vx::setattr(self, names::is_thread_running_, Py_False);
    vx::setattr(self, names::thread_, Py_None);

    // The ports wake the worker through the event's own set.
    nb::object wake = vx::getattr(event, names::set);
    nb::object ports = port_api::build_ports(self, names::input_ports_, port_class, configured.entries,
                                       [&](nb::handle port) {
                                           vx::call_method(port, names::set_event_handler, wake);
                                       });
    port_api::store_port_configs(self, configured.key, ports);
    return nb::none();
}

nb::object get_port(const vx::Call &call) { return port_api::named_port(call, names::input_ports_, "Input"); }

nb::object is_data_available(const vx::Call &call) {
    call.bind_none("_is_data_available");
    bool available = true;
    vx::for_each_item(vx::getattr(call.self, names::input_ports_), [&](nb::handle, nb::handle port) {
        available = vx::truthy(vx::call_method(port, names::data_available));
        return available;  // the first port without data ends the question
    });
    return nb::bool_(available);
}

nb::object get_data(const vx::Call &call) {
    call.bind_none("_get_data");
    nb::object data = vx::steal_or_throw(PyDict_New());
    vx::for_each_item(vx::getattr(call.self, names::input_ports_), [&](nb::handle name, nb::handle port) {
        nb::object value = vx::call_method(port, names::get);
        vx::dict_set(data, name, value);
        return true;
    });
    return data;
}

namespace {

// time.time() - start > INodeImp._GET_METADATA_TIMEOUT, with the number protocol
// (a patched clock or timeout may be an int). The timeout is the class's own, read
// at each check, so a subclass attribute of that name does not change it.
bool waited_too_long(nb::handle start) {
    nb::object elapsed = vx::subtract(vx::now(), start);
    nb::object timeout = vx::getattr(input_node_class, names::GET_METADATA_TIMEOUT_);
    return vx::greater(elapsed, timeout);
}

bool has_metadata(nb::handle port) {
    return vx::truthy(vx::call_method(vx::getattr(port, names::config), names::has_metadata));
}

} // namespace

nb::object get_metadata(const vx::Call &call) {
    call.bind_none("_get_metadata");
    nb::object metadata = vx::steal_or_throw(PyDict_New());
    vx::for_each_item(vx::getattr(call.self, names::input_ports_), [&](nb::handle name, nb::handle port) {
        // Each port has a budget of its own; the upstream set-up run may still be on
        // its way, so poll rather than fail at once.
        nb::object start = vx::now();
        while (!has_metadata(port)) {
            vx::sleep(0.01);
            if (waited_too_long(start))
                break;
        }
        if (!has_metadata(port))
            vx::raise(PyExc_ValueError, "No input metadata found for port '%S'.", name.ptr());
        nb::object found = vx::call_method(vx::getattr(port, names::config), names::get_metadata);
        vx::dict_set(metadata, name, found);
        return true;
    });
    return metadata;
}

} // namespace intaran
