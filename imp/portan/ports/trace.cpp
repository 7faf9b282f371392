// The module functions of latency tracing (trace.hpp): a step's origin, read and
// given, and the process-wide switch.
#include "portan/ports/ports.hpp"
#include "portan/ports/trace.hpp"

namespace portan {

// current_origin(): the origin of what the running step pushes (its inputs'
// oldest, or its start, or what it gave), or None outside a step or with tracing off.
nb::object current_origin(const vx::Call &call) {
    call.bind_none("current_origin");
    const double origin = vx::this_trace().origin;
    if (!vx::tracing || std::isnan(origin))
        return nb::none();
    return vx::steal_or_throw(PyFloat_FromDouble(origin));
}

// set_origin(seconds): what the running step pushes from now on carries `seconds`
// (time.time() scale; a device's own timestamp, say) as its origin.
nb::object set_origin(const vx::Call &call) {
    static constexpr vx::Params<1> params{"set_origin", {"seconds"}};
    auto [seconds] = call.bind(params);
    if (PyBool_Check(seconds) || !(PyFloat_Check(seconds) || PyLong_Check(seconds)))
        vx::raise(PyExc_TypeError, "seconds must be a number, not %.200s", Py_TYPE(seconds)->tp_name);
    const double value = PyFloat_AsDouble(seconds);
    if (value == -1.0 && PyErr_Occurred())
        vx::throw_error_already_set();
    if (!std::isfinite(value))
        vx::raise(PyExc_ValueError, "seconds must be finite, got %R", seconds);
    vx::StepTrace &trace = vx::this_trace();
    if (std::isnan(trace.origin))
        vx::raise(PyExc_RuntimeError, "set_origin() is for a running step: it names the origin of what the step pushes");
    trace.origin = value;
    return nb::none();
}

nb::object set_tracing(const vx::Call &call) {
    static constexpr vx::Params<1> params{"_set_tracing", {"enabled"}};
    auto [enabled] = call.bind(params);
    vx::tracing = vx::truthy(enabled);
    return nb::none();
}

nb::object get_tracing(const vx::Call &call) {
    call.bind_none("_get_tracing");
    return nb::bool_(vx::tracing);
}

} // namespace portan
