// The image triplets, the pending-transfer count and the three transfers:
// native (a handle), memory (strips) and file (a bitmap file).
#include <algorithm>
#include <cstring>

#include "twain/source.h"

namespace zorvik {
namespace {

constexpr uint32_t kMinMemBuffer = 32768;
constexpr uint32_t kFileWritePiece = 32768;
constexpr int kMostMemXferCalls = 1000;
constexpr uint32_t kFileHeaderBytes = 14;
const char kDefaultFileName[] = ".\\twain.bmp";

void TransferBox(const char *text) {
    MessageBoxA(nullptr, text, dsMsgCaption(), MB_OK);
}

uint32_t PixelBytes(const BITMAPINFOHEADER &h) {
    return static_cast<uint32_t>(h.biWidth) * static_cast<uint32_t>(h.biHeight) *
           (h.biBitCount / 8u);
}

uint32_t PixelOffset(const BITMAPINFOHEADER &h) {
    return kHeaderBytes + (h.biBitCount == 8 ? kPaletteBytes : 0);
}

// The dialog's previewed picture, or without the dialog the camera's picture
// for this transfer (none when the enable found none for it).
HGLOBAL FetchPicture() {
    const bool dialog = g_source.hDlgCapture != nullptr && IsWindow(g_source.hDlgCapture);
    const int k = g_source.sendSlotCount - g_source.caps.pendingXfers;
    if (!dialog && (k < 0 || k >= g_source.sendSlotCount)) return nullptr;
    return twcamFetchForTransfer(g_source.camSession, g_source.hDlgCapture,
                                 dialog ? -1 : g_source.sendSlots[k]);
}

// A picture block's own header, when the block holds all it announces.
bool ReadBlockHeader(HGLOBAL picture, BITMAPINFOHEADER &h) {
    const SIZE_T size = GlobalSize(picture);
    const void *block = GlobalLock(picture);
    if (block == nullptr) return false;
    bool whole = size >= kHeaderBytes;
    if (whole) {
        std::memcpy(&h, block, sizeof h);
        whole = h.biWidth > 0 && h.biHeight > 0 && h.biWidth <= 0x7FFF && h.biHeight <= 0x7FFF &&
                (h.biBitCount == 8 || h.biBitCount == 24) && size >= PixelOffset(h) + PixelBytes(h);
    }
    GlobalUnlock(picture);
    return whole;
}

void FreeMemXferPicture() {
    if (g_source.memXfer.picture != nullptr) GlobalFree(g_source.memXfer.picture);
    g_source.memXfer.picture = nullptr;
}

void ResetMemXfer() {
    g_source.memXfer.done = false;
    g_source.memXfer.first = true;
    g_source.memXfer.calls = 0;
}

} // namespace

void AbandonMemXfer() {
    FreeMemXferPicture();
    ResetMemXfer();
}

namespace {

// DG_IMAGE / DAT_IMAGEINFO / MSG_GET
TW_UINT16 ImageInfoGet(pTW_IDENTITY, TW_UINT16, TW_MEMREF data) {
    if (data == nullptr) return Fail(TWCC_BADVALUE);
    const BITMAPINFOHEADER h = PictureDescription();
    auto *info = static_cast<pTW_IMAGEINFO>(data);
    std::memset(info, 0, sizeof *info);
    info->XResolution.Whole = static_cast<TW_INT16>(h.biXPelsPerMeter & 0xFFFF);
    info->YResolution.Whole = static_cast<TW_INT16>(h.biYPelsPerMeter & 0xFFFF);
    info->ImageWidth = h.biWidth;
    info->ImageLength = h.biHeight;
    info->BitsPerPixel = static_cast<TW_INT16>(h.biBitCount);
    info->Planar = FALSE;
    info->Compression = TWCP_NONE;
    if (h.biBitCount >= 24) {
        info->SamplesPerPixel = 3;
        info->BitsPerSample[0] = info->BitsPerSample[1] = info->BitsPerSample[2] = 8;
        info->PixelType = TWPT_RGB;
    } else {
        info->SamplesPerPixel = 1;
        info->BitsPerSample[0] = static_cast<TW_INT16>(h.biBitCount);
        info->PixelType = TWPT_PALETTE;
    }
    return TWRC_SUCCESS;
}

// DG_IMAGE / DAT_IMAGELAYOUT / MSG_GET, MSG_GETCURRENT, MSG_GETDEFAULT
TW_UINT16 ImageLayoutGet(pTW_IDENTITY, TW_UINT16, TW_MEMREF data) {
    if (data == nullptr) return Fail(TWCC_BADVALUE);
    const BITMAPINFOHEADER h = PictureDescription();
    auto *layout = static_cast<pTW_IMAGELAYOUT>(data);
    std::memset(layout, 0, sizeof *layout);
    layout->Frame.Right.Whole = static_cast<TW_INT16>((h.biWidth - 1) & 0xFFFF);
    layout->Frame.Bottom.Whole = static_cast<TW_INT16>((h.biHeight - 1) & 0xFFFF);
    layout->DocumentNumber = layout->PageNumber = layout->FrameNumber = 1;
    return TWRC_SUCCESS;
}

// DG_IMAGE / DAT_IMAGELAYOUT / MSG_SET
TW_UINT16 ImageLayoutSet(pTW_IDENTITY, TW_UINT16, TW_MEMREF data) {
    if (data == nullptr) return Fail(TWCC_BADVALUE);
    const auto *layout = static_cast<const TW_IMAGELAYOUT *>(data);
    const int width = layout->Frame.Right.Whole + 1, height = layout->Frame.Bottom.Whole + 1;
    return width == 160 && height == 120 ? TWRC_SUCCESS : Fail(TWCC_BADVALUE);
}

// DG_IMAGE / DAT_IMAGELAYOUT / MSG_RESET; DAT_PALETTE8 / MSG_GETDEFAULT, MSG_SET,
// MSG_RESET; DAT_GRAYRESPONSE, DAT_RGBRESPONSE, DAT_JPEGCOMPRESSION / any
TW_UINT16 NothingToDo(pTW_IDENTITY, TW_UINT16, TW_MEMREF) {
    return TWRC_SUCCESS;
}

// DG_IMAGE / DAT_CIECOLOR / any: not offered, with no condition to report
TW_UINT16 CieColorAny(pTW_IDENTITY, TW_UINT16, TW_MEMREF) {
    return TWRC_FAILURE;
}

// DG_IMAGE / DAT_PALETTE8 / MSG_GET
TW_UINT16 Palette8Get(pTW_IDENTITY, TW_UINT16, TW_MEMREF data) {
    if (data == nullptr) return Fail(TWCC_BADVALUE);
    auto *palette = static_cast<pTW_PALETTE8>(data);
    palette->NumColors = 256;
    palette->PaletteType = TWPA_RGB;
    for (int i = 0; i < 256; ++i) {
        const auto v = static_cast<TW_UINT8>(i);
        palette->Colors[i] = TW_ELEMENT8{v, v, v, v};
    }
    return TWRC_SUCCESS;
}

// DG_CONTROL / DAT_PENDINGXFERS / MSG_GET
TW_UINT16 PendingXfersGet(pTW_IDENTITY, TW_UINT16, TW_MEMREF data) {
    if (data == nullptr) return Fail(TWCC_BADVALUE);
    static_cast<pTW_PENDINGXFERS>(data)->Count = static_cast<TW_UINT16>(g_source.caps.pendingXfers);
    return TWRC_SUCCESS;
}

// DG_CONTROL / DAT_PENDINGXFERS / MSG_ENDXFER
TW_UINT16 PendingXfersEndXfer(pTW_IDENTITY, TW_UINT16, TW_MEMREF data) {
    // The rest of a picture the application stopped reading must not pass
    // for the next one.
    AbandonMemXfer();
    CapSettings &caps = g_source.caps;
    if (caps.pendingXfers > 0) --caps.pendingXfers;
    if (data != nullptr)
        static_cast<pTW_PENDINGXFERS>(data)->Count = static_cast<TW_UINT16>(caps.pendingXfers);
    if (caps.pendingXfers == 0) {
        g_source.twainState = 5;
        caps.pendingXfers = caps.xferCountCurrent; // ready for the next announcement
    }
    return TWRC_SUCCESS;
}

// DG_CONTROL / DAT_PENDINGXFERS / MSG_RESET
TW_UINT16 PendingXfersReset(pTW_IDENTITY, TW_UINT16, TW_MEMREF data) {
    AbandonMemXfer();
    g_source.twainState = 5;
    if (data != nullptr) static_cast<pTW_PENDINGXFERS>(data)->Count = 0;
    return TWRC_SUCCESS;
}

// DG_CONTROL / DAT_SETUPMEMXFER / MSG_GET
TW_UINT16 SetupMemXferGet(pTW_IDENTITY, TW_UINT16, TW_MEMREF data) {
    if (data == nullptr) return Fail(TWCC_BADVALUE);
    const uint32_t size = PixelBytes(PictureDescription());
    auto *setup = static_cast<pTW_SETUPMEMXFER>(data);
    setup->MinBufSize = kMinMemBuffer;
    setup->MaxBufSize = size;
    setup->Preferred = size;
    return TWRC_SUCCESS;
}

void SetFileSetup(pTW_SETUPFILEXFER setup, const char *name) {
    std::memset(setup->FileName, 0, sizeof setup->FileName);
    std::memcpy(setup->FileName, name, strnlen(name, sizeof setup->FileName - 1));
    setup->Format = TWFF_BMP;
    setup->VRefNum = 0;
}

// DG_CONTROL / DAT_SETUPFILEXFER / MSG_GET, MSG_GETCURRENT
TW_UINT16 SetupFileXferGet(pTW_IDENTITY, TW_UINT16, TW_MEMREF data) {
    if (data == nullptr) return Fail(TWCC_BADVALUE);
    SetFileSetup(static_cast<pTW_SETUPFILEXFER>(data), g_source.xferFileName);
    return TWRC_SUCCESS;
}

// DG_CONTROL / DAT_SETUPFILEXFER / MSG_GETDEFAULT
TW_UINT16 SetupFileXferGetDefault(pTW_IDENTITY, TW_UINT16, TW_MEMREF data) {
    if (data == nullptr) return Fail(TWCC_BADVALUE);
    SetFileSetup(static_cast<pTW_SETUPFILEXFER>(data), kDefaultFileName);
    return TWRC_SUCCESS;
}

// DG_CONTROL / DAT_SETUPFILEXFER / MSG_SET
TW_UINT16 SetupFileXferSet(pTW_IDENTITY, TW_UINT16, TW_MEMREF data) {
    if (data == nullptr) return Fail(TWCC_BADVALUE);
    const auto *setup = static_cast<const TW_SETUPFILEXFER *>(data);
    char *name = g_source.xferFileName;
    // The application's text may lack its terminator.
    std::memcpy(name, setup->FileName, sizeof g_source.xferFileName - 1);
    name[sizeof g_source.xferFileName - 1] = '\0';
    const DWORD attributes = GetFileAttributesA(name);
    // A folder of that name is no file a transfer could write.
    if (attributes != INVALID_FILE_ATTRIBUTES)
        return attributes & FILE_ATTRIBUTE_DIRECTORY ? Fail(TWCC_BADVALUE) : TWRC_SUCCESS;
    // Created empty now, so that a name that cannot be used fails here.
    HANDLE file =
        CreateFileA(name, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return Fail(TWCC_BADVALUE);
    CloseHandle(file);
    return TWRC_SUCCESS;
}

// DG_CONTROL / DAT_SETUPFILEXFER / MSG_RESET
TW_UINT16 SetupFileXferReset(pTW_IDENTITY, TW_UINT16, TW_MEMREF) {
    std::strcpy(g_source.xferFileName, kDefaultFileName);
    return TWRC_SUCCESS;
}

// DG_IMAGE / DAT_IMAGENATIVEXFER / MSG_GET
TW_UINT16 ImageNativeXferGet(pTW_IDENTITY, TW_UINT16, TW_MEMREF data) {
    if (data == nullptr) return Fail(TWCC_BADVALUE);
    // A TW_UINT32 in a 32-bit application, a handle-sized one in a 64-bit one.
    HGLOBAL picture = FetchPicture();
    std::memcpy(data, &picture, sizeof picture);
    // No picture is a failed transfer, never a done one with nothing in it.
    if (picture == nullptr) return Fail(TWCC_BUMMER);
    return TWRC_XFERDONE;
}

// Copies the next rows of the picture, top row first, into the buffer.
TW_UINT16 SendStrip(pTW_IMAGEMEMXFER xfer) {
    MemXferProgress &p = g_source.memXfer;
    BITMAPINFOHEADER h;
    if (!ReadBlockHeader(p.picture, h)) {
        FreeMemXferPicture();
        ResetMemXfer();
        return Fail(TWCC_BUMMER);
    }
    const uint32_t bytesPerRow = static_cast<uint32_t>(h.biBitCount) * h.biWidth / 8;
    xfer->Compression = TWCP_NONE;
    xfer->BytesPerRow = bytesPerRow;
    if (xfer->Memory.Length < bytesPerRow) {
        TransferBox("Buffer is too small for strip transfers");
        return Fail(TWCC_LOWMEMORY);
    }
    uint32_t rows = static_cast<uint32_t>(p.rowsLeft);
    if (uint64_t{rows} * bytesPerRow > xfer->Memory.Length)
        rows = xfer->Memory.Length / bytesPerRow;

    const bool isHandle = (xfer->Memory.Flags & TWMF_HANDLE) != 0;
    auto *dest = static_cast<uint8_t *>(
        isHandle ? GlobalLock(static_cast<HGLOBAL>(xfer->Memory.TheMem)) : xfer->Memory.TheMem);
    if (dest == nullptr) return Fail(TWCC_BADVALUE);
    const auto *block = static_cast<const uint8_t *>(GlobalLock(p.picture));
    for (uint32_t r = 0; r < rows; ++r)
        std::memcpy(dest + r * bytesPerRow,
                    block + p.pixelOffset +
                        (static_cast<uint32_t>(p.rowsLeft) - 1 - r) * bytesPerRow,
                    bytesPerRow);
    GlobalUnlock(p.picture);
    if (isHandle) GlobalUnlock(static_cast<HGLOBAL>(xfer->Memory.TheMem));

    xfer->Columns = static_cast<TW_UINT32>(h.biWidth);
    xfer->Rows = rows;
    xfer->XOffset = 0;
    xfer->YOffset = static_cast<TW_UINT32>(h.biHeight - p.rowsLeft);
    xfer->BytesWritten = rows * bytesPerRow;
    p.rowsLeft -= static_cast<int32_t>(rows);
    if (p.rowsLeft == 0) {
        FreeMemXferPicture();
        p.done = true;
    }
    return TWRC_SUCCESS;
}

// DG_IMAGE / DAT_IMAGEMEMXFER / any (only MSG_GET passes its step 3)
TW_UINT16 ImageMemXferAny(pTW_IDENTITY, TW_UINT16 msg, TW_MEMREF data) {
    MemXferProgress &p = g_source.memXfer;
    auto *xfer = static_cast<pTW_IMAGEMEMXFER>(data);
    if (p.done) {
        if (xfer != nullptr) xfer->BytesWritten = 0;
        ResetMemXfer();
        return TWRC_XFERDONE;
    }
    // An abandoned picture is a failed transfer: done means every row was sent.
    if (++p.calls > kMostMemXferCalls) {
        TransferBox("The source aborts a memory transfer");
        if (xfer != nullptr) xfer->BytesWritten = 0;
        ResetMemXfer();
        FreeMemXferPicture();
        return Fail(TWCC_BUMMER);
    }
    if (msg != MSG_GET) return Fail(TWCC_BADPROTOCOL);
    if (xfer == nullptr) return Fail(TWCC_BADVALUE);
    // A handle that holds less than its stated length would take strips of no
    // rows, answered as sent, for ever: refused before the picture is fetched.
    if ((xfer->Memory.Flags & TWMF_HANDLE) != 0 &&
        GlobalSize(static_cast<HGLOBAL>(xfer->Memory.TheMem)) < xfer->Memory.Length)
        return Fail(TWCC_BADVALUE);
    if (p.first) {
        p.picture = FetchPicture();
        BITMAPINFOHEADER h;
        if (p.picture != nullptr && !ReadBlockHeader(p.picture, h)) FreeMemXferPicture();
        if (p.picture == nullptr) {
            TransferBox("unable to capture image");
            ResetMemXfer();
            return Fail(TWCC_LOWMEMORY);
        }
        p.first = false;
        p.pixelOffset = PixelOffset(h);
        p.rowsLeft = h.biHeight;
    }
    return SendStrip(xfer);
}

// Writes all of it, or says it could not.
bool WriteAll(HANDLE file, const void *bytes, uint32_t count) {
    DWORD written = 0;
    return WriteFile(file, bytes, count, &written, nullptr) && written == count;
}

bool WriteBitmapFile(HANDLE file, HGLOBAL picture, const BITMAPINFOHEADER &h) {
    const uint32_t dibSize = PixelOffset(h) + PixelBytes(h);
    uint8_t header[kFileHeaderBytes] = {'B', 'M'};
    const uint32_t fileSize = dibSize + kFileHeaderBytes;
    const uint32_t pixels = kFileHeaderBytes + PixelOffset(h);
    for (int i = 0; i < 4; ++i) {
        header[2 + i] = static_cast<uint8_t>(fileSize >> (8 * i));
        header[10 + i] = static_cast<uint8_t>(pixels >> (8 * i));
    }
    const auto *block = static_cast<const uint8_t *>(GlobalLock(picture));
    bool ok = block != nullptr && WriteAll(file, header, sizeof header);
    for (uint32_t at = 0; ok && at < dibSize; at += kFileWritePiece)
        ok = WriteAll(file, block + at, std::min(kFileWritePiece, dibSize - at));
    GlobalUnlock(picture);
    return ok;
}

// DG_IMAGE / DAT_IMAGEFILEXFER / MSG_GET
TW_UINT16 ImageFileXferGet(pTW_IDENTITY, TW_UINT16, TW_MEMREF) {
    HGLOBAL picture = FetchPicture();
    BITMAPINFOHEADER h;
    if (picture != nullptr && !ReadBlockHeader(picture, h)) {
        GlobalFree(picture);
        picture = nullptr;
    }
    if (picture == nullptr) {
        TransferBox("unable to capture image");
        return Fail(TWCC_LOWMEMORY);
    }
    const char *name = g_source.xferFileName;
    HANDLE file =
        CreateFileA(name, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        GlobalFree(picture);
        TransferBox("Unable to open output file");
        return Fail(TWCC_LOWMEMORY);
    }
    const bool written = WriteBitmapFile(file, picture, h);
    const bool onDisk = GetFileType(file) == FILE_TYPE_DISK;
    const bool closed = CloseHandle(file) != 0;
    GlobalFree(picture);
    if (written && closed) return TWRC_XFERDONE;
    // A cut-off bitmap is no picture: none is left behind (a device is no file).
    if (onDisk) DeleteFileA(name);
    TransferBox("Unable to write output file");
    return Fail(TWCC_BUMMER);
}

const MessageRow kImageInfoRows[] = {{MSG_GET, kState6, ImageInfoGet}};
const MessageRow kImageLayoutRows[] = {
    {MSG_GET, kStates4To6, ImageLayoutGet},
    {MSG_GETCURRENT, kStates4To6, ImageLayoutGet},
    {MSG_GETDEFAULT, kStates4To6, ImageLayoutGet},
    {MSG_SET, kState4, ImageLayoutSet},
    {MSG_RESET, kState4, NothingToDo},
};
// Transfers belong to an announced transfer: outside one there is no picture
// to give, and a closed source must neither drive the camera nor show a box.
const MessageRow kImageMemXferRows[] = {{kAnyMessage, kStates6To7, ImageMemXferAny}};
const MessageRow kImageNativeXferRows[] = {{MSG_GET, kStates6To7, ImageNativeXferGet}};
const MessageRow kImageFileXferRows[] = {{MSG_GET, kStates6To7, ImageFileXferGet}};
const MessageRow kPalette8Rows[] = {
    {MSG_GET, kStates4To6, Palette8Get},
    {MSG_GETDEFAULT, kStates4To6, NothingToDo},
    {MSG_SET, kStates4To6, NothingToDo},
    {MSG_RESET, kStates4To6, NothingToDo},
};
const MessageRow kAnyNothingRows[] = {{kAnyMessage, kAnyState, NothingToDo}};
const MessageRow kCieColorRows[] = {{kAnyMessage, kAnyState, CieColorAny}};

} // namespace

const MessageRow kPendingXfersRows[] = {
    {MSG_GET, kStates4To7, PendingXfersGet},
    {MSG_ENDXFER, kStates6To7, PendingXfersEndXfer},
    {MSG_RESET, kStates6To7, PendingXfersReset},
};
const int kPendingXfersRowCount = 3;
const MessageRow kSetupMemXferRows[] = {{MSG_GET, kStates4To6, SetupMemXferGet}};
const int kSetupMemXferRowCount = 1;
const MessageRow kSetupFileXferRows[] = {
    {MSG_GET, kStates4To6, SetupFileXferGet},
    {MSG_GETCURRENT, kStates4To6, SetupFileXferGet},
    {MSG_GETDEFAULT, kStates4To6, SetupFileXferGetDefault},
    {MSG_SET, kStates4To6, SetupFileXferSet},
    {MSG_RESET, kStates4To6, SetupFileXferReset},
};
const int kSetupFileXferRowCount = 5;

const TripletEntry kImageTriplets[] = {
    {DAT_IMAGEINFO, false, kImageInfoRows, CountOf(kImageInfoRows)},
    {DAT_IMAGELAYOUT, true, kImageLayoutRows, CountOf(kImageLayoutRows)},
    {DAT_IMAGEMEMXFER, false, kImageMemXferRows, CountOf(kImageMemXferRows)},
    {DAT_IMAGENATIVEXFER, false, kImageNativeXferRows, CountOf(kImageNativeXferRows)},
    {DAT_IMAGEFILEXFER, false, kImageFileXferRows, CountOf(kImageFileXferRows)},
    {DAT_PALETTE8, false, kPalette8Rows, CountOf(kPalette8Rows)},
    {DAT_GRAYRESPONSE, false, kAnyNothingRows, CountOf(kAnyNothingRows)},
    {DAT_RGBRESPONSE, false, kAnyNothingRows, CountOf(kAnyNothingRows)},
    {DAT_CIECOLOR, false, kCieColorRows, CountOf(kCieColorRows)},
    {DAT_JPEGCOMPRESSION, false, kAnyNothingRows, CountOf(kAnyNothingRows)},
};
const int kImageTripletCount = CountOf(kImageTriplets);

} // namespace zorvik
