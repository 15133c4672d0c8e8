// The data source's camera session: finding the camera on COM1 to COM4,
// positioning its picture counter, fetching pictures into picture blocks with
// busy retries, grabbing, and turning status codes into what the user sees.
#pragma once

#include <windows.h>

#include <cstdint>

#include "tarnlink.h"

namespace zorvik {

// Status codes the session adds to the camera library's.
constexpr int32_t kStatusNullArgument = 87; // ERROR_INVALID_PARAMETER
constexpr int32_t kStatusNoMemory = 8;      // ERROR_NOT_ENOUGH_MEMORY

// Picture blocks: a packed device-independent bitmap on the process heap.
constexpr uint32_t kHeaderBytes = 40;
constexpr uint32_t kPaletteBytes = 256 * 4;
constexpr uint32_t kColourBlockBytes = kHeaderBytes + SCI_PICTURE_BYTES;            // 57,640
constexpr uint32_t kGreyBlockBytes = kHeaderBytes + kPaletteBytes + SCI_GREY_BYTES; // 58,664
constexpr uint32_t kThumbBlockBytes = kGreyBlockBytes; // the same size, as the grey block
constexpr int kMaxUiPictures = 24;

struct TwcamSession {
    char signature[4]; // "WCAM"
    HWND ownerWindow;  // owner of the session's message boxes; null from the TWAIN side
    int32_t located;
    int32_t lastStatus;
    BITMAPINFOHEADER pendingFormat; // the picture the next transfer delivers
};

// The module that holds the data source's code and resources: the DLL, or a
// test program built with them.
HINSTANCE CodeModule();

// Fills a bitmap header by the one rule of the data source (no row padding;
// 256 colours for 8-bit pictures).
void FillBitmapHeader(BITMAPINFOHEADER &h, int width, int height, int bitCount);
// Writes the 256-entry grey palette (entry i = i, i, i, 0).
void FillGreyPalette(uint8_t *palette);

// A located session on the process heap, or null when the user cancels.
TwcamSession *twcamOpen(HWND owner);
int twcamLocate(TwcamSession *s);
int twcamClose(TwcamSession *s);
// Frees the record of a session that twcamOpen returned (after twcamClose).
void twcamRelease(TwcamSession *s);
int32_t twcamGetStatus(const TwcamSession *s);
int twcamSetFormat(TwcamSession *s, const BITMAPINFOHEADER *format);
int32_t twcamGetFormat(TwcamSession *s, BITMAPINFOHEADER *format);
int32_t twcamGetImagePos(TwcamSession *s, uint8_t *index);
int32_t twcamGotoPos(TwcamSession *s, int32_t index);
uint8_t *twcamGetImage(TwcamSession *s, int32_t index);
uint8_t *twcamGetThumbnail(TwcamSession *s, int32_t index);
uint8_t *twcamGetGreyImage(TwcamSession *s, int32_t index);
void twcamFreePicture(uint8_t *block);
int32_t twcamGrabImage(TwcamSession *s, int32_t index);
// 1 when no box was shown, else IDRETRY or IDCANCEL.
int twcamReportError(TwcamSession *s, HWND statusWindow, int32_t status, const char *prefix);
int twcamMaxPictures();
// A movable global block holding a colour picture block (the NativeDib), or
// null: the dialog's previewed picture while the dialog exists, else the
// camera's picture in the slot.
HGLOBAL twcamFetchForTransfer(TwcamSession *s, HWND captureDialog, int32_t slot);
// The statuses that mean the camera is gone (each asks RETRY or CANCEL).
bool twcamMeansCameraGone(int32_t status);
// Diagnostic texts go to the debugger's output only; nothing is written anywhere.
void twcamTrace(HWND owner, const char *text, int32_t status);

// The caption of every message box of the data source (string 6).
const char *dsMsgCaption();

} // namespace zorvik
