// The port module's C API: the one table of C functions through which the node
// modules (vertan, intaran, exitran) push, read and wait on ports. The queue, the
// event fast path and the per-thread held wake-ups are defined in the port module
// alone (port_queue.hpp, event.hpp, node_ports.hpp); the others include only this
// header.
//
// velarix.imp.portan exports the table as the capsule `_C_API`. A module that uses it
// calls port_api::import_api() once in its set-up, which refuses a table of another
// version or one shorter than this header's with ImportError.
//
// Across the table only C passes: each function returns 0 (or a new reference) on
// success, and -1 (or nullptr) with the Python error set on failure. No C++ exception
// crosses it, since every module is its own shared library with its own copy of the
// exception types; the wrappers below turn a failure back into one of the caller's.
#pragma once

#include <cstddef>

#include "common/errors.hpp"
#include "common/host.hpp"
#include "common/method.hpp"

namespace vx {

struct PortQueueState;  // port_queue.hpp

// What a node's dispatch on the shared scheduler reports (INodeImp._run_ready):
// no more data, more to step after others had their turn, waiting for room in a
// full output link, or the node runs no more.
enum class RunResult { idle = 0, more = 1, blocked = 2, ended = 3 };
// A node module's own dispatch, called by the scheduler in place of the node's bound
// _run_ready: a RunResult, or -1 with the Python error set.
using NativeRun = int (*)(PyObject *node, PyObject *task);
// A node module's own method body, called with the node and one argument in place of
// the method: 0, or -1 with the Python error set.
using NativeMethod = int (*)(PyObject *node, PyObject *argument);
// The methods a node module lends the others through the table.
enum class NativeEntry { cycle = 0, push_data = 1 };
inline constexpr int native_entry_count = 2;
struct DeferredWakes;   // event.hpp

// Raised with each change of the table's entries or of what they do; entries are only
// appended within one version.
inline constexpr unsigned int port_api_version = 1;
inline constexpr const char *port_api_name = "velarix.imp.portan._C_API";

struct PortApi {
    unsigned int version;  // port_api_version of the module that built the table
    size_t size;           // sizeof(PortApi) there

    // output_port.push(value) on behalf of `pusher` (a node, or null), to every link.
    int (*push_to_links)(PyObject *output_port, PyObject *value, PyObject *pusher);
    // A cycle in which `output_port` pushed nothing (SKIP).
    int (*count_skip)(PyObject *output_port);

    // The queue behind an input port's `_values`, or nullptr for anything else.
    // Never fails; neither do the two that follow.
    PortQueueState *(*queue_state)(PyObject *values);
    Py_ssize_t (*queue_length)(PortQueueState *queue);
    // The oldest value (a new reference), or nullptr when the queue is empty.
    PyObject *(*queue_pop)(PortQueueState *queue);
    // The node of `input_port` stops: pushes waiting for room there stop waiting.
    int (*release_port)(PyObject *input_port);

    // event.wait() (no time limit) and event.clear() of a threading.Event.
    int (*event_wait)(PyObject *event);
    int (*event_clear)(PyObject *event);

    // The calling thread's held-back wake-ups (event.hpp), and what a worker's loop
    // and a cycle's pushes do with them. None of these fails.
    DeferredWakes *(*thread_wakes)(void);
    void (*release_held_wakes)(void);
    void (*worker_begin)(DeferredWakes *wakes);
    void (*worker_end)(DeferredWakes *wakes);  // also releases what is still held
    void (*flush_wakes)(DeferredWakes *wakes);
    int (*defer_begin)(DeferredWakes *wakes);  // returns the state defer_end restores
    void (*defer_end)(DeferredWakes *wakes, int previous);

    // A node's port list (node_ports.hpp). configured_ports sets `*key` and
    // `*entries` (a list of (configuration, name) tuples) to new references.
    int (*configured_ports)(PyObject *config, PyObject *key_attr, const char *label, PyObject **key,
                            PyObject **entries);
    int (*init_node_base)(PyObject *self, PyObject *config);
    // on_port(port, context) returns 0, or -1 with an error set.
    PyObject *(*build_ports)(PyObject *self, PyObject *ports_attr, PyObject *port_class, PyObject *entries,
                             int (*on_port)(PyObject *port, void *context), void *context);
    int (*store_port_configs)(PyObject *node, PyObject *key, PyObject *ports);

    // The shared scheduler (scheduler.hpp). task_attach returns a new Task that runs
    // run(task); set_port_task puts `task` (or null: none) on the input port's
    // queue and returns 1, or 0 when the port has no native queue.
    PyObject *(*task_attach)(PyObject *scheduler, PyObject *run);
    int (*task_detach)(PyObject *task);
    void (*task_schedule)(PyObject *task);
    int (*set_port_task)(PyObject *input_port, PyObject *task);
    // Around ONode.cycle(): the work it makes ready runs on this thread when the
    // outermost such cycle ends (carry_end, which may fail like a cycle).
    int (*carry_begin)(void);
    int (*carry_end)(int previous);
    void (*carry_abandon)(int previous);  // the cycle failed: the scheduler threads run it
    // A list of the node's bounded output queues; then 1 when the node may step,
    // or 0 with the task waiting on a full one (scheduler.cpp says which hold it).
    PyObject *(*bounded_outputs)(PyObject *node);
    int (*room_for_cycle)(PyObject *bounded, PyObject *task);
    // What the node module keeps on a task for its runs (a borrowed reference, or
    // null), set once; and whether the task has been detached (its node stopped).
    PyObject *(*task_plan)(PyObject *task);
    void (*task_set_plan)(PyObject *task, PyObject *plan);
    int (*task_detached)(PyObject *task);
    // 1 while this thread runs a node's cycles for a shared scheduler (a scheduler
    // thread, or a thread carrying what its cycle() made ready).
    int (*stepping_scheduled)(void);

    // Latency tracing (trace.hpp): a step begins at `start` (time.time() seconds)
    // and its pushes carry its origin until step_end(step_begin's result).
    double (*step_begin)(double start);
    void (*step_end)(double previous);

    // A scheduler thread about to step more of the same node offers what it has
    // queued meanwhile to a sleeping one.
    void (*offer_surplus)(void);

    // The node owning this input port starts: what release_port let go holds again.
    int (*reopen_port)(PyObject *input_port);

    // The most values a SYNC queue holds before pushes wait or drop; 0: unbounded
    // (also for a queue that keeps only the newest). Never fails.
    Py_ssize_t (*queue_capacity)(PortQueueState *queue);
    // The task's dispatch calls `run` with the node its bound _run_ready is bound
    // to, instead of calling that method (set by the node module when the method
    // is its own). Never fails.
    void (*task_set_native_run)(PyObject *task, NativeRun run);

    // node._cycle(data) (vertan's) and node._push_data(data) (exitran's) without the
    // method call: each module lends its own body with the method object its class
    // holds (borrowed: the class lives as long as the process), and a caller whose
    // lookup finds that very object may call the body instead. Neither fails;
    // lent_method gives null until the module has lent it.
    void (*lend_method)(NativeEntry which, PyObject *method, NativeMethod body);
    NativeMethod (*lent_method)(NativeEntry which, PyObject **method);
};

} // namespace vx

namespace port_api {

// 0, or -1 with the error set: how C++ code answers across the table, where no C++
// exception may pass (each module has its own copies of their types). A forced
// unwind (a daemon thread ended at exit) goes on untouched, as through the
// trampolines of method.hpp.
template <typename Body>
int status_of(Body &&body) {
    try {
        body();
        return 0;
    } catch (vx::forced_unwind &) {
        throw;
    } catch (...) {
        vx::translate_exception();
        return -1;
    }
}

// This module's pointer to the table, set by import_api().
inline const vx::PortApi *table = nullptr;

inline const vx::PortApi &api() { return *table; }

// The table behind `pointer` (a capsule's), or ImportError when this module cannot
// use it.
inline const vx::PortApi *checked_api(void *pointer) {
    const auto *found = (const vx::PortApi *)pointer;
    if (found->version != vx::port_api_version)
        vx::raise(PyExc_ImportError,
                  "%s is version %u, this module needs version %u: rebuild the extension modules together",
                  vx::port_api_name, found->version, vx::port_api_version);
    if (found->size < sizeof(vx::PortApi))
        vx::raise(PyExc_ImportError,
                  "%s has %zu bytes, this module needs at least %zu: rebuild the extension modules together",
                  vx::port_api_name, found->size, sizeof(vx::PortApi));
    return found;
}

// The check of checked_api on `capsule`, a capsule named port_api_name.
inline const vx::PortApi *checked_capsule(nb::handle capsule) {
    void *pointer = PyCapsule_GetPointer(capsule.ptr(), vx::port_api_name);
    if (!pointer)
        vx::throw_error_already_set();
    return checked_api(pointer);
}

// In the module's set-up: imports the port module and takes its table. Not through
// PyCapsule_Import, which walks velarix.imp.portan attribute by attribute: while the
// package loads, velarix has no attribute `imp` yet.
inline void import_api() {
    try {
        nb::object module = vx::steal_call([] { return PyImport_ImportModule("velarix.imp.portan"); });
        table = checked_capsule(vx::steal_call([&] { return PyObject_GetAttrString(module.ptr(), "_C_API"); }));
    } catch (nb::python_error &error) {
        if (error.matches(PyExc_ImportError))
            throw;
        vx::raise(PyExc_ImportError, "%s is not available: %S", vx::port_api_name, error.value().ptr());
    }
}

inline void check(int status) {
    if (status < 0)
        vx::throw_error_already_set();
}

inline void push_to_links(nb::handle output_port, nb::handle value, nb::handle pusher) {
    check(api().push_to_links(output_port.ptr(), value.ptr(), pusher.ptr()));
}

inline void count_skip(nb::handle output_port) { check(api().count_skip(output_port.ptr())); }

inline vx::PortQueueState *queue_state(nb::handle values) {
    return values.is_valid() ? api().queue_state(values.ptr()) : nullptr;
}

inline bool queue_empty(vx::PortQueueState *queue) { return api().queue_length(queue) == 0; }

inline Py_ssize_t queue_length(vx::PortQueueState *queue) { return api().queue_length(queue); }

inline Py_ssize_t queue_capacity(vx::PortQueueState *queue) { return api().queue_capacity(queue); }

inline PyObject *queue_pop(vx::PortQueueState *queue) { return api().queue_pop(queue); }

inline void release_port(nb::handle input_port) { check(api().release_port(input_port.ptr())); }

inline void reopen_port(nb::handle input_port) { check(api().reopen_port(input_port.ptr())); }

inline void event_wait(nb::handle event) { check(api().event_wait(event.ptr())); }

inline void event_clear(nb::handle event) { check(api().event_clear(event.ptr())); }

// Before anything that may block or run other code.
inline void release_held_wakes() { api().release_held_wakes(); }

// For the life of a worker's loop: this thread may hold wake-ups back; whatever
// way the loop ends, those still held go out.
class WorkerWakes {
public:
    WorkerWakes() : wakes_(api().thread_wakes()) { api().worker_begin(wakes_); }
    ~WorkerWakes() { api().worker_end(wakes_); }
    void flush() { api().flush_wakes(wakes_); }
    WorkerWakes(const WorkerWakes &) = delete;
    WorkerWakes &operator=(const WorkerWakes &) = delete;

private:
    vx::DeferredWakes *wakes_;
};

// For the life of the scope, pushes on a worker's thread hold their wake-ups back.
class DeferWakes {
public:
    DeferWakes() : wakes_(api().thread_wakes()), was_(api().defer_begin(wakes_)) {}
    ~DeferWakes() { api().defer_end(wakes_, was_); }
    DeferWakes(const DeferWakes &) = delete;
    DeferWakes &operator=(const DeferWakes &) = delete;

private:
    vx::DeferredWakes *wakes_;
    int was_;
};

// The list under config.Keys.<key_attr>, checked before the node exists.
struct ConfiguredPorts {
    nb::object key;
    nb::object entries;  // list of (configuration, name)
};

inline ConfiguredPorts configured_ports(nb::handle config, nb::handle key_attr, const char *label) {
    PyObject *key = nullptr, *entries = nullptr;
    check(api().configured_ports(config.ptr(), key_attr.ptr(), label, &key, &entries));
    return {nb::steal(key), nb::steal(entries)};
}

inline void init_node_base(nb::handle self, nb::handle config) {
    check(api().init_node_base(self.ptr(), config.ptr()));
}

// One port per entry, from the public `port_class`, into a new dict set as
// self.<ports_attr>; `on_port(port)` runs for each before it is registered.
template <typename OnPort>
nb::object build_ports(nb::handle self, nb::handle ports_attr, nb::handle port_class,
                       const nb::object &entries, OnPort on_port) {
    auto call = [](PyObject *port, void *context) -> int {
        return status_of([&] { (*(OnPort *)context)(nb::handle(port)); });
    };
    return vx::steal_or_throw(
        api().build_ports(self.ptr(), ports_attr.ptr(), port_class.ptr(), entries.ptr(), call, &on_port));
}

inline void store_port_configs(nb::handle node, nb::handle key, nb::handle ports) {
    check(api().store_port_configs(node.ptr(), key.ptr(), ports.ptr()));
}

// get_port(port_name) of a node whose ports are in self.<ports_attr>: ValueError
// "<Kind> port '<name>' not found." for another name.
inline nb::object named_port(const vx::Call &call, nb::handle ports_attr, const char *kind) {
    static constexpr vx::Params<1> params{"get_port", {"port_name"}};
    auto [port_name] = call.bind(params);
    vx::require_str(port_name, "port_name");
    nb::object port = vx::lookup(vx::getattr(call.self, ports_attr), port_name);
    if (!port.is_valid())
        vx::raise(PyExc_ValueError, "%s port '%U' not found.", kind, port_name);
    return port;
}

inline nb::object task_attach(nb::handle scheduler, nb::handle run) {
    return vx::steal_or_throw(api().task_attach(scheduler.ptr(), run.ptr()));
}

inline void task_detach(nb::handle task) { check(api().task_detach(task.ptr())); }

inline void task_schedule(nb::handle task) { api().task_schedule(task.ptr()); }

// True when the port's queue took the task.
inline bool set_port_task(nb::handle input_port, nb::handle task) {
    const int status = api().set_port_task(input_port.ptr(), task.ptr());
    check(status);
    return status == 1;
}

inline nb::handle task_plan(nb::handle task) { return api().task_plan(task.ptr()); }

inline void task_set_plan(nb::handle task, nb::handle plan) { api().task_set_plan(task.ptr(), plan.ptr()); }

inline bool task_detached(nb::handle task) { return api().task_detached(task.ptr()) != 0; }

inline void task_set_native_run(nb::handle task, vx::NativeRun run) { api().task_set_native_run(task.ptr(), run); }

// The body lent for `which`, with the method object it stands for in `*method`;
// null while none is lent.
inline vx::NativeMethod lent_method(vx::NativeEntry which, PyObject **method) {
    return api().lent_method(which, method);
}

inline void lend_method(vx::NativeEntry which, nb::handle method, vx::NativeMethod body) {
    api().lend_method(which, method.ptr(), body);
}

inline bool stepping_scheduled() { return api().stepping_scheduled() != 0; }

inline void offer_surplus() { api().offer_surplus(); }

// For the life of a step: what it pushes carries its origin, the oldest of the
// values it took (else its start).
class StepOrigin {
public:
    explicit StepOrigin(double start) : previous_(api().step_begin(start)) {}
    ~StepOrigin() { api().step_end(previous_); }
    StepOrigin(const StepOrigin &) = delete;
    StepOrigin &operator=(const StepOrigin &) = delete;

private:
    double previous_;
};

inline nb::object bounded_outputs(nb::handle node) { return vx::steal_or_throw(api().bounded_outputs(node.ptr())); }

inline bool room_for_cycle(nb::handle bounded, nb::handle task) {
    return api().room_for_cycle(bounded.ptr(), task.ptr()) != 0;
}

// For the life of a cycle() call: what it makes ready runs on this thread once
// the outermost one is done; end() runs it and may raise as a cycle does.
class Carry {
public:
    Carry() : previous_(api().carry_begin()) {}
    void end() {
        ended_ = true;
        check(api().carry_end(previous_));
    }
    ~Carry() {
        if (!ended_)
            api().carry_abandon(previous_);
    }
    Carry(const Carry &) = delete;
    Carry &operator=(const Carry &) = delete;

private:
    int previous_;
    bool ended_ = false;
};

} // namespace port_api
