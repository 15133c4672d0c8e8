// The camera session: opening, closing, synchronising, time-outs on a silent
// camera, a port held by another program, and the MaxCameraImages setting.
#include <cstring>

#include "link_fixture.h"

using namespace linktest;

class Sync : public Link {};

TEST(Session, OpenCloseAndStates) {
    SciCloseCamera();
    ControlOk("clear");
    EXPECT_EQ(SciCloseCamera(), SCI_OK); // harmless twice
    EXPECT_EQ(SciSyncCamera(), SCI_COMMS_NOT_OPEN);
    ASSERT_EQ(SciOpenCamera(CameraPort().c_str()), SCI_OK);
    EXPECT_EQ(SciOpenCamera(CameraPort().c_str()), SCI_COMMS_ALREADY_OPEN);
    EXPECT_EQ(SciSyncCamera(), SCI_OK); // the open session was left as it was
    EXPECT_EQ(SciCloseCamera(), SCI_OK);
    EXPECT_EQ(SciSyncCamera(), SCI_COMMS_NOT_OPEN);
    EXPECT_EQ(SciOpenCamera(nullptr), SCI_NULL_POINTER);
}

TEST(Session, VersionAndMaxWithoutSession) {
    SciCloseCamera();
    char version[8];
    std::memset(version, 'x', sizeof version);
    EXPECT_EQ(SciGetDLLVersion(version), SCI_OK);
    EXPECT_EQ(std::memcmp(version, "1.05\0xxx", 8), 0); // exactly five bytes written
    EXPECT_EQ(SciGetDLLVersion(nullptr), SCI_NULL_POINTER);
    EXPECT_EQ(SciGetMaxCameraImages(nullptr), SCI_NULL_POINTER);
}

TEST(Session, MissingPortGivesTheSystemError) {
    SciCloseCamera();
#if defined(_WIN32)
    const char *missing = "COM199";
#else
    const char *missing = "/dev/no-such-camera-port";
#endif
    EXPECT_EQ(SciOpenCamera(missing), 2); // file not found, on both systems
    EXPECT_EQ(SciSyncCamera(), SCI_COMMS_NOT_OPEN);
}

TEST(Session, PortHeldByAnotherProgram) {
    if (!ExclusiveOpenEnforced()) GTEST_SKIP() << "this serial driver lets a second program in";
    SciCloseCamera();
    ControlOk("clear");
    ASSERT_TRUE(HoldPortElsewhere(CameraPort()));
    const SciStatus status = SciOpenCamera(CameraPort().c_str());
    ReleaseHeldPort();
    EXPECT_GT(status, 0) << "a system error code";
    EXPECT_EQ(SciSyncCamera(), SCI_COMMS_NOT_OPEN);
    // Once released the port opens.
    ASSERT_EQ(SciOpenCamera(CameraPort().c_str()), SCI_OK);
    EXPECT_EQ(SciSyncCamera(), SCI_OK);
    SciCloseCamera();
}

TEST(Session, HeldWhileOpenReleasedAtClose) {
    if (!ExclusiveOpenEnforced()) GTEST_SKIP() << "this serial driver lets a second program in";
    SciCloseCamera();
    ASSERT_EQ(SciOpenCamera(CameraPort().c_str()), SCI_OK);
    // Held by this library itself: another program could not take it.
    EXPECT_FALSE(HoldPortElsewhere(CameraPort()));
    ReleaseHeldPort();
    SciCloseCamera();
    EXPECT_TRUE(HoldPortElsewhere(CameraPort()));
    ReleaseHeldPort();
}

TEST_F(Sync, WithNoCameraAnswering) {
    ControlOk("fault * silent always");
    const auto start = Clock::now();
    EXPECT_EQ(SciSyncCamera(), SCI_CAMERA_NOT_PRESENT);
    const double took = SecondsSince(start);
    // Two acknowledgement waits of 1,001 ms and a drain read of 1,256 ms.
    EXPECT_GT(took, 3.0);
    EXPECT_LT(took, 4.5);
}

TEST_F(Sync, Sync2WithNoCameraAnswering) {
    ControlOk("fault * silent always");
    uint8_t result = 0xEE;
    const auto start = Clock::now();
    EXPECT_EQ(SciSyncCamera2(&result), SCI_CAMERA_NOT_PRESENT);
    EXPECT_GT(SecondsSince(start), 3.0);
    EXPECT_LT(SecondsSince(start), 4.5);
    EXPECT_EQ(result, 0);
}

TEST_F(Sync, RecoversFromOneBadAnswer) {
    ControlOk("fault I wrongtype");
    EXPECT_EQ(SciSyncCamera(), SCI_OK);
    ControlOk("fault Y noetx");
    uint8_t result = 0xEE;
    EXPECT_EQ(SciSyncCamera2(&result), SCI_OK);
    EXPECT_EQ(result, 0);
}

TEST_F(Sync, DrainOfAStreamingCameraEnds) {
    // A picture reply is far longer than one drain; the sync after an
    // abandoned upload still comes back.
    ControlOk("counter 0");
    ControlOk("fault U oversize");
    uint8_t picture[SCI_PICTURE_BYTES];
    EXPECT_EQ(SciUploadImage(picture, nullptr), SCI_BUFFER_TOO_SMALL);
    const auto start = Clock::now();
    SciStatus status = SciSyncCamera();
    if (status != SCI_OK) status = SciSyncCamera();
    EXPECT_EQ(status, SCI_OK);
    EXPECT_LT(SecondsSince(start), 10.0);
}

class MaxSetting : public ::testing::Test {
  protected:
    void SetUp() override {
        SciCloseCamera();
        ControlOk("clear");
    }
    void TearDown() override {
        SetMaxSetting(nullptr);
        SciCloseCamera();
    }
    static int32_t Max() {
        int32_t count = -5;
        EXPECT_EQ(SciGetMaxCameraImages(&count), SCI_OK);
        return count;
    }
};

TEST_F(MaxSetting, ReadByTheRules) {
    const struct {
        const char *value;
        int32_t max;
    } cases[] = {
        {nullptr, 254}, {"0", 0},     {"24", 24},       {"253", 253},
        {"254", 254},   {"255", 254}, {"4000000", 254},
    };
    for (const auto &c : cases) {
        SetMaxSetting(c.value);
        EXPECT_EQ(Max(), c.max) << (c.value ? c.value : "(none)");
    }
}

#if defined(_WIN32)
TEST_F(MaxSetting, RegistryValueOfAnyTypeAndSize) {
    SetMaxSettingBytes({7});
    EXPECT_EQ(Max(), 7);
    SetMaxSettingBytes({0x10, 0x00, 0x00, 0x00});
    EXPECT_EQ(Max(), 16);
    SetMaxSettingBytes({0x10, 0x00, 0x00, 0x00, 0x00}); // longer than four bytes
    EXPECT_EQ(Max(), 254);
}
#else
TEST_F(MaxSetting, UnreadableEnvironmentValue) {
    for (const char *bad : {"", "abc", "12x", "-3", " 5"}) {
        SetMaxSetting(bad);
        EXPECT_EQ(Max(), 254) << "'" << bad << "'";
    }
}
#endif

TEST_F(MaxSetting, FixedWhileASessionIsOpen) {
    SetMaxSetting("10");
    ASSERT_EQ(SciOpenCamera(CameraPort().c_str()), SCI_OK);
    SetMaxSetting("20");
    EXPECT_EQ(Max(), 10);
    EXPECT_EQ(SciResetImageCounter(11), SCI_BAD_PARAMETER);
    EXPECT_EQ(SciResetImageCounter(10), SCI_OK);
    uint8_t index = 0;
    EXPECT_EQ(SciGetImageIndex(&index), SCI_OK);
    EXPECT_EQ(index, 10);
    SciCloseCamera();
    EXPECT_EQ(Max(), 20);
}
