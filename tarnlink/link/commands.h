// The camera's control commands: one table row per command, one exchange
// function that walks a row. The exports in commands.cpp and session.cpp add
// their argument checks and decode the payload.
#pragma once

#include <cstdint>

#include "tarnlink.h"

namespace tarnlink {

enum CommandId : uint8_t {
    kCmdResetCounter,
    kCmdBuzzer,
    kCmdEcho,
    kCmdGrab,
    kCmdImageIndex,
    kCmdIncrement,
    kCmdWriteRam,
    kCmdGoIdle,
    kCmdSetPort0,
    kCmdVideoMode,
    kCmdReadReg,
    kCmdSetGrabRange,
    kCmdFirmware,
    kCmdWriteReg,
    kCmdGetGrabRange,
    kCmdGrabResult,
    kCmdQuitSelfTest,
    kCommandCount
};

constexpr uint32_t kMaxReplyCapacity = 16;

struct Reply {
    uint8_t type;
    uint32_t length;
    uint8_t payload[kMaxReplyCapacity];
};

// Sends the row's command with its argument byte(s), reads the reply with the
// row's capacity and interprets its type. SCI_OK and SCI_CAMERA_BUSY leave the
// payload in reply; anything else is the exchange's failure.
SciStatus Exchange(CommandId id, int32_t first, int32_t second, Reply &reply);

// Status of the result byte of the grab-result query.
SciStatus GrabResultStatus(uint8_t result);

} // namespace tarnlink
