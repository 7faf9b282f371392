// A whole pipeline as one dictionary: every node's own serialised form and the
// port-to-port links read back from the ports, and the way back.
#include "pipeline.hpp"

namespace trellan {
namespace {

// A port's identity as a portable object: its config under the config's Keys.ID.
nb::object port_id(nb::handle port) {
    nb::object config = vx::getattr(port, names::config);
    return vx::get_item(config, vx::getattr(vx::getattr(config, names::Keys), names::ID));
}

// (output port id, input port id) for every link of every output node, in node,
// port and link order.
nb::object collect_connections(nb::handle nodes) {
    nb::object onode = vx::modules::o_node.attr(names::ONode);
    nb::object pairs = vx::steal_or_throw(PyList_New(0));
    vx::for_each(nodes, [&](nb::handle node) {
        if (!vx::is_instance(node, onode))
            return;
        nb::object output_ports = vx::getattr(vx::getattr(node, names::imp_), names::output_ports_);
        nb::object ports = vx::steal_call([&] { return PyMapping_Values(output_ports.ptr()); });
        vx::for_each(ports, [&](nb::handle output_port) {
            vx::for_each(vx::getattr(output_port, names::connected_ports_), [&](nb::handle input_port) {
                nb::object output_id = port_id(output_port);
                nb::object input_id = port_id(input_port);
                nb::object pair = vx::steal_or_throw(PyTuple_Pack(2, output_id.ptr(), input_id.ptr()));
                vx::check_status(PyList_Append(pairs.ptr(), pair.ptr()));
            });
        });
    });
    return pairs;
}

// `a, b = element`, with the interpreter's messages when it does not hold two.
std::pair<nb::object, nb::object> unpack_pair(nb::handle element) {
    nb::object iterator;
    try {
        iterator = vx::iterate(element);
    } catch (nb::python_error &error) {
        if (error.matches(PyExc_TypeError) && !Py_TYPE(element.ptr())->tp_iter &&
            !PySequence_Check(element.ptr()))
            vx::raise(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                      Py_TYPE(element.ptr())->tp_name);
        throw;
    }
    nb::object values[2];
    for (int i = 0; i < 2; ++i) {
        values[i] = vx::next_item(iterator);
        if (!values[i].is_valid())
            vx::raise(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
    }
    if (vx::next_item(iterator).is_valid())
        vx::raise(PyExc_ValueError, "too many values to unpack (expected 2)");
    return {std::move(values[0]), std::move(values[1])};
}

// Link the two ports both ways; any failure becomes the TypeError the caller sees,
// written to the new pipeline's log first, with the cause kept as its context.
void relink(nb::handle logger, nb::handle output_id, nb::handle input_id) {
    nb::object portable = vx::modules::portable.attr(names::Portable);
    nb::object output_port = vx::call_method(portable, names::get_by_id, output_id);
    nb::object input_port = vx::call_method(portable, names::get_by_id, input_id);
    try {
        vx::call_method(output_port, names::connect, input_port);
        vx::call_method(input_port, names::connect, output_port);
        nb::object message = vx::formatted("Connected ports %U and %U.", vx::to_text(output_id).ptr(),
                                           vx::to_text(input_id).ptr());
        vx::write_to(logger, names::INFO, message);
    } catch (nb::python_error &cause) {
        if (!cause.matches(PyExc_Exception))
            throw;
        nb::object message = vx::formatted(
            "Deserialization failed: %U", vx::to_text(vx::exception_message(cause.value())).ptr());
        vx::write_to(logger, names::ERROR, message);
        nb::object error = vx::call(nb::handle(PyExc_TypeError), message);
        PyException_SetContext(error.ptr(), Py_NewRef(cause.value().ptr()));
        vx::raise(std::move(error));
    }
}

// Pauses the cyclic garbage collector for its lifetime, if it was running. A load
// of thousands of nodes allocates objects that all survive it (classes, nodes,
// ports, loggers); the collections it would trigger meanwhile only rescan them, and
// made the load of a large pipeline three times slower.
class CollectorPause {
public:
    CollectorPause() : was_enabled_(PyGC_Disable() != 0) {}
    ~CollectorPause() {
        if (was_enabled_)
            PyGC_Enable();
    }
    CollectorPause(const CollectorPause &) = delete;
    CollectorPause &operator=(const CollectorPause &) = delete;

private:
    bool was_enabled_;
};

} // namespace

nb::object serialize(const vx::Call &call) {
    call.bind_none("serialize");
    nb::object nodes = nodes_of(call.self);

    nb::object connections = collect_connections(nodes);
    nb::object serialized = vx::steal_or_throw(PyList_New(0));
    vx::for_each(nodes, [&](nb::handle node) {
        vx::check_status(PyList_Append(serialized.ptr(), vx::call_method(node, names::serialize).ptr()));
    });

    nb::dict result;
    result[texts::nodes_key] = serialized;
    result[texts::connections_key] = connections;
    return std::move(result);
}

nb::object deserialize(const vx::Call &call) {
    static constexpr vx::Params<2> params{"deserialize", {"data", "directory"}, 1};
    auto [data, directory] = call.bind(params);
    vx::require_dict(data, "data");
    if (directory)
        vx::require_str(directory, "directory", /*allow_none=*/true);
    CollectorPause pause;

    // Both keys are read before anything is created.
    nb::object node_list = vx::get_item(nb::handle(data), texts::nodes_key);
    nb::object connection_list = vx::get_item(nb::handle(data), texts::connections_key);

    // The log folder, when one is asked for, goes to the constructor; otherwise it
    // is called without arguments, as always.
    nb::object pipeline_class = vx::modules::pipeline.attr(names::Pipeline);
    nb::object pipeline = directory && directory != Py_None ? vx::call(pipeline_class, directory)
                                                             : vx::call(pipeline_class);
    nb::object imp = vx::getattr(pipeline, names::imp_);
    nb::object logger = vx::getattr(imp, names::logger_);
    LoadIndex index;
    index.pipeline = imp.ptr();
    LoadIndex *outer = current_load;  // a node's constructor may load a pipeline of its own
    current_load = &index;
    struct Restore {
        LoadIndex *outer;
        ~Restore() { current_load = outer; }
    } restore{outer};
    try {
        vx::write_to(logger, names::INFO, texts::deserialization_starting);
        nb::object portable = vx::modules::portable.attr(names::Portable);
        vx::for_each(node_list, [&](nb::handle element) {
            nb::object node = vx::call_method(portable, names::deserialize, element);
            vx::call_method(pipeline, names::add_node, node);
        });
        vx::for_each(connection_list, [&](nb::handle element) {
            auto [output_id, input_id] = unpack_pair(element);
            relink(logger, output_id, input_id);
        });
        vx::write_to(logger, names::INFO, texts::deserialization_complete);
    } catch (nb::python_error &) {
        // The half-built pipeline is never handed out, so nobody else can stop its
        // logger: stop it here, so its writer ends and the lines so far, the
        // failure among them, are in the log file before the error goes on.
        try {
            vx::call_method(logger, names::stop);
        } catch (nb::python_error &) {
            // The deserialisation error is the one to report.
        }
        throw;
    }
    return pipeline;
}

} // namespace trellan
