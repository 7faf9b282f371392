// The shared scheduler (scheduler.hpp): the Scheduler and Task types, how a task is
// readied, and the loop of a scheduler thread.
#include "portan/scheduler/scheduler.hpp"
#include "common/interpreter_lock.hpp"
#include "common/python_lock.hpp"

#include <algorithm>
#include <chrono>
#include <thread>

#include "portan/ports/port_queue.hpp"

namespace vx {
namespace {

// Dispatches a thread makes from its own work before it looks at the shared list:
// a chain that is always ready cannot keep the others waiting (a node itself runs
// a bounded number of cycles per dispatch, intaran's cycle_budget).
constexpr unsigned long fairness_turns = 64;
// Dispatches a cycle() carries before it hands the rest to the scheduler threads.
constexpr int carry_limit = 256;

PyObject *new_ref(PyObject *object) {
    Py_INCREF(object);
    return object;
}

// Wakes one sleeping scheduler thread, if any.
void wake_one(SchedulerState &s) {
    if (s.sleeping == 0)
        return;
    {
        std::lock_guard<std::mutex> guard(s.mutex);
        ++s.wake_seq;
    }
    s.wake.notify_one();
}

// Tells every thread, asleep or not, whether to end.
void set_stopping(SchedulerState &s, bool value) {
    {
        std::lock_guard<std::mutex> guard(s.mutex);
        s.stopping = value;
        ++s.wake_seq;
    }
    s.wake.notify_all();
}

void enqueue_shared(SchedulerState &s, PyObject *task) {
    s.shared.push_back(new_ref(task));
    wake_one(s);
}

// The task the runner should run next (a new reference), or nullptr. `shared`:
// also from the shared list and other threads' own lists (a scheduler thread).
PyObject *next_task(Runner &r, SchedulerState *s) {
    if (s && r.chained >= fairness_turns && !s->shared.empty()) {
        r.chained = 0;
        if (r.next) {
            r.own.push_back(r.next);
            r.next = nullptr;
        }
        PyObject *task = s->shared.front();
        s->shared.pop_front();
        return task;
    }
    if (r.next) {
        ++r.chained;
        PyObject *task = r.next;
        r.next = nullptr;
        return task;
    }
    if (!r.own.empty()) {
        ++r.chained;
        PyObject *task = r.own.front();
        r.own.pop_front();
        return task;
    }
    if (!s)
        return nullptr;
    r.chained = 0;
    if (!s->shared.empty()) {
        PyObject *task = s->shared.front();
        s->shared.pop_front();
        return task;
    }
    // Another thread's surplus: it is busy in a step (or stepping something else).
    for (Runner *other : s->runners) {
        if (other == &r)
            continue;
        if (!other->own.empty()) {
            PyObject *task = other->own.front();
            other->own.pop_front();
            return task;
        }
        if (other->next && other->stepping > 0) {
            PyObject *task = other->next;
            other->next = nullptr;
            return task;
        }
    }
    return nullptr;
}

// Back on this runner's own list, behind what is waiting there.
void requeue_own(Runner &r, PyObject *task, TaskData &t) {
    t.state = TaskState::queued;
    r.own.push_back(new_ref(task));
    if (r.scheduler && r.own.size() >= 2)
        wake_one(*r.scheduler);  // surplus another thread may take
}

void detach_data(TaskData &t) {
    if (t.detached)
        return;
    t.detached = true;
    if (SchedulerState *s = scheduler_state(t.scheduler)) {
        // The last node has left (stopped, or by the monitoring thread's stop): the
        // threads end; a node that starts on it again starts them anew.
        if (--s->attached == 0 && !s->stopping) {
            s->idle_stop = true;
            set_stopping(*s, true);
        }
    }
    // Released last: it may hold the node, whose release may run code.
    PyObject *run = t.run, *plan = t.plan;
    t.run = t.plan = nullptr;
    Py_XDECREF(run);
    Py_XDECREF(plan);
}

// One dispatch of `task` (a new reference, consumed) on this runner's thread.
void run_task(Runner &r, PyObject *task) {
    nb::object held = nb::steal(task);
    TaskData &t = *task_data(task);
    if (t.detached || !t.run) {
        t.state = TaskState::idle;
        return;
    }
    if (SchedulerState *s = scheduler_state(t.scheduler))
        ++s->dispatched;
    t.state = TaskState::running;
    t.again = false;
    ++t.running_on;
    t.running_thread = PyThread_get_thread_ident();
    nb::object run = nb::borrow(t.run);
    long code = (long)RunResult::idle;
    ++r.stepping;
    try {
        if (t.native_run && PyCFunction_Check(run.ptr())) {
            // The node module's own _run_ready, without the method call.
            code = t.native_run(PyCFunction_GET_SELF(run.ptr()), task);
            if (code < 0)
                throw_error_already_set();
        } else {
            nb::object result = vx::call(run, nb::handle(task));
            code = PyLong_Check(result.ptr()) ? PyLong_AsLong(result.ptr()) : (long)RunResult::ended;
            if (code == -1 && PyErr_Occurred()) {
                PyErr_Clear();
                code = (long)RunResult::ended;
            }
        }
    } catch (...) {
        --r.stepping;
        --t.running_on;
        t.state = TaskState::idle;
        throw;
    }
    --r.stepping;
    --t.running_on;
    if (t.detached) {
        t.state = TaskState::idle;
    } else if (code == (long)RunResult::ended) {
        t.state = TaskState::idle;
        detach_data(t);
    } else if (code == (long)RunResult::more || t.again) {
        requeue_own(r, task, t);
    } else if (code == (long)RunResult::blocked) {
        t.state = TaskState::blocked;
    } else {
        t.state = TaskState::idle;
    }
}

// Hands what a runner still holds to the tasks' shared lists: a carrier that was
// interrupted, a scheduler thread that ends.
void hand_over(Runner &r) {
    std::deque<PyObject *> held;
    if (r.next)
        held.push_back(r.next);
    r.next = nullptr;
    for (PyObject *task : r.own)
        held.push_back(task);
    r.own.clear();
    for (PyObject *task : held) {
        TaskData &t = *task_data(task);
        SchedulerState *s = scheduler_state(t.scheduler);
        if (s && !t.detached && !s->stopping)
            enqueue_shared(*s, task);
        else
            t.state = TaskState::idle;
        Py_DECREF(task);
    }
}

// Sleeps, without the interpreter lock, until work is put on the shared list or
// the scheduler stops.
void sleep_until_woken(SchedulerState &s) {
    unsigned long seen;
    {
        std::lock_guard<std::mutex> guard(s.mutex);
        seen = s.wake_seq;
        ++s.sleeping;
    }
    without_interpreter_lock([&] {
        std::unique_lock<std::mutex> hold(s.mutex);
        s.wake.wait(hold, [&] { return s.wake_seq != seen || s.stopping; });
        --s.sleeping;
    });
}

// Read with the interpreter lock held, which every write of the flag holds too.
bool stopping(const SchedulerState &s) { return s.stopping; }

// The body of a scheduler thread.
void scheduler_loop(SchedulerState &s) {
    Runner &r = this_runner();
    r.scheduler = &s;
    s.runners.push_back(&r);
    const unsigned long generation = s.generation;
    try {
        while (!stopping(s) && s.generation == generation) {
            PyObject *task = next_task(r, &s);
            if (!task) {
                sleep_until_woken(s);
                continue;
            }
            try {
                run_task(r, task);
            } catch (nb::python_error &error) {
                // The node's run guards its own failures; what still comes (an
                // exit request, an interrupt) is no node's to handle here.
                vx::report_unraisable(error, nb::handle());
            }
        }
    } catch (...) {
        s.runners.erase(std::remove(s.runners.begin(), s.runners.end(), &r), s.runners.end());
        hand_over(r);
        r.scheduler = nullptr;
        throw;
    }
    s.runners.erase(std::remove(s.runners.begin(), s.runners.end(), &r), s.runners.end());
    hand_over(r);
    r.scheduler = nullptr;
}

} // namespace

void schedule_task(PyObject *task) noexcept {
    TaskData *t = task_data(task);
    if (!t || t->detached)
        return;
    switch (t->state) {
        case TaskState::running:
            t->again = true;
            return;
        case TaskState::queued:
            return;
        case TaskState::idle:
        case TaskState::blocked:
            break;
    }
    SchedulerState *s = scheduler_state(t->scheduler);
    if (!s)
        return;
    t->state = TaskState::queued;
    Runner &r = this_runner();
    const bool takes = r.scheduler ? r.scheduler == s : (r.carrying > 0 && s->carry);
    if (!takes) {
        enqueue_shared(*s, task);
        return;
    }
    if (!r.next) {
        r.next = new_ref(task);
        return;
    }
    requeue_own(r, task, *t);
}

namespace {

// The scheduler's side of what the input queues announce (port_queue.hpp): an
// arrival readies the reader's task, freed room the tasks that wait for it.
class SchedulerListener final : public QueueListener {
public:
    void value_arrived(PyObject *reader_task) noexcept override { schedule_task(reader_task); }
    void room_freed(PyObject *waiting_task) noexcept override { schedule_task(waiting_task); }
    bool push_must_not_wait() const override { return must_not_wait_for_room(); }
};

SchedulerListener scheduler_listener;

} // namespace

void listen_to_queues() { queue_listener = &scheduler_listener; }

void offer_surplus() noexcept {
    Runner &r = this_runner();
    if (r.scheduler && r.has_work())
        wake_one(*r.scheduler);
}

int carry_begin() noexcept {
    Runner &r = this_runner();
    return r.carrying++;
}

void carry_end(int previous) {
    Runner &r = this_runner();
    r.carrying = previous;
    if (previous > 0 || r.scheduler)
        return;  // an outer cycle, or the scheduler loop, runs what is waiting
    ++r.carrying;  // what the carried runs make ready is carried too
    try {
        int runs = 0;
        while (PyObject *task = next_task(r, nullptr)) {
            run_task(r, task);
            if (++runs >= carry_limit && r.has_work()) {
                hand_over(r);  // always ready: the scheduler threads go on with it
                break;
            }
        }
    } catch (...) {
        --r.carrying;
        hand_over(r);
        throw;
    }
    --r.carrying;
}

void carry_abandon(int previous) noexcept {
    Runner &r = this_runner();
    r.carrying = previous;
    if (previous == 0 && !r.scheduler)
        hand_over(r);  // to the scheduler threads
}

nb::object attach_task(nb::handle scheduler, nb::handle run) {
    SchedulerState *s = scheduler_state(scheduler.ptr());
    if (!s)
        raise(PyExc_TypeError, "_scheduler must be a Scheduler, not %.200s", Py_TYPE(scheduler.ptr())->tp_name);
    nb::object made = make_native<TaskData>(task_type());
    TaskData &t = native_state<TaskData>(made.ptr());
    t.scheduler = new_ref(scheduler.ptr());
    t.run = new_ref(run.ptr());
    ++s->attached;
    // Its threads ended when the last node left: this node brings them back.
    if (s->idle_stop)
        vx::call_method(scheduler, names::start);
    return made;
}

namespace {

// The threads waiting in detach_task for a run on another thread, each with the
// thread it waits for: under the interpreter lock.
struct DetachWait {
    unsigned long thread, waits_for;
};
std::vector<DetachWait> detach_waits;

// Whether `from` waits, through threads that wait in turn, for thread `me`.
bool waits_for_me(unsigned long from, unsigned long me) {
    for (size_t hops = 0; hops <= detach_waits.size(); ++hops) {
        if (from == me)
            return true;
        auto found = std::find_if(detach_waits.begin(), detach_waits.end(),
                                  [&](const DetachWait &w) { return w.thread == from; });
        if (found == detach_waits.end())
            return false;
        from = found->waits_for;
    }
    return false;
}

class WaitingFor {
public:
    WaitingFor(unsigned long me, unsigned long other) : me_(me) { detach_waits.push_back({me, other}); }
    ~WaitingFor() {
        for (auto at = detach_waits.begin(); at != detach_waits.end(); ++at)
            if (at->thread == me_) {
                detach_waits.erase(at);
                break;
            }
    }
    WaitingFor(const WaitingFor &) = delete;
    WaitingFor &operator=(const WaitingFor &) = delete;

private:
    unsigned long me_;
};

} // namespace

void detach_task(nb::handle task) {
    TaskData *t = task_data(task.ptr());
    if (!t)
        return;
    detach_data(*t);
    // A run in progress on another thread ends with the cycle it is in; on this
    // thread (a step that stops its own node) it ends when the step returns. So
    // does a run whose thread is itself waiting here for this one (two steps that
    // stop each other's nodes): waiting too would hold both for ever.
    const unsigned long me = PyThread_get_thread_ident();
    if (t->running_on == 0 || t->running_thread == me || waits_for_me(t->running_thread, me))
        return;
    WaitingFor waiting(me, t->running_thread);
    while (t->running_on > 0)
        without_interpreter_lock([] { std::this_thread::sleep_for(std::chrono::milliseconds(1)); });
}

nb::object bounded_outputs(nb::handle node) {
    // Most nodes have none: one empty list, never changed, answers for all of them.
    static Kept none;
    nb::handle empty = none.get_or_make([] { return steal_or_throw(PyList_New(0)); });
    if (bounded_queues == 0)
        return nb::borrow(empty);
    nb::object ports = own_entry(node, names::output_ports_);
    if (!ports.is_valid() || !PyDict_Check(ports.ptr()))
        return nb::borrow(empty);
    nb::object bounded;
    for_each_item(ports, [&](nb::handle, nb::handle port) {
        nb::object links = vx::getattr_or_none(port, names::connected_ports_);
        if (!PyList_CheckExact(links.ptr()))
            return true;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(links.ptr()); ++i) {
            nb::object input = nb::borrow(PyList_GET_ITEM(links.ptr(), i));
            nb::object values = own_entry(input, names::values_);
            PortQueueState *q = queue_state(values);
            if (!q || !is_bounded(*q))
                continue;
            if (!bounded.is_valid())
                bounded = steal_or_throw(PyList_New(0));
            check_status(PyList_Append(bounded.ptr(), values.ptr()));  // no Python code: a list of ours
        }
        return true;
    });
    return bounded.is_valid() ? bounded : nb::borrow(empty);
}

// A full queue holds the producer back when its pushes would wait, and when its
// reader is ready on a shared scheduler and only waits for its turn: then the
// reader runs first, and neither drop_oldest nor raise meets a queue that only the
// order of the runs let fill. A reader that is stepping (slow itself), or has a
// thread of its own, meets the policy as configured.
bool room_for_cycle(nb::handle bounded, PyObject *task) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(bounded.ptr()); ++i) {
        PortQueueState *q = queue_state(PyList_GET_ITEM(bounded.ptr(), i));
        if (!q || !full_for_producers(*q))
            continue;
        if (!blocks_when_full(*q)) {
            const TaskData *reader = task_data(reader_task(*q));
            if (!reader || reader->state != TaskState::queued)
                continue;  // a reader that is slow itself meets the policy
        }
        wait_for_room_as(*q, task);
        return false;
    }
    return true;
}

int TaskData::traverse(visitproc visit, void *arg) const {
    Py_VISIT(scheduler);
    Py_VISIT(run);
    Py_VISIT(plan);
    return 0;
}

void TaskData::clear() {
    detach_data(*this);
    Py_CLEAR(scheduler);
}

int SchedulerState::traverse(visitproc visit, void *arg) const {
    Py_VISIT(thread_list.ptr());
    Py_VISIT(turn.ptr());
    for (PyObject *task : shared)
        Py_VISIT(task);
    return 0;
}

void SchedulerState::clear() {
    while (!shared.empty()) {
        PyObject *task = shared.front();
        shared.pop_front();
        Py_DECREF(task);
    }
    vx::clear(thread_list);
    vx::clear(turn);
}

} // namespace vx

// ---- the Python types -------------------------------------------------------------

namespace portan {
namespace {

using vx::Scheduler;
using vx::SchedulerState;
using vx::Task;
using vx::TaskData;

nb::object scheduler_new(PyTypeObject *type, PyObject *args, PyObject *kwargs) {
    static const char *keywords[] = {"threads", "carry", nullptr};
    PyObject *threads = nullptr;
    int carry = 1;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|p:Scheduler", (char **)keywords, &threads, &carry))
        vx::throw_error_already_set();
    if (!PyLong_CheckExact(threads))
        vx::raise(PyExc_TypeError, "threads must be an int, not %.200s", Py_TYPE(threads)->tp_name);
    const long count = PyLong_AsLong(threads);
    if (count == -1 && PyErr_Occurred())
        vx::throw_error_already_set();
    if (count < 1 || count > 1024)
        vx::raise(PyExc_ValueError, "threads must be between 1 and 1024, got %ld", count);
    nb::object list = vx::steal_or_throw(PyList_New(0));
    nb::object self = vx::make_native<SchedulerState>(type);
    SchedulerState &s = vx::native_state<SchedulerState>(self.ptr());
    s.threads = (int)count;
    s.carry = carry != 0;
    s.thread_list = std::move(list);
    return self;
}

SchedulerState &state_of(const vx::Call &call) { return vx::native_state<SchedulerState>(call.self.ptr()); }

nb::object thread_list(const vx::Call &call) {
    const nb::object &list = state_of(call).thread_list;
    if (!list.is_valid())
        vx::raise(PyExc_RuntimeError, "the scheduler has been cleared");
    return list;
}

// Joins the threads of an earlier run (they end once stopped), except the current
// one, which stays listed: it ends after its step, and the next start() or stop()
// on another thread joins it. A thread leaves the list only once it has ended.
void join_threads(const vx::Call &call) {
    nb::object threads = thread_list(call);
    nb::object me = vx::current_thread();
    nb::object snapshot = vx::steal_or_throw(PyList_GetSlice(threads.ptr(), 0, PY_SSIZE_T_MAX));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(snapshot.ptr()); ++i) {
        nb::object thread = nb::borrow(PyList_GET_ITEM(snapshot.ptr(), i));
        if (!thread.is(me) && vx::truthy(vx::call_method(thread, names::is_alive)))
            vx::call_method(thread, names::join);
    }
    for (Py_ssize_t i = PyList_GET_SIZE(threads.ptr()); i-- > 0;) {
        if (i >= PyList_GET_SIZE(threads.ptr()))
            continue;  // shortened by code a join let run
        nb::object thread = nb::borrow(PyList_GET_ITEM(threads.ptr(), i));
        if (!thread.is(me) && !vx::truthy(vx::call_method(thread, names::is_alive)))
            vx::check_status(PySequence_DelItem(threads.ptr(), i));  // no Python code: a list of ours
    }
}

// start() and stop() take turns on a lock of the scheduler's (waited for without
// the interpreter lock): a stop never joins threads that a concurrent start has
// just made, and each returns only once the threads it ended have ended.
//
// On one of the scheduler's own threads (a step that starts it) the turn is not
// waited for once the scheduler is stopping: whoever holds it then is joining the
// threads of the run, this one among them, and would wait for it for ever. That
// holder decides (a stop ends the run; a start makes a new one), as if this
// start() had come first.
class Turn {
public:
    Turn(const vx::Call &call, const SchedulerState *own) {
        nb::object &turn = state_of(call).turn;
        if (!turn.is_valid())
            turn = vx::call(vx::module_attr(vx::modules::threading, names::Lock));
        nb::object lock = turn;
        if (!own) {
            held_.try_acquire(lock, true);
            return;
        }
        nb::object slice = vx::steal_or_throw(PyFloat_FromDouble(0.005));
        while (!held_.try_acquire(lock, false)) {
            if (vx::stopping(*own) || held_.try_acquire(lock, true, slice))
                return;
        }
    }
    bool held() const { return held_.held(); }

private:
    vx::HeldLock held_;
};

nb::object scheduler_start(const vx::Call &call) {
    call.bind_none("start");
    SchedulerState &s = state_of(call);
    Turn turn(call, vx::this_runner().scheduler == &s ? &s : nullptr);
    if (!turn.held())
        return nb::none();  // stopping, by a stop or start that is joining this thread
    if (PyList_GET_SIZE(thread_list(call).ptr()) > 0 && !vx::stopping(s))
        return nb::none();  // running
    vx::set_stopping(s, true);  // threads of an earlier run end (one may be in a step still)
    join_threads(call);
    ++s.generation;
    s.idle_stop = false;
    vx::set_stopping(s, false);
    nb::object threads = thread_list(call);
    nb::object run = vx::getattr(call.self, names::run_);
    for (int i = 0; i < s.threads; ++i) {
        nb::object thread = vx::daemon_thread(run);
        nb::object name = vx::steal_or_throw(PyUnicode_FromFormat("velarix-scheduler-%d", i + 1));
        vx::setattr(thread, names::name, name);
        vx::check_status(PyList_Append(threads.ptr(), thread.ptr()));  // no Python code: a list of ours
        vx::call_method(thread, names::start);
    }
    return nb::none();
}

nb::object scheduler_stop(const vx::Call &call) {
    call.bind_none("stop");
    SchedulerState &s = state_of(call);
    vx::set_stopping(s, true);
    // From a step on one of its own threads: the others end too, and are joined by
    // whoever starts or stops it next (a start may hold the turn, joining this one).
    if (vx::this_runner().scheduler == &s)
        return nb::none();
    Turn turn(call, nullptr);
    vx::set_stopping(s, true);  // a start that held the turn may have set it going again
    join_threads(call);
    return nb::none();
}

nb::object scheduler_run(const vx::Call &call) {
    call.bind_none("_run");
    // One loop per thread: the runner is the thread's, and a loop inside a step
    // (or a carried cycle) would take it from the one that is running there.
    const vx::Runner &runner = vx::this_runner();
    if (runner.scheduler || runner.stepping > 0 || runner.carrying > 0)
        vx::raise(PyExc_RuntimeError, "_run() is a scheduler thread's loop: this thread already runs nodes");
    vx::scheduler_loop(state_of(call));
    return nb::none();
}

nb::object scheduler_get_stats(const vx::Call &call) {
    call.bind_none("get_stats");
    SchedulerState &s = state_of(call);
    nb::object stats = vx::steal_or_throw(PyDict_New());
    auto put = [&](const char *key, long long value) {
        nb::object number = vx::steal_or_throw(PyLong_FromLongLong(value));
        vx::check_status(PyDict_SetItemString(stats.ptr(), key, number.ptr()));  // no Python code: a new dict
    };
    put("threads", s.threads);
    put("nodes", s.attached);
    put("dispatched", (long long)s.dispatched);
    put("waiting", (long long)s.shared.size());
    return stats;
}

nb::object scheduler_threads(const vx::Call &call) {
    call.bind_none("get_threads");
    return vx::steal_or_throw(PyLong_FromLong(state_of(call).threads));
}

nb::object scheduler_is_running(const vx::Call &call) {
    call.bind_none("is_running");
    SchedulerState &s = state_of(call);
    return nb::bool_(PyList_GET_SIZE(thread_list(call).ptr()) > 0 && !vx::stopping(s));
}

PyMethodDef scheduler_methods[] = {
    VX_METHOD("start", scheduler_start, "Start the scheduler threads (a running scheduler: no effect)."),
    VX_METHOD("stop", scheduler_stop, "End the scheduler threads and wait for them."),
    VX_METHOD("_run", scheduler_run, "The loop of one scheduler thread."),
    VX_METHOD("get_stats", scheduler_get_stats,
              "threads, nodes on it, dispatches so far, and tasks waiting on the shared list."),
    VX_METHOD("get_threads", scheduler_threads, "How many threads the scheduler runs."),
    VX_METHOD("is_running", scheduler_is_running, "True between start() and stop()."),
    {nullptr, nullptr, 0, nullptr},
};

} // namespace

nb::object make_scheduler_type() {
    vx::listen_to_queues();
    return vx::make_native_type<SchedulerState>(
        {"velarix.imp.portan.Scheduler",
         "Scheduler(threads, carry=True): threads that run many input nodes' cycles.",
         {{Py_tp_new, (void *)vx::slot_new<scheduler_new>}, {Py_tp_methods, (void *)scheduler_methods}}});
}

nb::object make_task_type() {
    return vx::make_native_type<TaskData>(
        {"velarix.imp.portan.Task", "A node's place on a shared scheduler.", {}, Py_TPFLAGS_DISALLOW_INSTANTIATION});
}

// carried(function, *args): function(*args), and then, on this thread, the nodes on
// shared schedulers that it made ready, as ONode.cycle() runs them.
nb::object carried(const vx::Call &call) {
    if (call.nargs < 1 || call.kwnames)
        vx::raise(PyExc_TypeError, "carried() takes a function and its positional arguments");
    const int previous = vx::carry_begin();
    nb::object result;
    try {
        const size_t count = (size_t)(call.nargs - 1);
        result = vx::steal_call([&] { return PyObject_Vectorcall(call.args[0], call.args + 1, count, nullptr); });
    } catch (...) {
        vx::carry_abandon(previous);
        throw;
    }
    vx::carry_end(previous);
    return result;
}

} // namespace portan
