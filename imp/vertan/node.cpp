// Construction, handlers, start and stop, and the accessors and hooks of the base.
#include "node.hpp"

namespace vertan {
namespace {

PyMethodDef do_nothing_def = VX_METHOD(
    "do_nothing", do_nothing, "do_nothing(data)\n--\n\nThe default pre- and post-step handler: does nothing.");

nb::object new_do_nothing_handler() {
    return vx::steal_or_throw(PyCFunction_NewEx(&do_nothing_def, nullptr, kept.module_name.ptr()));
}

nb::object store_handler(const vx::Call &call, const vx::Params<1> &params, nb::handle name) {
    auto [handler] = call.bind(params);
    vx::setattr(call.self, name, handler);
    return nb::none();
}

} // namespace

bool is_do_nothing(nb::handle handler) {
    return PyCFunction_CheckExact(handler.ptr()) && ((PyCFunctionObject *)handler.ptr())->m_ml == &do_nothing_def;
}

nb::object do_nothing(const vx::Call &call) {
    static constexpr vx::Params<1> params{"do_nothing", {"data"}};
    call.bind(params);
    return nb::none();
}

nb::object init(const vx::Call &call) {
    static constexpr vx::Params<1> params{"__init__", {"config"}};
    auto [config] = call.bind(params);
    nb::handle self = call.self;

    // super(NodeImp, self).__init__(config): the next class of the instance's own
    // order, so a class with several node bases still reaches PortableImp.
    vx::call_super(kept.node_class, self, names::dunder_init, config);

    nb::object constants = vx::constants();
    vx::setattr(self, names::counter_, kept.zero);
    vx::setattr(self, names::pre_step_handler_, new_do_nothing_handler());
    vx::setattr(self, names::post_step_handler_, new_do_nothing_handler());
    vx::setattr(self, names::setup_handler_, nb::none());
    vx::setattr(self, names::step_handler_, nb::none());
    // A logger without a file until a pipeline hands over its own.
    nb::object logger_class = vx::modules::logger.attr(names::Logger);
    nb::object no_directory = vx::steal_or_throw(PyUnicode_FromStringAndSize("", 0));
    vx::setattr(self, names::logger_, vx::call(logger_class, no_directory));
    vx::setattr(self, names::state_, vx::constant(constants, names::States, names::STOPPED));
    vx::setattr(self, names::condition_, vx::constant(constants, names::Conditions, names::HEALTHY));
    vx::setattr(self, names::time_start_, vx::now());
    vx::setattr(self, names::time_busy_, kept.zero);
    vx::setattr(self, names::load_, kept.zero);
    return nb::none();
}

nb::object set_setup_handler(const vx::Call &call) {
    static constexpr vx::Params<1> params{"set_setup_handler", {"handler"}};
    return store_handler(call, params, names::setup_handler_);
}

nb::object set_pre_step_handler(const vx::Call &call) {
    static constexpr vx::Params<1> params{"set_pre_step_handler", {"handler"}};
    return store_handler(call, params, names::pre_step_handler_);
}

nb::object set_post_step_handler(const vx::Call &call) {
    static constexpr vx::Params<1> params{"set_post_step_handler", {"handler"}};
    return store_handler(call, params, names::post_step_handler_);
}

nb::object set_step_handler(const vx::Call &call) {
    static constexpr vx::Params<1> params{"set_step_handler", {"handler"}};
    return store_handler(call, params, names::step_handler_);
}

nb::object start(const vx::Call &call) {
    call.bind_none("start");
    nb::handle self = call.self;
    nb::object states = vx::getattr(vx::constants(), names::States);
    // Every start moves the origin of the load measurement, running or not.
    vx::setattr(self, names::time_start_, vx::now());
    if (vx::equals(vx::getattr(self, names::state_), vx::getattr(states, names::STOPPED))) {
        vx::setattr(self, names::state_, vx::getattr(states, names::RUNNING));
        nb::object message = vx::formatted("Node %U started.", vx::name_text(self).ptr());
        vx::write_log(self, names::INFO, message);
    }
    return nb::none();
}

nb::object stop(const vx::Call &call) {
    call.bind_none("stop");
    nb::handle self = call.self;
    nb::object states = vx::getattr(vx::constants(), names::States);
    if (vx::equals(vx::getattr(self, names::state_), vx::getattr(states, names::RUNNING))) {
        vx::setattr(self, names::state_, vx::getattr(states, names::STOPPED));
        nb::object message = vx::formatted("Node %U stopped.", vx::name_text(self).ptr());
        vx::write_log(self, names::INFO, message);
    }
    return nb::none();
}

nb::object get_name(const vx::Call &call) {
    call.bind_none("get_name");
    nb::object config = vx::getattr(call.self, names::config);
    nb::object key = vx::getattr(vx::getattr(config, names::Keys), names::NAME);
    nb::object name = vx::get_item(config, key);
    if (!name.is_none() && !PyUnicode_CheckExact(name.ptr()))
        vx::raise(PyExc_TypeError, "Expected %s, got %.200s", "str", Py_TYPE(name.ptr())->tp_name);
    return name;
}

nb::object set_logger(const vx::Call &call) {
    static constexpr vx::Params<1> params{"set_logger", {"logger"}};
    auto [logger] = call.bind(params);
    vx::setattr(call.self, names::logger_, logger);
    return nb::none();
}

nb::object get_state(const vx::Call &call) {
    call.bind_none("get_state");
    return vx::getattr(call.self, names::state_);
}

nb::object get_counter(const vx::Call &call) {
    call.bind_none("get_counter");
    nb::object counter = vx::getattr(call.self, names::counter_);
    if (!counter.is_none() && !PyLong_CheckExact(counter.ptr()))
        vx::raise(PyExc_TypeError, "Expected %s, got %.200s", "int", Py_TYPE(counter.ptr())->tp_name);
    return counter;
}

// Set by the guards (vx::log_failure) only when something fails, so a node that
// never failed carries no such attribute.
nb::object get_last_exception(const vx::Call &call) {
    call.bind_none("get_last_exception");
    return vx::getattr_or_none(call.self, names::last_exception_);
}

nb::object get_load(const vx::Call &call) {
    call.bind_none("get_load");
    nb::object load = vx::getattr(call.self, names::load_);
    return vx::steal_call([&] { return PyNumber_Multiply(load.ptr(), kept.hundred.ptr()); });
}

nb::object get_data(const vx::Call &call) {
    call.bind_none("_get_data");
    return vx::steal_or_throw(PyDict_New());
}

nb::object get_metadata(const vx::Call &call) {
    call.bind_none("_get_metadata");
    return vx::steal_or_throw(PyDict_New());
}

nb::object push_data(const vx::Call &call) {
    static constexpr vx::Params<1> params{"_push_data", {"data"}};
    auto [data] = call.bind(params);
    vx::require_dict(data, "data");
    return nb::none();
}

nb::object push_metadata(const vx::Call &call) {
    static constexpr vx::Params<1> params{"_push_metadata", {"port_metadata_out"}};
    auto [metadata] = call.bind(params);
    vx::require_dict(metadata, "port_metadata_out", /*allow_none=*/true);
    return nb::none();
}

} // namespace vertan
