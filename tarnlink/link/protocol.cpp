#include "link/protocol.h"

#include "link/serial.h"
#include "link/state.h"

namespace tarnlink {
namespace {

// How the payload length of a reply is found.
enum class Length : uint8_t {
    Fixed,   // always the same
    OneByte, // a length byte follows the type
    Lines,   // four bytes h0..h3 follow: h0 x (h1 + h2) + h3
};

struct ReplyType {
    uint8_t type;
    Length how;
    uint8_t fixedLength;
};

constexpr ReplyType kReplyTypes[] = {
    {'!', Length::Fixed, 1}, {'a', Length::Fixed, 1}, {'b', Length::Fixed, 1},
    {'e', Length::Fixed, 1}, {'g', Length::Fixed, 1}, {'i', Length::Fixed, 1},
    {'k', Length::Fixed, 1}, {'l', Length::Fixed, 1}, {'p', Length::Fixed, 1},
    {'q', Length::Fixed, 1}, {'r', Length::Fixed, 1}, {'t', Length::Fixed, 1},
    {'w', Length::Fixed, 1}, {'y', Length::Fixed, 1}, {'z', Length::Fixed, 1},
    {'j', Length::Fixed, 2}, {'x', Length::Fixed, 2}, {'v', Length::OneByte, 0},
    {'m', Length::Lines, 0}, {'u', Length::Lines, 0},
};

const ReplyType *FindReplyType(uint8_t type) {
    for (const ReplyType &row : kReplyTypes)
        if (row.type == type) return &row;
    return nullptr;
}

SciStatus AwaitAck() {
    uint8_t ack = 0;
    SciStatus status = SCI_COMMS_SEND_TIMEOUT;
    if (CommRead(&ack, 1)) status = ack == kAck ? SCI_OK : SCI_COMMS_SEND_NAK;
    // A refusal may be a stray byte with the real answer behind it.
    if (status != SCI_OK) MarkOutOfStep();
    return status;
}

void BeginCommand() {
    if (g_lib.lineOutOfStep) Resynchronise();
}

SciStatus ReadReplyBody(uint8_t *type, uint8_t *payload, uint32_t capacity, uint32_t *length) {
    const Deadline by = CommDeadline(ReplyAllowanceMs(capacity));
    const SciStatus start = ReadReplyStart(type, by);
    if (start != SCI_OK) return start;

    const ReplyType *row = FindReplyType(*type);
    if (row == nullptr) return SCI_COMMS_BAD_PACKET;
    uint32_t size = row->fixedLength;
    if (row->how == Length::OneByte) {
        uint8_t n = 0;
        if (!CommRead(&n, 1, by)) return LinkError();
        size = n;
    } else if (row->how == Length::Lines) {
        uint8_t h[4];
        if (!CommRead(h, 4, by)) return LinkError();
        size = uint32_t{h[0]} * (uint32_t{h[1]} + h[2]) + h[3];
    }
    if (size > capacity) return SCI_BUFFER_TOO_SMALL;
    if (!CommRead(payload, size, by)) return LinkError();

    uint8_t end = 0;
    if (!CommRead(&end, 1, by)) return LinkError();
    if (end != kEtx) return SCI_COMMS_BAD_PACKET;
    if (length != nullptr) *length = size;
    return SCI_OK;
}

} // namespace

SciStatus LinkError() {
    return static_cast<SciStatus>(CommLastError());
}

void MarkOutOfStep() {
    g_lib.lineOutOfStep = 1;
}

void Resynchronise() {
    CommDrain();
    g_lib.lineOutOfStep = 0;
    g_lib.streamBytesLeft = 0;
}

SciStatus SendCommand(uint8_t letter, int32_t argument) {
    BeginCommand();
    CommWriteByte(kStx);
    CommWriteByte(letter);
    CommWriteByte(argument);
    CommWriteByte(kEtx);
    return AwaitAck();
}

SciStatus SendCommand2(uint8_t letter, int32_t first, int32_t second) {
    BeginCommand();
    CommWriteByte(kStx);
    CommWriteByte(letter);
    CommWriteByte(first);
    CommWriteByte(second);
    CommWriteByte(kEtx);
    return AwaitAck();
}

SciStatus ReadReplyStart(uint8_t *type, Deadline by) {
    // Bytes before STX are skipped, but no more than the driver's input queue
    // holds and only until the deadline: a camera that sends noise, however
    // fast or slow, must not hold the caller. Giving up reads as a reply that
    // never came.
    constexpr uint32_t kMostSkipped = 32768;
    uint8_t byte = 0;
    for (uint32_t skipped = 0;; ++skipped) {
        if (skipped == kMostSkipped) {
            CommSetLastError(kErrorMoreData);
            return LinkError();
        }
        if (!CommRead(&byte, 1, by)) return LinkError();
        if (byte == kStx) break;
    }
    if (!CommRead(type, 1, by)) return LinkError();
    return SCI_OK;
}

SciStatus ReadReply(uint8_t *type, uint8_t *payload, uint32_t capacity, uint32_t *length) {
    const SciStatus status = ReadReplyBody(type, payload, capacity, length);
    if (status != SCI_OK) MarkOutOfStep();
    return status;
}

SciStatus InterpretReply(uint8_t type, uint8_t replyType) {
    if (type == replyType) return SCI_OK;
    if (type == kBusyReply) return SCI_CAMERA_BUSY;
    MarkOutOfStep();
    return SCI_COMMS_BAD_RESPONSE;
}

} // namespace tarnlink
