// Start, and the set-up thread of a node whose output ports are all ASYNC: nothing
// upstream drives such a node, so it runs its first cycle (and set-up run) itself.
#include "common/runtime.hpp"
#include "output_node.hpp"

namespace exitran {

nb::object start(const vx::Call &call) {
    call.bind_none("start");
    nb::handle self = call.self;
    nb::object async = vx::constant(names::Timing, names::ASYNC);
    vx::call_super(output_node_class, self, names::start);

    bool all_async = true;  // every port is asked, whatever the earlier answers
    vx::for_each_item(vx::getattr(self, names::output_ports_), [&](nb::handle, nb::handle port) {
        if (!vx::equals(vx::call_method(port, names::get_timing), async))
            all_async = false;
        return true;
    });
    if (!all_async)
        return nb::none();

    // The output node's own one-cycle function, bound explicitly: on a node that is
    // also an input node, self._thread_function is the input worker's loop.
    nb::object output_class = vx::module_attr(vx::modules::imp, names::ONodeImp);
    nb::object target = vx::bind_from(output_class, names::thread_function_, self);
    nb::object thread = vx::daemon_thread(target);
    vx::setattr(self, names::setup_thread_, thread);
    vx::call_method(thread, names::start);
    return nb::none();
}

nb::object thread_function(const vx::Call &call) {
    call.bind_none("_thread_function");
    nb::handle self = call.self;
    vx::guarded([&] { vx::call_method(self, names::cycle_); },
                [&](nb::handle exception) { vx::log_failure(self, exception); });
    return nb::none();
}

} // namespace exitran
