// Progress of a transfer on stderr. On a terminal a bar redrawn in place with
// the time left; elsewhere (a log, a pipe) one plain line per transfer.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "tarncam.h"

namespace tarncam {

namespace {
constexpr int kBarWidth = 30;
} // namespace

double Now() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

void ProgressBegin(Progress &p, const std::string &label, double wireSeconds) {
    p.label = label;
    p.wireSeconds = wireSeconds;
    p.started = Now();
    p.tty = isatty(STDERR_FILENO) == 1;
    p.drawn = false;
}

void ProgressUpdate(Progress &p, double fraction) {
    if (!p.tty) return;
    if (fraction < 0) fraction = 0;
    if (fraction > 1) fraction = 1;
    const double now = Now();
    // Ten redraws a second are plenty for the eye, and cheap on a slow terminal.
    if (p.drawn && fraction < 1 && now - p.lastDrawn < 0.1) return;
    p.lastDrawn = now;
    const double elapsed = now - p.started;
    // Until a tenth has crossed, the wire time is the better guess of the rate.
    double left = p.wireSeconds * (1 - fraction);
    if (fraction > 0.1) left = elapsed / fraction * (1 - fraction);
    const int filled = static_cast<int>(fraction * kBarWidth);
    std::string bar(static_cast<size_t>(filled), '#');
    bar.append(static_cast<size_t>(kBarWidth - filled), '.');
    std::fprintf(stderr, "\r%s [%s] %3d%% %4.1f s left ", p.label.c_str(), bar.c_str(),
                 static_cast<int>(fraction * 100), left);
    std::fflush(stderr);
    p.drawn = true;
}

void ProgressEnd(Progress &p, const std::string &result) {
    const double elapsed = Now() - p.started;
    if (p.tty && p.drawn) std::fprintf(stderr, "\r\033[K");
    std::fprintf(stderr, "%s: %s (%.1f s)\n", p.label.c_str(), result.c_str(), elapsed);
    std::fflush(stderr);
}

SciStatus RunWithProgress(Progress &p, SciStatus (*call)(void *), void *context) {
    std::atomic<bool> done{false};
    SciStatus status = SCI_FAILED;
    std::thread worker([&] {
        status = call(context);
        done = true;
    });
    // The call cannot be stopped once begun; an interrupt waits for its end,
    // which leaves the camera in step.
    while (!done) {
        const double fraction = (Now() - p.started) / p.wireSeconds;
        ProgressUpdate(p, fraction < 0.99 ? fraction : 0.99);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    worker.join();
    return status;
}

} // namespace tarncam
