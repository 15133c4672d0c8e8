// tarncam: what its parts share. Every failure ends in one of the exit codes
// below, so that scripts can tell them apart.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "tarnlink.h"

namespace tarncam {

enum Exit {
    kExitOk = 0,
    kExitCameraError = 1, // the camera refused or failed a picture or command
    kExitUsage = 2,
    kExitNoCamera = 3,
    kExitBusy = 4,
    kExitCameraLost = 5, // the line died or the camera fell silent mid-exchange
    kExitWrite = 6,
    kExitInterrupted = 130,
};

// Wire time of one picture reply at 57,600 baud: 20,687 bytes at 5,760 bytes/s.
constexpr double kPictureWireSeconds = 20687.0 / 5760.0;
constexpr double kThumbnailWireSeconds = 1261.0 / 5760.0;
constexpr int kDefaultSlots = 24;
constexpr int kMaxSlots = 254; // the most the library ever allows

struct Globals {
    std::string port;
    bool scan = false;
    int slots = 0; // 0: the default limit
};

// Set by SIGINT; checked between pictures and between lines.
extern std::atomic<bool> g_interrupted;
void InstallInterruptHandler();

// A number given on the command line: decimal digits only (no sign, no
// spaces), within [low, high].
bool ParseInt(const std::string &text, long low, long high, int &out);

std::string StatusText(SciStatus status);
// The exit code that a failed status stands for.
Exit ExitFor(SciStatus status);
// A status that means the line or the camera is gone, not a refusal.
bool IsLineLost(SciStatus status);

// The library never retries; a busy camera is the caller's to wait for.
SciStatus RetryBusy(SciStatus (*call)(void *), void *context);
template <typename F> SciStatus Retry(F f) {
    return RetryBusy([](void *c) { return (*static_cast<F *>(c))(); }, &f);
}

// Opens the camera named by --port, TARNCAM_PORT or --scan and brings it in
// step. Prints the reason and returns its exit code on failure.
Exit OpenCamera(const Globals &g, std::string &portUsed);
// After a failed exchange: brings the line back in step; false if the camera is gone.
bool Resync();
// How many slots to look at: --slots, else the library's maximum limited to 24.
int SlotLimit(const Globals &g);

// Progress of one transfer on stderr: a bar with the time left on a
// terminal, one plain line otherwise.
struct Progress {
    std::string label;
    double wireSeconds = 0;
    double started = 0;
    bool tty = false;
    bool drawn = false;
    double lastDrawn = 0;
};
double Now();
void ProgressBegin(Progress &p, const std::string &label, double wireSeconds);
void ProgressUpdate(Progress &p, double fraction);
void ProgressEnd(Progress &p, const std::string &result);
// Runs a blocking call on a worker thread and animates from elapsed time.
SciStatus RunWithProgress(Progress &p, SciStatus (*call)(void *), void *context);

// Subcommands; args are what follows the subcommand's name.
int RunInfo(const Globals &g, const std::vector<std::string> &args);
int RunSheet(const Globals &g, const std::vector<std::string> &args);
int RunFetch(const Globals &g, const std::vector<std::string> &args);
int RunGrab(const Globals &g, const std::vector<std::string> &args);
int RunCounter(const Globals &g, const std::vector<std::string> &args);

} // namespace tarncam
