// Time per call as the fastest of nine batches of about 20 ms: the minimum is
// what the code costs, the rest is what the machine's other work adds.
#pragma once

#include <algorithm>
#include <chrono>
#include <functional>
#include <vector>

namespace bench {

constexpr int kBatches = 9;

inline double PerCall(const std::function<void()> &f, int n) {
    using Clock = std::chrono::steady_clock;
    const auto t0 = Clock::now();
    for (int i = 0; i < n; ++i) f();
    return std::chrono::duration<double>(Clock::now() - t0).count() / n;
}

inline int BatchSize(const std::function<void()> &f) {
    return std::max(1, static_cast<int>(0.02 / PerCall(f, 50)));
}

inline double MinOfBatches(const std::function<void()> &f) {
    const int n = BatchSize(f);
    double best = 1e9;
    for (int b = 0; b < kBatches; ++b) best = std::min(best, PerCall(f, n));
    return best;
}

// Several jobs with their batches taken in turn, so that all see the same
// machine; the fastest batch of each.
inline std::vector<double> MinOfBatches(const std::vector<std::function<void()>> &jobs) {
    std::vector<int> sizes;
    for (const auto &job : jobs) sizes.push_back(BatchSize(job));
    std::vector<double> best(jobs.size(), 1e9);
    for (int b = 0; b < kBatches; ++b)
        for (size_t j = 0; j < jobs.size(); ++j)
            best[j] = std::min(best[j], PerCall(jobs[j], sizes[j]));
    return best;
}

} // namespace bench
