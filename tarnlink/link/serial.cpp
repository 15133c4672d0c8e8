// The link's waiting rules, the same on every platform: each read waits its
// own time-out (1,000 ms plus 1 ms per byte) but never past its deadline, and
// a drain reads until the line falls quiet.
#include "link/serial.h"

#include <algorithm>

#include "link/state.h"

namespace tarnlink {
namespace {

uint8_t g_drainScratch[kDrainReadBytes];

int64_t ReadTimeoutMs(uint32_t n) {
    return 1000 + int64_t{n};
}

} // namespace

Deadline CommDeadline(uint32_t msFromNow) {
    return port::NowMs() + msFromNow;
}

bool CommRead(uint8_t *dest, uint32_t n, Deadline by) {
    if (g_lib.portHandle == kInvalidPort) return false;
    if (n == 0) return true;
    int64_t wait = ReadTimeoutMs(n);
    if (by != kNoDeadline) wait = std::clamp<int64_t>(by - port::NowMs(), 0, wait);
    uint32_t got = 0;
    if (!port::ReadUpTo(dest, n, wait, got)) return false;
    if (got == n) return true;
    CommSetLastError(kErrorMoreData);
    return false;
}

void CommDrain() {
    if (g_lib.portHandle == kInvalidPort) return;
    const Deadline cap = CommDeadline(kDrainCapMs);
    for (;;) {
        const int64_t wait = std::min(ReadTimeoutMs(kDrainReadBytes), cap - port::NowMs());
        if (wait <= 0) return;
        uint32_t got = 0;
        if (!port::ReadUpTo(g_drainScratch, kDrainReadBytes, wait, got)) return;
        if (got == 0) return; // quiet for a whole read
    }
}

} // namespace tarnlink
