// libFuzzer target for everything that reads the camera's bytes: the reply
// reader behind the control commands, the whole uploads and the line-by-line
// upload, all through the real termios link. Each input gets a fresh
// pseudo-terminal: the first byte picks the call, the rest is what the camera
// sends; closing the master afterwards makes every further read end at once.
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "tarnlink.h"

namespace {

std::vector<uint8_t> g_picture(SCI_PICTURE_BYTES);

SciStatus LineUpload() {
    int32_t lines = 0, length = 0;
    SciStatus s = SciBeginUploadImage(&lines, &length);
    if (s != SCI_OK) return s;
    if (lines < 0 || lines > 255 || length < 0 || length > 255) std::abort();
    uint8_t line[255];
    for (int i = 0; i < lines && s == SCI_OK; ++i) s = SciUploadImageLine(line, length);
    if (s != SCI_OK) return s;
    SciImageInfo info;
    return SciUploadImageInfo(&info);
}

SciStatus Commands() {
    uint8_t a, b;
    char text[17];
    SciStatus s = SciGetImageIndex(&a);
    s |= SciEchoByte(1, &a);
    s |= SciGetFirmwareVersion(text);
    s |= SciGetGrabRange(&a, &b);
    s |= SciIncrementCounter(5, &a);
    s |= SciGrabResult();
    s |= SciSyncCamera2(&a);
    return s;
}

SciStatus (*const kCalls[])() = {
    Commands,
    [] { return SciUploadImage(g_picture.data(), nullptr); },
    [] { return SciUploadGreyImage(g_picture.data(), nullptr); },
    [] { return SciUploadThumbnail(g_picture.data(), nullptr); },
    LineUpload,
};

// Feeds the camera's bytes to the master side until all are written or the
// call under test has finished, then hangs up.
void Feed(int master, const uint8_t *data, size_t size, const std::atomic<bool> &done) {
    size_t sent = 0;
    while (sent < size && !done.load()) {
        const ssize_t n = write(master, data + sent, size - sent);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            continue;
        }
        pollfd p = {master, POLLOUT, 0};
        poll(&p, 1, 10);
    }
    close(master);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    const auto call = kCalls[data[0] % (sizeof kCalls / sizeof kCalls[0])];

    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) std::abort();
    if (SciOpenCamera(ptsname(master)) != SCI_OK) std::abort();

    std::atomic<bool> done{false};
    std::thread feeder(Feed, master, data + 1, size - 1, std::cref(done));
    call();
    done = true;
    feeder.join();
    SciCloseCamera();
    return 0;
}
