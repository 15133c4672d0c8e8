// Uploads of the current picture (whole, as colour or grey; line by line) and
// of its thumbnail. The whole uploads accept only replies of the usual size, so
// every fixed offset they read lies inside the bytes of this reply.
#include <cstring>

#include "imaging/colour.h"
#include "imaging/reformat.h"
#include "link/protocol.h"
#include "link/serial.h"
#include "link/state.h"

namespace tarnlink {
namespace {

constexpr uint32_t kLineLength = 164;
constexpr uint32_t kLeadingBytes = 2 * kLineLength; // two leading lines
constexpr uint32_t kBlackStart = kLineLength + 8;   // in the second leading line
constexpr uint32_t kBlackCount = 148;
constexpr uint32_t kTrailerBytes = 16;
constexpr uint32_t kPictureTrailer = kPictureReplyBytes - kTrailerBytes;
constexpr int kThumbWidth = 40;
constexpr int kThumbHeight = 31;
constexpr int kThumbTrailer = kThumbWidth * kThumbHeight;
constexpr int kGreyWidth = 160;
constexpr int kGreyHeight = 120;

constexpr uint32_t kTrailerFactors[] = {1, 2, 4, 8}; // by trailer byte 3

SciImageInfo InfoFromTrailer(const uint8_t *trailer, uint32_t blackLevel) {
    SciImageInfo info;
    info.trailer0 = trailer[0];
    info.trailer1 = trailer[1];
    info.trailer2PlusOne = uint32_t{trailer[2]} + 1;
    info.trailerFactor = trailer[3] < 4 ? kTrailerFactors[trailer[3]] : 0;
    info.trailer15 = trailer[15];
    info.blackLevel = blackLevel;
    return info;
}

uint32_t MeanBlack(const uint8_t *reference) {
    uint32_t sum = 0;
    for (uint32_t i = 0; i < kBlackCount; ++i) sum += reference[i];
    return sum / kBlackCount;
}

int32_t ChosenBlackLevel(uint32_t measured) {
    return g_blackOffsetSetting == 255 ? static_cast<int32_t>(measured) : g_blackOffsetSetting;
}

// Sends a command and reads its reply of exactly `size` bytes into buffer.
SciStatus FetchReply(uint8_t letter, uint8_t *buffer, uint32_t size) {
    const SciStatus sent = SendCommand(letter, 0);
    if (sent != SCI_OK) return sent;
    uint8_t type = 0;
    uint32_t length = 0;
    const SciStatus read = ReadReply(&type, buffer, size, &length);
    if (read != SCI_OK) return read;
    const SciStatus meaning = InterpretReply(type, static_cast<uint8_t>(letter | 0x20));
    if (meaning != SCI_OK) return meaning;
    // A shorter reply would leave bytes of an earlier one at the fixed offsets.
    return length == size ? SCI_OK : SCI_COMMS_BAD_PACKET;
}

// The checks shared by the colour and the grey upload.
SciStatus CheckPictureUpload(const uint8_t *picture) {
    if (picture == nullptr) return SCI_IMAGE_NULL;
    if (!g_lib.portOpen) return SCI_COMMS_NOT_OPEN;
    if (g_lib.imageBuffer == nullptr || g_lib.workBuffer == nullptr) return SCI_IMAGE_CREATE_FAIL;
    return SCI_OK;
}

SciStatus ReadPicture(SciImageInfo &info) {
    const SciStatus status = FetchReply('U', g_lib.imageBuffer, kPictureReplyBytes);
    if (status != SCI_OK) return status;
    info = InfoFromTrailer(g_lib.imageBuffer + kPictureTrailer,
                           MeanBlack(g_lib.imageBuffer + kBlackStart));
    return SCI_OK;
}

} // namespace
} // namespace tarnlink

using namespace tarnlink;

extern "C" SCI_API SciStatus SCICALL SciUploadImage(uint8_t *picture, SciImageInfo *info) {
    SciImageInfo got;
    const SciStatus ready = CheckPictureUpload(picture);
    if (ready != SCI_OK) return ready;
    if (!ColourEngineIsOpen()) return SCI_IMAGE_COLOUR_FAIL;
    const SciStatus status = ReadPicture(got);
    if (status != SCI_OK) return status;
    // A black level that reformatting refuses would colour a stale frame.
    if (!ColourizeLoop(g_lib.imageBuffer + kLeadingBytes, picture,
                       ChosenBlackLevel(got.blackLevel)))
        return SCI_IMAGE_COLOUR_FAIL;
    if (info != nullptr) *info = got;
    return SCI_OK;
}

extern "C" SCI_API SciStatus SCICALL SciUploadGreyImage(uint8_t *picture, SciImageInfo *info) {
    SciImageInfo got;
    const SciStatus ready = CheckPictureUpload(picture);
    if (ready != SCI_OK) return ready;
    const SciStatus status = ReadPicture(got);
    if (status != SCI_OK) return status;
    uint8_t *work = g_lib.workBuffer;
    if (!ReformatFrame(g_lib.imageBuffer + kLeadingBytes, work, ChosenBlackLevel(got.blackLevel),
                       0))
        return SCI_IMAGE_COLOUR_FAIL;
    // Work rows hold two halves of 82 bytes (even columns, then odd ones);
    // output rows go bottom-up from work row 121.
    for (int k = 0; k < kGreyHeight; ++k) {
        const uint8_t *row = work + (121 - k) * kFrameWidth;
        uint8_t *out = picture + k * kGreyWidth;
        for (int i = 0; i < kGreyWidth / 2; ++i) {
            out[2 * i] = row[83 + i];
            out[2 * i + 1] = row[1 + i];
        }
    }
    if (info != nullptr) *info = got;
    return SCI_OK;
}

extern "C" SCI_API SciStatus SCICALL SciUploadThumbnail(uint8_t *thumbnail, SciImageInfo *info) {
    if (thumbnail == nullptr) return SCI_IMAGE_NULL;
    if (!g_lib.portOpen) return SCI_COMMS_NOT_OPEN;
    if (g_lib.thumbBuffer == nullptr) return SCI_IMAGE_CREATE_FAIL;
    const SciStatus status = FetchReply('M', g_lib.thumbBuffer, kThumbReplyBytes);
    if (status != SCI_OK) return status;
    const SciImageInfo got = InfoFromTrailer(g_lib.thumbBuffer + kThumbTrailer, 0);
    for (int j = 0; j < kThumbHeight; ++j)
        std::memcpy(thumbnail + (kThumbHeight - 1 - j) * kThumbWidth,
                    g_lib.thumbBuffer + j * kThumbWidth, kThumbWidth);
    if (info != nullptr) *info = got;
    return SCI_OK;
}

namespace tarnlink {
namespace {

SciStatus BeginStream(int32_t *lines, int32_t *lineLength) {
    const SciStatus sent = SendCommand('U', 0);
    if (sent != SCI_OK) return sent;
    const Deadline by = CommDeadline(ReplyAllowanceMs(kLeadingBytes));
    uint8_t type = 0;
    const SciStatus start = ReadReplyStart(&type, by);
    if (start != SCI_OK) return start;
    if (type == kBusyReply) {
        uint8_t rest[2];
        if (!CommRead(rest, 2, by)) return LinkError();
        return rest[1] == kEtx ? SCI_CAMERA_BUSY : SCI_COMMS_BAD_PACKET;
    }
    if (type != 'u') return SCI_COMMS_BAD_RESPONSE;

    uint8_t h[4];
    if (!CommRead(h, 4, by)) return LinkError();
    *lines = h[2];
    *lineLength = h[0];
    g_lib.lineTrailerLength = h[3];
    const uint32_t leading = uint32_t{h[0]} * h[1];
    if (leading > kLeadingBytes) return SCI_BUFFER_TOO_SMALL;
    // The black reference must lie inside the leading lines.
    if (leading < uint32_t{h[0]} + 8 + kBlackCount) return SCI_COMMS_BAD_PACKET;
    uint8_t lead[kLeadingBytes];
    if (!CommRead(lead, leading, by)) return LinkError();
    g_lib.lineBlackLevel = static_cast<int32_t>(MeanBlack(lead + h[0] + 8));
    // The picture lines, the trailer and the ETX are still to come.
    g_lib.streamBytesLeft = uint32_t{h[0]} * h[2] + h[3] + 1;
    return SCI_OK;
}

} // namespace
} // namespace tarnlink

extern "C" SCI_API SciStatus SCICALL SciBeginUploadImage(int32_t *lines, int32_t *lineLength) {
    if (lineLength == nullptr || lines == nullptr) return SCI_NULL_POINTER;
    if (!g_lib.portOpen) return SCI_COMMS_NOT_OPEN;
    const SciStatus status = BeginStream(lines, lineLength);
    // Until its last byte is read the stream stands between the line and any
    // command; a busy reply was read whole.
    if (status != SCI_CAMERA_BUSY) MarkOutOfStep();
    return status;
}

extern "C" SCI_API SciStatus SCICALL SciUploadImageLine(uint8_t *line, int32_t length) {
    if (line == nullptr) return SCI_NULL_POINTER;
    // Beyond what the open stream can still deliver the read could only wait
    // out its time-out (about 25 days for the largest length).
    if (length < 0 || static_cast<uint32_t>(length) > g_lib.streamBytesLeft)
        return SCI_BAD_PARAMETER;
    // Without a port the read could only report a stale error.
    if (!g_lib.portOpen) return SCI_COMMS_NOT_OPEN;
    if (CommRead(line, static_cast<uint32_t>(length))) {
        g_lib.streamBytesLeft -= static_cast<uint32_t>(length);
        return SCI_OK;
    }
    g_lib.streamBytesLeft = 0;
    return LinkError();
}

extern "C" SCI_API SciStatus SCICALL SciUploadImageInfo(SciImageInfo *info) {
    if (info == nullptr) return SCI_NULL_POINTER;
    if (g_lib.lineTrailerLength != static_cast<int32_t>(kTrailerBytes)) return SCI_FAILED;
    if (!g_lib.portOpen) return SCI_COMMS_NOT_OPEN;
    uint8_t tail[kTrailerBytes + 1];
    const bool atEnd = g_lib.streamBytesLeft == sizeof tail;
    g_lib.streamBytesLeft = 0;
    if (!CommRead(tail, sizeof tail)) return LinkError();
    *info = InfoFromTrailer(tail, static_cast<uint32_t>(g_lib.lineBlackLevel));
    if (tail[kTrailerBytes] != kEtx) return SCI_COMMS_BAD_PACKET;
    // The whole stream has been read: the next command needs no drain.
    if (atEnd) g_lib.lineOutOfStep = 0;
    return SCI_OK;
}
