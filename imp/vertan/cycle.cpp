// The step cycle and the one-time set-up run. A failure inside either is logged and
// turns the node's condition to ERROR; it never reaches the caller, except for
// exceptions that are not Exceptions (an exit or an interrupt must get through).
#include "attributes.hpp"
#include "common/deepcopy.hpp"
#include "node.hpp"

namespace vertan {
namespace {

// One ERROR entry and the ERROR condition. The message comes from
// vx::exception_message, so an exception without arguments, or with a first
// argument that is not text, still leaves an entry instead of a second failure.
void record_failure(nb::handle self, nb::handle exception) {
    nb::object error_type = log_type(names::ERROR);
    nb::object constants = vertan::constants();
    write_log(self, error_type, vx::exception_message(exception));
    vx::setattr(self, names::condition, constant(constants, names::Conditions, names::ERROR));
}

// Runs `body`; an Exception it raises is recorded, anything else passes through.
template <typename Body>
void guarded(nb::handle self, Body &&body) {
    try {
        body();
        return;
    } catch (nb::python_error &error) {
        if (!error.matches(PyExc_Exception))
            throw;
        record_failure(self, error.value());
        return;
    } catch (...) {
        // A C++ failure (out of memory) becomes the Python error it stands for.
        vx::translate_exception();
    }
    nb::python_error error;
    if (!error.matches(PyExc_Exception))
        throw error;
    record_failure(self, error.value());
}

bool is_output_node(nb::handle self) {
    // Looked up now: the output node class loads after this module, and may not
    // exist at all in a partial build.
    PyObject *namespace_ = PyModule_GetDict(vx::modules::imp.get().ptr());
    PyObject *output_class = PyDict_GetItemWithError(namespace_, names::ONodeImp.ptr());
    nb::object held;
    if (!output_class) {
        if (PyErr_Occurred())
            vx::throw_error_already_set();
        // Not in the namespace: the full lookup, which reports a missing class
        // without raising.
        if (!vx::check_status(_PyObject_LookupAttr(vx::modules::imp.get().ptr(),
                                                   names::ONodeImp.ptr(), &output_class)))
            return false;
        held = nb::steal(output_class);
    }
    return vx::check_status(PyObject_IsInstance(self.ptr(), output_class));
}

nb::object call_one(nb::handle function, nb::handle arg) {
    return vx::steal_or_throw(PyObject_CallOneArg(function.ptr(), arg.ptr()));
}

nb::object number(PyObject *result) { return vx::steal_or_throw(result); }

// a - b, a + b and a / b on the clock readings: plain doubles when both are floats
// (the same IEEE result Python computes), the number protocol otherwise (a patched
// clock may return ints).
bool both_floats(nb::handle a, nb::handle b) {
    return PyFloat_CheckExact(a.ptr()) && PyFloat_CheckExact(b.ptr());
}

nb::object subtract(nb::handle a, nb::handle b) {
    if (both_floats(a, b))
        return number(PyFloat_FromDouble(PyFloat_AS_DOUBLE(a.ptr()) - PyFloat_AS_DOUBLE(b.ptr())));
    return number(PyNumber_Subtract(a.ptr(), b.ptr()));
}

nb::object add(nb::handle a, nb::handle b) {
    if (both_floats(a, b))
        return number(PyFloat_FromDouble(PyFloat_AS_DOUBLE(a.ptr()) + PyFloat_AS_DOUBLE(b.ptr())));
    return number(PyNumber_Add(a.ptr(), b.ptr()));
}

nb::object divide(nb::handle a, nb::handle b) {
    if (both_floats(a, b) && PyFloat_AS_DOUBLE(b.ptr()) != 0.0)
        return number(PyFloat_FromDouble(PyFloat_AS_DOUBLE(a.ptr()) / PyFloat_AS_DOUBLE(b.ptr())));
    return number(PyNumber_TrueDivide(a.ptr(), b.ptr()));
}

// 1 > value
bool below_one(nb::handle value) {
    if (PyFloat_CheckExact(value.ptr()))
        return 1.0 > PyFloat_AS_DOUBLE(value.ptr());
    nb::object result = number(PyObject_RichCompare(one.ptr(), value.ptr(), Py_GT));
    return vx::check_status(PyObject_IsTrue(result.ptr()));
}

// self._counter == 0
bool is_first_cycle(nb::handle counter) {
    if (PyLong_CheckExact(counter.ptr())) {
        int overflow = 0;
        long value = PyLong_AsLongAndOverflow(counter.ptr(), &overflow);
        return value == 0 && overflow == 0;
    }
    return equals(counter, zero);
}

void run_cycle(nb::handle self, nb::handle input, nb::handle constants) {
    // Constants.Conditions.ERROR and Constants.States.STOPPED, looked up each cycle.
    static ClassAttribute conditions, error, states, stopped;
    NodeAttributes own(self);
    nb::object error_value = error.get(conditions.get(constants, names::Conditions), names::ERROR);
    if (equals(own.get(names::condition), error_value))
        return;
    nb::object stopped_value = stopped.get(states.get(constants, names::States), names::STOPPED);
    if (equals(own.get(names::state), stopped_value))
        return;

    nb::object t_start = now();
    if (is_first_cycle(own.get(names::counter)))
        call_method(self, names::setup_wrapper, input);  // logs its own failures
    call_one(own.get(names::pre_step_handler), input);

    // The handler is read before the copy is made, as `handler(deepcopy(data))` would.
    nb::object step = own.get(names::step_handler);
    nb::object data = call_one(step, vx::deepcopy(input));
    if (!data.is_none() && !PyDict_CheckExact(data.ptr()))
        vx::raise(PyExc_TypeError, "Expected %s, got %.200s", "dict", Py_TYPE(data.ptr())->tp_name);

    if (is_output_node(self)) {
        call_one(own.get(names::post_step_handler), data);
        call_method(self, names::push_data, data);
    }

    own.set(names::counter, number(PyNumber_Add(own.get(names::counter).ptr(), one.ptr())));
    nb::object t_end = now();
    own.set(names::time_busy, add(own.get(names::time_busy), subtract(t_end, t_start)));

    // Busy time over the time since start(), the divisor raised to 1 second.
    nb::object elapsed = subtract(t_end, own.get(names::time_start));
    nb::handle divisor = below_one(elapsed) ? one : nb::handle(elapsed);
    own.set(names::load, divide(own.get(names::time_busy), divisor));
}

} // namespace

nb::object cycle(const vx::Call &call) {
    static constexpr vx::Params<1> params{"_cycle", {"data"}, 0};
    auto [given] = call.bind(params);
    nb::handle input = given ? nb::handle(given) : default_data;
    vx::require_dict(input.ptr(), "data");
    nb::object constants = vertan::constants();
    guarded(call.self, [&] { run_cycle(call.self, input, constants); });
    return nb::none();
}

nb::object setup_wrapper(const vx::Call &call) {
    static constexpr vx::Params<1> params{"_setup_wrapper", {"data"}};
    auto [data] = call.bind(params);
    nb::handle self = call.self;
    nb::object constants = vertan::constants();
    nb::object info = log_type(names::INFO);

    // The set-up's fixed pause; a stop that lands during it fails the state check.
    nb::object sleep = module_attr(vx::modules::time, names::sleep);
    nb::object pause = vx::steal_or_throw(PyFloat_FromDouble(0.01));
    call_one(sleep, pause);

    if (equals(vx::getattr(self, names::state), constant(constants, names::States, names::STOPPED)))
        vx::raise(PyExc_ValueError,
                  "Node %U is in STOPPED state. Make sure to call Node.start() from your subclass.",
                  name_text(self).ptr());
    nb::object message =
        vx::steal_or_throw(PyUnicode_FromFormat("Setting up node %U.", name_text(self).ptr()));
    write_log(self, info, message);

    guarded(self, [&] {
        nb::object metadata_in = call_method(self, names::get_metadata_);
        nb::object handler = vx::getattr(self, names::setup_handler);
        PyObject *args[] = {data, metadata_in.ptr()};
        nb::object metadata_out =
            vx::steal_or_throw(PyObject_Vectorcall(handler.ptr(), args, 2, nullptr));
        call_method(self, names::push_metadata, metadata_out);
    });
    return nb::none();
}

nb::object deepcopy(const vx::Call &call) {
    static constexpr vx::Params<2> params{"_deepcopy", {"x", "memo"}, 1};
    auto [x, memo] = call.bind(params);
    return vx::deepcopy(x, memo);
}

} // namespace vertan
