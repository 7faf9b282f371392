// {"mean", "p50", "p99", "max"} of a window of samples (step times, latencies),
// worked out when someone asks: the recording side only stores.
#pragma once

#include <algorithm>
#include <vector>

#include "errors.hpp"

namespace vx {

// The nearest-rank value at `share` (0 to 1) of a sorted, non-empty window.
inline double percentile(const std::vector<double> &sorted, double share) {
    size_t index = (size_t)(share * (double)(sorted.size() - 1) + 0.5);
    return sorted[std::min(index, sorted.size() - 1)];
}

// Puts the four figures of `samples` (reordered) into `figures`; None each when empty.
inline void put_summary(nb::dict &figures, std::vector<double> &samples) {
    if (samples.empty()) {
        for (const char *key : {"mean", "p50", "p99", "max"})
            figures[key] = nb::none();
        return;
    }
    std::sort(samples.begin(), samples.end());
    double total = 0.0;
    for (double value : samples)
        total += value;
    auto put = [&](const char *key, double value) { figures[key] = steal_or_throw(PyFloat_FromDouble(value)); };
    put("mean", total / (double)samples.size());
    put("p50", percentile(samples, 0.50));
    put("p99", percentile(samples, 0.99));
    put("max", samples.back());
}

} // namespace vx
