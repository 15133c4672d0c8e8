// The camera's packet protocol: a command packet, a one-byte acknowledgement,
// one reply packet. Knows the framing and the reply types, not the commands.
#pragma once

#include <cstdint>

#include "link/serial.h"
#include "tarnlink.h"

namespace tarnlink {

constexpr uint8_t kStx = 0x02;
constexpr uint8_t kEtx = 0x03;
constexpr uint8_t kAck = 0x06;
constexpr uint8_t kBusyReply = '!';

// Bytes of a reply around its payload: STX, type, four length bytes, ETX.
constexpr uint32_t kReplyFramingBytes = 7;

// How long a reply of up to `capacity` payload bytes may take from the
// acknowledgement on: a second for the camera to begin, a second of slack, and
// a millisecond per byte (5.8 times the wire time at 57,600 baud).
constexpr uint32_t ReplyAllowanceMs(uint32_t capacity) {
    return 2000 + capacity + kReplyFramingBytes;
}

// Sends STX, letter, argument byte(s), ETX and waits for the acknowledgement:
// SCI_OK, SCI_COMMS_SEND_TIMEOUT or SCI_COMMS_SEND_NAK. When an earlier
// exchange failed, first waits for the line to fall quiet (CommDrain), so that
// nothing sent for that exchange can be taken for this command's reply.
SciStatus SendCommand(uint8_t letter, int32_t argument);
SciStatus SendCommand2(uint8_t letter, int32_t first, int32_t second);

// Skips input up to STX and reads the reply's type byte into *type, all by
// the deadline.
SciStatus ReadReplyStart(uint8_t *type, Deadline by);

// Reads one whole reply packet within ReplyAllowanceMs(capacity). *type
// receives the type byte as soon as it is read; the payload goes to payload
// (capacity bytes at most) and its length to *length when length is not null.
SciStatus ReadReply(uint8_t *type, uint8_t *payload, uint32_t capacity, uint32_t *length = nullptr);

// What a well-formed reply means to a command expecting replyType:
// SCI_OK, SCI_CAMERA_BUSY or SCI_COMMS_BAD_RESPONSE. A reply of another
// command's type may be a late one, so the line counts as out of step.
SciStatus InterpretReply(uint8_t type, uint8_t replyType);

// The line may still carry bytes of a failed exchange, or the rest of an open
// picture stream; the next command drains first.
void MarkOutOfStep();
// Waits for the line to fall quiet (CommDrain); it is in step afterwards.
void Resynchronise();

// The system's last error as a status (positive).
SciStatus LinkError();

} // namespace tarnlink
