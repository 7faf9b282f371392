// Construction and the graph: adding and removing nodes, linking their ports.
//
// Each change of _nodes is one step for a thread that walks the list (the monitoring
// thread walks a copy; Python code may hold the list itself): an addition appends in
// place, which a walk sees whole or not at all; a removal builds a new list and swaps
// it in with one attribute store, so a walk already under way is not shifted.
#include <utility>

#include "pipeline.hpp"

namespace trellan {
namespace {

// The node itself is in the list: addresses only, no code runs.
bool holds_itself(nb::handle nodes, nb::handle node) {
    PyObject **items = ((PyListObject *)nodes.ptr())->ob_item;
    const Py_ssize_t size = PyList_GET_SIZE(nodes.ptr());
    for (Py_ssize_t i = size - 1; i >= 0; --i)  // newest first: links mostly join recent nodes
        if (items[i] == node.ptr())
            return true;
    return false;
}

// holds() during a load, from its index: 1 or 0, or -1 when the index does not
// describe the list as it is now (changed by other code) and the full test must run.
int holds_indexed(nb::handle self, nb::handle nodes, nb::handle node) {
    LoadIndex *load = current_load;
    if (!load || load->pipeline != self.ptr() || !load->all_plain)
        return -1;
    if (!load->list)
        load->list = nodes.ptr();
    const Py_ssize_t size = PyList_GET_SIZE(nodes.ptr());
    if (load->list != nodes.ptr() || (size_t)size != load->elements.size())
        return -1;
    PyObject **items = ((PyListObject *)nodes.ptr())->ob_item;
    bool found = false;
    for (Py_ssize_t i = 0; i < size; ++i) {
        if (items[i] != load->elements[i])
            return -1;  // replaced in place since
        found |= items[i] == node.ptr();
    }
    return found ? 1 : 0;
}

// add_node has appended `node`: the load's index follows, while it describes the list.
void index_appended(nb::handle self, nb::handle node) {
    LoadIndex *load = current_load;
    if (!load || load->pipeline != self.ptr() || !load->list)
        return;
    nb::object nodes = vx::getattr(self, names::nodes_);
    const Py_ssize_t size = PyList_CheckExact(nodes.ptr()) ? PyList_GET_SIZE(nodes.ptr()) : -1;
    if (nodes.ptr() != load->list || size != (Py_ssize_t)load->elements.size() + 1 ||
        PyList_GET_ITEM(nodes.ptr(), size - 1) != node.ptr()) {
        load->all_plain = false;  // no longer ours to describe: the full test from now on
        return;
    }
    load->elements.push_back(node.ptr());
    load->all_plain = load->all_plain && Py_TYPE(node.ptr())->tp_richcompare == PyBaseObject_Type.tp_richcompare;
}

// node in self._nodes, answered as list.__contains__ answers it. Two objects whose
// types both keep object's own comparison are equal only when they are the same
// object, so such pairs are told apart without a call; every other pair is asked.
// This keeps adding n nodes from costing n * n comparisons.
//
// The usual answers come cheap: the node itself, found by address alone in one pass
// over the list's item array; and a new node among nodes whose types keep object's
// comparison, told apart by their types, which in a graph are few and repeat.
bool holds(nb::handle self, nb::handle node) {
    nb::object nodes = vx::getattr(self, names::nodes_);
    if (!PyList_CheckExact(nodes.ptr()))
        return vx::contains(nodes, node);
    const richcmpfunc plain = PyBaseObject_Type.tp_richcompare;
    const bool plain_node = Py_TYPE(node.ptr())->tp_richcompare == plain;
    int indexed = plain_node ? holds_indexed(self, nodes, node) : -1;
    if (indexed >= 0)
        return indexed == 1;
    if (holds_itself(nodes, node))
        return true;
    PyTypeObject *plain_type = nullptr;  // the last element type found to keep object's comparison
    // The size is read each turn: a comparison may run code that changes the list.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(nodes.ptr()); ++i) {
        PyObject *element = PyList_GET_ITEM(nodes.ptr(), i);
        if (element == node.ptr())  // put there by a comparison's code meanwhile
            return true;
        PyTypeObject *type = Py_TYPE(element);
        if (plain_node && (type == plain_type || type->tp_richcompare == plain)) {
            plain_type = type;
            continue;
        }
        nb::object held = nb::borrow(element);
        if (vx::compare(held, node, Py_EQ))
            return true;
    }
    return false;
}

// len(sequence)
Py_ssize_t size_of(nb::handle sequence) {
    return vx::check_call([&] { return PySequence_Size(sequence.ptr()); });
}

// sequence[index]
nb::object element(nb::handle sequence, Py_ssize_t index) {
    return vx::steal_call([&] { return PySequence_GetItem(sequence.ptr(), index); });
}

// The current list without the element at `index`.
void store_without(nb::handle self, nb::handle nodes, Py_ssize_t index) {
    nb::object remaining = vx::list_copy(nodes);
    vx::check_status(PySequence_DelItem(remaining.ptr(), index));  // no Python code: a list of our own
    vx::setattr(self, names::nodes_, remaining);
}

// self._nodes.append(node). An exact list grows in place: a walk by index sees the
// list before or after the append, and copying the whole list for each of n nodes
// would cost n * n. Anything else is replaced by a grown copy.
void append_node(nb::handle self, nb::handle node) {
    nb::object nodes = vx::getattr(self, names::nodes_);
    if (PyList_CheckExact(nodes.ptr())) {
        vx::check_status(PyList_Append(nodes.ptr(), node.ptr()));
        return;
    }
    nb::object grown = vx::list_copy(nodes);
    vx::check_status(PyList_Append(grown.ptr(), node.ptr()));
    vx::setattr(self, names::nodes_, grown);
}

// Undo an append whose node refused the logger: take out the last element that is
// this very object, so the list holds no node that every later start would trip on.
void take_back(nb::handle self, nb::handle node) {
    nb::object nodes = vx::getattr(self, names::nodes_);
    for (Py_ssize_t i = size_of(nodes) - 1; i >= 0; --i) {
        if (element(nodes, i).is(node)) {
            store_without(self, nodes, i);
            return;
        }
    }
}

void require_onode(nb::handle node) {
    if (!vx::is_instance(node, vx::modules::o_node.attr(names::ONode)))
        vx::raise(PyExc_TypeError, "output_node must be of type ONode.");
}

void require_inode(nb::handle node) {
    if (!vx::is_instance(node, vx::modules::i_node.attr(names::INode)))
        vx::raise(PyExc_TypeError, "input_node must be of type INode.");
}

// "Nodes out[port] and in[port] <what>."
void log_link(nb::handle self, nb::handle output_node, nb::handle output_port, nb::handle input_node,
              nb::handle input_port, const char *what) {
    nb::object output_name = vx::name_text(output_node);
    nb::object input_name = vx::name_text(input_node);
    nb::object message = vx::formatted("Nodes %U[%U] and %U[%U] %s.", output_name.ptr(), output_port.ptr(),
                                       input_name.ptr(), input_port.ptr(), what);
    vx::write_log(self, names::INFO, message);
}

// connect_ports() (`connecting`) and disconnect_ports(): the port names checked,
// the nodes found, their kinds checked, output_node.<connect or disconnect>(
// output_port, input_node, input_port) and the change logged. A connection adds a
// missing node, before the kind checks (a wrong-kind node stays added); a
// disconnection refuses one.
nb::object change_ports(const vx::Call &call, const vx::Params<4> &params, bool connecting) {
    auto [output_node, output_port, input_node, input_port] = call.bind(params);
    vx::require_str(output_port, "output_node_port");
    vx::require_str(input_port, "input_node_port");
    nb::handle self = call.self;
    const std::pair<PyObject *, const char *> nodes[] = {{output_node, "output_node not found in pipeline."},
                                                         {input_node, "input_node not found in pipeline."}};
    for (const auto &[node, missing] : nodes) {
        if (holds(self, node))
            continue;
        if (!connecting)
            vx::raise(PyExc_ValueError, "%s", missing);
        vx::call_method(self, names::add_node, nb::handle(node));
    }
    require_onode(output_node);
    require_inode(input_node);
    vx::call_method(output_node, connecting ? names::connect : names::disconnect, nb::handle(output_port),
                    nb::handle(input_node), nb::handle(input_port));
    log_link(self, output_node, output_port, input_node, input_port, connecting ? "connected" : "disconnected");
    return nb::none();
}

// connect(output_node, input_node) and disconnect(...): `ports_method` on the
// default ports.
nb::object on_default_ports(const vx::Call &call, const vx::Params<2> &params, nb::handle ports_method) {
    auto [output_node, input_node] = call.bind(params);
    vx::call_method(call.self, ports_method, nb::handle(output_node), vx::constant(names::Defaults, names::PORT_OUT),
                    nb::handle(input_node), vx::constant(names::Defaults, names::PORT_IN));
    return nb::none();
}

} // namespace

nb::object init(const vx::Call &call) {
    static constexpr vx::Params<1> params{"__init__", {"directory"}, 0};
    auto [given] = call.bind(params);
    nb::handle directory = given ? nb::handle(given) : nb::none();
    vx::require_str(directory.ptr(), "directory", /*allow_none=*/true);
    nb::handle self = call.self;

    vx::setattr(self, names::nodes_, vx::steal_or_throw(PyList_New(0)));
    // The pipeline always makes its own logger; its nodes are handed this one.
    nb::object logger_class = vx::modules::logger.attr(names::Logger);
    nb::dict kwargs;
    kwargs[texts::directory] = directory;
    vx::setattr(self, names::logger_, vx::call_with_kwargs(logger_class, kwargs));
    vx::setattr(self, names::state_, vx::constant(names::States, names::STOPPED));
    vx::setattr(self, names::condition_, vx::constant(names::Conditions, names::HEALTHY));
    vx::setattr(self, names::monitor_thread_, nb::none());
    nb::object event_class = vx::modules::threading.attr(names::Event);
    vx::setattr(self, names::stop_event_, vx::call(event_class));
    vx::setattr(self, names::start_time_, nb::none());
    return nb::none();
}

nb::object add_node(const vx::Call &call) {
    static constexpr vx::Params<1> params{"add_node", {"node"}};
    auto [node_ptr] = call.bind(params);
    nb::handle self = call.self, node = node_ptr;

    if (holds(self, node))
        vx::raise(PyExc_ValueError, "Node already exists in pipeline.");
    append_node(self, node);
    index_appended(self, node);

    try {
        vx::call_method(node, names::set_logger, vx::getattr(self, names::logger_));
    } catch (nb::python_error &) {
        try {
            take_back(self, node);
        } catch (nb::python_error &) {
            // The refusal is what the caller needs to see.
        }
        throw;
    }

    nb::object message = vx::formatted("Node %U added to pipeline.", vx::name_text(node).ptr());
    vx::write_log(self, names::INFO, message);
    return nb::none();
}

nb::object remove_node(const vx::Call &call) {
    static constexpr vx::Params<1> params{"remove_node", {"node"}};
    auto [node_ptr] = call.bind(params);
    nb::handle self = call.self, node = node_ptr;

    if (!holds(self, node))
        vx::raise(PyExc_KeyError, "Node not found in pipeline.");
    // The first element equal to the node, found as list.remove finds it.
    nb::object nodes = vx::getattr(self, names::nodes_);
    Py_ssize_t size = size_of(nodes);
    for (Py_ssize_t i = 0; i < size; ++i) {
        if (vx::compare(element(nodes, i), node, Py_EQ)) {
            store_without(self, nodes, i);
            break;
        }
    }

    nb::object message = vx::formatted("Node %U removed from pipeline.", vx::name_text(node).ptr());
    vx::write_log(self, names::INFO, message);
    return nb::none();
}

nb::object connect_ports(const vx::Call &call) {
    static constexpr vx::Params<4> params{
        "connect_ports", {"output_node", "output_node_port", "input_node", "input_node_port"}};
    return change_ports(call, params, true);
}

nb::object connect(const vx::Call &call) {
    static constexpr vx::Params<2> params{"connect", {"output_node", "input_node"}};
    return on_default_ports(call, params, names::connect_ports);
}

nb::object disconnect_ports(const vx::Call &call) {
    static constexpr vx::Params<4> params{
        "disconnect_ports", {"output_node", "output_node_port", "input_node", "input_node_port"}};
    return change_ports(call, params, false);
}

nb::object disconnect(const vx::Call &call) {
    static constexpr vx::Params<2> params{"disconnect", {"output_node", "input_node"}};
    return on_default_ports(call, params, names::disconnect_ports);
}

} // namespace trellan
