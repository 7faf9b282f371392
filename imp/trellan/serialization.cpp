// A whole pipeline as one dictionary: every node's own serialised form and the
// port-to-port links read back from the ports, and the way back.
#include "pipeline.hpp"

namespace trellan {
namespace {

nb::object item(nb::handle mapping, nb::handle key) {
    return vx::steal_or_throw(PyObject_GetItem(mapping.ptr(), key.ptr()));
}

// A port's identity as a portable object: its config under the config's Keys.ID.
nb::object port_id(nb::handle port) {
    nb::object config = vx::getattr(port, names::config);
    return item(config, vx::getattr(vx::getattr(config, names::Keys), names::ID));
}

template <typename F>
void for_each(nb::handle iterable, F &&visit) {
    nb::object iterator = vx::steal_or_throw(PyObject_GetIter(iterable.ptr()));
    while (PyObject *next = PyIter_Next(iterator.ptr()))
        visit(nb::steal(next));
    if (PyErr_Occurred())
        vx::throw_error_already_set();
}

// (output port id, input port id) for every link of every output node, in node,
// port and link order.
nb::object collect_connections(nb::handle nodes) {
    nb::object onode = vx::modules::o_node.attr(names::ONode);
    nb::object pairs = vx::steal_or_throw(PyList_New(0));
    for_each(nodes, [&](nb::handle node) {
        if (!vx::check_status(PyObject_IsInstance(node.ptr(), onode.ptr())))
            return;
        nb::object output_ports = vx::getattr(vx::getattr(node, names::imp), names::output_ports);
        nb::object ports = vx::steal_or_throw(PyMapping_Values(output_ports.ptr()));
        for_each(ports, [&](nb::handle output_port) {
            for_each(vx::getattr(output_port, names::connected_ports), [&](nb::handle input_port) {
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
    PyObject *raw = PyObject_GetIter(element.ptr());
    if (!raw) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && !Py_TYPE(element.ptr())->tp_iter &&
            !PySequence_Check(element.ptr())) {
            PyErr_Clear();
            vx::raise(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                      Py_TYPE(element.ptr())->tp_name);
        }
        vx::throw_error_already_set();
    }
    nb::object iterator = nb::steal(raw);
    nb::object values[2];
    for (int i = 0; i < 2; ++i) {
        PyObject *next = PyIter_Next(iterator.ptr());
        if (!next) {
            if (PyErr_Occurred())
                vx::throw_error_already_set();
            vx::raise(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
        }
        values[i] = nb::steal(next);
    }
    if (PyObject *extra = PyIter_Next(iterator.ptr())) {
        Py_DECREF(extra);
        vx::raise(PyExc_ValueError, "too many values to unpack (expected 2)");
    }
    if (PyErr_Occurred())
        vx::throw_error_already_set();
    return {std::move(values[0]), std::move(values[1])};
}

// Link the two ports both ways; any failure becomes the TypeError the caller sees,
// written to the new pipeline's log first, with the cause kept as its context.
void relink(nb::handle logger, nb::handle output_id, nb::handle input_id) {
    nb::object portable = vx::modules::portable.attr(names::Portable);
    nb::object output_port = call_method(portable, names::get_by_id, output_id);
    nb::object input_port = call_method(portable, names::get_by_id, input_id);
    try {
        call_method(output_port, names::connect, input_port);
        call_method(input_port, names::connect, output_port);
        nb::object message = vx::steal_or_throw(PyUnicode_FromFormat(
            "Connected ports %U and %U.", vx::to_text(output_id).ptr(), vx::to_text(input_id).ptr()));
        write_to(logger, names::INFO, message);
    } catch (nb::python_error &cause) {
        if (!cause.matches(PyExc_Exception))
            throw;
        nb::object message = vx::steal_or_throw(PyUnicode_FromFormat(
            "Deserialization failed: %U", vx::to_text(vx::exception_message(cause.value())).ptr()));
        write_to(logger, names::ERROR, message);
        PyObject *error = PyObject_CallOneArg(PyExc_TypeError, message.ptr());
        if (!error)
            vx::throw_error_already_set();
        PyException_SetContext(error, Py_NewRef(cause.value().ptr()));
        PyErr_SetRaisedException(error);
        vx::throw_error_already_set();
    }
}

} // namespace

nb::object serialize(const vx::Call &call) {
    call.bind_none("serialize");
    nb::object nodes = nodes_of(call.self);

    nb::object connections = collect_connections(nodes);
    nb::object serialized = vx::steal_or_throw(PyList_New(0));
    for_each(nodes, [&](nb::handle node) {
        vx::check_status(PyList_Append(serialized.ptr(), call_method(node, names::serialize).ptr()));
    });

    nb::dict result;
    result[texts::nodes_key] = serialized;
    result[texts::connections_key] = connections;
    return std::move(result);
}

nb::object deserialize(const vx::Call &call) {
    static constexpr vx::Params<1> params{"deserialize", {"data"}};
    auto [data] = call.bind(params);
    vx::require_dict(data, "data");

    // Both keys are read before anything is created.
    nb::object node_list = item(data, texts::nodes_key);
    nb::object connection_list = item(data, texts::connections_key);

    nb::object pipeline = vx::steal_or_throw(
        PyObject_CallNoArgs(vx::modules::pipeline.attr(names::Pipeline).ptr()));
    nb::object logger = vx::getattr(vx::getattr(pipeline, names::imp), names::logger);
    try {
        write_to(logger, names::INFO, texts::deserialization_starting);
        nb::object portable = vx::modules::portable.attr(names::Portable);
        for_each(node_list, [&](nb::handle element) {
            nb::object node = call_method(portable, names::deserialize, element);
            call_method(pipeline, names::add_node, node);
        });
        for_each(connection_list, [&](nb::handle element) {
            auto [output_id, input_id] = unpack_pair(element);
            relink(logger, output_id, input_id);
        });
        write_to(logger, names::INFO, texts::deserialization_complete);
    } catch (nb::python_error &) {
        // The half-built pipeline is never handed out, so nobody else can stop its
        // logger: stop it here, so its writer ends and the lines so far, the
        // failure among them, are in the log file before the error goes on.
        try {
            call_method(logger, names::stop);
        } catch (nb::python_error &) {
            // The deserialisation error is the one to report.
        }
        throw;
    }
    return pipeline;
}

} // namespace trellan
