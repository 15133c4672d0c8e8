// A camera that goes away: the line's other end is closed under an open
// session. Every call must come back at once with a failure, and the session
// must close and open again on a new line.
#include <gtest/gtest.h>

#include <chrono>
#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

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

double Seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

TEST(Unplugged, CallsFailAtOnceAndTheSessionRecovers) {
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
    ASSERT_EQ(read(second.camera, sent, 4), 4);
    EXPECT_EQ(sent[1], 'I');
    EXPECT_EQ(SciCloseCamera(), SCI_OK);
}

} // namespace
