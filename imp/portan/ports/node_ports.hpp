// A node's port list: the checks it must pass before the node exists, the public
// port made from each configuration, and the list of live port configurations that
// replaces the configured one.
#pragma once

#include <utility>
#include <vector>

#include "common/args.hpp"
#include "common/runtime.hpp"

namespace vx {

// One port configuration and its name, taken once and used for both the checks and
// the construction, so a name cannot change between the two.
using PortEntries = std::vector<std::pair<nb::object, nb::object>>;

// pc[pc.Keys.NAME]. None is refused with the TypeError the dict constructor gives
// for it later, not the AttributeError its missing Keys would raise here.
inline nb::object port_name(nb::handle port_config) {
    if (port_config.is_none())
        raise(PyExc_TypeError, "'NoneType' object is not iterable");
    nb::object key = vx::getattr(vx::getattr(port_config, names::Keys), names::NAME);
    return vx::get_item(port_config, key);
}

// The configured list under `key` (e.g. "input_ports"): exactly a list, not empty,
// names distinct as a set tells them apart.
inline PortEntries checked_ports(nb::handle ports, const char *key) {
    require_list_value(ports.ptr());
    // None passes the list test and fails here, as len(None) does.
    Py_ssize_t count = check_call([&] { return PyObject_Size(ports.ptr()); });
    if (count == 0)
        raise(PyExc_ValueError, "%s must not be empty.", key);

    // A snapshot: reading a name may run code that changes the list.
    nb::object snapshot = steal_or_throw(PyList_GetSlice(ports.ptr(), 0, count));
    PortEntries entries;
    nb::object port_names = steal_or_throw(PyList_New(0));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(snapshot.ptr()); ++i) {
        nb::object port_config = nb::borrow(PyList_GET_ITEM(snapshot.ptr(), i));
        nb::object name = port_name(port_config);
        check_status(PyList_Append(port_names.ptr(), name.ptr()));
        entries.emplace_back(std::move(port_config), std::move(name));
    }
    // Names are hashed and compared by their own code.
    nb::object distinct = steal_call([&] { return PySet_New(port_names.ptr()); });
    if (PySet_GET_SIZE(distinct.ptr()) < (Py_ssize_t)entries.size())
        raise(PyExc_ValueError, "%s contain duplicate names.", key);
    return entries;
}

// port_class(**entries)._imp: a plain dict is copied, anything else goes through
// the dict constructor first.
inline nb::object make_port(nb::handle port_class, nb::handle port_config) {
    nb::object entries = PyDict_CheckExact(port_config.ptr())
                             ? steal_or_throw(PyDict_Copy(port_config.ptr()))
                             : vx::call(nb::handle((PyObject *)&PyDict_Type), port_config);
    nb::object port = vx::call_with_kwargs(port_class, entries);
    return vx::getattr(port, names::imp_);
}

// dict.__setitem__(node.config, key, [port.config for port in ports.values()]): the
// node's configuration and its ports share the port configuration objects.
inline void store_port_configs(nb::handle node, nb::handle key, nb::handle ports) {
    nb::object configs = steal_or_throw(PyList_New(0));
    for_each_item(ports, [&](nb::handle, nb::handle port) {
        check_status(PyList_Append(configs.ptr(), vx::getattr(port, names::config).ptr()));
        return true;
    });
    store_in_base_dict(vx::getattr(node, names::config), key, configs);
}

// The list under config.Keys.<key_attr>, checked before the node exists, so a bad
// list leaves no registered node.
struct ConfiguredPorts {
    nb::object key;
    PortEntries entries;
};

inline ConfiguredPorts configured_ports(nb::handle config, nb::handle key_attr, const char *label) {
    nb::object key = vx::getattr(vx::getattr(config, names::Keys), key_attr);
    return {key, checked_ports(vx::get_item(config, key), label)};
}

// NodeImp.__init__ by explicit reference: with several node bases, each
// constructor runs the base once, on its own terms.
inline void init_node_base(nb::handle self, nb::handle config) {
    nb::object node_class = module_attr(modules::imp, names::NodeImp);
    vx::call(vx::getattr(node_class, names::dunder_init), self, config);
}

// One port per entry, from the public `port_class`, into a new dict set as
// self.<ports_attr>; `on_port(port)` runs for each before it is registered.
template <typename OnPort>
nb::object build_ports(nb::handle self, nb::handle ports_attr, nb::handle port_class,
                       const PortEntries &entries, OnPort on_port) {
    nb::object ports = steal_or_throw(PyDict_New());
    vx::setattr(self, ports_attr, ports);
    for (auto &[port_config, name] : entries) {
        nb::object port = make_port(port_class, port_config);
        on_port(port);
        dict_set(ports, name, port);
    }
    return ports;
}

} // namespace vx
