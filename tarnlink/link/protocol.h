// The camera's packet protocol: a command packet, a one-byte acknowledgement,
// one reply packet. Knows the framing and the reply types, not the commands.
#pragma once

#include <cstdint>

#include "tarnlink.h"

namespace tarnlink {

constexpr uint8_t kStx = 0x02;
constexpr uint8_t kEtx = 0x03;
constexpr uint8_t kAck = 0x06;
constexpr uint8_t kBusyReply = '!';

// Sends STX, letter, argument byte(s), ETX and waits for the acknowledgement:
// SCI_OK, SCI_COMMS_SEND_TIMEOUT or SCI_COMMS_SEND_NAK.
SciStatus SendCommand(uint8_t letter, int32_t argument);
SciStatus SendCommand2(uint8_t letter, int32_t first, int32_t second);

// Skips input up to STX and reads the reply's type byte into *type.
SciStatus ReadReplyStart(uint8_t *type);

// Reads one whole reply packet. *type receives the type byte as soon as it is
// read; the payload goes to payload (capacity bytes at most) and its length to
// *length when length is not null.
SciStatus ReadReply(uint8_t *type, uint8_t *payload, uint32_t capacity, uint32_t *length = nullptr);

// What a well-formed reply means to a command expecting replyType:
// SCI_OK, SCI_CAMERA_BUSY or SCI_COMMS_BAD_RESPONSE.
SciStatus InterpretReply(uint8_t type, uint8_t replyType);

// The system's last error as a status (positive).
SciStatus LinkError();

} // namespace tarnlink
