// Step-time statistics gathered by the step cycle: the durations and end times of
// the latest steps in a fixed ring, from which the mean, percentiles, maximum and
// the step rate are worked out when someone asks. Recording is a few stores; the
// sorting happens on the reader's side.
#include <algorithm>
#include <vector>

#include "attributes.hpp"
#include "common/figures.hpp"

namespace vertan {
namespace {

constexpr size_t WINDOW = 1024;      // steps the figures are taken over
constexpr double RATE_SECONDS = 5.0;  // the rate counts the steps of this last stretch

struct StepStats {
    double durations[WINDOW];
    double ends[WINDOW];
    double blocked[WINDOW];  // of each step, the seconds its pushes waited for room
    size_t next = 0, filled = 0;
    unsigned long long steps = 0;
    unsigned long long skipped = 0;  // steps whose result was SKIP
    double first_start = 0.0;
    double blocked_total = 0.0;  // the node's _time_blocked at the last step's end

    void record(double start, double end, double blocked_now) {
        if (steps == 0)
            first_start = start;
        durations[next] = end - start;
        ends[next] = end;
        blocked[next] = std::max(0.0, blocked_now - blocked_total);
        blocked_total = blocked_now;
        next = (next + 1) % WINDOW;
        filled = std::min(filled + 1, WINDOW);
        ++steps;
    }
};

const char *const CAPSULE_NAME = "velarix.step_stats";

void free_stats(PyObject *capsule) {
    delete static_cast<StepStats *>(PyCapsule_GetPointer(capsule, CAPSULE_NAME));
}

// The node's __dict__, or null when it has none. No Python code runs.
PyObject *dict_of(nb::handle self) {
    PyObject **slot = vx::compat::dict_ptr(self.ptr());
    return slot ? *slot : nullptr;
}

// Ours carry this very name pointer; comparing it spares a string comparison per
// step, and the figures are read from the context, which ours set to the pointer
// itself, where reading the pointer would compare the names again. Anything else
// put there gives no figures rather than a crash.
StepStats *stats_of(PyObject *capsule) {
    if (!capsule || !PyCapsule_CheckExact(capsule) || PyCapsule_GetName(capsule) != CAPSULE_NAME)
        return nullptr;
    return static_cast<StepStats *>(PyCapsule_GetContext(capsule));
}

// A node's figures with a strong reference to the capsule that owns them: Python
// code run while they are in use (a patched clock, a release) may drop or replace
// the node's entry, and the figures must outlive that.
struct HeldStats {
    nb::object capsule;
    StepStats *stats = nullptr;
};

HeldStats holding(nb::object capsule) {
    StepStats *stats = stats_of(capsule.ptr());
    return HeldStats{std::move(capsule), stats};
}

HeldStats stats_in(PyObject *dict) {
    PyObject *capsule = nullptr;
    if (vx::compat::dict_get_ref(dict, names::step_stats_.ptr(), &capsule) < 0)  // no Python code: interned name
        vx::throw_error_already_set();
    return holding(nb::steal(capsule));
}

void put(nb::dict &figures, const char *key, double value) {
    figures[key] = vx::steal_or_throw(PyFloat_FromDouble(value));
}

} // namespace

bool collecting_stats = true;

namespace {

// The node's figures, made on first use; none for a node without a __dict__.
HeldStats stats_for(const NodeAttributes &own) {
    PyObject *capsule = own.in_own_dict(Hot::step_stats);
    if (!capsule && PyErr_Occurred())
        vx::throw_error_already_set();
    if (HeldStats found = holding(nb::borrow(capsule)); found.stats)
        return found;
    PyObject *dict = dict_of(own.node());
    if (!dict)
        return HeldStats{};
    auto owned = new StepStats();
    PyObject *made = PyCapsule_New(owned, CAPSULE_NAME, free_stats);
    if (!made) {
        delete owned;
        vx::throw_error_already_set();
    }
    HeldStats fresh{nb::steal(made), owned};
    vx::check_status(PyCapsule_SetContext(made, owned));  // no Python code: our own capsule
    // Replacing what was there may run its finaliser; the capsule is ours meanwhile.
    vx::check_status(PyDict_SetItem(dict, names::step_stats_.ptr(), made));
    return fresh;
}

} // namespace

void record_step(const NodeAttributes &own, nb::handle t_start, nb::handle t_end) {
    if (!PyFloat_CheckExact(t_start.ptr()) || !PyFloat_CheckExact(t_end.ptr()))
        return;  // a patched clock that gives other numbers is not timed here
    record_step(own, PyFloat_AS_DOUBLE(t_start.ptr()), PyFloat_AS_DOUBLE(t_end.ptr()));
}

void record_step(const NodeAttributes &own, double t_start, double t_end) {
    if (!collecting_stats)
        return;
    if (HeldStats held = stats_for(own); held.stats)
        held.stats->record(t_start, t_end, own.time_blocked());
}

// Counted whether or not step times are recorded: it says where values went.
void record_skip(const NodeAttributes &own) {
    if (HeldStats held = stats_for(own); held.stats)
        ++held.stats->skipped;
}

nb::object get_step_stats(const vx::Call &call) {
    call.bind_none("get_step_stats");
    nb::dict figures;
    PyObject *dict = dict_of(call.self);
    const HeldStats held = dict ? stats_in(dict) : HeldStats{};  // the clock below may drop the node's own
    const StepStats *stats = held.stats;
    figures["steps"] = vx::steal_or_throw(PyLong_FromUnsignedLongLong(stats ? stats->steps : 0));
    figures["window"] = vx::steal_or_throw(PyLong_FromSize_t(stats ? stats->filled : 0));
    figures["skipped"] = vx::steal_or_throw(PyLong_FromUnsignedLongLong(stats ? stats->skipped : 0));
    if (!stats || stats->filled == 0) {
        for (const char *key : {"mean", "p50", "p99", "max"})
            figures[key] = nb::none();
        put(figures, "rate", 0.0);
        put(figures, "busy", 0.0);
        put(figures, "blocked", 0.0);
        return std::move(figures);
    }

    std::vector<double> durations(stats->durations, stats->durations + stats->filled);
    vx::put_summary(figures, durations);

    // Steps per second over the last RATE_SECONDS, or over the ring's own span when
    // the ring holds only part of that stretch (a fast node).
    double now = PyFloat_AsDouble(vx::now().ptr());
    if (PyErr_Occurred())
        vx::throw_error_already_set();
    double since = now - RATE_SECONDS;
    size_t recent = 0;
    double oldest = now, stepping = 0.0, waiting = 0.0;
    for (size_t i = 0; i < stats->filled; ++i) {
        if (stats->ends[i] >= since) {
            ++recent;
            oldest = std::min(oldest, stats->ends[i]);
            stepping += stats->durations[i];
            waiting += stats->blocked[i];
        }
    }
    double span = std::min(RATE_SECONDS, now - stats->first_start);
    if (stats->filled == WINDOW && recent == WINDOW)
        span = now - oldest;
    put(figures, "rate", span > 0.0 ? (double)recent / span : 0.0);
    // Seconds per second in steps (their waits for room apart) and waiting for room.
    waiting = std::min(waiting, stepping);
    put(figures, "busy", span > 0.0 ? std::min(1.0, (stepping - waiting) / span) : 0.0);
    put(figures, "blocked", span > 0.0 ? std::min(1.0, waiting / span) : 0.0);
    return std::move(figures);
}

nb::object set_statistics(const vx::Call &call) {
    static constexpr vx::Params<1> params{"_set_statistics", {"enabled"}};
    auto [enabled] = call.bind(params);
    collecting_stats = vx::truthy(enabled);
    return nb::none();
}

} // namespace vertan
