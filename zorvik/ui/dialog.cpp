// The capture dialog: thumbnails of the camera's pictures, a preview, and the
// commands that fetch, preview, capture and clear; the dialog's side of
// continuous capture; the transfer request of the TWAIN side.
#include <cstdio>
#include <cstring>

#include "resources/ids.h"
#include "twain/source.h"
#include "ui/ui.h"

namespace zorvik {
namespace {

constexpr UINT_PTR kCloseTimer = 1;
constexpr UINT kCloseTimeoutMs = 10000;
constexpr DWORD kClearSettleMs = 250;

struct CaptureDialogState {
    TwcamSession *session;
    int32_t selectedId; // thumbnail id, -1 for none
    int32_t previewSlot;
    int32_t captureCommand;
    WorkerControl worker; // threadId 0: no worker to give jobs to
    int32_t continuous;
    int32_t continuousSlot;
    int32_t started;
};

CaptureDialogState *State(HWND w) {
    return reinterpret_cast<CaptureDialogState *>(GetWindowLongPtrA(w, DWLP_USER));
}

HWND Item(HWND w, int id) {
    return GetDlgItem(w, id);
}

void Enable(HWND w, int id, bool on) {
    EnableWindow(Item(w, id), on ? TRUE : FALSE);
}

// Capture and its large variant go together.
void EnableCapture(HWND w, bool on) {
    Enable(w, kIdCapture, on);
    Enable(w, kIdLargeCapture, on);
}

void ClearStatusLine(HWND w) {
    SetDlgItemTextA(w, kIdStatusLine, "");
}

int SlotAfter(int slot) {
    return slot < twcamMaxPictures() - 1 ? slot + 1 : 0;
}

bool HoldsPicture(HWND control) {
    return control != nullptr && SendMessageA(control, IMGM_GETPICTURE, 0, 0) != 0;
}

// Every control the user drives, on or off, with one of them the other way.
void ApplyEnabling(HWND w, bool on, int except) {
    static const int kButtons[] = {kIdStopContinuous,  kIdGetPictures, kIdPreviewButton,
                                   kIdClearCamera,     kIdCapture,     kIdLargeCapture,
                                   kIdStartContinuous, IDCANCEL};
    for (int id : kButtons) Enable(w, id, id == except ? !on : on);
    for (int id = kIdFirstThumbnail; id <= kIdLastThumbnail; ++id) Enable(w, id, on);
    if (!HoldsPicture(Item(w, kIdPreview))) {
        EnableCapture(w, false);
        Enable(w, kIdPreview, false);
    } else {
        Enable(w, kIdPreview, on);
    }
    const bool close = except == IDCANCEL ? !on : on;
    EnableMenuItem(GetSystemMenu(w, FALSE), SC_CLOSE,
                   MF_BYCOMMAND | (close ? MF_ENABLED : MF_GRAYED));
}

void StorePictureFormat(TwcamSession *session, int width, int height) {
    BITMAPINFOHEADER h;
    FillBitmapHeader(h, width, height, 24);
    twcamSetFormat(session, &h);
}

// "v0.03 (dll v1.05)": this module's file version and the library's.
void FillVersionLine(HWND w) {
    char library[20] = "";
    SciGetDLLVersion(library);
    char fileVersion[16] = "";
    char path[261];
    DWORD handle = 0;
    const DWORD n = GetModuleFileNameA(CodeModule(), path, sizeof path - 1);
    const DWORD size = n ? GetFileVersionInfoSizeA(path, &handle) : 0;
    if (size != 0) {
        void *info = HeapAlloc(GetProcessHeap(), 0, size);
        char *value = nullptr;
        UINT length = 0;
        char query[64];
        std::snprintf(query, sizeof query, "\\StringFileInfo\\040904e4\\%s", "FileVersion");
        if (info != nullptr && GetFileVersionInfoA(path, 0, size, info) &&
            VerQueryValueA(info, query, reinterpret_cast<void **>(&value), &length) && length)
            std::snprintf(fileVersion, sizeof fileVersion, "%s", value);
        HeapFree(GetProcessHeap(), 0, info);
    }
    char line[64];
    std::snprintf(line, sizeof line, "v%s (dll v%s)", fileVersion, library);
    SetDlgItemTextA(w, kIdVersion, line);
}

void StartCamera(HWND w, CaptureDialogState *st) {
    Enable(w, kIdStopContinuous, false);
    Enable(w, kIdStartContinuous, false); // until there is a worker to run it
    EnableCapture(w, false);
    Enable(w, kIdPreviewButton, false);
    Enable(w, kIdPreview, false);
    while (!twcamLocate(st->session))
        if (twcamReportError(st->session, Item(w, kIdStatusLine), twcamGetStatus(st->session),
                             "Error starting camera") != IDRETRY)
            return;
    StartWorker(st->session, w, &st->worker);
    if (st->worker.threadId != 0) Enable(w, kIdStartContinuous, true);
    const LPARAM session = reinterpret_cast<LPARAM>(st->session);
    SendDlgItemMessageA(w, kIdPreview, IMGM_SETSESSION, 0, session);
    for (int id = kIdFirstThumbnail; id <= kIdLastThumbnail; ++id)
        SendDlgItemMessageA(w, id, IMGM_SETSESSION, 0, session);
    SetFocus(Item(w, kIdGetPictures));
    StorePictureFormat(st->session, 160, 120);
    PostMessageA(w, WM_COMMAND, kIdGetPictures, 0);
}

BOOL OnInitDialog(HWND w, TwcamSession *session) {
    auto *st = static_cast<CaptureDialogState *>(
        HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(CaptureDialogState)));
    SetWindowLongPtrA(w, DWLP_USER, reinterpret_cast<LONG_PTR>(st));
    if (st == nullptr) return FALSE;
    st->session = session;
    st->selectedId = -1;
    st->previewSlot = -1;
    EnableMenuItem(GetSystemMenu(w, FALSE), SC_MAXIMIZE, MF_BYCOMMAND | MF_GRAYED);
    FillVersionLine(w);
    if (session != nullptr) {
        st->started = 1;
        StartCamera(w, st);
        SetFocus(Item(w, kIdPreviewButton));
    } else {
        ApplyEnabling(w, false, IDCANCEL);
        SetFocus(Item(w, IDCANCEL));
    }
    return FALSE;
}

// The thumbnail to select after Get Pictures: the one before the counter.
int ChooseThumbnail(HWND w, int counter) {
    const int id = counter >= 1 && counter <= 255 ? kIdFirstThumbnail - 1 + counter
                                                  : kIdFirstThumbnail - 1 + twcamMaxPictures();
    // Only a thumbnail: at counter 52 the id would be the preview's.
    if (IsThumbnailId(id) && HoldsPicture(Item(w, id))) return id;
    for (int t = kIdFirstThumbnail; t <= kIdLastThumbnail; ++t)
        if (HoldsPicture(Item(w, t))) return t;
    return -1;
}

// Get Pictures (1053)
INT_PTR GetPictures(HWND w, CaptureDialogState *st) {
    uint8_t counter = 255;
    twcamGetImagePos(st->session, &counter);
    SetProgressTitle(w, true, IDS_PROGRESS_UPLOADING_THUMBNAILS, true);
    // The first from picture 0, the others from wherever the camera moved on to.
    bool loaded = SendDlgItemMessageA(w, kIdFirstThumbnail, IMGM_LOAD, 0, 0) != 0;
    for (int id = kIdFirstThumbnail + 1; loaded && id <= kIdLastThumbnail; ++id)
        loaded = SendDlgItemMessageA(w, id, IMGM_LOAD, static_cast<WPARAM>(-1), 0) != 0;
    twcamGotoPos(st->session, counter);
    const int chosen = ChooseThumbnail(w, counter);
    Enable(w, kIdPreviewButton, chosen != -1);
    if (chosen == -1) {
        EnableCapture(w, false);
    } else {
        SendDlgItemMessageA(w, chosen, IMGM_SELECT, 0, 0);
        SetFocus(Item(w, chosen));
    }
    SetProgressTitle(w, false, 0, true);
    return 0;
}

// IMGN_FOCUS from a thumbnail: the camera waits on the slot after it.
void SelectThumbnail(CaptureDialogState *st, int id) {
    st->selectedId = id;
    twcamGotoPos(st->session, SlotAfter(id - kIdFirstThumbnail));
}

// Preview (1000)
void Preview(HWND w, CaptureDialogState *st) {
    if (st->selectedId == -1) return;
    SetProgressTitle(w, true, IDS_PROGRESS_UPLOADING_IMAGE, true);
    const bool loaded =
        SendDlgItemMessageA(w, kIdPreview, IMGM_LOAD, st->selectedId - kIdFirstThumbnail, 0) != 0;
    EnableCapture(w, loaded);
    Enable(w, kIdPreview, loaded);
    SetProgressTitle(w, false, 0, true);
    st->previewSlot = st->selectedId - kIdFirstThumbnail;
    twcamGotoPos(st->session, SlotAfter(st->previewSlot));
}

// Capture (1051) and the large capture (1059): the format of what the
// transfer will deliver, then the announcement.
void Capture(HWND w, CaptureDialogState *st, int command) {
    // Only a picture in the preview can be handed over, and only one at a time.
    if (!HoldsPicture(Item(w, kIdPreview)) || !CanAnnounceTransfer()) return;
    const bool large = command == kIdLargeCapture;
    StorePictureFormat(st->session, large ? 320 : 160, large ? 240 : 120);
    st->captureCommand = command;
    NotifyXferReady();
}

// A copy of the previewed picture as a movable global block, enlarged for
// the large capture; null when the preview holds none.
HGLOBAL CopyPreviewPicture(HWND w, const CaptureDialogState *st) {
    const auto *block = reinterpret_cast<const uint8_t *>(
        SendDlgItemMessageA(w, kIdPreview, IMGM_GETPICTURE, 0, 0));
    if (block == nullptr) return nullptr;
    const bool large = st->captureCommand == kIdLargeCapture;
    const SIZE_T size = kHeaderBytes + (large ? SCI_ENLARGED_BYTES : SCI_PICTURE_BYTES);
    HGLOBAL picture = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, size);
    auto *dest = picture ? static_cast<uint8_t *>(GlobalLock(picture)) : nullptr;
    if (dest == nullptr) {
        if (picture != nullptr) GlobalFree(picture);
        return nullptr;
    }
    std::memcpy(dest, block, kHeaderBytes);
    bool ok = true;
    if (large) {
        auto *h = reinterpret_cast<BITMAPINFOHEADER *>(dest);
        h->biWidth *= 2;
        h->biHeight *= 2;
        h->biSizeImage *= 4;
        ok = SciEnlargeImage(block + kHeaderBytes, dest + kHeaderBytes) == SCI_OK;
    } else {
        std::memcpy(dest + kHeaderBytes, block + kHeaderBytes, SCI_PICTURE_BYTES);
    }
    GlobalUnlock(picture);
    if (ok) return picture;
    GlobalFree(picture);
    return nullptr;
}

// Clear Camera (1055): the counter back to the first slot.
void ClearCamera(HWND w, CaptureDialogState *st) {
    SetProgressTitle(w, true, IDS_PROGRESS_RESETTING_COUNTER, true);
    int32_t status = twcamGotoPos(st->session, 0);
    if (status == SCI_OK) Sleep(kClearSettleMs);
    while (status != SCI_OK && twcamReportError(st->session, Item(w, kIdStatusLine), status,
                                                "Error resetting camera") == IDRETRY)
        status = twcamGotoPos(st->session, 0);
    if (status == SCI_OK) ClearStatusLine(w);
    SendDlgItemMessageA(w, kIdLastThumbnail, IMGM_SELECT, 0, 0);
    st->selectedId = kIdLastThumbnail;
    SetProgressTitle(w, false, 0, true);
}

// Continuous capture (1056): grab into the slot after the selection, and on.
void StartContinuous(HWND w, CaptureDialogState *st) {
    if (st->continuous || st->worker.threadId == 0) return;
    st->continuous = 1;
    ApplyEnabling(w, false, kIdStopContinuous);
    SetFocus(Item(w, kIdStopContinuous));
    const int selected = st->selectedId == -1 ? -1 : st->selectedId - kIdFirstThumbnail;
    st->continuousSlot = selected == -1 ? 0 : SlotAfter(selected);
    PostThreadMessageA(st->worker.threadId, CWM_GRAB, static_cast<WPARAM>(st->continuousSlot), 0);
}

// Stop (1058): the worker abandons its job; its reply ends the cycle.
void StopContinuous(HWND w, CaptureDialogState *st) {
    st->continuous = 0;
    PostThreadMessageA(st->worker.threadId, CWM_STOP, 0, 0);
    SetProgressTitle(w, false, 0, false);
    SetProgressTitle(w, true, IDS_PROGRESS_STOPPING_UPLOAD, true);
    Enable(w, kIdStopContinuous, false);
}

void EndContinuous(HWND w, CaptureDialogState *st, int slot, uint8_t *block) {
    SetForegroundWindow(w);
    st->continuous = 0;
    SetProgressTitle(w, false, 0, true);
    ApplyEnabling(w, true, kIdStopContinuous);
    twcamGotoPos(st->session, SlotAfter(slot));
    SendDlgItemMessageA(w, kIdFirstThumbnail + slot, IMGM_SELECT, 0, 0);
    st->selectedId = kIdFirstThumbnail + slot;
    SetFocus(Item(w, kIdStartContinuous));
    twcamFreePicture(block);
}

// CDM_THUMBNAILDONE: the grab's thumbnail, then the slot's picture.
void ThumbnailDone(HWND w, CaptureDialogState *st, int slot, uint8_t *block) {
    if (!st->started || !st->continuous || block == nullptr || slot < 0 ||
        slot >= kThumbnailCount) {
        EndContinuous(w, st, slot < 0 || slot >= kThumbnailCount ? 0 : slot, block);
        return;
    }
    if (!PostMessageA(Item(w, kIdFirstThumbnail + slot), IMGM_SETPICTURE, 0,
                      reinterpret_cast<LPARAM>(block)))
        twcamFreePicture(block);
    PostThreadMessageA(st->worker.threadId, CWM_UPLOAD, static_cast<WPARAM>(slot), 0);
}

// CDM_IMAGEDONE: the picture into the preview, then the next slot's grab.
void ImageDone(HWND w, CaptureDialogState *st, int slot, uint8_t *block) {
    if (!st->continuous || block == nullptr || slot < 0 || slot >= kThumbnailCount) {
        EndContinuous(w, st, slot < 0 || slot >= kThumbnailCount ? 0 : slot, block);
        return;
    }
    if (!PostMessageA(Item(w, kIdPreview), IMGM_SETPICTURE, 0, reinterpret_cast<LPARAM>(block)))
        twcamFreePicture(block);
    st->continuousSlot = SlotAfter(slot);
    PostThreadMessageA(st->worker.threadId, CWM_GRAB, static_cast<WPARAM>(st->continuousSlot), 0);
}

BOOL OnClose(HWND w, CaptureDialogState *st) {
    HCURSOR previous = SetCursor(LoadCursor(nullptr, IDC_WAIT));
    if (st != nullptr && st->session != nullptr && st->continuous) {
        SetCursor(previous); // no closing in the middle of continuous capture
        return TRUE;
    }
    if (st != nullptr && st->session != nullptr) {
        ApplyEnabling(w, false, 0);
        st->started = 0;
    }
    SetCursor(previous);
    NotifyCloseDsReq();
    SetTimer(w, kCloseTimer, kCloseTimeoutMs, nullptr);
    return TRUE;
}

void OnDestroy(HWND w) {
    KillTimer(w, kCloseTimer);
    CaptureDialogState *st = State(w);
    SetWindowLongPtrA(w, DWLP_USER, 0);
    if (g_source.hDlgCapture == w) g_source.hDlgCapture = nullptr;
    if (st == nullptr) return;
    StopWorker(&st->worker);
    // Replies the worker posted and nobody took: their pictures are freed.
    MSG reply;
    while (PeekMessageA(&reply, w, CDM_THUMBNAILDONE, CDM_IMAGEDONE, PM_REMOVE))
        twcamFreePicture(reinterpret_cast<uint8_t *>(reply.lParam));
    twcamClose(st->session);
    HeapFree(GetProcessHeap(), 0, st);
}

// The commands, by control id.
using CommandHandler = INT_PTR (*)(HWND w, CaptureDialogState *st, int id, WORD code);

// IDOK, IDCANCEL (the Close button, Esc)
INT_PTR CommandClose(HWND w, CaptureDialogState *, int, WORD) {
    EnableCapture(w, false);
    Enable(w, IDCANCEL, false);
    PostMessageA(w, WM_CLOSE, 0, 0);
    return TRUE;
}

// Preview button (1000), also posted on a thumbnail's activation
INT_PTR CommandPreview(HWND w, CaptureDialogState *st, int, WORD) {
    Preview(w, st);
    return TRUE;
}

// Thumbnails 1001 to 1024: activation previews, focus selects
INT_PTR CommandThumbnail(HWND w, CaptureDialogState *st, int id, WORD code) {
    if (code == IMGN_ACTIVATE) PostMessageA(w, WM_COMMAND, kIdPreviewButton, 0);
    if (code == IMGN_FOCUS) SelectThumbnail(st, id);
    return FALSE;
}

// Capture (1051), also posted on the preview's activation; large capture (1059)
INT_PTR CommandCapture(HWND w, CaptureDialogState *st, int id, WORD) {
    Capture(w, st, id);
    return TRUE;
}

// Preview control (1052): activation captures
INT_PTR CommandPreviewControl(HWND w, CaptureDialogState *, int, WORD code) {
    if (code != IMGN_ACTIVATE) return FALSE;
    PostMessageA(w, WM_COMMAND, kIdCapture, 0);
    return TRUE;
}

// Get Pictures (1053)
INT_PTR CommandGetPictures(HWND w, CaptureDialogState *st, int, WORD) {
    return GetPictures(w, st);
}

// Clear Camera (1055)
INT_PTR CommandClearCamera(HWND w, CaptureDialogState *st, int, WORD) {
    ClearCamera(w, st);
    return FALSE;
}

// Start continuous capture (1056)
INT_PTR CommandStartContinuous(HWND w, CaptureDialogState *st, int, WORD) {
    StartContinuous(w, st);
    return TRUE;
}

// Stop continuous capture (1058)
INT_PTR CommandStopContinuous(HWND w, CaptureDialogState *st, int, WORD) {
    StopContinuous(w, st);
    return TRUE;
}

struct CommandRow {
    int first, last; // control ids
    CommandHandler handler;
};
const CommandRow kCommands[] = {
    {IDOK, IDCANCEL, CommandClose},
    {kIdPreviewButton, kIdPreviewButton, CommandPreview},
    {kIdFirstThumbnail, kIdLastThumbnail, CommandThumbnail},
    {kIdCapture, kIdCapture, CommandCapture},
    {kIdPreview, kIdPreview, CommandPreviewControl},
    {kIdGetPictures, kIdGetPictures, CommandGetPictures},
    {kIdClearCamera, kIdClearCamera, CommandClearCamera},
    {kIdStartContinuous, kIdStartContinuous, CommandStartContinuous},
    {kIdStopContinuous, kIdStopContinuous, CommandStopContinuous},
    {kIdLargeCapture, kIdLargeCapture, CommandCapture},
};

INT_PTR OnCommand(HWND w, CaptureDialogState *st, WPARAM wParam) {
    const int id = LOWORD(wParam);
    const WORD code = HIWORD(wParam);
    // Close works even without state; everything else needs it.
    for (const CommandRow &row : kCommands)
        if (id >= row.first && id <= row.last)
            return st != nullptr || row.handler == CommandClose ? row.handler(w, st, id, code)
                                                                : FALSE;
    return FALSE;
}

// A message's result for the one who sent it.
INT_PTR Answer(HWND w, LRESULT result) {
    SetWindowLongPtrA(w, DWLP_MSGRESULT, result);
    return TRUE;
}

} // namespace
} // namespace zorvik

using namespace zorvik;

extern "C" INT_PTR CALLBACK dlgCapture(HWND w, UINT message, WPARAM wParam, LPARAM lParam) {
    CaptureDialogState *st = State(w);
    switch (message) {
    case WM_INITDIALOG:
        return OnInitDialog(w, reinterpret_cast<TwcamSession *>(lParam));
    case WM_COMMAND:
        return OnCommand(w, st, wParam);
    case WM_CLOSE:
        return OnClose(w, st);
    case WM_TIMER:
        KillTimer(w, kCloseTimer);
        DestroyWindow(w);
        return TRUE;
    case WM_DESTROY:
        OnDestroy(w);
        return TRUE;
    case CDM_GETPICTURE:
        if (st == nullptr) return FALSE;
        if (lParam != 0) *reinterpret_cast<HGLOBAL *>(lParam) = CopyPreviewPicture(w, st);
        return Answer(w, 1);
    case CDM_THUMBNAILDONE:
        if (st != nullptr)
            ThumbnailDone(w, st, static_cast<int>(wParam), reinterpret_cast<uint8_t *>(lParam));
        else
            twcamFreePicture(reinterpret_cast<uint8_t *>(lParam));
        return TRUE;
    case CDM_IMAGEDONE:
        if (st != nullptr)
            ImageDone(w, st, static_cast<int>(wParam), reinterpret_cast<uint8_t *>(lParam));
        else
            twcamFreePicture(reinterpret_cast<uint8_t *>(lParam));
        return TRUE;
    default:
        return FALSE;
    }
}
