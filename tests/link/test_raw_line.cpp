// Cameras the test plays itself on a pseudo-terminal: one that goes away under
// an open session, and one that never stops sending noise.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

#include "imaging/colour.h"
#include "link/state.h"
#include "tarnlink.h"

namespace {

// A pseudo-terminal pair; the test holds the camera's end.
struct Line {
    int camera = -1;
    const char *path = nullptr;
    Line() {
        camera = posix_openpt(O_RDWR | O_NOCTTY);
        if (camera < 0 || grantpt(camera) != 0 || unlockpt(camera) != 0) return;
        path = ptsname(camera);
        termios raw;
        tcgetattr(camera, &raw);
        cfmakeraw(&raw);
        tcsetattr(camera, TCSANOW, &raw);
    }
    void Unplug() {
        close(camera);
        camera = -1;
    }
    ~Line() {
        if (camera >= 0) close(camera);
    }
};

// A failed check must not leave the session open for the tests after it.
struct CloseAtEnd {
    ~CloseAtEnd() { SciCloseCamera(); }
};

// n bytes from the line, however the terminal hands them over, or fewer when
// none come for a second.
size_t ReadBytes(int fd, uint8_t *buffer, size_t n) {
    size_t got = 0;
    pollfd p = {fd, POLLIN, 0};
    while (got < n && poll(&p, 1, 1000) == 1) {
        const ssize_t r = read(fd, buffer + got, n - got);
        if (r <= 0) break;
        got += static_cast<size_t>(r);
    }
    return got;
}

double Seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

TEST(Unplugged, CallsFailAtOnceAndTheSessionRecovers) {
    const CloseAtEnd closeAtEnd;
    Line first;
    ASSERT_NE(first.path, nullptr);
    ASSERT_EQ(SciOpenCamera(first.path), SCI_OK);
    first.Unplug();

    const auto start = std::chrono::steady_clock::now();
    uint8_t index = 0xEE;
    const SciStatus query = SciGetImageIndex(&index);
    EXPECT_NE(query, SCI_OK);
    EXPECT_EQ(index, 0);
    EXPECT_EQ(SciSyncCamera(), SCI_CAMERA_NOT_PRESENT);
    std::vector<uint8_t> picture(SCI_PICTURE_BYTES, 0x5A);
    EXPECT_NE(SciUploadImage(picture.data(), nullptr), SCI_OK);
    EXPECT_EQ(picture, std::vector<uint8_t>(SCI_PICTURE_BYTES, 0x5A)) << "nothing written";
    // A vanished line reports at once rather than waiting out the time-outs.
    EXPECT_LT(Seconds(start), 1.0);
    EXPECT_EQ(SciCloseCamera(), SCI_OK);

    // Plugged in again (a new line): a new session talks.
    Line second;
    ASSERT_NE(second.path, nullptr);
    ASSERT_EQ(SciOpenCamera(second.path), SCI_OK);
    const uint8_t answer[] = {0x06, 0x02, 0x69, 0x03, 0x03};
    ASSERT_EQ(write(second.camera, answer, sizeof answer), static_cast<ssize_t>(sizeof answer));
    EXPECT_EQ(SciGetImageIndex(&index), SCI_OK);
    EXPECT_EQ(index, 3);
    uint8_t sent[4] = {};
    ASSERT_EQ(ReadBytes(second.camera, sent, 4), 4u);
    EXPECT_EQ(sent[1], 'I');
    EXPECT_EQ(SciCloseCamera(), SCI_OK);
}

// The state a failed SciOpenCamera leaves: port open, session not. Uploads must
// not touch absent buffers or a colour engine that is not running, and must
// not talk to the camera either.
TEST(PortOnly, UploadsRefuseWithoutBuffersOrEngine) {
    const CloseAtEnd closeAtEnd;
    Line line;
    ASSERT_NE(line.path, nullptr);
    ASSERT_EQ(SciOpenCamera(line.path), SCI_OK);
    tarnlink::LibraryState &lib = tarnlink::g_lib;
    lib.sessionOpen = 0;
    tarnlink::CloseColourEngine();
    std::vector<uint8_t> picture(SCI_PICTURE_BYTES, 0x5A);
    EXPECT_EQ(SciUploadImage(picture.data(), nullptr), SCI_IMAGE_COLOUR_FAIL)
        << "buffers there, engine closed";

    uint8_t *buffers[3] = {lib.imageBuffer, lib.workBuffer, lib.thumbBuffer};
    lib.imageBuffer = lib.workBuffer = lib.thumbBuffer = nullptr;
    EXPECT_EQ(SciUploadImage(picture.data(), nullptr), SCI_IMAGE_CREATE_FAIL);
    EXPECT_EQ(SciUploadGreyImage(picture.data(), nullptr), SCI_IMAGE_CREATE_FAIL);
    EXPECT_EQ(SciUploadThumbnail(picture.data(), nullptr), SCI_IMAGE_CREATE_FAIL);
    EXPECT_EQ(picture, std::vector<uint8_t>(SCI_PICTURE_BYTES, 0x5A));
    pollfd p = {line.camera, POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 0), 0) << "nothing was sent to the camera";

    lib.imageBuffer = buffers[0];
    lib.workBuffer = buffers[1];
    lib.thumbBuffer = buffers[2];
    EXPECT_EQ(SciCloseCamera(), SCI_OK);
}

TEST(NoisyLine, EndlessNoiseEndsTheReplySearch) {
    const CloseAtEnd closeAtEnd;
    Line line;
    ASSERT_NE(line.path, nullptr);
    ASSERT_EQ(SciOpenCamera(line.path), SCI_OK);
    // The camera acknowledges, then sends bytes that are never STX, without end.
    std::atomic<bool> stop{false};
    std::thread camera([&] {
        uint8_t packet[4];
        size_t got = 0;
        while (got < sizeof packet) {
            const ssize_t n = read(line.camera, packet + got, sizeof packet - got);
            if (n <= 0) return;
            got += static_cast<size_t>(n);
        }
        const uint8_t ack = 0x06;
        if (write(line.camera, &ack, 1) != 1) return;
        uint8_t noise[256];
        for (size_t i = 0; i < sizeof noise; ++i) noise[i] = static_cast<uint8_t>(0x40 + i % 64);
        // Never blocked in a write: once the library stops reading, the line
        // fills up, and the camera must still see the stop.
        fcntl(line.camera, F_SETFL, fcntl(line.camera, F_GETFL) | O_NONBLOCK);
        while (!stop.load()) {
            pollfd p = {line.camera, POLLOUT, 0};
            if (poll(&p, 1, 50) == 1 && write(line.camera, noise, sizeof noise) < 0 &&
                errno != EAGAIN)
                return;
        }
    });
    const auto start = std::chrono::steady_clock::now();
    uint8_t index = 0xEE;
    EXPECT_EQ(SciGetImageIndex(&index), 234) << "a reply that never came";
    EXPECT_EQ(index, 0);
    EXPECT_LT(Seconds(start), 20.0);
    stop = true;
    camera.join();
    SciCloseCamera();
    line.Unplug();
}

} // namespace
