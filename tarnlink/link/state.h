// Process-wide state of the camera library. Every field is constant-initialised,
// so loading the library runs none of its code.
#pragma once

#include <cstdint>

namespace tarnlink {

constexpr int kPictureReplyBytes = 20680; // 164 x (2 + 124) + 16
constexpr int kThumbReplyBytes = 1256;    // 40 x 31 + 16
constexpr int kDefaultMaxCameraImages = 254;

// A Win32 HANDLE or a POSIX descriptor; -1 is invalid on both.
using PortHandle = intptr_t;
constexpr PortHandle kInvalidPort = -1;

struct LibraryState {
    PortHandle portHandle;
    int32_t portOpen;     // 1 once the port is open and fully configured
    int32_t sessionOpen;  // 1 once SciOpenCamera has completed
    uint8_t *imageBuffer; // picture reply payload
    uint8_t *workBuffer;  // reformatted frame
    uint8_t *thumbBuffer; // thumbnail reply payload
    int32_t maxCameraImages;
    int32_t lineTrailerLength; // from the last SciBeginUploadImage
    int32_t lineBlackLevel;
    // 1 while bytes sent for an earlier exchange may still arrive: the next
    // command first waits for the line to fall quiet.
    int32_t lineOutOfStep;
    uint32_t streamBytesLeft; // of the picture stream SciBeginUploadImage opened
};

extern LibraryState g_lib;
extern const char kVersionText[5];

} // namespace tarnlink
