// Control exports: argument checks in their order, then the port check, then
// one exchange of the command table.
#include "link/commands.h"

#include <cstring>

#include "link/protocol.h"
#include "link/state.h"

namespace tarnlink {
namespace {

struct CommandRow {
    uint8_t letter;   // the reply type is the same letter in lower case
    uint8_t argCount; // argument bytes sent: 1 or 2
    uint8_t capacity; // payload bytes the reply may carry
};

// Indexed by CommandId.
constexpr CommandRow kCommands[kCommandCount] = {
    {'A', 1, 4},  // reset picture counter
    {'B', 2, 4},  // sound buzzer
    {'E', 1, 4},  // echo byte
    {'G', 1, 4},  // grab picture
    {'I', 1, 4},  // picture counter query
    {'J', 2, 4},  // increment counter
    {'K', 1, 4},  // write RAM byte
    {'L', 1, 8},  // go idle
    {'P', 1, 8},  // set port 0
    {'Q', 1, 8},  // video mode
    {'R', 1, 4},  // read camera register
    {'T', 2, 4},  // set grab range
    {'V', 1, 16}, // firmware version text
    {'W', 2, 4},  // write camera register
    {'X', 1, 4},  // grab range query
    {'Y', 1, 4},  // grab result
    {'Z', 1, 8},  // quit self-test
};

struct GrabResultRow {
    uint8_t result;
    SciStatus status;
};
constexpr GrabResultRow kGrabResults[] = {
    {0x00, SCI_OK},
    {0x80, SCI_CAMERA_FULL},
    {0x81, SCI_BAD_EXPOSURE},
};

// Commands whose reply carries nothing for the caller.
SciStatus Plain(CommandId id, int32_t first, int32_t second) {
    if (!g_lib.portOpen) return SCI_COMMS_NOT_OPEN;
    Reply reply;
    return Exchange(id, first, second, reply);
}

// Commands that hand the caller the reply's byte. Some clear the output before
// the port check, some after it.
enum class Clear { BeforePortCheck, AfterPortCheck };
SciStatus ByteQuery(CommandId id, int32_t argument, uint8_t *out, Clear when) {
    if (out == nullptr) return SCI_NULL_POINTER;
    if (when == Clear::BeforePortCheck) *out = 0;
    if (!g_lib.portOpen) return SCI_COMMS_NOT_OPEN;
    *out = 0;
    Reply reply;
    const SciStatus status = Exchange(id, argument, 0, reply);
    if (status == SCI_OK) *out = reply.payload[0];
    return status;
}

} // namespace

SciStatus Exchange(CommandId id, int32_t first, int32_t second, Reply &reply) {
    const CommandRow &row = kCommands[id];
    const SciStatus sent = row.argCount == 2 ? SendCommand2(row.letter, first, second)
                                             : SendCommand(row.letter, first);
    if (sent != SCI_OK) return sent;
    reply.type = 0;
    reply.length = 0;
    const SciStatus read = ReadReply(&reply.type, reply.payload, row.capacity, &reply.length);
    if (read != SCI_OK) return read;
    return InterpretReply(reply.type, static_cast<uint8_t>(row.letter | 0x20));
}

SciStatus GrabResultStatus(uint8_t result) {
    for (const GrabResultRow &row : kGrabResults)
        if (row.result == result) return row.status;
    return SCI_COMMS_BAD_PACKET;
}

} // namespace tarnlink

using namespace tarnlink;

extern "C" SCI_API SciStatus SCICALL SciResetImageCounter(int32_t value) {
    if (value < 0 || value > g_lib.maxCameraImages) return SCI_BAD_PARAMETER;
    return Plain(kCmdResetCounter, value, 0);
}

extern "C" SCI_API SciStatus SCICALL SciSoundBuzzer(int32_t first, int32_t second) {
    if (first < 1 || first > 255 || second < 1 || second > 255) return SCI_BAD_PARAMETER;
    return Plain(kCmdBuzzer, first, second);
}

extern "C" SCI_API SciStatus SCICALL SciEchoByte(int32_t value, uint8_t *echo) {
    if (echo == nullptr) return SCI_NULL_POINTER;
    if (!g_lib.portOpen) return SCI_COMMS_NOT_OPEN;
    *echo = 0;
    Reply reply;
    const SciStatus status = Exchange(kCmdEcho, value, 0, reply);
    if (status == SCI_OK || status == SCI_CAMERA_BUSY) *echo = reply.payload[0];
    if (status == SCI_COMMS_BAD_RESPONSE) *echo = 0xFF;
    return status;
}

extern "C" SCI_API SciStatus SCICALL SciGrabImage(int32_t mode, int32_t flags) {
    if (mode < 0 || mode > 15) return SCI_BAD_PARAMETER;
    const int32_t grab = mode | (flags == 32 ? 0x20 : 0);
    return Plain(kCmdGrab, grab, 0);
}

extern "C" SCI_API SciStatus SCICALL SciGetImageIndex(uint8_t *index) {
    return ByteQuery(kCmdImageIndex, 0, index, Clear::BeforePortCheck);
}

extern "C" SCI_API SciStatus SCICALL SciIncrementCounter(int32_t value, uint8_t *result) {
    if (result == nullptr) return SCI_NULL_POINTER;
    *result = 0;
    if (!g_lib.portOpen) return SCI_COMMS_NOT_OPEN;
    Reply reply;
    const SciStatus status = Exchange(kCmdIncrement, value & 0xFF, (value >> 8) & 0x7F, reply);
    if (status == SCI_OK) *result = reply.payload[1];
    return status;
}

extern "C" SCI_API SciStatus SCICALL SciWriteRAMByte(int32_t value) {
    return Plain(kCmdWriteRam, value, 0);
}

extern "C" SCI_API SciStatus SCICALL SciGoIdle(void) {
    return Plain(kCmdGoIdle, 0, 0);
}

extern "C" SCI_API SciStatus SCICALL SciSetPort0(int32_t value, uint8_t *result) {
    return ByteQuery(kCmdSetPort0, value, result, Clear::AfterPortCheck);
}

extern "C" SCI_API SciStatus SCICALL SciSetVideoMode(int32_t mode) {
    return Plain(kCmdVideoMode, mode, 0);
}

extern "C" SCI_API SciStatus SCICALL SciReadCameraReg(int32_t reg, uint8_t *value) {
    return ByteQuery(kCmdReadReg, reg, value, Clear::BeforePortCheck);
}

extern "C" SCI_API SciStatus SCICALL SciSetGrabRange(int32_t first, int32_t second) {
    return Plain(kCmdSetGrabRange, first, second);
}

extern "C" SCI_API SciStatus SCICALL SciGetFirmwareVersion(char *text) {
    if (text == nullptr) return SCI_NULL_POINTER;
    text[0] = '0';
    text[1] = '\0';
    if (!g_lib.portOpen) return SCI_COMMS_NOT_OPEN;
    Reply reply;
    const SciStatus status = Exchange(kCmdFirmware, 0, 0, reply);
    if (status != SCI_OK) return status;
    // The text up to its first zero, or the whole payload when it has none.
    const void *zero = std::memchr(reply.payload, 0, reply.length);
    const size_t n = zero ? static_cast<size_t>(static_cast<const uint8_t *>(zero) - reply.payload)
                          : reply.length;
    std::memcpy(text, reply.payload, n);
    text[n] = '\0';
    return SCI_OK;
}

extern "C" SCI_API SciStatus SCICALL SciWriteCameraReg(int32_t reg, int32_t value) {
    return Plain(kCmdWriteReg, reg, value);
}

extern "C" SCI_API SciStatus SCICALL SciGetGrabRange(uint8_t *first, uint8_t *second) {
    if (first == nullptr || second == nullptr) return SCI_NULL_POINTER;
    if (!g_lib.portOpen) return SCI_COMMS_NOT_OPEN;
    *first = 0;
    *second = 0;
    Reply reply;
    const SciStatus status = Exchange(kCmdGetGrabRange, 0, 0, reply);
    if (status == SCI_OK) {
        *first = reply.payload[0];
        *second = reply.payload[1];
    }
    return status;
}

extern "C" SCI_API SciStatus SCICALL SciGrabResult(void) {
    if (!g_lib.portOpen) return SCI_COMMS_NOT_OPEN;
    Reply reply;
    const SciStatus status = Exchange(kCmdGrabResult, 0, 0, reply);
    return status == SCI_OK ? GrabResultStatus(reply.payload[0]) : status;
}

extern "C" SCI_API SciStatus SCICALL SciTestResult(uint8_t *result) {
    if (result == nullptr) return SCI_NULL_POINTER;
    if (!g_lib.portOpen) return SCI_COMMS_NOT_OPEN;
    *result = 0;
    Reply reply;
    const SciStatus status = Exchange(kCmdGrabResult, 0, 0, reply);
    if (status == SCI_OK || status == SCI_CAMERA_BUSY) *result = reply.payload[0];
    return status;
}

extern "C" SCI_API SciStatus SCICALL SciQuitSelfTest(void) {
    return Plain(kCmdQuitSelfTest, 0, 0);
}
