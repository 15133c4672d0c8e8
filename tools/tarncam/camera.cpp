// Finding and opening the camera, retrying a busy one, and telling failures apart.
#include <glob.h>
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "status_table.h"
#include "tarncam.h"

namespace tarncam {

std::atomic<bool> g_interrupted{false};

namespace {

constexpr int kBusyRetries = 100; // 100 x 50 ms: a camera busy for 5 s is stuck

// Scanned only with --scan: writing to a device may upset whatever is on it.
constexpr const char *kScanPatterns[] = {"/dev/ttyUSB*", "/dev/ttyACM*", "/dev/ttyS*"};

void OnInterrupt(int) {
    g_interrupted = true;
}

// Opens port and brings it in step; the status of whichever step failed.
SciStatus TryPort(const std::string &port) {
    SciStatus status = SciOpenCamera(port.c_str());
    if (status != SCI_OK) return status;
    status = Retry([] { return SciSyncCamera(); });
    if (status != SCI_OK) SciCloseCamera();
    return status;
}

} // namespace

void InstallInterruptHandler() {
    struct sigaction sa = {};
    sa.sa_handler = OnInterrupt;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

std::string StatusText(SciStatus status) {
    if (const tarnlink::StatusEntry *e = tarnlink::FindStatus(status)) return e->text;
    if (status == 234) return "no reply in time";
    // Any other positive code is the errno of the failed system call.
    if (status > 0) return std::strerror(status);
    return "error " + std::to_string(status);
}

bool IsLineLost(SciStatus status) {
    // Positive codes are the system's: a time-out (234) or a dead device.
    return status > 0 || status == SCI_CAMERA_NOT_PRESENT || status == SCI_COMMS_NOT_OPEN;
}

Exit ExitFor(SciStatus status) {
    if (status == SCI_OK) return kExitOk;
    if (status == SCI_CAMERA_BUSY) return kExitBusy;
    if (IsLineLost(status)) return kExitCameraLost;
    return kExitCameraError;
}

SciStatus RetryBusy(SciStatus (*call)(void *), void *context) {
    SciStatus status = call(context);
    for (int i = 0; i < kBusyRetries && status == SCI_CAMERA_BUSY && !g_interrupted; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        status = call(context);
    }
    return status;
}

bool Resync() {
    const SciStatus status = Retry([] { return SciSyncCamera(); });
    return status == SCI_OK;
}

int SlotLimit(const Globals &g) {
    int32_t max = kDefaultSlots;
    SciGetMaxCameraImages(&max);
    if (g.slots > 0) return g.slots < max ? g.slots : max;
    return max < kDefaultSlots ? max : kDefaultSlots;
}

Exit OpenCamera(const Globals &g, std::string &portUsed) {
    std::string port = g.port;
    if (port.empty() && !g.scan) {
        const char *env = std::getenv("TARNCAM_PORT");
        if (env != nullptr) port = env;
    }
    if (!port.empty()) {
        const SciStatus status = TryPort(port);
        if (status == SCI_OK) {
            portUsed = port;
            return kExitOk;
        }
        if (status == SCI_CAMERA_BUSY) {
            std::fprintf(stderr, "tarncam: the camera on %s stays busy\n", port.c_str());
            return kExitBusy;
        }
        if (status == SCI_CAMERA_NOT_PRESENT)
            std::fprintf(stderr, "tarncam: no camera answers on %s\n", port.c_str());
        else
            std::fprintf(stderr, "tarncam: cannot open %s: %s\n", port.c_str(),
                         StatusText(status).c_str());
        return kExitNoCamera;
    }
    if (!g.scan) {
        std::fprintf(stderr, "tarncam: no camera port given: use --port DEVICE, set TARNCAM_PORT, "
                             "or let tarncam try the serial ports with --scan\n");
        return kExitNoCamera;
    }
    for (const char *pattern : kScanPatterns) {
        glob_t found = {};
        if (glob(pattern, 0, nullptr, &found) == 0) {
            for (size_t i = 0; i < found.gl_pathc && !g_interrupted; ++i) {
                const std::string candidate = found.gl_pathv[i];
                std::fprintf(stderr, "tarncam: trying %s\n", candidate.c_str());
                if (TryPort(candidate) == SCI_OK) {
                    globfree(&found);
                    portUsed = candidate;
                    return kExitOk;
                }
            }
        }
        globfree(&found);
    }
    if (g_interrupted) return kExitInterrupted;
    std::fprintf(stderr,
                 "tarncam: no camera answered on /dev/ttyUSB*, /dev/ttyACM* or /dev/ttyS*\n");
    return kExitNoCamera;
}

} // namespace tarncam
