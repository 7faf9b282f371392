// Start, stop and the worker loop.
//
// A worker serves one run: it keeps going only while the running flag is set and
// the node's `_thread` is still its own thread. A stop() that clears the flag
// therefore ends that worker for good, even when a start() on another thread sets
// the flag again before the worker looks, because that start() installs a new
// thread of its own.
#include <algorithm>
#include <utility>
#include <vector>

#include "common/runtime.hpp"
#include "input_node.hpp"
#include "portan/api/api.hpp"

namespace intaran {
namespace {

// An input port the worker reads without Python calls; `values` keeps its queue
// alive should a handler replace the port's _values during a batch.
struct NativePort {
    nb::object name, port, values;
    vx::PortQueueState *queue;
};

// True when class `type` finds, for each of the names, a C++ method made for class
// `owner` (one of the methods this package installs on it): the method has been
// neither overridden in a subclass nor replaced on the class. Remembered while the
// class keeps its version tag, which CPython renews on every change to a class or
// to one of its bases.
class OwnMethods {
public:
    OwnMethods(std::initializer_list<const vx::Kept *> names) : names_(names) {}

    bool of(PyTypeObject *type, nb::handle owner) {
        if (type == type_ && owner.ptr() == owner_ && version_ && vx::compat::type_version(type) == version_)
            return true;
        for (const vx::Kept *name : names_) {
            nb::object found = vx::getattr(nb::handle((PyObject *)type), *name);
            if (Py_TYPE(found.ptr()) != &PyMethodDescr_Type ||
                (PyObject *)PyDescr_TYPE(found.ptr()) != owner.ptr())
                return false;
        }
        // No reference is kept: a class made later at the same address has a new
        // version tag, so a stale entry can only miss.
        if (const unsigned int version = vx::compat::type_version(type))
            type_ = type, owner_ = owner.ptr(), version_ = version;
        return true;
    }

private:
    std::vector<const vx::Kept *> names_;
    PyTypeObject *type_ = nullptr;
    PyObject *owner_ = nullptr;
    unsigned int version_ = 0;
};

// None of the names is set on the instance itself, where it would shadow the method.
bool none_on_instance(nb::handle obj, std::initializer_list<nb::handle> names) {
    nb::object dict = vx::getattr(obj, names::dunder_dict);
    if (!PyDict_Check(dict.ptr()))
        return true;
    for (nb::handle name : names)
        if (vx::lookup(dict, name).is_valid())
            return false;
    return true;
}

// The node's input ports, when the worker may read them directly: the node's
// _is_data_available and _get_data are INodeImp's, and every port is a plain IPortImp
// with its own data_available, get and get_timing and its native queue. Otherwise
// empty, and the worker calls those methods as written. Asked at every wake-up.
std::vector<NativePort> native_ports(nb::handle self) {
    static OwnMethods node_methods{&names::is_data_available_, &names::get_data_};
    static OwnMethods port_methods{&names::data_available, &names::get, &names::get_timing};
    std::vector<NativePort> ports;
    if (!node_methods.of(Py_TYPE(self.ptr()), input_node_class) ||
        !none_on_instance(self, {names::is_data_available_, names::get_data_}))
        return ports;
    nb::object port_class = vx::module_attr(vx::modules::imp, names::IPortImp);
    nb::object input_ports = vx::getattr(self, names::input_ports_);
    if (!PyDict_CheckExact(input_ports.ptr()) || !PyType_Check(port_class.ptr()) ||
        !port_methods.of((PyTypeObject *)port_class.ptr(), port_class))  // IPortImp's own methods
        return ports;
    bool native = true;
    vx::for_each_item(input_ports, [&](nb::handle name, nb::handle port) {
        nb::object values;
        vx::PortQueueState *queue = nullptr;
        if (Py_TYPE(port.ptr()) == (PyTypeObject *)port_class.ptr() &&
            none_on_instance(port, {names::data_available, names::get, names::get_timing})) {
            values = vx::lookup(vx::getattr(port, names::dunder_dict), names::values_);
            queue = port_api::queue_state(values);
        }
        if (!queue) {
            native = false;
            return false;
        }
        ports.push_back({nb::borrow(name), nb::borrow(port), std::move(values), queue});
        return true;
    });
    if (!native)
        ports.clear();
    return ports;
}

bool all_have_data(const std::vector<NativePort> &ports) {
    for (const NativePort &p : ports)
        if (port_api::queue_empty(p.queue))
            return false;
    return true;
}

// What _get_data returns, read straight from the queues.
nb::object take_data(const std::vector<NativePort> &ports) {
    nb::object data = vx::steal_or_throw(PyDict_New());
    for (const NativePort &p : ports) {
        PyObject *value = port_api::queue_pop(p.queue);
        // Emptied by code that ran since the check: get() reports it as it would.
        nb::object taken = value ? nb::steal(value) : vx::call_method(p.port, names::get);
        vx::dict_set(data, p.name, taken);
    }
    return data;
}

// self._cycle(data): the node module's cycle without the method call where the
// node's _cycle is NodeImp's own (vertan decides, per step), else the method.
void cycle_node(nb::handle self, nb::handle data) {
    static vx::NativeMethod lent = nullptr;
    if (!lent) {
        PyObject *method = nullptr;
        lent = port_api::lent_method(vx::NativeEntry::cycle, &method);
    }
    if (lent)
        port_api::check(lent(self.ptr(), data.ptr()));
    else
        vx::call_method(self, names::cycle_, data);
}

// How far apart the queues of a node's input ports may drift without a word when
// none of them is bounded: a join fed by a branch that skips pairs values that do
// not belong together, and the surplus piles up.
constexpr Py_ssize_t unbounded_drift = 1000;

// After a step's inputs were taken: when the node's queues lie further apart than
// their (smallest) capacity, or unbounded_drift, one WARNING names the node and the
// two ports. Native reads only, unless it has something to say.
void check_drift(nb::handle self, const std::vector<NativePort> &ports) {
    if (ports.size() < 2)
        return;
    Py_ssize_t limit = unbounded_drift, most = -1, least = PY_SSIZE_T_MAX;
    size_t longest = 0, shortest = 0;
    for (size_t i = 0; i < ports.size(); ++i) {
        const Py_ssize_t length = port_api::queue_length(ports[i].queue);
        const Py_ssize_t capacity = port_api::queue_capacity(ports[i].queue);
        if (capacity > 0 && capacity < limit)
            limit = capacity;
        if (length > most)
            most = length, longest = i;
        if (length < least)
            least = length, shortest = i;
    }
    if (most - least <= limit || vx::getattr_or_none(self, names::warned_drift_).is(Py_True))
        return;
    vx::setattr(self, names::warned_drift_, Py_True);
    nb::object text = vx::formatted(
        "Node %U: its input queues have drifted apart, '%U' holding %zd values and '%U' %zd: the values "
        "it steps with together may not belong together (does a branch skip or drop values?).",
        vx::name_text(self).ptr(), ports[longest].name.ptr(), most, ports[shortest].name.ptr(), least);
    vx::write_log(self, names::WARNING, text);
}

// What all_ports_async asks through get_timing, read from the ports' _timing.
bool all_native_async(const std::vector<NativePort> &ports, nb::handle async) {
    for (const NativePort &p : ports)
        if (!vx::equals(vx::getattr(p.port, names::timing_), async))
            return false;
    return true;
}

template <typename Each>
void for_each_input_port(nb::handle self, Each &&each) {
    vx::for_each_item(vx::getattr(self, names::input_ports_), [&](nb::handle, nb::handle port) {
        each(port);
        return true;
    });
}

// The node starts: pushes into its full ports wait for room again.
void reopen_ports(nb::handle self) { for_each_input_port(self, port_api::reopen_port); }

// Pushes waiting for room in this node's ports stop waiting, and later ones do not
// wait while it stays stopped: the node stops.
void release_blocked_pushes(nb::handle self) { for_each_input_port(self, port_api::release_port); }

bool serves_current_run(nb::handle self, nb::handle me) {
    return vx::truthy(vx::getattr(self, names::is_thread_running_)) &&
           vx::getattr(self, names::thread_).is(me);
}

// True when every input port is ASYNC; asks the ports in order up to the first
// that is not.
bool all_ports_async(nb::handle self) {
    nb::object async = vx::constant(names::Timing, names::ASYNC);
    bool all = true;
    vx::for_each_item(vx::getattr(self, names::input_ports_), [&](nb::handle, nb::handle port) {
        all = vx::equals(vx::call_method(port, names::get_timing), async);
        return all;
    });
    return all;
}

// The threads inside join_stopped_worker, each with the worker it joins (both
// alive while the join lasts): under the interpreter lock.
std::vector<std::pair<PyObject *, PyObject *>> joins;

// Whether `from` joins, through threads that join in turn, the thread `me`.
bool joins_me(PyObject *from, PyObject *me) {
    for (size_t hops = 0; hops <= joins.size(); ++hops) {
        if (from == me)
            return true;
        auto found = std::find_if(joins.begin(), joins.end(), [&](const auto &join) { return join.first == from; });
        if (found == joins.end())
            return false;
        from = found->second;
    }
    return false;
}

class Joining {
public:
    Joining(PyObject *me, PyObject *worker) : me_(me) { joins.emplace_back(me, worker); }
    ~Joining() {
        auto found = std::find_if(joins.begin(), joins.end(), [&](const auto &join) { return join.first == me_; });
        if (found != joins.end())
            joins.erase(found);
    }
    Joining(const Joining &) = delete;
    Joining &operator=(const Joining &) = delete;

private:
    PyObject *me_;
};

// Joins the worker of a run that has just been stopped. The wake-up is repeated
// while it lives: a worker of a newer run shares the event and may clear the
// first signal before the old worker waits on it. A worker that is itself joining
// this thread (two handlers that stop each other's nodes) is not waited for: it
// ends at its next check, once this thread's step is done.
void join_stopped_worker(nb::handle thread, nb::handle event) {
    nb::object me = vx::current_thread();
    if (joins_me(thread.ptr(), me.ptr())) {
        vx::call_method(event, names::set);
        return;
    }
    Joining joining(me.ptr(), thread.ptr());
    nb::object slice = vx::steal_or_throw(PyFloat_FromDouble(0.1));
    // A thread not started yet finds its run stopped as soon as it starts.
    while (vx::truthy(vx::call_method(thread, names::is_alive))) {
        vx::call_method(thread, names::join, slice);
        vx::call_method(event, names::set);
    }
}

// ---- on a shared scheduler --------------------------------------------------------
//
// A node whose _scheduler is a Scheduler (the pipeline sets it) and whose ports the
// worker could read natively runs on the scheduler's threads instead of a worker of
// its own: its Task is readied by every arrival, and the scheduler calls
// _run_ready(task) to run its cycles. The flag keeps its meaning; _thread stays None.
// The ports are read as they are when the node starts: a node whose ports or
// reading methods are not the plain ones then keeps a worker thread.

// Cycles a node runs per dispatch before the others get their turn.
constexpr int cycle_budget = 32;

// What a run reads, found when the node starts and kept on its task.
struct Plan {
    std::vector<NativePort> ports;
    bool all_async;  // one cycle per wake-up, as the worker runs ASYNC ports
};

constexpr const char *plan_name = "velarix.imp.intaran.Plan";

void free_plan(PyObject *capsule) { delete (Plan *)PyCapsule_GetPointer(capsule, plan_name); }

Plan *plan_of(nb::handle task) {
    nb::handle capsule = port_api::task_plan(task);
    // Ours carry this very name pointer: a capsule of anyone else's is not a plan,
    // whatever its name says. Ours hold the plan as their context too, which is read
    // without comparing the names a second time.
    if (!capsule.is_valid() || !PyCapsule_CheckExact(capsule.ptr()) || PyCapsule_GetName(capsule.ptr()) != plan_name)
        return nullptr;
    return (Plan *)PyCapsule_GetContext(capsule.ptr());
}

int native_run_ready(PyObject *self, PyObject *task);

// Whether `run`, the node's _run_ready, is INodeImp's own bound to it: then the
// scheduler may call the dispatch natively. Any other (a subclass's override, an
// instance's own) is called as the method it is.
bool is_own_run_ready(nb::handle self, nb::handle run) {
    if (!PyCFunction_Check(run.ptr()) || PyCFunction_GET_SELF(run.ptr()) != self.ptr())
        return false;
    PyObject *own = PyDict_GetItemWithError(((PyTypeObject *)input_node_class.ptr())->tp_dict,  // no Python code: interned name
                                            names::run_ready_.ptr());
    if (!own) {
        PyErr_Clear();
        return false;
    }
    return Py_IS_TYPE(own, &PyMethodDescr_Type) &&
           ((PyMethodDescrObject *)own)->d_method->ml_meth == PyCFunction_GET_FUNCTION(run.ptr());
}

// Puts the node on `scheduler`; false (nothing changed) when its ports are not
// the plain ones the scheduler reads.
bool start_scheduled(nb::handle self, nb::handle scheduler) {
    std::vector<NativePort> ports = native_ports(self);
    if (ports.empty())
        return false;
    const bool all_async = all_native_async(ports, vx::constant(names::Timing, names::ASYNC));
    auto *plan = new Plan{std::move(ports), all_async};
    nb::object capsule = nb::steal(PyCapsule_New(plan, plan_name, free_plan));
    if (!capsule.is_valid()) {
        delete plan;
        vx::throw_error_already_set();
    }
    vx::check_status(PyCapsule_SetContext(capsule.ptr(), plan));  // no Python code: our own capsule
    nb::object run = vx::getattr(self, names::run_ready_);
    nb::object task = port_api::task_attach(scheduler, run);
    port_api::task_set_plan(task, capsule);
    if (is_own_run_ready(self, run))
        port_api::task_set_native_run(task, native_run_ready);
    vx::setattr(self, names::scheduler_task_, task);
    vx::setattr(self, names::is_thread_running_, Py_True);
    for (const NativePort &p : plan->ports)
        port_api::set_port_task(p.port, task);
    port_api::task_schedule(task);  // values may be waiting already
    return true;
}

// Takes the node off its scheduler; waits for a run in progress on another thread.
void stop_scheduled(nb::handle self, nb::handle task) {
    vx::setattr(self, names::is_thread_running_, Py_False);
    vx::for_each_item(vx::getattr(self, names::input_ports_), [&](nb::handle, nb::handle port) {
        port_api::set_port_task(port, nb::handle());
        return true;
    });
    release_blocked_pushes(self);
    port_api::task_detach(task);
    if (vx::getattr_or_none(self, names::scheduler_task_).is(task))
        vx::setattr(self, names::scheduler_task_, Py_None);
}

// One dispatch: cycles while every port has data, up to the budget, until the
// node stops; it does not step while an output link that blocks when full has no
// room.
using Run = vx::RunResult;

Run run_cycles(nb::handle self, nb::handle task) {
    Plan *plan = plan_of(task);
    if (!plan)
        return Run::ended;
    // The plan is the task's: held while the cycles run, whatever they stop.
    nb::object held = nb::borrow(port_api::task_plan(task));
    nb::object bounded = port_api::bounded_outputs(self);
    const bool check_room = PyList_GET_SIZE(bounded.ptr()) > 0;
    for (int done = 0;; ++done) {
        if (port_api::task_detached(task) || !all_have_data(plan->ports))
            return Run::idle;
        if (done >= cycle_budget)
            return Run::more;
        if (done > 0)
            port_api::offer_surplus();  // what this node's pushes readied, another thread may run
        if (check_room && !port_api::room_for_cycle(bounded, task))
            return Run::blocked;
        nb::object data = take_data(plan->ports);
        check_drift(self, plan->ports);
        cycle_node(self, data);
        if (plan->all_async)
            return Run::idle;
    }
}

Run dispatch(nb::handle self, nb::handle task) {
    Run result = Run::ended;
    vx::guarded([&] { result = run_cycles(self, task); },
                // As the worker: the node runs no more; flag, state and condition stay.
                [&](nb::handle exception) {
                    vx::log_failure(self, exception);
                    result = Run::ended;
                });
    return result;
}

// _run_ready as the scheduler calls it across the port table: no C++ exception
// passes, as port_api::status_of.
int native_run_ready(PyObject *self, PyObject *task) {
    try {
        return (int)dispatch(self, task);
    } catch (vx::forced_unwind &) {
        throw;
    } catch (...) {
        vx::translate_exception();
        return -1;
    }
}

} // namespace

nb::object run_ready(const vx::Call &call) {
    static constexpr vx::Params<1> params{"_run_ready", {"task"}};
    auto [task] = call.bind(params);
    return vx::steal_or_throw(PyLong_FromLong((long)dispatch(call.self, task)));
}

nb::object start(const vx::Call &call) {
    call.bind_none("start");
    nb::handle self = call.self;
    // The base first: the worker's first cycle must find the node RUNNING.
    vx::call_super(input_node_class, self, names::start);
    reopen_ports(self);
    if (vx::truthy(vx::getattr(self, names::is_thread_running_)))
        return nb::none();
    nb::object scheduler = vx::getattr_or_none(self, names::scheduler_);
    if (!scheduler.is_none() && start_scheduled(self, scheduler))
        return nb::none();

    nb::object worker = vx::daemon_thread(vx::getattr(self, names::thread_function_));
    // Flag and thread are set with no Python code in between (making the thread
    // may switch threads), so a concurrent stop() sees both or neither. The old
    // thread object is released only afterwards, for the same reason.
    nb::object previous = vx::getattr(self, names::thread_);
    if (vx::truthy(vx::getattr(self, names::is_thread_running_)))
        return nb::none();
    vx::setattr(self, names::is_thread_running_, Py_True);
    vx::setattr(self, names::thread_, worker);
    try {
        vx::call_method(worker, names::start);
    } catch (nb::python_error &) {
        // No thread could be started: leave the node as if none was asked for, so
        // that a later start() tries again.
        if (vx::getattr(self, names::thread_).is(worker)) {
            vx::setattr(self, names::is_thread_running_, Py_False);
            vx::setattr(self, names::thread_, Py_None);
        }
        throw;
    }
    return nb::none();
}

nb::object stop(const vx::Call &call) {
    call.bind_none("stop");
    nb::handle self = call.self;
    nb::object task = vx::getattr_or_none(self, names::scheduler_task_);
    if (!task.is_none() && vx::truthy(vx::getattr(self, names::is_thread_running_))) {
        stop_scheduled(self, task);
    } else if (vx::truthy(vx::getattr(self, names::is_thread_running_))) {
        // The worker of the run being stopped, taken together with the flag.
        nb::object worker = vx::getattr(self, names::thread_);
        vx::setattr(self, names::is_thread_running_, Py_False);
        release_blocked_pushes(self);
        nb::object event = vx::getattr(self, names::thread_event_);
        vx::call_method(event, names::set);
        // Called from the worker itself (a handler that stops its node): it ends at
        // its next check; joining it here would wait for ever.
        if (!worker.is_none() && !vx::is_current_thread(worker))
            join_stopped_worker(worker, event);
        // Unless a concurrent start() has installed its own worker meanwhile.
        if (vx::getattr(self, names::thread_).is(worker))
            vx::setattr(self, names::thread_, Py_None);
    }
    vx::call_super(input_node_class, self, names::stop);
    return nb::none();
}

nb::object thread_function(const vx::Call &call) {
    call.bind_none("_thread_function");
    nb::handle self = call.self;
    port_api::WorkerWakes wakes;
    vx::guarded(
        [&] {
            nb::object me = vx::current_thread();
            while (serves_current_run(self, me)) {
                // ASYNC ports run one cycle per wake-up; otherwise cycles run back to
                // back while every port has data. The flag is checked per cycle so
                // that stop() does not wait for a backlog to drain.
                std::vector<NativePort> ports = native_ports(self);
                if (!ports.empty()) {
                    nb::object async = vx::constant(names::Timing, names::ASYNC);
                    while (serves_current_run(self, me) && all_have_data(ports)) {
                        // More to step: what the last cycle held back goes out now,
                        // so the next nodes need not wait for this batch.
                        wakes.flush();
                        nb::object data = take_data(ports);
                        check_drift(self, ports);
                        cycle_node(self, data);
                        if (all_native_async(ports, async))
                            break;
                    }
                } else {
                    while (serves_current_run(self, me) &&
                           vx::truthy(vx::call_method(self, names::is_data_available_))) {
                        nb::object data = vx::call_method(self, names::get_data_);
                        cycle_node(self, data);
                        // Whether another cycle follows is the ports' own methods to say,
                        // and they may block: wake the next nodes before asking them.
                        wakes.flush();
                        if (all_ports_async(self))
                            break;
                    }
                }
                if (!serves_current_run(self, me))
                    break;
                // Wake-ups still held back go out once this thread sleeps.
                nb::object event = vx::getattr(self, names::thread_event_);
                port_api::event_wait(event);
                port_api::event_clear(event);
            }
        },
        // The worker ends; the flag, the state and the condition stay as they are.
        [&](nb::handle exception) { vx::log_failure(self, exception); });
    return nb::none();
}

} // namespace intaran
