// Time per call as the fastest of nine batches of about 20 ms: the minimum is
// what the code costs, the rest is what the machine's other work adds.
#pragma once

#include <algorithm>
#include <chrono>
#include <functional>

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

// Two jobs with their batches alternating, so that both see the same machine.
struct Pair {
    double first = 1e9, second = 1e9;
};

inline Pair MinOfBatches(const std::function<void()> &first, const std::function<void()> &second) {
    const int n1 = BatchSize(first), n2 = BatchSize(second);
    Pair best;
    for (int b = 0; b < kBatches; ++b) {
        best.first = std::min(best.first, PerCall(first, n1));
        best.second = std::min(best.second, PerCall(second, n2));
    }
    return best;
}

} // namespace bench
