// The step cycle and the one-time set-up run. A failure inside either is logged and
// turns the node's condition to ERROR; it never reaches the caller, except for
// exceptions that are not Exceptions (an exit or an interrupt must get through).
#include <cstring>
#include <cmath>

#include "attributes.hpp"
#include "array_copy.hpp"
#include "deepcopy.hpp"
#include "node.hpp"
#include "portan/api/api.hpp"

namespace vertan {
namespace {

// One ERROR entry and the ERROR condition. The message comes from
// vx::exception_message, so an exception without arguments, or with a first
// argument that is not text, still leaves an entry instead of a second failure.
void record_failure(nb::handle self, nb::handle exception) {
    vx::log_failure(self, exception);
    vx::setattr(self, names::condition_, vx::constant(names::Conditions, names::ERROR));
}

// Runs `body`; an Exception it raises is recorded, anything else passes through.
template <typename Body>
void guarded(nb::handle self, Body &&body) {
    vx::guarded(body, [&](nb::handle exception) { record_failure(self, exception); });
}

// isinstance(obj, cls) for a class made by type itself, asked on every step. A
// miss there reads obj.__class__ as well, which gives type(obj) back whenever
// obj's class keeps the default protocol and object's own __class__: then the
// answer is the subtype test alone.
bool is_instance_of_class(nb::handle obj, nb::handle cls) {
    if (PyType_CheckExact(cls.ptr())) {
        PyTypeObject *type = Py_TYPE(obj.ptr());
        if (PyType_IsSubtype(type, (PyTypeObject *)cls.ptr()))
            return true;
        static PyObject *object_class = vx::compat::type_lookup(&PyBaseObject_Type, names::dunder_class.ptr());
        if (type->tp_getattro == PyObject_GenericGetAttr && object_class &&
            vx::compat::type_lookup(type, names::dunder_class.ptr()) == object_class)
            return false;
    }
    return vx::is_instance(obj, cls);
}

bool is_output_node(nb::handle self) {
    // Looked up now: the output node class loads after this module, and may not
    // exist at all in a partial build.
    static vx::SeenValue seen;
    nb::object output_class = vx::namespace_value(vx::modules::imp, names::ONodeImp, seen);
    if (output_class.is_valid())
        return is_instance_of_class(self, output_class);
    // Not in the namespace: the full lookup, which reports a missing class without
    // raising.
    PyObject *found = nullptr;
    if (!vx::check_call([&] {
            return vx::compat::lookup_attr(vx::modules::imp.get().ptr(), names::ONodeImp.ptr(), &found);
        }))
        return false;
    return vx::is_instance(self, nb::steal(found));
}

// self._counter == 0
bool is_first_cycle(nb::handle counter) {
    if (PyLong_CheckExact(counter.ptr())) {
        int overflow = 0;
        long value = PyLong_AsLongAndOverflow(counter.ptr(), &overflow);
        return value == 0 && overflow == 0;
    }
    return vx::equals(counter, kept.zero);
}

// 1 > value
bool below_one(nb::handle value) {
    if (PyFloat_CheckExact(value.ptr()))
        return 1.0 > PyFloat_AS_DOUBLE(value.ptr());
    return vx::greater(kept.one, value);
}

double as_double(nb::handle value) { return PyFloat_AS_DOUBLE(value.ptr()); }

// busy + (end - start). With clock readings that are floats, as they are unless
// the clock is patched, in doubles: the same IEEE result without the float object
// for the difference.
nb::object add_interval(nb::handle busy, nb::handle end, nb::handle start) {
    if (PyFloat_CheckExact(busy.ptr()) && vx::both_floats(end, start))
        return vx::steal_or_throw(
            PyFloat_FromDouble(as_double(busy) + (as_double(end) - as_double(start))));
    return vx::add(busy, vx::subtract(end, start));
}

// self._time_busy / (1 if 1 > elapsed else elapsed), elapsed = end - self._time_start:
// the load over the time since start(), read in that order. In doubles while
// everything is a float, as in add_interval.
nb::object load_of(const NodeAttributes &own, nb::handle end) {
    nb::object started = own.get(Hot::time_start);
    nb::object elapsed;  // made only off the all-floats path
    double seconds = 0.0;
    if (vx::both_floats(end, started))
        seconds = as_double(end) - as_double(started);
    else
        elapsed = vx::subtract(end, started);
    nb::object busy = own.get(Hot::time_busy);
    if (!elapsed.is_valid() && PyFloat_CheckExact(busy.ptr()))
        return vx::steal_or_throw(PyFloat_FromDouble(as_double(busy) / (1.0 > seconds ? 1.0 : seconds)));
    if (!elapsed.is_valid())
        elapsed = vx::steal_or_throw(PyFloat_FromDouble(seconds));
    return vx::divide(busy, below_one(elapsed) ? kept.one.get() : nb::handle(elapsed));
}

// self._counter += 1; the node's own counter object takes the new value where
// nothing else holds it (attributes.hpp).
void count_step(const NodeAttributes &own) {
    if (PyObject *counter = own.known(Hot::counter)) {
        const unsigned long long value = vx::compat::one_digit_int(counter);
        if (value && own.set_int_in_place(Hot::counter, value + 1))
            return;
    }
    own.set(Hot::counter, vx::add(own.get(Hot::counter), kept.one));
}

// A reading of the clock, as time.time() gives it. Where that is the time module's
// own clock, only its seconds: the float is made when something needs it, and is
// the one time.time() would have made.
class Reading {
public:
    Reading() {
        if (vx::now_seconds(seconds_))
            native_ = true;
        else
            object_ = vx::now();
    }
    bool is_float() const { return native_ || PyFloat_CheckExact(object_.ptr()); }
    double seconds() const { return native_ ? seconds_ : PyFloat_AS_DOUBLE(object_.ptr()); }  // of a float
    nb::handle object() {
        if (!object_.is_valid())
            object_ = vx::steal_or_throw(PyFloat_FromDouble(seconds_));
        return object_;
    }
    // As a double, whatever the clock gave: a float (a subclass's too) as it is, an
    // int as its nearest double, anything else (an int beyond a double's range too)
    // NaN.
    double as_double() const {
        if (native_)
            return seconds_;
        PyObject *value = object_.ptr();
        if (PyFloat_Check(value))
            return PyFloat_AS_DOUBLE(value);
        if (!PyLong_Check(value))
            return std::nan("");
        const double seconds = PyLong_AsDouble(value);
        if (seconds == -1.0 && PyErr_Occurred()) {
            PyErr_Clear();
            return std::nan("");
        }
        return seconds;
    }

private:
    double seconds_ = 0.0;
    bool native_ = false;
    nb::object object_;
};

// self._time_busy += end - start, in place as count_step where all are floats.
void add_busy(const NodeAttributes &own, Reading &end, Reading &start) {
    PyObject *busy = own.known(Hot::time_busy);
    if (busy && PyFloat_CheckExact(busy) && end.is_float() && start.is_float() &&
        own.set_float_in_place(Hot::time_busy, as_double(busy) + (end.seconds() - start.seconds())))
        return;
    own.set(Hot::time_busy, add_interval(own.get(Hot::time_busy), end.object(), start.object()));
}

// self._load = load_of(...), in place as count_step where all are floats.
void set_load(const NodeAttributes &own, Reading &end) {
    PyObject *started = own.known(Hot::time_start), *busy = own.known(Hot::time_busy);
    if (started && busy && end.is_float() && PyFloat_CheckExact(started) && PyFloat_CheckExact(busy)) {
        const double seconds = end.seconds() - as_double(started);
        if (own.set_float_in_place(Hot::load, as_double(busy) / (1.0 > seconds ? 1.0 : seconds)))
            return;
    }
    own.set(Hot::load, load_of(own, end.object()));
}

// What a step must return, said where a wrong result is caught: one WARNING entry
// naming the node (before the ERROR entry, which stays the last error) and the same
// text as a note on the exception. A failure to say it keeps the first error.
void explain_result(nb::handle self, nb::handle exception, nb::handle problem) {
    vx::guarded(
        [&] {
            nb::object text = vx::formatted(
                "Node %U: %U. A step returns a dict with a value for every output port (None on a "
                "node without outputs), or velarix.SKIP to push nothing this cycle (also as one "
                "port's value, to push nothing there).",
                vx::name_text(self).ptr(), problem.ptr());
            vx::write_log(self, names::WARNING, text);
            vx::call_method(exception, names::add_note, text);
        },
        [](nb::handle) {});
}

// The first output port the step's result gives no value, or an empty object.
nb::object missing_port(nb::handle self, nb::handle data) {
    nb::object missing;
    vx::for_each_item(vx::getattr(self, names::output_ports_), [&](nb::handle name, nb::handle) {
        if (vx::lookup(data, name).is_valid())
            return true;
        missing = nb::borrow(name);
        return false;
    });
    return missing;
}

// self._push_data(data); a push that fails on what the step returned says so.
void push_result(nb::handle self, const NodeAttributes &own, nb::handle data) {
    try {
        own.push_data(data);
    } catch (nb::python_error &error) {
        if (data.is_none() && error.matches(PyExc_TypeError)) {
            explain_result(self, error.value(), vx::formatted("step() returned None"));
        } else if (PyDict_CheckExact(data.ptr()) && error.matches(PyExc_ValueError)) {
            nb::object port;
            vx::guarded([&] { port = missing_port(self, data); }, [](nb::handle) {});
            if (port.is_valid()) {
                nb::object problem = vx::formatted("step() returned no value for output port '%S'", port.ptr());
                explain_result(self, error.value(), problem);
            }
        }
        throw;
    }
}

// A result that is neither a dict, None nor SKIP: the cycle's TypeError, explained.
[[noreturn]] void reject_result(nb::handle self, nb::handle data) {
    try {
        vx::raise(PyExc_TypeError, "Expected %s, got %.200s", "dict", Py_TYPE(data.ptr())->tp_name);
    } catch (nb::python_error &error) {
        const char *type_name = Py_TYPE(data.ptr())->tp_name;
        const bool vowel = type_name[0] && std::strchr("aeiouAEIOU", type_name[0]);
        nb::object problem = vx::formatted("step() returned %s %s", vowel ? "an" : "a", type_name);
        explain_result(self, error.value(), problem);
        throw;
    }
}

// A whole-cycle SKIP on an output node: every output port pushes nothing this time.
void count_skipped_ports(nb::handle self) {
    nb::object ports = vx::getattr_or_none(self, names::output_ports_);
    if (ports.is_none())
        return;  // an output class of another making, without our ports
    vx::for_each_item(ports, [](nb::handle, nb::handle port) {
        port_api::count_skip(port);
        return true;
    });
}

// Said once per node, the first time cycle() finds it stopped: its data goes nowhere.
void warn_stopped(nb::handle self) {
    if (vx::getattr_or_none(self, names::warned_stopped_).is(Py_True))
        return;
    vx::setattr(self, names::warned_stopped_, nb::handle(Py_True));
    nb::object text = vx::formatted(
        "Node %U is stopped: cycle() drops its data. Call start() on the node (or pipeline.start()) first.",
        vx::name_text(self).ptr());
    vx::write_log(self, names::WARNING, text);
}

void run_cycle(nb::handle self, nb::handle input, nb::handle constants, bool driven) {
    // Constants.Conditions.ERROR and Constants.States.STOPPED, looked up each cycle.
    static ClassAttribute conditions, error, states, stopped;
    NodeAttributes own(self);
    nb::object error_value = error.get(conditions.get(constants, names::Conditions), names::ERROR);
    if (vx::equals(own.get(Hot::condition), error_value))
        return;
    nb::object stopped_value = stopped.get(states.get(constants, names::States), names::STOPPED);
    if (vx::equals(own.get(Hot::state), stopped_value)) {
        if (driven)
            warn_stopped(self);
        return;
    }

    Reading t_start;
    // What this step pushes carries its inputs' oldest origin, else this start.
    // NaN, no origin, where the clock gives no double: this step's pushes take their own times.
    port_api::StepOrigin origin(t_start.as_double());
    if (is_first_cycle(own.get(Hot::counter)))
        vx::call_method(self, names::setup_wrapper_, input);  // logs its own failures
    if (nb::object pre_step = own.get(Hot::pre_step_handler); !is_do_nothing(pre_step))
        vx::call(pre_step, input);

    // The handler is read before the copy is made, as `handler(deepcopy(data))` would.
    nb::object step = own.get(Hot::step_handler);
    nb::object data = vx::call(step, vx::deepcopy(input));
    bool skipped = false;
    if (!PyDict_CheckExact(data.ptr())) {
        skipped = vx::is_skip(data);
        if (!skipped && !data.is_none())
            reject_result(self, data);
    }

    if (is_output_node(self)) {
        if (skipped) {
            count_skipped_ports(self);  // nothing to hand on: no post-step, no push
        } else {
            if (nb::object post_step = own.get(Hot::post_step_handler); !is_do_nothing(post_step))
                vx::call(post_step, data);
            push_result(self, own, data);
        }
    }
    if (skipped)
        record_skip(own);

    count_step(own);
    Reading t_end;
    add_busy(own, t_end, t_start);
    if (t_start.is_float() && t_end.is_float())
        record_step(own, t_start.seconds(), t_end.seconds());
    else
        record_step(own, t_start.object(), t_end.object());

    // Busy time over the time since start(), the divisor raised to 1 second.
    set_load(own, t_end);
}

// The guarded cycle on `input`, which must be a dict; `driven` as in run_cycle.
nb::object checked_cycle(nb::handle self, nb::handle input, bool driven) {
    vx::require_dict(input.ptr(), "data");
    nb::object constants = vx::constants();
    guarded(self, [&] { run_cycle(self, input, constants, driven); });
    return nb::none();
}

} // namespace

nb::object cycle(const vx::Call &call) {
    static constexpr vx::Params<1> params{"_cycle", {"data"}, 0};
    auto [given] = call.bind(params);
    return checked_cycle(call.self, given ? nb::handle(given) : kept.default_data.get(), false);
}

// ONode.cycle(): the step cycle, which on a stopped node also says (once) that the
// data is dropped. A class with a _cycle of its own gets that one, as before.
nb::object drive(const vx::Call &call) {
    static constexpr vx::Params<1> params{"_drive", {"data"}, 0};
    auto [given] = call.bind(params);
    nb::handle input = given && !nb::handle(given).is_none() ? nb::handle(given) : kept.default_data.get();
    // Nodes on a shared scheduler that this cycle makes ready run on this thread
    // once it is done, so the value crosses the chain without a thread hand-off.
    port_api::Carry carry;
    PyObject *own_cycle = vx::compat::type_lookup(Py_TYPE(call.self.ptr()), names::cycle_.ptr());
    nb::object result = own_cycle != kept.cycle_method.ptr() ? vx::call_method(call.self, names::cycle_, input)
                                                             : checked_cycle(call.self, input, true);
    carry.end();
    return result;
}

// What the input node module's dispatch and workers call for each step: the cycle
// itself where the node's _cycle is NodeImp's own, without the method call.
int lent_cycle(PyObject *self, PyObject *data) {
    return port_api::status_of([&] {
        static vx::TypeEntry in_class;
        if (NodeAttributes(self).finds_own(names::cycle_, kept.cycle_method.ptr(), &SeenDict::no_own_cycle, in_class))
            checked_cycle(self, data, false);
        else
            vx::call_method(self, names::cycle_, data);
    });
}

nb::object setup_wrapper(const vx::Call &call) {
    static constexpr vx::Params<1> params{"_setup_wrapper", {"data"}};
    auto [data] = call.bind(params);
    nb::handle self = call.self;

    // The set-up's fixed pause; a stop that lands during it fails the state check.
    vx::sleep(0.01);

    if (vx::equals(vx::getattr(self, names::state_), vx::constant(names::States, names::STOPPED)))
        vx::raise(PyExc_ValueError,
                  "Node %U is in STOPPED state. Make sure to call Node.start() from your subclass.",
                  vx::name_text(self).ptr());
    nb::object message = vx::formatted("Setting up node %U.", vx::name_text(self).ptr());
    vx::write_log(self, names::INFO, message);

    guarded(self, [&] {
        nb::object metadata_in = vx::call_method(self, names::get_metadata_);
        nb::object handler = vx::getattr(self, names::setup_handler_);
        nb::object metadata_out = vx::call(handler, data, metadata_in);
        vx::call_method(self, names::push_metadata_, metadata_out);
    });
    return nb::none();
}

nb::object deepcopy(const vx::Call &call) {
    static constexpr vx::Params<2> params{"_deepcopy", {"x", "memo"}, 1};
    auto [x, memo] = call.bind(params);
    return vx::deepcopy(x, memo);
}

nb::object array_pool(const vx::Call &call) {
    static constexpr vx::Params<1> params{"_array_pool", {"pooled"}, 0};
    auto [pooled] = call.bind(params);
    if (pooled && pooled != Py_None)
        vx::array_copy::set_pooled(vx::truthy(pooled));
    vx::array_pool::Figures figures = vx::array_copy::pool_figures();
    nb::object result = vx::steal_or_throw(PyDict_New());
    auto put = [&](const char *key, size_t value) {
        nb::object number = vx::steal_or_throw(PyLong_FromSize_t(value));
        vx::check_status(PyDict_SetItemString(result.ptr(), key, number.ptr()));  // no Python code: new dict, str key
    };
    put("outstanding", figures.outstanding);
    put("cached", figures.cached);
    put("cached_bytes", figures.cached_bytes);
    put("from_system", figures.from_system);
    put("reused", figures.reused);
    return result;
}

} // namespace vertan
