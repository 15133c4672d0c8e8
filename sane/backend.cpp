// The SANE entry points of backend "tarncam". The library holds one camera
// session per process, so there is at most one open handle; every entry point
// but sane_read and sane_cancel runs under one lock, and a frame's lines are
// read by a worker thread that the others join before they touch the camera.
//
// A picture's bytes exist only once its whole frame is in: the colour pass
// balances white over the whole frame, and the black level of the grey picture
// comes with the trailer. So sane_read hands over rows as soon as the frame is
// complete, never earlier, and never a picture whose frame failed.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "options.h"
#include "picture.h"
#include "tarnlink.h"

#define TARNSANE_ENTRY(type, name)                                                                 \
    extern "C" __attribute__((visibility("default"))) type sane_tarncam_##name

namespace tarnsane {
namespace {

constexpr SANE_Int kBuild = 1;
constexpr int kBusyRetries = 100; // 100 x 50 ms: a camera busy for 5 s is stuck
constexpr int kGrabTries = 4;     // a bad exposure is usually a moment's light
constexpr const char *kConfigFile = "tarncam.conf";
constexpr const char *kDefaultConfigDirs[] = {".", "/etc/sane.d"};
constexpr const char *kVendor = "Tessaly";
constexpr const char *kModel = "Kelbrook serial camera";
constexpr const char *kType = "still camera";

enum class FrameState { kNone, kReading, kReady, kFailed, kEnded };

struct Handle {
    std::string port, canonicalPort;
    Options options;
    bool lineLost = false; // the port died: reopen it before the next command

    // The frame: set up by sane_start, filled by the worker, read by sane_read.
    std::mutex frameLock;
    FrameState state = FrameState::kNone;
    SANE_Status failure = SANE_STATUS_GOOD;
    Settings frameSettings;
    SANE_Parameters frameParams = {};
    std::vector<uint8_t> rows;
    size_t delivered = 0;
    std::thread worker;
    std::atomic<bool> cancelled{false};
    std::atomic<unsigned> cancels{0}; // sane_cancel calls, so a start sees one made during it
    std::atomic<int> wakeWrite{-1};   // read by sane_cancel, maybe in a signal handler
    int wakeRead = -1;
    bool nonBlocking = false;

    // A batch: a start after a whole frame, without a cancel, takes the next
    // slot. Set by sane_read and sane_cancel, which run outside the lock.
    std::atomic<bool> batchOpen{false};
    std::atomic<int> nextSlot{0};
    int knownPictures = 0; // the last count, answered while a frame is under way
};

std::mutex g_api;
// Read without the lock by sane_read and sane_cancel (maybe in a signal
// handler), so cleared before the handle is freed.
std::atomic<Handle *> g_handle{nullptr};
static_assert(std::atomic<Handle *>::is_always_lock_free, "sane_cancel must be signal-safe");
std::vector<std::string> g_deviceNames;
std::vector<SANE_Device> g_devices;
std::vector<const SANE_Device *> g_deviceList;

template <typename F> SciStatus RetryBusy(F call) {
    SciStatus status = call();
    for (int i = 0; i < kBusyRetries && status == SCI_CAMERA_BUSY; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        status = call();
    }
    return status;
}

// A status that means the line or the camera is gone, not a refusal.
bool IsLineLost(SciStatus status) {
    return status > 0 || status == SCI_CAMERA_NOT_PRESENT || status == SCI_COMMS_NOT_OPEN;
}

SANE_Status StatusFor(SciStatus status) {
    switch (status) {
    case SCI_OK:
        return SANE_STATUS_GOOD;
    case SCI_CAMERA_BUSY:
        return SANE_STATUS_DEVICE_BUSY;
    case SCI_IMAGE_CREATE_FAIL:
        return SANE_STATUS_NO_MEM;
    default:
        return SANE_STATUS_IO_ERROR;
    }
}

std::string Trim(const std::string &s) {
    const size_t a = s.find_first_not_of(" \t\r\n");
    if (a == std::string::npos) return "";
    const size_t b = s.find_last_not_of(" \t\r\n");
    return s.substr(a, b - a + 1);
}

// The directories SANE front-ends search: SANE_CONFIG_DIR's, then (when it is
// unset or ends in a colon) the current directory and /etc/sane.d.
std::vector<std::string> ConfigDirs() {
    std::vector<std::string> dirs;
    const char *env = std::getenv("SANE_CONFIG_DIR");
    bool defaults = env == nullptr;
    if (env != nullptr) {
        const std::string list = env;
        size_t start = 0;
        while (start <= list.size()) {
            const size_t colon = list.find(':', start);
            const std::string dir = list.substr(start, colon - start);
            if (!dir.empty()) dirs.push_back(dir);
            if (colon == std::string::npos) break;
            start = colon + 1;
        }
        defaults = !list.empty() && list.back() == ':';
    }
    if (defaults)
        for (const char *d : kDefaultConfigDirs) dirs.push_back(d);
    return dirs;
}

// TARNCAM_PORT first, then the ports of the first tarncam.conf found, one a
// line, '#' starting a comment.
std::vector<std::string> ConfiguredPorts() {
    std::vector<std::string> ports;
    const char *env = std::getenv("TARNCAM_PORT");
    if (env != nullptr && *env != '\0') ports.push_back(env);
    for (const std::string &dir : ConfigDirs()) {
        std::ifstream in(dir + "/" + kConfigFile);
        if (!in) continue;
        std::string line;
        while (std::getline(in, line)) {
            const std::string port = Trim(line.substr(0, line.find('#')));
            if (port.empty()) continue;
            bool known = false;
            for (const std::string &p : ports) known = known || p == port;
            if (!known) ports.push_back(port);
        }
        break;
    }
    return ports;
}

std::string Canonical(const std::string &port) {
    char *real = realpath(port.c_str(), nullptr);
    if (real == nullptr) return port;
    std::string out = real;
    std::free(real);
    return out;
}

SANE_Status OpenStatus(SciStatus status) {
    switch (status) {
    case SCI_COMMS_ALREADY_OPEN:
    case EWOULDBLOCK: // another program holds the port's lock
    case EBUSY:
        return SANE_STATUS_DEVICE_BUSY;
    case ENOENT:
    case ENOTDIR:
    case ENXIO:
        return SANE_STATUS_INVAL;
    case EACCES:
    case EPERM:
        return SANE_STATUS_ACCESS_DENIED;
    default:
        return status == SCI_CAMERA_BUSY ? SANE_STATUS_DEVICE_BUSY : SANE_STATUS_IO_ERROR;
    }
}

// Opens the port and brings the camera in step; closes it again on failure.
SANE_Status OpenCamera(const std::string &port) {
    SciStatus status = SciOpenCamera(port.c_str());
    if (status != SCI_OK) {
        // The port may be open and locked already (a file that is no
        // terminal fails after the lock); only another session is not ours.
        if (status != SCI_COMMS_ALREADY_OPEN) SciCloseCamera();
        return OpenStatus(status);
    }
    status = RetryBusy([] { return SciSyncCamera(); });
    if (status != SCI_OK) {
        SciCloseCamera();
        return OpenStatus(status);
    }
    return SANE_STATUS_GOOD;
}

void CloseWake(Handle *h) {
    const int w = h->wakeWrite.exchange(-1);
    if (w >= 0) close(w);
    if (h->wakeRead >= 0) close(h->wakeRead);
    h->wakeRead = -1;
}

void Wake(Handle *h) {
    const int w = h->wakeWrite.load();
    if (w >= 0) {
        const char byte = 1;
        (void)!write(w, &byte, 1);
    }
}

// Waits for the worker (its last line, or the drain after a cancel).
void JoinWorker(Handle *h) {
    if (h->worker.joinable()) h->worker.join();
}

void Publish(Handle *h, FrameState state, SANE_Status failure, std::vector<uint8_t> *rows) {
    {
        std::lock_guard<std::mutex> lock(h->frameLock);
        if (rows != nullptr) h->rows.swap(*rows);
        h->failure = failure;
        h->state = state;
    }
    Wake(h);
}

// The worker: the frame's lines as they cross the wire, then the picture.
void ReadFrameLines(Handle *h, int32_t lines, int32_t length) {
    std::vector<uint8_t> raw(SCI_RAW_FRAME_BYTES);
    SciStatus status = SCI_OK;
    bool stopped = false;
    for (int32_t i = 0; i < lines && status == SCI_OK; ++i) {
        if (h->cancelled) {
            stopped = true;
            break;
        }
        status = SciUploadImageLine(raw.data() + static_cast<size_t>(i) * length, length);
    }
    std::vector<uint8_t> rows;
    if (!stopped && status == SCI_OK) {
        SciImageInfo info;
        status = SciUploadImageInfo(&info);
        if (status == SCI_OK) status = MakePicture(h->frameSettings, raw.data(), info, rows);
    }
    if (stopped) {
        // The rest of the stream is left on the line: the library waits for a
        // quiet line before its next command (and the next session's sync
        // drains it), so a front-end that closes after a cancel is not held
        // up by the drain.
        Publish(h, FrameState::kFailed, SANE_STATUS_CANCELLED, nullptr);
        return;
    }
    if (status != SCI_OK) {
        h->lineLost = IsLineLost(status);
        Publish(h, FrameState::kFailed, StatusFor(status), nullptr);
        return;
    }
    Publish(h, FrameState::kReady, SANE_STATUS_GOOD, &rows);
}

// An exception out of a thread would end the front-end (or saned).
void ReadFrame(Handle *h, int32_t lines, int32_t length) {
    try {
        ReadFrameLines(h, lines, length);
    } catch (...) {
        Publish(h, FrameState::kFailed, SANE_STATUS_NO_MEM, nullptr);
    }
}

// Brings a port that died back (the camera plugged in again) before a command.
SANE_Status Reconnect(Handle *h) {
    if (!h->lineLost) return SANE_STATUS_GOOD;
    SciCloseCamera();
    const SANE_Status status = OpenCamera(h->port);
    if (status == SANE_STATUS_GOOD) {
        h->lineLost = false;
        return status;
    }
    // The library's session is gone; the next try opens it again.
    return SANE_STATUS_IO_ERROR;
}

// Between sane_start and the end of its frame: its last byte read, its failure
// reported, or a cancel.
bool FrameActive(Handle *h) {
    std::lock_guard<std::mutex> lock(h->frameLock);
    return !h->cancelled && (h->state == FrameState::kReading || h->state == FrameState::kReady);
}

// Ends whatever frame there is and waits for its worker.
void EndFrame(Handle *h) {
    h->cancelled = true;
    JoinWorker(h);
    std::lock_guard<std::mutex> lock(h->frameLock);
    h->state = FrameState::kNone;
    h->rows.clear();
    h->delivered = 0;
}

// No frame under way and no worker at the camera: no start yet, or the last
// frame read to its end.
bool FrameIdle(Handle *h) {
    std::lock_guard<std::mutex> lock(h->frameLock);
    return h->state == FrameState::kNone || h->state == FrameState::kEnded;
}

// A frame started (its select fd is open), and not cancelled.
bool FrameStarted(Handle *h) {
    std::lock_guard<std::mutex> lock(h->frameLock);
    return !h->cancelled && h->state != FrameState::kNone;
}

// Slots from the first holding a picture up to the first empty one.
SANE_Status CountPictures(Handle *h) {
    const SANE_Status ready = Reconnect(h);
    if (ready != SANE_STATUS_GOOD) return ready;
    std::vector<uint8_t> thumb(SCI_THUMBNAIL_BYTES);
    int count = 0;
    for (int slot = 0; slot <= h->options.slotRange.max; ++slot) {
        SciStatus status = RetryBusy([&] { return SciResetImageCounter(slot); });
        if (status == SCI_OK)
            status = RetryBusy([&] { return SciUploadThumbnail(thumb.data(), nullptr); });
        if (status == SCI_COMMS_SEND_NAK) break; // an empty slot
        if (status != SCI_OK) {
            h->lineLost = IsLineLost(status);
            return StatusFor(status);
        }
        ++count;
    }
    h->options.pictures = count;
    h->knownPictures = count;
    return SANE_STATUS_GOOD;
}

SANE_Status Grab(Handle *h, SANE_Int *info) {
    const SANE_Status ready = Reconnect(h);
    if (ready != SANE_STATUS_GOOD) return ready;
    const int slot = h->options.settings.slot;
    SciStatus status = RetryBusy([&] { return SciResetImageCounter(slot); });
    for (int i = 0; i < kGrabTries && status == SCI_OK; ++i) {
        status = RetryBusy([] { return SciGrabImage(0, 0); });
        if (status == SCI_OK) status = RetryBusy([] { return SciGrabResult(); });
        if (status != SCI_BAD_EXPOSURE) break;
    }
    h->options.pictures = -1;
    if (status == SCI_OK) {
        if (info != nullptr) *info = SANE_INFO_RELOAD_OPTIONS;
        return SANE_STATUS_GOOD;
    }
    if (status == SCI_CAMERA_FULL || status == SCI_BAD_PARAMETER)
        return SANE_STATUS_INVAL; // the slot lies past the camera's memory
    h->lineLost = IsLineLost(status);
    return StatusFor(status);
}

SANE_Status Start(Handle *h) {
    if (FrameActive(h)) return SANE_STATUS_DEVICE_BUSY;
    const unsigned cancels = h->cancels;
    const bool batch = h->batchOpen;
    EndFrame(h); // the worker of the last frame, with its drain
    CloseWake(h);
    // A cancel made while the last worker was joined is for this frame.
    h->cancelled = h->cancels != cancels;
    h->batchOpen = false;
    h->nonBlocking = false;
    h->frameSettings = h->options.settings;
    if (batch) h->frameSettings.slot = h->nextSlot;
    h->frameParams = ParametersFor(h->frameSettings);

    SANE_Status ready = Reconnect(h);
    if (ready != SANE_STATUS_GOOD) return ready;
    const int slot = h->frameSettings.slot;
    if (slot > h->options.slotRange.max) return SANE_STATUS_NO_DOCS;
    SciStatus status = RetryBusy([&] { return SciResetImageCounter(slot); });

    std::vector<uint8_t> rows;
    int32_t lines = 0, length = 0;
    if (status == SCI_OK && h->frameSettings.preview) {
        std::vector<uint8_t> thumb(SCI_THUMBNAIL_BYTES);
        status = RetryBusy([&] { return SciUploadThumbnail(thumb.data(), nullptr); });
        if (status == SCI_OK) ThumbnailRows(thumb.data(), rows);
    } else if (status == SCI_OK) {
        status = RetryBusy([&] { return SciBeginUploadImage(&lines, &length); });
        if (status == SCI_OK && static_cast<int64_t>(lines) * length != SCI_RAW_FRAME_BYTES) {
            RetryBusy([] { return SciSyncCamera(); }); // drains the stream we will not read
            return SANE_STATUS_IO_ERROR;
        }
    }
    if (status == SCI_COMMS_SEND_NAK) return SANE_STATUS_NO_DOCS; // the slot is empty
    if (status != SCI_OK) {
        h->lineLost = IsLineLost(status);
        if (!h->lineLost) RetryBusy([] { return SciSyncCamera(); });
        return StatusFor(status);
    }

    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        RetryBusy([] { return SciSyncCamera(); });
        return SANE_STATUS_NO_MEM;
    }
    h->wakeRead = fds[0];
    h->wakeWrite = fds[1];
    if (h->frameSettings.preview) {
        Publish(h, FrameState::kReady, SANE_STATUS_GOOD, &rows);
        return SANE_STATUS_GOOD;
    }
    {
        std::lock_guard<std::mutex> lock(h->frameLock);
        h->state = FrameState::kReading;
    }
    try {
        h->worker = std::thread(ReadFrame, h, lines, length);
    } catch (...) {
        {
            std::lock_guard<std::mutex> lock(h->frameLock);
            h->state = FrameState::kNone;
        }
        RetryBusy([] { return SciSyncCamera(); }); // drains the stream no one reads
        return SANE_STATUS_NO_MEM;
    }
    return SANE_STATUS_GOOD;
}

SANE_Status Read(Handle *h, SANE_Byte *data, SANE_Int maxLength, SANE_Int *length) {
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(h->frameLock);
            if (h->cancelled) return SANE_STATUS_CANCELLED;
            if (h->state == FrameState::kNone) return SANE_STATUS_INVAL; // no sane_start
            if (h->state == FrameState::kEnded) return SANE_STATUS_EOF;
            if (h->state == FrameState::kFailed) return h->failure;
            if (h->state == FrameState::kReady) {
                const size_t left = h->rows.size() - h->delivered;
                if (left == 0) {
                    h->state = FrameState::kEnded;
                    if (!h->frameSettings.preview) {
                        h->batchOpen = true;
                        h->nextSlot = h->frameSettings.slot + 1;
                    }
                    return SANE_STATUS_EOF;
                }
                const size_t n = left < static_cast<size_t>(maxLength) ? left : maxLength;
                std::memcpy(data, h->rows.data() + h->delivered, n);
                h->delivered += n;
                *length = static_cast<SANE_Int>(n);
                return SANE_STATUS_GOOD;
            }
        }
        if (h->nonBlocking) return SANE_STATUS_GOOD;
        // Woken by the worker or by a cancel; the time-out only bounds a
        // wake-up lost to a full pipe.
        pollfd p = {h->wakeRead, POLLIN, 0};
        poll(&p, 1, 100);
    }
}

void ReleaseDevices() {
    g_devices.clear();
    g_deviceList.clear();
    g_deviceNames.clear();
}

} // namespace
} // namespace tarnsane

using namespace tarnsane;

TARNSANE_ENTRY(SANE_Status, init)(SANE_Int *version_code, SANE_Auth_Callback) {
    if (version_code != nullptr) *version_code = SANE_VERSION_CODE(SANE_CURRENT_MAJOR, 0, kBuild);
    return SANE_STATUS_GOOD;
}

TARNSANE_ENTRY(void, exit)(void) {
    try {
        std::lock_guard<std::mutex> lock(g_api);
        Handle *h = g_handle.exchange(nullptr);
        if (h != nullptr) {
            EndFrame(h);
            CloseWake(h);
            SciCloseCamera();
            delete h;
        }
        ReleaseDevices();
    } catch (...) {
    }
}

TARNSANE_ENTRY(SANE_Status, get_devices)(const SANE_Device ***device_list, SANE_Bool) {
    if (device_list == nullptr) return SANE_STATUS_INVAL;
    try {
        std::lock_guard<std::mutex> lock(g_api);
        ReleaseDevices();
        for (const std::string &port : ConfiguredPorts()) {
            bool answers;
            if (g_handle != nullptr)
                // The library drives one camera a process: only the open one
                // can be vouched for.
                answers = Canonical(port) == g_handle.load()->canonicalPort;
            else if ((answers = OpenCamera(port) == SANE_STATUS_GOOD))
                SciCloseCamera();
            if (answers) g_deviceNames.push_back(port);
        }
        for (const std::string &name : g_deviceNames)
            g_devices.push_back({name.c_str(), kVendor, kModel, kType});
        for (const SANE_Device &d : g_devices) g_deviceList.push_back(&d);
        g_deviceList.push_back(nullptr);
        *device_list = g_deviceList.data();
        return SANE_STATUS_GOOD;
    } catch (...) {
        ReleaseDevices();
        return SANE_STATUS_NO_MEM;
    }
}

TARNSANE_ENTRY(SANE_Status, open)(SANE_String_Const name, SANE_Handle *handle) {
    if (name == nullptr || handle == nullptr) return SANE_STATUS_INVAL;
    try {
        std::lock_guard<std::mutex> lock(g_api);
        const std::vector<std::string> configured = ConfiguredPorts();
        std::vector<std::string> candidates;
        if (*name != '\0')
            candidates.push_back(name);
        else
            candidates = configured; // the first camera that answers
        if (candidates.empty()) return SANE_STATUS_INVAL;
        // One camera a process: the library holds a single session.
        if (g_handle != nullptr) return SANE_STATUS_DEVICE_BUSY;
        if (*name != '\0') {
            // Only a configured port: through saned a remote client names the
            // device, and any other terminal must not be locked, set or written.
            const std::string wanted = Canonical(name);
            bool known = false;
            for (const std::string &port : configured) known = known || Canonical(port) == wanted;
            if (!known) return SANE_STATUS_INVAL;
        }
        SANE_Status status = SANE_STATUS_INVAL;
        for (const std::string &port : candidates) {
            status = OpenCamera(port);
            if (status != SANE_STATUS_GOOD) continue;
            Handle *h = new Handle;
            h->port = port;
            h->canonicalPort = Canonical(port);
            int32_t max = 0;
            SciGetMaxCameraImages(&max);
            InitOptions(h->options, max);
            g_handle = h;
            *handle = h;
            return SANE_STATUS_GOOD;
        }
        return status;
    } catch (...) {
        return SANE_STATUS_NO_MEM;
    }
}

TARNSANE_ENTRY(void, close)(SANE_Handle handle) {
    try {
        std::lock_guard<std::mutex> lock(g_api);
        Handle *h = static_cast<Handle *>(handle);
        if (h == nullptr || h != g_handle) return;
        g_handle = nullptr;
        EndFrame(h);
        CloseWake(h);
        SciCloseCamera();
        delete h;
    } catch (...) {
    }
}

TARNSANE_ENTRY(const SANE_Option_Descriptor *, get_option_descriptor)
(SANE_Handle handle, SANE_Int option) {
    try {
        std::lock_guard<std::mutex> lock(g_api);
        Handle *h = static_cast<Handle *>(handle);
        if (h == nullptr || h != g_handle || option < 0 || option >= kOptCount) return nullptr;
        return &h->options.desc[option];
    } catch (...) {
        return nullptr;
    }
}

TARNSANE_ENTRY(SANE_Status, control_option)
(SANE_Handle handle, SANE_Int option, SANE_Action action, void *value, SANE_Int *info) {
    try {
        std::lock_guard<std::mutex> lock(g_api);
        Handle *h = static_cast<Handle *>(handle);
        if (info != nullptr) *info = 0;
        if (h == nullptr || h != g_handle || option < 0 || option >= kOptCount)
            return SANE_STATUS_INVAL;
        const SANE_Option_Descriptor &d = h->options.desc[option];
        if (action == SANE_ACTION_GET_VALUE) {
            if (value == nullptr || d.type == SANE_TYPE_BUTTON || d.type == SANE_TYPE_GROUP)
                return SANE_STATUS_INVAL;
            if (option == kOptPictures && h->options.pictures < 0) {
                // Counting talks to the camera: never while a worker may, nor
                // at the cost of a frame's outcome not yet read.
                if (!FrameIdle(h)) {
                    *static_cast<SANE_Word *>(value) = h->knownPictures;
                    return SANE_STATUS_GOOD;
                }
                const SANE_Status counted = CountPictures(h);
                if (counted != SANE_STATUS_GOOD) return counted;
            }
            return GetOption(h->options, option, value);
        }
        if (action != SANE_ACTION_SET_VALUE) return SANE_STATUS_INVAL; // nothing is automatic
        if (!SANE_OPTION_IS_SETTABLE(d.cap) || !SANE_OPTION_IS_ACTIVE(d.cap))
            return SANE_STATUS_INVAL;
        if (FrameActive(h)) return SANE_STATUS_DEVICE_BUSY;
        if (d.type == SANE_TYPE_BUTTON) {
            EndFrame(h);
            h->batchOpen = false;
            return Grab(h, info);
        }
        const SANE_Status status = SetOption(h->options, option, value, info);
        if (status == SANE_STATUS_GOOD) h->batchOpen = false;
        return status;
    } catch (...) {
        return SANE_STATUS_NO_MEM;
    }
}

TARNSANE_ENTRY(SANE_Status, get_parameters)(SANE_Handle handle, SANE_Parameters *params) {
    try {
        std::lock_guard<std::mutex> lock(g_api);
        Handle *h = static_cast<Handle *>(handle);
        if (h == nullptr || h != g_handle || params == nullptr) return SANE_STATUS_INVAL;
        *params = FrameActive(h) ? h->frameParams : ParametersFor(h->options.settings);
        return SANE_STATUS_GOOD;
    } catch (...) {
        return SANE_STATUS_NO_MEM;
    }
}

TARNSANE_ENTRY(SANE_Status, start)(SANE_Handle handle) {
    try {
        std::lock_guard<std::mutex> lock(g_api);
        Handle *h = static_cast<Handle *>(handle);
        if (h == nullptr || h != g_handle) return SANE_STATUS_INVAL;
        return Start(h);
    } catch (...) {
        return SANE_STATUS_NO_MEM;
    }
}

TARNSANE_ENTRY(SANE_Status, read)
(SANE_Handle handle, SANE_Byte *data, SANE_Int max_length, SANE_Int *length) {
    if (length != nullptr) *length = 0;
    Handle *h = static_cast<Handle *>(handle);
    if (h == nullptr || h != g_handle || data == nullptr || length == nullptr || max_length < 0)
        return SANE_STATUS_INVAL;
    try {
        return Read(h, data, max_length, length);
    } catch (...) {
        return SANE_STATUS_NO_MEM;
    }
}

// Safe in a signal handler (scanimage cancels from its SIGINT handler): a
// flag and one write. The worker stops at its next line and drains the rest.
TARNSANE_ENTRY(void, cancel)(SANE_Handle handle) {
    Handle *h = static_cast<Handle *>(handle);
    if (h == nullptr || h != g_handle) return;
    ++h->cancels;
    h->cancelled = true;
    h->batchOpen = false;
    Wake(h);
}

// Both after any sane_start, even one whose frame failed at once.
TARNSANE_ENTRY(SANE_Status, set_io_mode)(SANE_Handle handle, SANE_Bool non_blocking) {
    try {
        std::lock_guard<std::mutex> lock(g_api);
        Handle *h = static_cast<Handle *>(handle);
        if (h == nullptr || h != g_handle || !FrameStarted(h)) return SANE_STATUS_INVAL;
        h->nonBlocking = non_blocking == SANE_TRUE;
        return SANE_STATUS_GOOD;
    } catch (...) {
        return SANE_STATUS_NO_MEM;
    }
}

TARNSANE_ENTRY(SANE_Status, get_select_fd)(SANE_Handle handle, SANE_Int *fd) {
    try {
        std::lock_guard<std::mutex> lock(g_api);
        Handle *h = static_cast<Handle *>(handle);
        if (h == nullptr || h != g_handle || fd == nullptr || !FrameStarted(h))
            return SANE_STATUS_INVAL;
        *fd = h->wakeRead;
        return SANE_STATUS_GOOD;
    } catch (...) {
        return SANE_STATUS_NO_MEM;
    }
}
