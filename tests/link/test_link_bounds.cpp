// Cameras that misbehave in time: a noise trickle, a reply that comes after
// the host stopped waiting, a stream longer than any input queue. Every call
// returns within the bound its header states, and no command is ever given
// the reply of another.
#include <cstdint>
#include <vector>

#include "link_fixture.h"

using namespace linktest;

namespace {

class Bounds : public Link {};

// The ACK, then a byte that is never STX every 900 ms: each byte would restart
// a read's time-out, so only the reply's deadline ends the search.
TEST_F(Bounds, NoiseTrickleEndsByTheReplyDeadline) {
    ControlOk("fault I trickle");
    uint8_t index = 0xEE;
    const auto start = Clock::now();
    EXPECT_EQ(SciGetImageIndex(&index), 234);
    const double took = SecondsSince(start);
    EXPECT_GT(took, 1.9) << "the trickle's bytes were waited for";
    EXPECT_LT(took, 3.6) << "the bound stated for a command";
    EXPECT_EQ(index, 0);

    // The camera goes on trickling: the next command drains for at most six
    // seconds, then gets no acknowledgement from a camera that is not listening.
    const auto next = Clock::now();
    EXPECT_NE(SciGetImageIndex(&index), SCI_OK);
    EXPECT_LT(SecondsSince(next), 9.6);
    ControlOk("clear");
    EXPECT_EQ(SciSyncCamera(), SCI_OK);
}

// Register 1 answered 1,300 ms late: the following read of register 2 gets
// register 2's value (or a failure), never register 1's.
TEST_F(Bounds, LateReplyIsNeverTakenForTheNextCommand) {
    ASSERT_EQ(SciWriteCameraReg(1, 0x11), SCI_OK);
    ASSERT_EQ(SciWriteCameraReg(2, 0x22), SCI_OK);
    ASSERT_EQ(SciWriteCameraReg(3, 0x33), SCI_OK);
    ControlOk("fault R late");
    uint8_t value = 0xEE;
    EXPECT_EQ(SciReadCameraReg(1, &value), SCI_COMMS_SEND_TIMEOUT);

    const auto start = Clock::now();
    EXPECT_EQ(SciReadCameraReg(2, &value), SCI_OK);
    EXPECT_EQ(value, 0x22);
    // The drain waited for the late reply and then a quiet read.
    EXPECT_GT(SecondsSince(start), 2.4);
    EXPECT_LT(SecondsSince(start), 9.6);
    // And the one after it is in step at once.
    const auto third = Clock::now();
    EXPECT_EQ(SciReadCameraReg(3, &value), SCI_OK);
    EXPECT_EQ(value, 0x33);
    EXPECT_LT(SecondsSince(third), 0.5);
}

// 96 KiB pending, far more than a Windows input queue: one sync finds the
// camera (a port scan gives up after one failed sync).
TEST_F(Bounds, OneSyncAfterAFloodFindsTheCamera) {
    ControlOk("fault E flood");
    uint8_t echo = 0;
    EXPECT_NE(SciEchoByte(5, &echo), SCI_OK);
    const auto start = Clock::now();
    EXPECT_EQ(SciSyncCamera(), SCI_OK);
    EXPECT_LT(SecondsSince(start), 13.2);

    // The same flood met by the sync's own first query.
    ControlOk("fault I flood");
    EXPECT_EQ(SciSyncCamera(), SCI_OK);
    EXPECT_EQ(SciGetImageIndex(&echo), SCI_OK);
}

// The longest bound of all: a picture upload whose camera acknowledges and
// then trickles noise for ever.
TEST_F(Bounds, WorstCameraForTheLongestCall) {
    ControlOk("counter 0");
    ControlOk("fault U trickle");
    std::vector<uint8_t> picture(SCI_PICTURE_BYTES, 0xCD);
    const auto start = Clock::now();
    EXPECT_EQ(SciUploadImage(picture.data(), nullptr), 234);
    const double took = SecondsSince(start);
    EXPECT_GT(took, 22.0) << "a picture's reply is given its whole allowance";
    EXPECT_LT(took, 24.2) << "the bound stated for SciUploadImage";
    EXPECT_EQ(picture, std::vector<uint8_t>(SCI_PICTURE_BYTES, 0xCD));
}

} // namespace
