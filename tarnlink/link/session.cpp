// The camera session: open, close, synchronise, and the two informational exports.
#include <cstdlib>
#include <cstring>

#include "imaging/colour.h"
#include "link/commands.h"
#include "link/protocol.h"
#include "link/registry.h"
#include "link/serial.h"
#include "link/state.h"

namespace tarnlink {
namespace {

void ReleaseBuffers() {
    std::free(g_lib.imageBuffer);
    std::free(g_lib.workBuffer);
    std::free(g_lib.thumbBuffer);
    g_lib.imageBuffer = nullptr;
    g_lib.workBuffer = nullptr;
    g_lib.thumbBuffer = nullptr;
}

// A line just opened or closed carries nothing of an earlier exchange.
void ForgetLine() {
    g_lib.lineOutOfStep = 0;
    g_lib.streamBytesLeft = 0;
}

bool Answered(SciStatus status) {
    return status == SCI_OK || status == SCI_CAMERA_BUSY;
}

SciStatus QueryIndex() {
    Reply reply;
    return Exchange(kCmdImageIndex, 0, 0, reply);
}

// The grab-result query as a presence test: a full camera or a bad exposure
// still answered.
SciStatus QueryGrabResult(uint8_t *result) {
    *result = 0;
    Reply reply;
    SciStatus status = Exchange(kCmdGrabResult, 0, 0, reply);
    if (status == SCI_OK) status = GrabResultStatus(reply.payload[0]);
    if (status == SCI_CAMERA_BUSY) *result = reply.payload[0];
    if (status == SCI_CAMERA_FULL || status == SCI_BAD_EXPOSURE) status = SCI_OK;
    return status;
}

} // namespace
} // namespace tarnlink

using namespace tarnlink;

extern "C" SCI_API SciStatus SCICALL SciOpenCamera(const char *portName) {
    if (g_lib.sessionOpen) return SCI_COMMS_ALREADY_OPEN;
    if (portName == nullptr) return SCI_NULL_POINTER;
    // Buffers left by an earlier open that failed at the colour step.
    ReleaseBuffers();
    if (!CommOpen(portName, kCameraBaudRate)) {
        // A failed open must never read as success, even if the system kept
        // no reason.
        const SciStatus reason = static_cast<SciStatus>(CommLastError());
        return reason != SCI_OK ? reason : SCI_FAILED;
    }
    ForgetLine();

    g_lib.imageBuffer = static_cast<uint8_t *>(std::malloc(kPictureReplyBytes));
    g_lib.workBuffer = static_cast<uint8_t *>(std::malloc(kPictureReplyBytes));
    g_lib.thumbBuffer = static_cast<uint8_t *>(std::malloc(kThumbReplyBytes));
    if (!g_lib.imageBuffer || !g_lib.workBuffer || !g_lib.thumbBuffer) {
        ReleaseBuffers();
        return SCI_IMAGE_CREATE_FAIL;
    }
    if (!OpenColourEngine()) return SCI_IMAGE_COLOUR_FAIL;
    g_lib.maxCameraImages = ReadMaxCameraImages();
    g_lib.sessionOpen = 1;
    return SCI_OK;
}

extern "C" SCI_API SciStatus SCICALL SciCloseCamera(void) {
    g_lib.sessionOpen = 0;
    CommClose();
    ForgetLine();
    ReleaseBuffers();
    CloseColourEngine();
    return SCI_OK;
}

extern "C" SCI_API SciStatus SCICALL SciSyncCamera(void) {
    if (!g_lib.portOpen) return SCI_COMMS_NOT_OPEN;
    const SciStatus first = QueryIndex();
    if (Answered(first)) return first;
    Resynchronise();
    const SciStatus second = QueryIndex();
    return Answered(second) ? second : SCI_CAMERA_NOT_PRESENT;
}

extern "C" SCI_API SciStatus SCICALL SciSyncCamera2(uint8_t *result) {
    if (result == nullptr) return SCI_NULL_POINTER;
    if (!g_lib.portOpen) return SCI_COMMS_NOT_OPEN;
    const SciStatus first = QueryGrabResult(result);
    if (Answered(first)) return first;
    Resynchronise();
    const SciStatus second = QueryGrabResult(result);
    return Answered(second) ? second : SCI_CAMERA_NOT_PRESENT;
}

extern "C" SCI_API SciStatus SCICALL SciGetDLLVersion(char *buffer) {
    if (buffer == nullptr) return SCI_NULL_POINTER;
    std::memcpy(buffer, kVersionText, sizeof kVersionText);
    return SCI_OK;
}

extern "C" SCI_API SciStatus SCICALL SciGetMaxCameraImages(int32_t *count) {
    if (count == nullptr) return SCI_NULL_POINTER;
    if (!g_lib.sessionOpen) g_lib.maxCameraImages = ReadMaxCameraImages();
    *count = g_lib.maxCameraImages;
    return SCI_OK;
}
