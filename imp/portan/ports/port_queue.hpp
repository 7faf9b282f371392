// The values waiting in an input port: a native queue object (`IPortImp._values`)
// that the node modules work on through the port module's C API (api.hpp), so a
// push from an output node and a read by the input node's worker need no Python call.
//
// All operations run with the interpreter lock held, which orders them as deque
// operations are ordered; only a push that blocks on a full queue lets the lock go
// and waits on the queue's own condition variable. The variable lives in the object,
// so a read by one node wakes a push waiting on behalf of another.
//
// Capacity: without one (the default) a SYNC queue keeps every value; an ASYNC queue
// keeps only the newest. With a capacity, a SYNC push into a full queue blocks until
// there is room (the default), drops the oldest value, or raises. A blocked push also
// ends when the port's node stops (release()) or when the node that pushes stops; it
// then queues its value beyond the capacity, so nothing is lost and stop() never
// waits on a full queue.
#pragma once

#include <chrono>
#include <cstddef>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <memory>
#include <new>
#include <vector>

#include "common/dict_version.hpp"
#include "portan/ports/event.hpp"
#include "portan/record/tap.hpp"
#include "portan/ports/trace.hpp"
#include "common/runtime.hpp"

namespace vx {

enum class Overflow { block, drop_oldest, raise };

// What a queue announces to whoever runs the nodes around it. The shared scheduler
// (scheduler.cpp) implements it; the queue holds its tasks as opaque objects and
// knows nothing else of it.
class QueueListener {
public:
    // A value arrived for the reader whose task the queue holds.
    virtual void value_arrived(PyObject *reader_task) noexcept = 0;
    // Room was freed (or the reader stopped) for a node that waits for it to step.
    virtual void room_freed(PyObject *waiting_task) noexcept = 0;
    // A push on this thread must not wait for room in a full queue: the reader
    // may be among the work that only this thread would run.
    virtual bool push_must_not_wait() const = 0;

protected:
    ~QueueListener() = default;
};

// Set once, when the module sets the scheduler up (before any task exists).
inline QueueListener *queue_listener = nullptr;

struct QueuedValue {
    PyObject *value;  // owned
    Stamp stamp;      // when it was pushed, and its origin (trace.hpp)
};

struct PortQueueState {
    std::deque<QueuedValue> items;  // oldest first
    Py_ssize_t capacity = 0;       // 0: unbounded
    Overflow overflow = Overflow::block;
    bool keep_newest = false;  // ASYNC
    // Under the interpreter lock: pushes waiting for room, and stops of the owning
    // node (a waiting push gives up when the count moves).
    int waiting = 0;
    unsigned long releases = 0;
    // The owning node has stopped and not started since: a push does not wait for
    // room that only that node would make.
    bool reader_stopped = false;
    // Under `mutex`: bumped by every read and release while a push waits, so a
    // waiter that let the interpreter lock go cannot miss its wake-up.
    std::mutex mutex;
    std::condition_variable room;
    unsigned long signals = 0;
    // Counted for the statistics: values queued, and values an ASYNC port replaced
    // or a drop-oldest port let go before anyone read them.
    unsigned long long received = 0;
    unsigned long long dropped = 0;
    // On the shared scheduler: the task of the node that reads this queue, announced
    // by each arrival, and the tasks of nodes that wait for room here before they
    // step, announced when room is freed (QueueListener). Owned references.
    PyObject *task = nullptr;
    std::vector<PyObject *> room_waiters;
    // How long the latest values waited and how old they were when taken.
    std::unique_ptr<LatencyRing> latency;

    // The native type's hooks (native_type.hpp), in module.cpp.
    int traverse(visitproc visit, void *arg) const;
    void clear();
    void dispose();
};

using PortQueue = Native<PortQueueState>;

// A SYNC queue with a capacity (under the interpreter lock).
inline bool is_bounded(const PortQueueState &q) { return q.capacity > 0 && !q.keep_newest; }

// How many such queues exist: while there are none, the shared scheduler need not
// look for room before a node steps.
inline long bounded_queues = 0;

// The queue's rules, from its port's configuration, set once when the port is made.
inline void set_queue_rules(PortQueueState &q, bool keep_newest, Py_ssize_t capacity, Overflow overflow) {
    bounded_queues -= is_bounded(q);
    q.keep_newest = keep_newest;
    q.capacity = capacity;
    q.overflow = overflow;
    bounded_queues += is_bounded(q);
}

// The getter CPython gives the __dict__ of every class statement's instances.
inline getter class_statement_dict_getter() {
    static getter known = [] {
        getter found = nullptr;
        // type("_", (), {}): no code of anyone else's runs.
        PyObject *type = (PyObject *)&PyType_Type;
        nb::object cls = nb::steal(exit_safe([&] { return PyObject_CallFunction(type, "s()N", "_", PyDict_New()); }));
        if (PyObject *descr = cls.is_valid() ? compat::type_lookup((PyTypeObject *)cls.ptr(), names::dunder_dict.ptr()) : nullptr)
            if (Py_IS_TYPE(descr, &PyGetSetDescr_Type))
                found = ((PyGetSetDescrObject *)descr)->d_getset->get;
        PyErr_Clear();
        return found;
    }();
    return known;
}

// obj.__dict__ without the attribute lookup, where that lookup would give the
// instance's own dict anyway: the default attribute protocol and the __dict__
// descriptor CPython itself provides. Borrowed, or null (then look it up).
// `in_class`, where given, remembers the class's __dict__ entry.
inline PyObject *plain_instance_dict(PyObject *obj, TypeEntry *in_class = nullptr) {
    PyTypeObject *type = Py_TYPE(obj);
    if (type->tp_getattro != PyObject_GenericGetAttr)
        return nullptr;
    PyObject *descr = in_class ? in_class->get(type, names::dunder_dict) : compat::type_lookup(type, names::dunder_dict.ptr());
    if (!descr || !Py_IS_TYPE(descr, &PyGetSetDescr_Type))
        return nullptr;
    getter get = ((PyGetSetDescrObject *)descr)->d_getset->get;
    if (get != PyObject_GenericGetDict && get != class_statement_dict_getter())
        return nullptr;
    PyObject **slot = compat::dict_ptr(obj);
    return slot && *slot && PyDict_Check(*slot) ? *slot : nullptr;
}

// obj.__dict__[name]: an empty object when the object has no instance dict (a
// stand-in with slots) or no such entry.
// With `seen`: the dict's answer remembered while it is unchanged.
template <size_t Bits>
inline nb::object own_entry(nb::handle obj, nb::handle name, SeenAttribute<Bits> *seen = nullptr) {
    if (PyObject *dict = plain_instance_dict(obj.ptr(), seen ? &seen->in_class : nullptr)) {
        if (seen)
            return seen_entry(seen->in_dicts, dict, name);
        nb::object held = nb::borrow(dict);
        return lookup(held, name);
    }
    PyObject *dict = exit_safe([&] { return PyObject_GetAttr(obj.ptr(), names::dunder_dict.ptr()); });
    if (!dict) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError))
            throw_error_already_set();
        PyErr_Clear();
        return nb::object();
    }
    nb::object held = nb::steal(dict);
    return lookup(held, name);
}

inline nb::object own_entry(nb::handle obj, nb::handle name) { return own_entry<1>(obj, name, nullptr); }

// The PortQueue object whose state `q` is.
inline PyObject *queue_object(PortQueueState &q) {
    return (PyObject *)((char *)&q - offsetof(PortQueue, state));
}

// Set by the module's set-up, before any queue exists.
inline Kept known_port_queue_type;

inline PyTypeObject *port_queue_type() { return (PyTypeObject *)known_port_queue_type.ptr(); }

// The queue behind `values` (an input port's _values), or nullptr when it is
// something else.
inline PortQueueState *queue_state(nb::handle values) {
    if (!values.is_valid() || Py_TYPE(values.ptr()) != port_queue_type())
        return nullptr;
    return &((PortQueue *)values.ptr())->state;
}

namespace port_queue_detail {

// Wakes pushes waiting for room, if any.
inline void signal(PortQueueState &q) {
    if (q.waiting == 0)
        return;
    std::lock_guard<std::mutex> guard(q.mutex);
    ++q.signals;
    q.room.notify_all();
}

// A push on behalf of `pusher` (a node, or null when unknown) stops waiting once that
// node is stopping: its worker's flag is cleared or its state is STOPPED.
inline bool pusher_stopping(nb::handle pusher) {
    if (!pusher.is_valid())
        return false;
    nb::object running = own_entry(pusher, names::is_thread_running_);
    if (running.is_valid() && running.is(Py_False))
        return true;
    return vx::equals(vx::getattr(pusher, names::state_), constant(names::States, names::STOPPED));
}

// Waits, without the interpreter lock, for a read or a release, at most 20 ms: the
// caller then looks at the pusher again, whose stop signals nothing here.
inline void wait_for_signal(PortQueueState &q) {
    unsigned long seen;
    {
        std::lock_guard<std::mutex> guard(q.mutex);
        seen = q.signals;
    }
    without_interpreter_lock([&] {
        std::unique_lock<std::mutex> hold(q.mutex);
        q.room.wait_for(hold, std::chrono::milliseconds(20), [&] { return q.signals != seen; });
    });
}

// Adds the seconds a push waited for room to the pusher's `_time_blocked`, so the
// statistics can tell a producer held back by a slow reader from one busy stepping.
inline void count_blocked_time(nb::handle pusher, std::chrono::steady_clock::time_point since) {
    if (!pusher.is_valid())
        return;
    const double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
    nb::object before = vx::getattr_or_none(pusher, names::time_blocked_);
    const double total = PyFloat_Check(before.ptr()) ? PyFloat_AS_DOUBLE(before.ptr()) + waited : waited;
    vx::setattr(pusher, names::time_blocked_, vx::steal_or_throw(PyFloat_FromDouble(total)));
}

// Blocks until the full queue has room, its node is released or the pusher stops.
// Wake-ups this thread holds back go out first: the reader that would make room
// may be among them.
inline void wait_for_room(PortQueueState &q, nb::handle pusher) {
    // A shared thread queues beyond the capacity instead: the reader may be among
    // the work that only this thread would run.
    if ((queue_listener && queue_listener->push_must_not_wait()) || q.reader_stopped)
        return;
    release_held_wakes();
    const unsigned long releases = q.releases;
    const auto since = std::chrono::steady_clock::now();
    ++q.waiting;
    try {
        while ((Py_ssize_t)q.items.size() >= q.capacity && q.releases == releases && !q.reader_stopped &&
               !pusher_stopping(pusher))
            wait_for_signal(q);
    } catch (...) {
        --q.waiting;
        throw;
    }
    --q.waiting;
    count_blocked_time(pusher, since);
}

} // namespace port_queue_detail

// Queues `value` by the port's rules; `port` names the port in an overflow error.
// Every path ends with the value queued, except RAISE on a full queue.
inline void port_queue_push(PortQueueState &q, nb::handle port, nb::handle value, nb::handle pusher,
                            const Stamp &stamp) {
    nb::object dropped;  // released after the queue is consistent again
    if (q.keep_newest) {
        if (!q.items.empty()) {
            dropped = nb::steal(q.items.front().value);
            q.items.pop_front();
            ++q.dropped;
        }
    } else if (q.capacity > 0 && (Py_ssize_t)q.items.size() >= q.capacity) {
        switch (q.overflow) {
            case Overflow::drop_oldest:
                dropped = nb::steal(q.items.front().value);
                q.items.pop_front();
                ++q.dropped;
                break;
            case Overflow::raise: {
                nb::object config = vx::getattr(port, names::config);
                nb::object name = vx::get_item(config, vx::getattr(vx::getattr(config, names::Keys), names::NAME));
                raise(PyExc_OverflowError, "Input port '%S' is full (capacity %zd).", name.ptr(), q.capacity);
            }
            case Overflow::block:
                port_queue_detail::wait_for_room(q, pusher);
                break;
        }
    }
    q.items.push_back({Py_NewRef(value.ptr()), stamp});
    ++q.received;
}

namespace port_queue_detail {

// Nodes on the shared scheduler that wait for room here may step again.
inline void announce_room(PortQueueState &q) {
    std::vector<PyObject *> waiting;
    waiting.swap(q.room_waiters);
    for (PyObject *task : waiting)
        queue_listener->room_freed(task);
    for (PyObject *task : waiting)
        Py_DECREF(task);
}

inline void ready_room_waiters(PortQueueState &q) {
    if (q.room_waiters.empty() || (Py_ssize_t)q.items.size() >= q.capacity)
        return;
    announce_room(q);
}

} // namespace port_queue_detail

// The oldest value (a new reference), or nullptr when the queue is empty.
// The step that takes it is about to begin: its sample is kept, and its origin
// counts for that step's pushes (trace.hpp).
inline PyObject *port_queue_pop(PortQueueState &q) {
    if (q.items.empty())
        return nullptr;
    QueuedValue taken = q.items.front();
    q.items.pop_front();
    PyObject *value = taken.value;
    if (tracing && taken.stamp.pushed > 0.0)
        record_taken(queue_object(q), q.latency, taken.stamp);
    port_queue_detail::signal(q);
    port_queue_detail::ready_room_waiters(q);
    return value;
}

// The owning node stops: pushes waiting now stop waiting.
inline void port_queue_release(PortQueueState &q) {
    ++q.releases;
    q.reader_stopped = true;
    port_queue_detail::signal(q);
    // Producers on the shared scheduler waiting for room may step again (and queue
    // beyond the capacity, as a released push does).
    if (!q.room_waiters.empty())
        port_queue_detail::announce_room(q);
}

// A bounded queue that is full while its reader still runs: producers wait for room.
inline bool full_for_producers(const PortQueueState &q) {
    return (Py_ssize_t)q.items.size() >= q.capacity && !q.reader_stopped;
}

inline bool blocks_when_full(const PortQueueState &q) { return q.overflow == Overflow::block; }

inline PyObject *reader_task(const PortQueueState &q) { return q.task; }

// `task` (once) waits for room here before its node steps: announced by room_freed.
inline void wait_for_room_as(PortQueueState &q, PyObject *task) {
    for (PyObject *other : q.room_waiters)
        if (other == task)
            return;
    q.room_waiters.push_back(Py_NewRef(task));
}

// The task of the node that reads the queue (or none): set and cleared by the
// node's start and stop.
inline void set_reader_task(PortQueueState &q, PyObject *task) {
    PyObject *old = q.task;
    q.task = task ? Py_NewRef(task) : nullptr;
    Py_XDECREF(old);
}

// The owning node starts (again): pushes wait for room as configured.
inline void port_queue_reopen(PortQueueState &q) { q.reader_stopped = false; }

// The input port's event handler. When it is the bound set() of a threading.Event
// (as the input node installs it), the event is set here without its Python frames,
// and not at all when it is set already: that would change nothing, and the worker
// clears the event before it looks at the ports again, so a value queued before
// this check is seen either way. So a batch of values costs one wake-up.
inline void notify_arrival(nb::handle port) {
    nb::object handler = vx::getattr(port, names::event_handler_);
    if (handler.is_none())
        return;
    nb::handle event;
    if (is_event_set(handler, event)) {
        nb::object flag = vx::lookup(vx::getattr(event, names::dunder_dict), names::flag_);
        if (!flag.is_valid() || !flag.is(Py_True))
            event_set(event);
        return;
    }
    release_held_wakes();  // the handler may wait on anything
    vx::call(handler);
}

// A value has been queued in `input_port`: the node that reads it learns of it. On
// the shared scheduler its task is readied (and runs next on this thread when this
// thread steps or carries nodes); otherwise its event handler wakes its worker.
inline void wake_reader(PortQueueState &queue, nb::handle input_port) {
    if (queue.task) {
        queue_listener->value_arrived(queue.task);
        return;
    }
    notify_arrival(input_port);
}

// Hands `value` to an input port on behalf of `pusher` (may be empty): into its
// native queue, then its event handler; a port without one takes it through its
// own _receive.
// `push_ns` is the push's time.time_ns(), 0 until a recorder tap needs it (read
// once for every tap of the push, with the stamp's clock reading when there is one).
inline void deliver(nb::handle input_port, nb::handle value, nb::handle pusher, const Stamp &stamp,
                    int64_t &push_ns) {
    static SeenAttribute<> seen_values;  // read on every push: an input port's _values rarely changes
    nb::object values = own_entry(input_port, names::values_, &seen_values);
    PortQueueState *queue = queue_state(values);
    if (!queue && is_record_tap(values.ptr())) {
        record_tap_receive(values.ptr(), value.ptr(), push_ns);
        return;
    }
    if (!queue) {
        // Its own _receive may block (a link to another process, when full) on a
        // node that waits for one of the wake-ups this thread holds back.
        release_held_wakes();
        vx::call_method(input_port, names::receive_, value);
        return;
    }
    port_queue_push(*queue, input_port, value, pusher, stamp);
    wake_reader(*queue, input_port);
}

// One more in the count `key` of `output_port` (its `_pushed` or `_skipped`), kept
// in its __dict__ for the statistics. The key is an interned exact string: no
// Python code runs.
// What the __dict__ held under the key is remembered in `seen` while it is unchanged.
inline void count_in(nb::handle output_port, nb::handle key, SeenValues<> &seen) {
    PyObject **slot = compat::dict_ptr(output_port.ptr());
    if (!slot || !*slot)
        return;
    PyObject *count = nullptr;
    if (!seen.found(*slot, count)) {
        count = PyDict_GetItemWithError(*slot, key.ptr());  // no Python code: an interned str key
        if (!count && PyErr_Occurred())
            throw_error_already_set();
        if (PyDict_CheckExact(*slot))
            seen.remember(*slot, count);
    }
    unsigned long long next = 1;
    // Only the __dict__ holds the count: it takes the next value itself (compat.hpp),
    // which spares an int and a store per push and leaves the __dict__ unchanged.
    if (count && Py_REFCNT(count) == 1)
        if (const unsigned long long seen = compat::one_digit_int(count))
            if (compat::set_one_digit_int(count, seen + 1))
                return;
    if (count && PyLong_CheckExact(count)) {
        unsigned long long seen = PyLong_AsUnsignedLongLong(count);
        if (PyErr_Occurred())
            PyErr_Clear();  // not a count of ours (negative, huge): start again
        else
            next = seen + 1;
    }
    nb::object value = steal_or_throw(PyLong_FromUnsignedLongLong(next));
    check_call([&] { return PyDict_SetItem(*slot, key.ptr(), value.ptr()); });  // the old value is released
}

inline void count_push(nb::handle output_port) {
    static SeenValues<> seen;
    count_in(output_port, names::pushed_, seen);
}

// A cycle in which `output_port` pushed nothing because the step said SKIP.
inline void count_skip(nb::handle output_port) {
    static SeenValues<> seen;
    count_in(output_port, names::skipped_, seen);
}

// output_port.push(value) for an output port of ours: to every linked input port,
// in link order, over a snapshot of the links (a relink replaces the list).
inline void push_to_links(nb::handle output_port, nb::handle value, nb::handle pusher) {
    count_push(output_port);
    int64_t push_ns = 0;
    const Stamp stamp = stamp_now(&push_ns);  // one push time for every link
    static SeenAttribute<> seen_links;  // read on every push: a relink stores a new list
    nb::object links = vx::own_attr(output_port, names::connected_ports_, seen_links);
    if (!PyList_CheckExact(links.ptr())) {
        for_each(links, [&](nb::handle input_port) { deliver(input_port, value, pusher, stamp, push_ns); });
        return;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(links.ptr()); ++i) {
        nb::object input_port = nb::borrow(PyList_GET_ITEM(links.ptr(), i));
        deliver(input_port, value, pusher, stamp, push_ns);
    }
}

} // namespace vx
