// OPortImp: hands each pushed value to every linked input port, in link order.
#include "portan/ports/port_queue.hpp"
#include "portan/ports/ports.hpp"

namespace portan {

nb::object output_init(const vx::Call &call) {
    static constexpr vx::Params<1> params{"__init__", {"config"}};
    auto [config] = call.bind(params);
    init_port_base(call.self, config);
    return nb::none();
}

nb::object output_get_timing(const vx::Call &call) {
    call.bind_none("get_timing");
    return vx::getattr(call.self, names::timing_);
}

nb::object push(const vx::Call &call) {
    static constexpr vx::Params<1> params{"push", {"value"}};
    auto [value] = call.bind(params);
    vx::push_to_links(call.self, value, nb::handle());
    return nb::none();
}

nb::object output_connect(const vx::Call &call) {
    static constexpr vx::Params<1> params{"connect", {"input_port"}};
    auto [other] = call.bind(params);
    link(call.self, other, kept.input_port_class, "output", "input");
    return nb::none();
}

nb::object output_disconnect(const vx::Call &call) {
    static constexpr vx::Params<1> params{"disconnect", {"input_port"}};
    auto [other] = call.bind(params);
    unlink(call.self, other);
    return nb::none();
}

} // namespace portan
