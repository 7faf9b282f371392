// velarix.imp.portan: the PortQueue and Waiter types, the port classes IPortImp and
// OPortImp built on the package's PortableImp, and the C API of the node modules.
#include "common/classes.hpp"
#include "common/method_table.hpp"
#include "portan/ports/port_queue.hpp"
#include "portan/ports/ports.hpp"
#include "portan/record/tap.hpp"
#include "portan/ring/ring.hpp"
#include "portan/scheduler/scheduler.hpp"

namespace vx {

int PortQueueState::traverse(visitproc visit, void *arg) const {
    for (const QueuedValue &item : items)
        Py_VISIT(item.value);
    Py_VISIT(task);
    for (PyObject *waiter : room_waiters)
        Py_VISIT(waiter);
    return 0;
}

// Drops the values one by one, each taken out before it is released (releasing
// one may run code that reads the queue).
void PortQueueState::clear() {
    while (!items.empty()) {
        PyObject *item = items.front().value;
        items.pop_front();
        Py_DECREF(item);
    }
    Py_CLEAR(task);
    while (!room_waiters.empty()) {
        PyObject *waiter = room_waiters.back();
        room_waiters.pop_back();
        Py_DECREF(waiter);
    }
}

void PortQueueState::dispose() {
    clear();
    bounded_queues -= is_bounded(*this);
}

} // namespace vx

namespace portan {
namespace {

using vx::PortQueue;

nb::object queue_new(PyTypeObject *type, PyObject *, PyObject *) { return vx::make_native<vx::PortQueueState>(type); }

Py_ssize_t queue_length(PyObject *self) { return (Py_ssize_t)((PortQueue *)self)->state.items.size(); }

nb::object make_queue_type() {
    return vx::make_native_type<vx::PortQueueState>(
        {"velarix.imp.portan.PortQueue",
         "The values waiting in an input port, oldest first.",
         {{Py_tp_new, (void *)vx::slot_new<queue_new>}, {Py_sq_length, (void *)queue_length}}});
}

// Waiter: what an input node's worker sleeps on inside its event's condition.

nb::object waiter_new(PyTypeObject *type, PyObject *args, PyObject *kwargs) {
    vx::takes_no_arguments("Waiter()", args, kwargs);
    return vx::make_native<vx::WaiterState>(type);
}

PyObject *waiter_release(PyObject *self, PyObject *) {
    ((vx::Waiter *)self)->state.release();
    Py_RETURN_NONE;
}

PyMethodDef waiter_methods[] = {
    {"release", waiter_release, METH_NOARGS, "Wake the thread waiting on this waiter (again: no effect)."},
    {nullptr, nullptr, 0, nullptr},
};

nb::object make_waiter_type() {
    return vx::make_native_type<vx::WaiterState>(
        {"velarix.imp.portan.Waiter",
         "A one-shot wake-up an input node's worker sleeps on.",
         {{Py_tp_new, (void *)vx::slot_new<waiter_new>}, {Py_tp_methods, (void *)waiter_methods}}});
}

auto input_methods = vx::method_table(
    VX_METHOD("__init__", input_init, "Register the port and make its queue from the configuration."),
    VX_METHOD("set_event_handler", set_event_handler, "Call `handler()` after each arriving value."),
    VX_METHOD("data_available", data_available, "True while a value is waiting."),
    VX_METHOD("get", get, "The next waiting value."),
    VX_METHOD("get_timing", input_get_timing, "The port's timing."),
    VX_METHOD("_receive", receive, "Queue `value` and call the event handler."),
    VX_METHOD("connect", input_connect, "Record the link to `output_port`."),
    VX_METHOD("disconnect", input_disconnect, "Forget the link to `output_port`."),
    VX_METHOD("get_stats", input_get_stats, "Values received, still queued and dropped (an ASYNC port's replaced values)."),
    VX_METHOD("_source_metadata", source_metadata,
              "The configuration of the first linked output port that has metadata, else None."));

auto output_methods = vx::method_table(
    VX_METHOD("__init__", output_init, "Register the port."),
    VX_METHOD("get_timing", output_get_timing, "The port's timing."),
    VX_METHOD("push", push, "Hand `value` to every linked input port, in link order."),
    VX_METHOD("get_stats", output_get_stats, "Values pushed, and cycles that pushed nothing (SKIP)."),
    VX_METHOD("connect", output_connect, "Record the link to `input_port`."),
    VX_METHOD("disconnect", output_disconnect, "Forget the link to `input_port`."));

nb::object build_class(const char *module, const char *name, const char *doc, PyMethodDef *methods) {
    return vx::define_class_on(
        names::PortableImp,
        {name, module, doc, {{"config", "'Portable.Configuration'"}, {"_connected_ports", "list"}}, methods});
}

} // namespace
} // namespace portan

NB_MODULE(portan, m) {
    names::init();
    const char *module = "velarix.imp.portan";
    m.attr("PortQueue") = vx::known_port_queue_type.set(portan::make_queue_type());
    m.attr("Waiter") = vx::known_waiter_type.set(portan::make_waiter_type());
    m.attr("Scheduler") = vx::known_scheduler_type.set(portan::make_scheduler_type());
    m.attr("Task") = vx::known_task_type.set(portan::make_task_type());
    m.attr("_C_API") = portan::api_capsule();
    m.attr("RecordBuffer") = portan::make_record_buffer_type();
    m.attr("RecordTap") = portan::make_record_tap_type();
    m.attr("RingEnd") = portan::make_ring_end_type();
    m.attr("RING_LAYOUT") = portan::ring_layout();
    static PyMethodDef functions[] = {
        VX_METHOD("carried", portan::carried,
                  "carried(function, *args): call it, then run on this thread the scheduled nodes it made ready."),
        VX_METHOD("current_origin", portan::current_origin,
                  "The origin (time.time() seconds) of what the running step pushes, or None."),
        VX_METHOD("set_origin", portan::set_origin,
                  "What the running step pushes from now on carries `seconds` as its origin."),
        VX_METHOD("_set_tracing", portan::set_tracing, "Latency tracing on or off, process-wide."),
        VX_METHOD("_get_tracing", portan::get_tracing, "Whether latency tracing is on."),
        VX_METHOD("_pickle5", portan::native_pickle,
                  "pickle.dumps(value, 5) as the recorder's taps write it natively, or None when they cannot."),
        VX_METHOD("_read_chunk", portan::read_chunk,
                  "_read_chunk(data, position, since, routes, loads): the routed, decoded messages of a chunk."),
    };
    vx::add_functions(m, functions);

    nb::object input = portan::build_class(
        module, "IPortImp", "An input port: SYNC keeps every value in order, ASYNC the newest.",
        portan::input_methods);
    nb::object output =
        portan::build_class(module, "OPortImp", "An output port: pushes to its linked input ports.",
                            portan::output_methods);
    m.attr("IPortImp") = portan::kept.input_port_class.set(input);
    m.attr("OPortImp") = portan::kept.output_port_class.set(output);
}
