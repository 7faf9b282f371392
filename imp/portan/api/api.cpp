// The table of api.hpp: each entry runs the port module's own code and turns its
// C++ exceptions into the Python error the caller finds set.
#include "portan/api/api.hpp"

#include "portan/ports/event.hpp"
#include "portan/ports/node_ports.hpp"
#include "portan/ports/port_queue.hpp"
#include "portan/ports/ports.hpp"
#include "portan/scheduler/scheduler.hpp"
#include "portan/ports/trace.hpp"

namespace portan {
namespace {

using port_api::status_of;

template <typename Body>
PyObject *object_of(Body &&body) {
    try {
        return body().release().ptr();
    } catch (vx::forced_unwind &) {
        throw;
    } catch (...) {
        return vx::translate_exception();
    }
}

int push_to_links(PyObject *output_port, PyObject *value, PyObject *pusher) {
    return status_of([&] { vx::push_to_links(output_port, value, pusher); });
}

int count_skip(PyObject *output_port) {
    return status_of([&] { vx::count_skip(output_port); });
}

vx::PortQueueState *queue_state(PyObject *values) { return vx::queue_state(values); }

Py_ssize_t queue_length(vx::PortQueueState *queue) { return (Py_ssize_t)queue->items.size(); }

PyObject *queue_pop(vx::PortQueueState *queue) { return vx::port_queue_pop(*queue); }

Py_ssize_t queue_capacity(vx::PortQueueState *queue) { return vx::is_bounded(*queue) ? queue->capacity : 0; }

int release_port(PyObject *input_port) {
    return status_of([&] {
        // Held while in use: what __dict__ hands out may be all that keeps the queue.
        nb::object values = vx::own_entry(input_port, names::values_);
        if (vx::PortQueueState *queue = vx::queue_state(values))
            vx::port_queue_release(*queue);
    });
}

int reopen_port(PyObject *input_port) {
    return status_of([&] {
        nb::object values = vx::own_entry(input_port, names::values_);
        if (vx::PortQueueState *queue = vx::queue_state(values))
            vx::port_queue_reopen(*queue);
    });
}

int event_wait(PyObject *event) {
    return status_of([&] { vx::event_wait(event); });
}

int event_clear(PyObject *event) {
    return status_of([&] { vx::event_clear(event); });
}

vx::DeferredWakes *thread_wakes() { return &vx::deferred_wakes(); }

void release_held_wakes() { vx::release_held_wakes(); }

void worker_begin(vx::DeferredWakes *wakes) { wakes->worker = true; }

void worker_end(vx::DeferredWakes *wakes) {
    wakes->worker = false;
    vx::flush_deferred_wakes(*wakes);
}

void flush_wakes(vx::DeferredWakes *wakes) { vx::flush_deferred_wakes(*wakes); }

int defer_begin(vx::DeferredWakes *wakes) {
    const bool was = wakes->deferring;
    wakes->deferring = wakes->worker;
    return was;
}

void defer_end(vx::DeferredWakes *wakes, int previous) { wakes->deferring = previous != 0; }

int configured_ports(PyObject *config, PyObject *key_attr, const char *label, PyObject **key,
                     PyObject **entries) {
    return status_of([&] {
        vx::ConfiguredPorts configured = vx::configured_ports(config, key_attr, label);
        nb::object list = vx::steal_or_throw(PyList_New(0));
        for (auto &[port_config, name] : configured.entries) {
            nb::object entry = vx::steal_or_throw(PyTuple_Pack(2, port_config.ptr(), name.ptr()));
            vx::check_status(PyList_Append(list.ptr(), entry.ptr()));
        }
        *key = configured.key.release().ptr();
        *entries = list.release().ptr();
    });
}

int init_node_base(PyObject *self, PyObject *config) {
    return status_of([&] { vx::init_node_base(self, config); });
}

PyObject *build_ports(PyObject *self, PyObject *ports_attr, PyObject *port_class, PyObject *entries,
                      int (*on_port)(PyObject *port, void *context), void *context) {
    return object_of([&] {
        // Made by configured_ports: a list of pairs that no other code has seen.
        vx::PortEntries pairs;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(entries); ++i) {
            PyObject *entry = PyList_GET_ITEM(entries, i);
            pairs.emplace_back(nb::borrow(PyTuple_GET_ITEM(entry, 0)), nb::borrow(PyTuple_GET_ITEM(entry, 1)));
        }
        return vx::build_ports(self, ports_attr, port_class, pairs, [&](nb::handle port) {
            if (on_port(port.ptr(), context) < 0)
                vx::throw_error_already_set();
        });
    });
}

int store_port_configs(PyObject *node, PyObject *key, PyObject *ports) {
    return status_of([&] { vx::store_port_configs(node, key, ports); });
}

PyObject *task_attach(PyObject *scheduler, PyObject *run) {
    return object_of([&] { return vx::attach_task(scheduler, run); });
}

int task_detach(PyObject *task) {
    return status_of([&] { vx::detach_task(task); });
}

void task_schedule(PyObject *task) { vx::schedule_task(task); }

int set_port_task(PyObject *input_port, PyObject *task) {
    int taken = 0;
    const int status = status_of([&] {
        nb::object values = vx::own_entry(input_port, names::values_);
        if (vx::PortQueueState *queue = vx::queue_state(values)) {
            vx::set_reader_task(*queue, task);
            taken = 1;
        }
    });
    return status < 0 ? status : taken;
}

int carry_begin() { return vx::carry_begin(); }

int carry_end(int previous) {
    return status_of([&] { vx::carry_end(previous); });
}

void carry_abandon(int previous) { vx::carry_abandon(previous); }

PyObject *bounded_outputs(PyObject *node) {
    return object_of([&] { return vx::bounded_outputs(node); });
}

int room_for_cycle(PyObject *bounded, PyObject *task) { return vx::room_for_cycle(bounded, task); }

PyObject *task_plan(PyObject *task) {
    vx::TaskData *t = vx::task_data(task);
    return t ? t->plan : nullptr;
}

void task_set_plan(PyObject *task, PyObject *plan) {
    if (vx::TaskData *t = vx::task_data(task)) {
        PyObject *old = t->plan;
        t->plan = Py_XNewRef(plan);
        Py_XDECREF(old);
    }
}

int task_detached(PyObject *task) {
    vx::TaskData *t = vx::task_data(task);
    return !t || t->detached;
}

int stepping_scheduled() { return vx::this_runner().stepping > 0; }

double step_begin(double start) { return vx::step_begin(start); }

void step_end(double previous) { vx::step_end(previous); }

void offer_surplus() { vx::offer_surplus(); }

void task_set_native_run(PyObject *task, vx::NativeRun run) {
    if (vx::TaskData *t = vx::task_data(task))
        t->native_run = run;
}

struct Lent {
    PyObject *method = nullptr;
    vx::NativeMethod body = nullptr;
};
Lent lent[vx::native_entry_count];

void lend_method(vx::NativeEntry which, PyObject *method, vx::NativeMethod body) {
    const int at = (int)which;
    if (at >= 0 && at < vx::native_entry_count)
        lent[at] = Lent{method, body};
}

vx::NativeMethod lent_method(vx::NativeEntry which, PyObject **method) {
    const int at = (int)which;
    if (at < 0 || at >= vx::native_entry_count || !lent[at].body) {
        *method = nullptr;
        return nullptr;
    }
    *method = lent[at].method;
    return lent[at].body;
}

const vx::PortApi table = {
    vx::port_api_version,
    sizeof(vx::PortApi),
    push_to_links,
    count_skip,
    queue_state,
    queue_length,
    queue_pop,
    release_port,
    event_wait,
    event_clear,
    thread_wakes,
    release_held_wakes,
    worker_begin,
    worker_end,
    flush_wakes,
    defer_begin,
    defer_end,
    configured_ports,
    init_node_base,
    build_ports,
    store_port_configs,
    task_attach,
    task_detach,
    task_schedule,
    set_port_task,
    carry_begin,
    carry_end,
    carry_abandon,
    bounded_outputs,
    room_for_cycle,
    task_plan,
    task_set_plan,
    task_detached,
    stepping_scheduled,
    step_begin,
    step_end,
    offer_surplus,
    reopen_port,
    queue_capacity,
    task_set_native_run,
    lend_method,
    lent_method,
};

} // namespace

nb::object api_capsule() {
    return vx::steal_or_throw(PyCapsule_New((void *)&table, vx::port_api_name, nullptr));
}

} // namespace portan
