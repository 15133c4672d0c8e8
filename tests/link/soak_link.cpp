// Soak run: thousands of commands and uploads against a simulator that injects
// random faults. Every call must come back within its time-outs, every fault
// must be cured by a re-synchronisation, and (under the sanitizers) nothing may
// leak or touch memory it should not.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "camsim_client.h"
#include "tarnlink.h"

using namespace linktest;

namespace {

constexpr double kSoakSeconds = 45.0;
// The bounds the header states: a command, plus the drain after a failed one.
constexpr double kCommandBound = 3.6 + 6.0;
constexpr double kUploadBound = 24.2 + 6.0;
// What calls take on average: a clean one some milliseconds, one that meets a
// fault its time-outs and the drain and syncs after it. The throughput floor
// follows the faults that happened, so the soak can be run at any fault rate.
constexpr double kCleanCallSeconds = 0.05;
constexpr double kFaultSeconds = 6.0;
constexpr int kPicturesInCamera = 4; // the wrapper starts the simulator with four scenes

struct Rng {
    uint32_t state = 12345;
    uint32_t Below(uint32_t n) {
        state = state * 1664525u + 1013904223u;
        return (state >> 8) % n;
    }
};

std::vector<uint8_t> g_buffer(SCI_PICTURE_BYTES);

SciStatus LineUpload() {
    int32_t lines = 0, length = 0;
    SciStatus s = SciBeginUploadImage(&lines, &length);
    if (s != SCI_OK) return s;
    if (lines <= 0 || length <= 0 || static_cast<size_t>(length) > g_buffer.size()) return -2;
    for (int i = 0; i < lines && s == SCI_OK; ++i) s = SciUploadImageLine(g_buffer.data(), length);
    if (s != SCI_OK) return s;
    SciImageInfo info;
    return SciUploadImageInfo(&info);
}

struct Operation {
    const char *name;
    bool upload;
    SciStatus (*call)(Rng &);
};

const Operation kOperations[] = {
    {"index", false,
     [](Rng &) {
         uint8_t v;
         return SciGetImageIndex(&v);
     }},
    {"counter", false,
     [](Rng &r) { return SciResetImageCounter(static_cast<int32_t>(r.Below(kPicturesInCamera))); }},
    {"echo", false,
     [](Rng &r) {
         uint8_t v;
         return SciEchoByte(static_cast<int32_t>(r.Below(256)), &v);
     }},
    {"firmware", false,
     [](Rng &) {
         char t[17];
         return SciGetFirmwareVersion(t);
     }},
    {"range", false,
     [](Rng &) {
         uint8_t a, b;
         return SciGetGrabRange(&a, &b);
     }},
    {"register", false,
     [](Rng &r) {
         uint8_t v;
         return SciReadCameraReg(static_cast<int32_t>(r.Below(256)), &v);
     }},
    {"increment", false,
     [](Rng &r) {
         uint8_t v;
         return SciIncrementCounter(static_cast<int32_t>(r.Below(65536)), &v);
     }},
    {"testresult", false,
     [](Rng &) {
         uint8_t v;
         return SciTestResult(&v);
     }},
    {"sync2", false,
     [](Rng &) {
         uint8_t v;
         return SciSyncCamera2(&v);
     }},
    {"thumbnail", true, [](Rng &) { return SciUploadThumbnail(g_buffer.data(), nullptr); }},
    {"colour", true,
     [](Rng &) {
         SciImageInfo i;
         return SciUploadImage(g_buffer.data(), &i);
     }},
    {"grey", true, [](Rng &) { return SciUploadGreyImage(g_buffer.data(), nullptr); }},
    {"lines", true, [](Rng &) { return LineUpload(); }},
};

} // namespace

TEST(Soak, RandomFaultsAlwaysRecover) {
    ASSERT_EQ(SciOpenCamera(CameraPort().c_str()), SCI_OK);
    Rng rng;
    const auto start = Clock::now();
    int calls = 0, faults = 0, reopen = 0;
    while (SecondsSince(start) < kSoakSeconds) {
        const Operation &op = kOperations[rng.Below(sizeof kOperations / sizeof kOperations[0])];
        // Uploads need a stored picture under the counter.
        if (op.upload) SciResetImageCounter(static_cast<int32_t>(rng.Below(kPicturesInCamera)));
        const auto t0 = Clock::now();
        const SciStatus status = op.call(rng);
        const double took = SecondsSince(t0);
        ++calls;
        EXPECT_LT(took, op.upload ? kUploadBound : kCommandBound) << op.name << " " << status;
        if (status != SCI_OK && status != SCI_CAMERA_BUSY && status != SCI_CAMERA_FULL &&
            status != SCI_BAD_EXPOSURE) {
            ++faults;
            // One re-synchronisation brings the session back; a fault injected
            // into the sync itself may need another.
            SciStatus sync = SciSyncCamera();
            for (int i = 0; i < 3 && sync != SCI_OK; ++i) sync = SciSyncCamera();
            EXPECT_EQ(sync, SCI_OK) << "after " << op.name << " gave " << status;
        }
        if (++reopen == 250) { // sessions come and go too
            reopen = 0;
            SciCloseCamera();
            ASSERT_EQ(SciOpenCamera(CameraPort().c_str()), SCI_OK);
        }
    }
    SciCloseCamera();
    std::printf("soak: %d calls, %d faults in %.1f s\n", calls, faults, SecondsSince(start));
    const double faultShare = calls > 0 ? static_cast<double>(faults) / calls : 1.0;
    const double expected = kSoakSeconds / (kCleanCallSeconds + faultShare * kFaultSeconds);
    EXPECT_GT(calls, expected / 2) << faults << " faults";
    EXPECT_GT(faults, 5) << "the simulator injected too few faults to tell anything";
}
