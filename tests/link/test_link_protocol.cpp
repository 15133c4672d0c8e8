// Packets on the wire and every way a reply can go wrong, against the camera
// simulator: the host's bytes are checked with its "last" record, the camera's
// bytes are scripted with "raw".
#include <cstring>

#include "link_fixture.h"

using namespace linktest;
using Bytes = std::vector<uint8_t>;

TEST_F(Link, PictureIndexQueryWorkedExchange) {
    Script("06 02 69 05 03");
    uint8_t index = 0xEE;
    EXPECT_EQ(SciGetImageIndex(&index), SCI_OK);
    EXPECT_EQ(index, 5);
    EXPECT_EQ(LastPacket(), (Bytes{0x02, 0x49, 0x00, 0x03}));
}

TEST_F(Link, BusyReplyWorkedExchange) {
    Script("06 02 21 07 03");
    uint8_t index = 0xEE;
    EXPECT_EQ(SciGetImageIndex(&index), SCI_CAMERA_BUSY);
    EXPECT_EQ(index, 0);
    // The commands that hand the busy byte on.
    Script("06 02 21 07 03");
    uint8_t echo = 0;
    EXPECT_EQ(SciEchoByte(9, &echo), SCI_CAMERA_BUSY);
    EXPECT_EQ(echo, 7);
    Script("06 02 21 08 03");
    uint8_t result = 0;
    EXPECT_EQ(SciTestResult(&result), SCI_CAMERA_BUSY);
    EXPECT_EQ(result, 8);
    Script("06 02 21 09 03");
    EXPECT_EQ(SciSyncCamera2(&result), SCI_CAMERA_BUSY);
    EXPECT_EQ(result, 9);
}

TEST_F(Link, FirmwareVersionWorkedExchange) {
    Script("06 02 76 04 53 49 4D 31 03");
    char text[17];
    EXPECT_EQ(SciGetFirmwareVersion(text), SCI_OK);
    EXPECT_STREQ(text, "SIM1");
    EXPECT_EQ(LastPacket(), (Bytes{0x02, 0x56, 0x00, 0x03}));

    Script("06 02 76 00 03"); // empty text
    EXPECT_EQ(SciGetFirmwareVersion(text), SCI_OK);
    EXPECT_STREQ(text, "");

    Script("06 02 76 05 41 42 00 43 44 03"); // text up to its first zero
    EXPECT_EQ(SciGetFirmwareVersion(text), SCI_OK);
    EXPECT_STREQ(text, "AB");

    Script("06 02 76 10 41 41 41 41 41 41 41 41 41 41 41 41 41 41 41 41 03"); // 16, no zero
    EXPECT_EQ(SciGetFirmwareVersion(text), SCI_OK);
    EXPECT_STREQ(text, "AAAAAAAAAAAAAAAA");

    Script("06 02 76 11 41 41 41 41 41 41 41 41 41 41 41 41 41 41 41 41 41 03");
    EXPECT_EQ(SciGetFirmwareVersion(text), SCI_BUFFER_TOO_SMALL);
    EXPECT_STREQ(text, "0");
    EXPECT_EQ(SciSyncCamera(), SCI_OK); // drains the unread rest
}

TEST_F(Link, ControlCommandsSendTheirBytes) {
    struct Case {
        const char *reply;
        SciStatus (*call)();
        Bytes sent;
    };
    const Case cases[] = {
        {"06 02 61 00 03", [] { return SciResetImageCounter(7); }, {0x02, 'A', 7, 0x03}},
        {"06 02 62 00 03", [] { return SciSoundBuzzer(255, 1); }, {0x02, 'B', 255, 1, 0x03}},
        {"06 02 67 00 03", [] { return SciGrabImage(15, 32); }, {0x02, 'G', 0x2F, 0x03}},
        {"06 02 67 00 03", [] { return SciGrabImage(3, 33); }, {0x02, 'G', 0x03, 0x03}},
        {"06 02 6B 00 03", [] { return SciWriteRAMByte(0x1AB); }, {0x02, 'K', 0xAB, 0x03}},
        {"06 02 6C 00 03", [] { return SciGoIdle(); }, {0x02, 'L', 0, 0x03}},
        {"06 02 71 00 03", [] { return SciSetVideoMode(2); }, {0x02, 'Q', 2, 0x03}},
        {"06 02 74 00 03",
         [] { return SciSetGrabRange(0x10, 0x90); },
         {0x02, 'T', 0x10, 0x90, 0x03}},
        {"06 02 77 00 03", [] { return SciWriteCameraReg(300, 1); }, {0x02, 'W', 0x2C, 1, 0x03}},
        {"06 02 79 00 03", [] { return SciGrabResult(); }, {0x02, 'Y', 0, 0x03}},
        {"06 02 7A 00 03", [] { return SciQuitSelfTest(); }, {0x02, 'Z', 0, 0x03}},
        {"06 02 6A 00 05 03",
         [] {
             uint8_t r;
             return SciIncrementCounter(0x1234, &r);
         },
         {0x02, 'J', 0x34, 0x12, 0x03}},
        {"06 02 6A 00 05 03",
         [] {
             uint8_t r;
             return SciIncrementCounter(0xFFFF, &r);
         },
         {0x02, 'J', 0xFF, 0x7F, 0x03}},
    };
    for (const Case &c : cases) {
        Script(c.reply);
        EXPECT_EQ(c.call(), SCI_OK) << c.reply;
        EXPECT_EQ(LastPacket(), c.sent) << c.reply;
    }
}

TEST_F(Link, CommandsDecodeTheirReplies) {
    uint8_t a = 0, b = 0;
    Script("06 02 65 5A 03");
    EXPECT_EQ(SciEchoByte(0x5A, &a), SCI_OK);
    EXPECT_EQ(a, 0x5A);
    EXPECT_EQ(LastPacket(), (Bytes{0x02, 'E', 0x5A, 0x03}));
    Script("06 02 6A 02 03 03"); // STX and ETX inside a payload are data
    EXPECT_EQ(SciIncrementCounter(1, &a), SCI_OK);
    EXPECT_EQ(a, 0x03);
    Script("06 02 70 42 03");
    EXPECT_EQ(SciSetPort0(0x11, &a), SCI_OK);
    EXPECT_EQ(a, 0x42);
    Script("06 02 72 99 03");
    EXPECT_EQ(SciReadCameraReg(0x105, &a), SCI_OK);
    EXPECT_EQ(a, 0x99);
    EXPECT_EQ(LastPacket(), (Bytes{0x02, 'R', 0x05, 0x03}));
    Script("06 02 78 12 34 03");
    EXPECT_EQ(SciGetGrabRange(&a, &b), SCI_OK);
    EXPECT_EQ(a, 0x12);
    EXPECT_EQ(b, 0x34);
    Script("06 02 69 02 03");
    EXPECT_EQ(SciGetImageIndex(&a), SCI_OK);
    EXPECT_EQ(a, 0x02);
}

TEST_F(Link, GrabResultBytes) {
    const struct {
        const char *reply;
        SciStatus grab;
        uint8_t byte;
    } cases[] = {
        {"06 02 79 00 03", SCI_OK, 0x00},
        {"06 02 79 80 03", SCI_CAMERA_FULL, 0x80},
        {"06 02 79 81 03", SCI_BAD_EXPOSURE, 0x81},
        {"06 02 79 82 03", SCI_COMMS_BAD_PACKET, 0x82},
    };
    for (const auto &c : cases) {
        Script(c.reply);
        EXPECT_EQ(SciGrabResult(), c.grab) << c.reply;
        Script(c.reply);
        uint8_t result = 0xEE;
        EXPECT_EQ(SciTestResult(&result), SCI_OK) << c.reply;
        EXPECT_EQ(result, c.byte);
    }
    // A full camera still answered the presence test.
    Script("06 02 79 80 03");
    uint8_t result = 0xEE;
    EXPECT_EQ(SciSyncCamera2(&result), SCI_OK);
    EXPECT_EQ(result, 0);
}

TEST_F(Link, ReplyOfAnotherCommand) {
    uint8_t index = 0xEE;
    Script("06 02 78 01 02 03"); // a valid 'x' reply to 'I'
    EXPECT_EQ(SciGetImageIndex(&index), SCI_COMMS_BAD_RESPONSE);
    EXPECT_EQ(index, 0);
    uint8_t echo = 0;
    Script("06 02 78 01 02 03");
    EXPECT_EQ(SciEchoByte(1, &echo), SCI_COMMS_BAD_RESPONSE);
    EXPECT_EQ(echo, 0xFF);
    uint8_t first = 0xEE, second = 0xEE;
    Script("06 02 69 01 03");
    EXPECT_EQ(SciGetGrabRange(&first, &second), SCI_COMMS_BAD_RESPONSE);
    EXPECT_EQ(first, 0);
    EXPECT_EQ(second, 0);
}

TEST_F(Link, MalformedReplies) {
    uint8_t index = 0xEE;
    Script("06 02 49 05 03"); // the command letter echoed back as a type
    EXPECT_EQ(SciGetImageIndex(&index), SCI_COMMS_BAD_PACKET);
    EXPECT_EQ(SciSyncCamera(), SCI_OK);
    Script("06 02 69 05 04"); // no ETX
    EXPECT_EQ(SciGetImageIndex(&index), SCI_COMMS_BAD_PACKET);
    Script("06 55 AA 69 03 02 69 06 03"); // noise before the STX is skipped
    EXPECT_EQ(SciGetImageIndex(&index), SCI_OK);
    EXPECT_EQ(index, 6);
}

TEST_F(Link, AcknowledgementRefusedOrMissing) {
    uint8_t index = 0xEE;
    Script("15");
    EXPECT_EQ(SciGetImageIndex(&index), SCI_COMMS_SEND_NAK);
    EXPECT_EQ(SciSyncCamera(), SCI_OK); // so that no drain comes before the next one
    ControlOk("fault I silent");
    const auto start = Clock::now();
    EXPECT_EQ(SciGetImageIndex(&index), SCI_COMMS_SEND_TIMEOUT);
    const double took = SecondsSince(start);
    EXPECT_GT(took, 0.95);
    EXPECT_LT(took, 1.6);
}

TEST_F(Link, ReplyThatStopsPartWayTimesOutWith234) {
    uint8_t index = 0xEE;
    Script("06 02 69");
    const auto start = Clock::now();
    EXPECT_EQ(SciGetImageIndex(&index), 234);
    EXPECT_GT(SecondsSince(start), 0.95);
    EXPECT_LT(SecondsSince(start), 1.6);

    Script("06 11 22 33"); // noise only
    EXPECT_EQ(SciGetImageIndex(&index), 234);

    Script("06 02 76 08 41 42"); // payload cut short
    char text[17];
    EXPECT_EQ(SciGetFirmwareVersion(text), 234);
    EXPECT_STREQ(text, "0");
}

TEST_F(Link, BusyFromTheCameraItself) {
    ControlOk("fault I busy");
    const auto start = Clock::now();
    EXPECT_EQ(SciSyncCamera(), SCI_CAMERA_BUSY);
    EXPECT_LT(SecondsSince(start), 0.5); // no second attempt
    EXPECT_EQ(SciSyncCamera(), SCI_OK);
}

TEST_F(Link, SimulatorFaultsGiveTheirStatus) {
    const struct {
        const char *fault;
        SciStatus status;
    } cases[] = {
        {"fault I nak", SCI_COMMS_SEND_NAK},
        {"fault I badtype", SCI_COMMS_BAD_PACKET},
        {"fault I wrongtype", SCI_COMMS_BAD_RESPONSE},
        {"fault I noetx", SCI_COMMS_BAD_PACKET},
        {"fault I busy", SCI_CAMERA_BUSY},
    };
    for (const auto &c : cases) {
        ControlOk(c.fault);
        uint8_t index;
        EXPECT_EQ(SciGetImageIndex(&index), c.status) << c.fault;
        EXPECT_EQ(SciSyncCamera(), SCI_OK) << c.fault;
    }
}

TEST(LinkArguments, CheckedBeforeThePort) {
    SciCloseCamera();
    uint8_t byte = 0xEE;
    char text[17] = "xyz";
    EXPECT_EQ(SciResetImageCounter(-1), SCI_BAD_PARAMETER);
    EXPECT_EQ(SciResetImageCounter(255), SCI_BAD_PARAMETER);
    EXPECT_EQ(SciResetImageCounter(254), SCI_COMMS_NOT_OPEN);
    EXPECT_EQ(SciSoundBuzzer(0, 5), SCI_BAD_PARAMETER);
    EXPECT_EQ(SciSoundBuzzer(5, 256), SCI_BAD_PARAMETER);
    EXPECT_EQ(SciSoundBuzzer(255, 1), SCI_COMMS_NOT_OPEN);
    EXPECT_EQ(SciGrabImage(16, 0), SCI_BAD_PARAMETER);
    EXPECT_EQ(SciGrabImage(-1, 0), SCI_BAD_PARAMETER);
    EXPECT_EQ(SciGrabImage(15, 32), SCI_COMMS_NOT_OPEN);
    EXPECT_EQ(SciEchoByte(1, nullptr), SCI_NULL_POINTER);
    EXPECT_EQ(SciGetImageIndex(nullptr), SCI_NULL_POINTER);
    EXPECT_EQ(SciIncrementCounter(1, nullptr), SCI_NULL_POINTER);
    EXPECT_EQ(SciSetPort0(1, nullptr), SCI_NULL_POINTER);
    EXPECT_EQ(SciReadCameraReg(1, nullptr), SCI_NULL_POINTER);
    EXPECT_EQ(SciGetFirmwareVersion(nullptr), SCI_NULL_POINTER);
    EXPECT_EQ(SciGetGrabRange(&byte, nullptr), SCI_NULL_POINTER);
    EXPECT_EQ(SciGetGrabRange(nullptr, &byte), SCI_NULL_POINTER);
    EXPECT_EQ(SciTestResult(nullptr), SCI_NULL_POINTER);
    EXPECT_EQ(SciSyncCamera2(nullptr), SCI_NULL_POINTER);

    // Outputs cleared before the port check...
    EXPECT_EQ(SciGetImageIndex(&byte), SCI_COMMS_NOT_OPEN);
    EXPECT_EQ(byte, 0);
    byte = 0xEE;
    EXPECT_EQ(SciIncrementCounter(1, &byte), SCI_COMMS_NOT_OPEN);
    EXPECT_EQ(byte, 0);
    byte = 0xEE;
    EXPECT_EQ(SciReadCameraReg(1, &byte), SCI_COMMS_NOT_OPEN);
    EXPECT_EQ(byte, 0);
    EXPECT_EQ(SciGetFirmwareVersion(text), SCI_COMMS_NOT_OPEN);
    EXPECT_STREQ(text, "0");
    // ...and after it.
    byte = 0xEE;
    EXPECT_EQ(SciEchoByte(1, &byte), SCI_COMMS_NOT_OPEN);
    EXPECT_EQ(byte, 0xEE);
    EXPECT_EQ(SciSetPort0(1, &byte), SCI_COMMS_NOT_OPEN);
    EXPECT_EQ(byte, 0xEE);
    EXPECT_EQ(SciTestResult(&byte), SCI_COMMS_NOT_OPEN);
    EXPECT_EQ(byte, 0xEE);
    uint8_t other = 0xEE;
    EXPECT_EQ(SciGetGrabRange(&byte, &other), SCI_COMMS_NOT_OPEN);
    EXPECT_EQ(byte, 0xEE);

    for (SciStatus s : {SciWriteRAMByte(1), SciGoIdle(), SciSetVideoMode(1), SciSetGrabRange(1, 2),
                        SciWriteCameraReg(1, 2), SciGrabResult(), SciQuitSelfTest(),
                        SciSyncCamera(), SciSyncCamera2(&byte)})
        EXPECT_EQ(s, SCI_COMMS_NOT_OPEN);
}
