// Latency tracing: every queued value carries the time it was pushed and its origin,
// the time the value it derives from was made (a source's step start, or a time
// the source gives). A step's pushes inherit the oldest origin among the values it
// took; an input port keeps, for its latest values, how long each waited (push to
// the start of the step that took it: "latency") and how old it was then ("age").
//
// Times are time.time() seconds of the system clock. All of it runs with the
// interpreter lock held.
#pragma once

#include <algorithm>
#include <cmath>
#include <memory>
#include <new>
#include <vector>

#include "common/figures.hpp"
#include "common/runtime.hpp"
#include "common/thread_record.hpp"

namespace vx {

// What a queued value carries beside it.
struct Stamp {
    double pushed = 0.0;
    double origin = 0.0;
};

// Off: no clock is read for the stamps and no figures are kept (process-wide).
inline bool tracing = true;

// The system clock in time.time() seconds, read natively: the stamps are no
// readings of the step cycle's clock, which reads time.time() twice a cycle and no
// more (a patched time.time sees only those).
inline double trace_now() {
    double seconds;
    return clock_detail::system_clock_seconds(seconds) ? seconds : 0.0;
}

// The latest samples of one input port, in seconds (floats: 8 KB a port, made when
// its first value is taken).
struct LatencyRing {
    static constexpr size_t window = 1024;
    float latency[window];
    float age[window];
    size_t next = 0, filled = 0;

    void record(double waited, double old) {
        latency[next] = (float)waited;
        age[next] = (float)old;
        next = (next + 1) % window;
        filled = std::min(filled + 1, window);
    }
};

// A value taken from a queue, waiting for the start of the step that takes it:
// then its sample goes into the queue's ring. The queue object is held meanwhile.
struct TakenValue {
    PyObject *queue;  // owned: the PortQueue the value came from
    std::unique_ptr<LatencyRing> *ring;
    Stamp stamp;
};

// Values taken here and never stepped (a port read by hand) are let go beyond this.
constexpr size_t max_pending = 64;

// The origin this thread's current step hands to what it pushes, and the values
// taken since the last step began (its inputs), with the oldest of their origins.
// Plain data, so that the thread-local record needs no guard on each use.
struct StepTrace {
    double origin = NAN;   // NaN: not in a step (a push then takes the time of the push)
    double taken = NAN;    // NaN: nothing taken
    size_t count = 0;
    TakenValue pending[max_pending];
};

// This thread's step trace.
inline StepTrace &this_trace() { return thread_record<StepTrace>(); }

// Samples the values taken since the last step began, as of `now` (NaN: none).
inline void sample_taken(StepTrace &trace, double now) noexcept {
    const size_t count = trace.count;
    for (size_t i = 0; i < count; ++i) {
        TakenValue &taken = trace.pending[i];
        if (!*taken.ring)
            taken.ring->reset(new (std::nothrow) LatencyRing());  // without memory: no figures
        if (*taken.ring && !std::isnan(now))
            (*taken.ring)->record(now - taken.stamp.pushed, now - taken.stamp.origin);
    }
    trace.count = 0;
    // Released last: a queue let go here may run code that takes values. (Raw
    // pointers: an array of TakenValue would be zeroed, 2 KB, on every step.)
    PyObject *held[max_pending];
    for (size_t i = 0; i < count; ++i)
        held[i] = trace.pending[i].queue;
    for (size_t i = 0; i < count; ++i)
        Py_DECREF(held[i]);
}

// A value with `stamp` was taken from `queue` (a PortQueue object, whose ring is
// `ring`): sampled when the next step begins, and its origin counts for that step.
inline void record_taken(PyObject *queue, std::unique_ptr<LatencyRing> &ring, const Stamp &stamp) noexcept {
    StepTrace &trace = this_trace();
    if (std::isnan(trace.taken) || stamp.origin < trace.taken)
        trace.taken = stamp.origin;
    // Releasing the held queues may run code that takes values too: until there is room.
    while (trace.count >= max_pending)
        sample_taken(trace, NAN);
    Py_INCREF(queue);
    trace.pending[trace.count++] = {queue, &ring, stamp};
}

// The stamp of a value pushed now by this thread; `*nanoseconds`, when given, is
// set to the same reading of the clock (left alone when tracing is off).
inline Stamp stamp_now(int64_t *nanoseconds = nullptr) {
    if (!tracing)
        return {};
    double now = 0.0;
    int64_t reading = 0;
    if (!clock_detail::system_clock_reading(now, reading))
        now = 0.0;
    else if (nanoseconds)
        *nanoseconds = reading;
    const double origin = this_trace().origin;
    return {now, std::isnan(origin) ? now : origin};
}

// A step begins at `start`: what it took waited until now, and its origin is the
// oldest of its inputs' (taken since the last step began), else its start.
// Returns what step_end restores.
inline double step_begin(double start) {
    StepTrace &trace = this_trace();
    if (trace.count > 0)
        sample_taken(trace, start);
    const double previous = trace.origin;
    trace.origin = std::isnan(trace.taken) ? start : trace.taken;
    trace.taken = NAN;
    return previous;
}

inline void step_end(double previous) {
    StepTrace &trace = this_trace();
    trace.origin = previous;
    trace.taken = NAN;
}

// {"mean", "p50", "p99", "max"} of one of the ring's series (None each when empty).
inline nb::object summary(const LatencyRing *ring, bool age) {
    nb::dict figures;
    std::vector<double> samples;
    if (ring) {
        const float *series = age ? ring->age : ring->latency;
        samples.assign(series, series + ring->filled);
    }
    put_summary(figures, samples);
    return std::move(figures);
}

} // namespace vx
