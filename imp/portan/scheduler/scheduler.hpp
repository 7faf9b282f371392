// The shared scheduler: a few threads that run the cycles of many input nodes, run
// to completion. When a cycle's push makes a downstream node ready, that node goes
// into the pushing thread's "next" slot and runs right after, on the same thread,
// without an operating-system wake-up; a chain of nodes thus runs on one thread
// until it has nothing more to do.
//
// Each scheduled node has a Task. An input port of the node holds the task in its
// native queue (PortQueueState::task); deliver() hands a value to the queue and
// readies the task instead of setting the node's event. Ready tasks wait, in this
// order: the thread's next slot, the thread's own list, the scheduler's shared list
// (where work from other threads arrives). An idle scheduler thread takes from the
// shared list, else from another scheduler thread's own list, else sleeps.
//
// Everything here runs with the interpreter lock held, which orders it; the mutex
// and condition variable serve only the sleeping threads, which wait without it.
// A shared thread never waits for room in a full port that only it could make:
// a node whose outputs have no room is not stepped but waits on the full queue
// (for drop_oldest and raise, only when the reader is scheduled too), and a push
// from a shared thread that finds a full queue anyway (another thread filled it
// since) queues beyond the capacity instead of waiting.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <vector>

#include "portan/api/api.hpp"
#include "common/native_type.hpp"
#include "common/runtime.hpp"
#include "common/thread_record.hpp"

namespace vx {

struct SchedulerState;

enum class TaskState { idle, queued, running, blocked };

struct TaskData {
    PyObject *scheduler = nullptr;  // owned: the Scheduler object
    PyObject *run = nullptr;        // owned: the node's bound _run_ready(task); null once detached
    PyObject *plan = nullptr;       // owned: what the node module keeps for its runs (opaque here)
    NativeRun native_run = nullptr;  // called with run's node in place of run, where set
    TaskState state = TaskState::idle;
    bool again = false;      // readied while running: run once more
    bool detached = false;   // the node stopped: never runs again
    int running_on = 0;      // threads inside its run (0 or 1)
    unsigned long running_thread = 0;  // PyThread_get_thread_ident() of that thread

    // The native type's hooks (native_type.hpp), in scheduler.cpp.
    int traverse(visitproc visit, void *arg) const;
    void clear();
};

using Task = Native<TaskData>;

// The scheduling of one thread: a scheduler thread's, or a thread that carries the
// work its own cycle() makes ready (push mode).
struct Runner {
    SchedulerState *scheduler = nullptr;  // set on a scheduler thread
    int carrying = 0;                     // > 0 inside a carrying cycle()
    PyObject *next = nullptr;             // owned Task: runs next
    std::deque<PyObject *> own;           // owned Tasks, oldest first
    unsigned long chained = 0;            // next-slot runs since the shared list was looked at
    int stepping = 0;                     // > 0 while a task runs on this thread

    bool has_work() const { return next != nullptr || !own.empty(); }
};

struct SchedulerState {
    int threads = 1;
    bool carry = true;  // a thread's cycle() runs what it makes ready itself
    std::deque<PyObject *> shared;    // owned Tasks, under the interpreter lock
    std::vector<Runner *> runners;    // the scheduler threads' runners, under the lock
    long attached = 0;                // tasks not detached
    unsigned long long dispatched = 0;  // task runs, for the statistics
    // Sleeping threads: under `mutex`, waited on without the interpreter lock.
    std::mutex mutex;
    std::condition_variable wake;
    unsigned long wake_seq = 0;
    // Also read with the interpreter lock alone: a waker looks whether anyone
    // sleeps, and a thread's loop whether to end (every write holds that lock too).
    std::atomic<int> sleeping{0};
    bool stopping = false;
    // Under the interpreter lock: renewed by each start(), so a thread of an earlier
    // run (one that stopped the pipeline from its own step) ends instead of serving
    // the new one; and whether the threads ended because the last node left.
    unsigned long generation = 0;
    bool idle_stop = false;
    nb::object thread_list;  // the threading.Thread objects of the current run
    nb::object turn;         // the threading.Lock start() and stop() take turns on

    // The native type's hooks (native_type.hpp), in scheduler.cpp.
    int traverse(visitproc visit, void *arg) const;
    void clear();
};

using Scheduler = Native<SchedulerState>;

inline Kept known_scheduler_type;
inline Kept known_task_type;

inline PyTypeObject *scheduler_type() { return (PyTypeObject *)known_scheduler_type.ptr(); }
inline PyTypeObject *task_type() { return (PyTypeObject *)known_task_type.ptr(); }

inline TaskData *task_data(PyObject *task) {
    if (!task || Py_TYPE(task) != task_type())
        return nullptr;
    return &((Task *)task)->state;
}

inline SchedulerState *scheduler_state(PyObject *scheduler) {
    if (!scheduler || Py_TYPE(scheduler) != scheduler_type())
        return nullptr;
    return &((Scheduler *)scheduler)->state;
}

// This thread's runner. Compiled into the port module alone: one per thread.
inline Runner &this_runner() { return thread_record<Runner>(); }

// Readies `task` (a Task): called by deliver() and by a read that makes room.
// Never runs Python code.
void schedule_task(PyObject *task) noexcept;

// A push on this thread must not wait for room: it is a shared thread, or it
// carries work that the reader of the full queue may be part of.
inline bool must_not_wait_for_room() {
    const Runner &runner = this_runner();
    return runner.scheduler != nullptr || (runner.carrying > 0 && runner.has_work());
}

// Makes the scheduler the listener of every input queue (port_queue.hpp).
void listen_to_queues();

// A scheduler thread about to step more of the same node: a thread asleep may take
// the work this one has queued meanwhile.
void offer_surplus() noexcept;

// cycle() carrying the work it makes ready: begin returns the state end restores,
// end runs that work (on this thread) when the outermost carrying cycle ends; past
// a bound (a node that is always ready) the rest goes to the scheduler threads.
int carry_begin() noexcept;
void carry_end(int previous);
// The carrying call failed: what it made ready goes to the scheduler threads.
void carry_abandon(int previous) noexcept;

// A new Task on `scheduler` that runs `run(task)`; TypeError for another object.
nb::object attach_task(nb::handle scheduler, nb::handle run);
// The node stops: the task never runs again. Waits while another thread runs it.
void detach_task(nb::handle task);
// The bounded queues of `node`'s output links (a list), for room_for_cycle.
nb::object bounded_outputs(nb::handle node);
bool room_for_cycle(nb::handle bounded, PyObject *task);

} // namespace vx
