// The camera worker thread of continuous capture, and the progress text in
// the capture dialog's caption that the dialog and the worker share.
#include <windows.h>

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <cstring>

#include "resources/ids.h"
#include "session/twcam.h"
#include "ui/ui.h"

namespace zorvik {
namespace {

// The caption that was there before the progress text went up, and the cursor
// before the wait cursor. One of each for the whole data source: the dialog
// and the worker take turns by protocol, not by lock.
char g_savedCaption[200];
HCURSOR g_savedCursor;
std::atomic<bool> g_titleUp{false};
std::atomic<bool> g_cursorSaved{false};

constexpr int kProgressTextChars = 38;
constexpr DWORD kStartWaitMs = 5000;
constexpr DWORD kStopWaitMs = 10000;
constexpr int kGrabRepeats = 100;
constexpr DWORD kGrabRepeatWaitMs = 5;

constexpr char kProgressEnd[] = ", please wait...";

bool IsProgressCaption(const char *caption) {
    const size_t n = std::strlen(caption), end = sizeof kProgressEnd - 1;
    return n >= end && std::strcmp(caption + n - end, kProgressEnd) == 0;
}

void ProgressTitleOn(HWND window, UINT stringId, bool changeCursor, va_list args) {
    if (changeCursor) {
        HCURSOR previous = SetCursor(LoadCursorA(nullptr, IDC_WAIT));
        if (!g_cursorSaved.exchange(true)) g_savedCursor = previous;
    }
    // A title that is already up keeps the caption it saved. The dialog and
    // the worker may switch titles at the same moment, so what is read is
    // kept only when it is no progress caption, and the saved one is never
    // left half written.
    if (!g_titleUp.exchange(true)) {
        char current[sizeof g_savedCaption] = "";
        GetWindowTextA(window, current, sizeof current);
        if (!IsProgressCaption(current)) std::memcpy(g_savedCaption, current, sizeof current);
    }
    char format[kProgressTextChars + 1] = "";
    if (LoadStringA(CodeModule(), stringId, format, sizeof format) <= 0) format[0] = '\0';
    char text[kProgressTextChars + 64];
    wvsprintfA(text, format, args);
    char caption[sizeof g_savedCaption + sizeof text + 32];
    wsprintfA(caption, "%s - %s%s", g_savedCaption, text, kProgressEnd);
    SetWindowTextA(window, caption);
}

void ProgressTitleOff(HWND window, bool changeCursor) {
    // Nothing to put back unless a progress text is up: an empty saved
    // caption must never replace the dialog's own.
    if (g_titleUp.exchange(false)) SetWindowTextA(window, g_savedCaption);
    if (changeCursor && g_cursorSaved.exchange(false)) SetCursor(g_savedCursor);
}

// What waits in the worker's queue for the job in progress.
enum class StopRequest { None, Stop, Quit };

StopRequest PendingStop() {
    MSG msg;
    if (!PeekMessageA(&msg, nullptr, CWM_QUIT, CWM_STOP, PM_NOREMOVE)) return StopRequest::None;
    return msg.message == CWM_QUIT ? StopRequest::Quit : StopRequest::Stop;
}

HWND StatusLine(const CameraWorker *w) {
    return GetDlgItem(w->dialogWindow, kIdStatusLine);
}

bool ValidSlot(int32_t slot) {
    return slot >= 0 && slot < kThumbnailCount;
}

// After a retry: a success clears the status line; a failure leaves the
// failed step's line and says the cycle is stopping.
void AfterRetry(const CameraWorker *w, int32_t status) {
    if (status == 0) {
        SetWindowTextA(StatusLine(w), "");
        return;
    }
    SetProgressTitle(w->dialogWindow, false, 0, false);
    SetProgressTitle(w->dialogWindow, true, IDS_PROGRESS_STOPPING_CAPTURE, false);
}

// Bad exposures are retried without asking; a lost camera asks each time.
int32_t GrabWithRetry(const CameraWorker *w, int32_t slot) {
    int32_t status = twcamGrabImage(w->session, slot);
    for (int repeat = 0; status != 0 && repeat < kGrabRepeats; ++repeat) {
        int answer = twcamReportError(w->session, StatusLine(w), status, "Error grabbing image");
        if (status == SCI_BAD_EXPOSURE) answer = IDRETRY;
        if (answer != IDRETRY) break;
        Sleep(kGrabRepeatWaitMs);
        status = twcamGrabImage(w->session, slot);
    }
    AfterRetry(w, status);
    return status;
}

using Fetch = uint8_t *(*)(TwcamSession *, int32_t);

// Only the user's RETRY repeats an upload; there is no limit and no wait.
uint8_t *UploadWithRetry(const CameraWorker *w, int32_t slot, Fetch fetch, const char *prefix) {
    uint8_t *block = fetch(w->session, slot);
    int32_t status = twcamGetStatus(w->session);
    while (status != 0) {
        twcamFreePicture(block); // a failed fetch gives none; never hand on a stale one
        block = nullptr;
        if (twcamReportError(w->session, StatusLine(w), status, prefix) != IDRETRY) break;
        block = fetch(w->session, slot);
        status = twcamGetStatus(w->session);
    }
    AfterRetry(w, status);
    return block;
}

// A slot without a thumbnail control is refused before the camera is touched.
bool RefuseBadSlot(const CameraWorker *w, int32_t slot, const char *prefix) {
    if (ValidSlot(slot)) return false;
    twcamReportError(w->session, StatusLine(w), SCI_BAD_PARAMETER, prefix);
    return true;
}

// The reply carries the block's ownership; a dialog that is gone takes none.
void Reply(const CameraWorker *w, UINT message, int32_t slot, uint8_t *block) {
    if (!PostMessageA(w->dialogWindow, message, static_cast<WPARAM>(slot),
                      reinterpret_cast<LPARAM>(block)))
        twcamFreePicture(block);
}

void GrabJob(const CameraWorker *w, int32_t slot) {
    // A quit means the dialog is going away; a stop still gets its (empty)
    // reply, which is what ends the dialog's cycle.
    const StopRequest early = PendingStop();
    if (early == StopRequest::Quit) return;
    uint8_t *block = nullptr;
    if (early == StopRequest::None && !RefuseBadSlot(w, slot, "Error grabbing image")) {
        HWND dialog = w->dialogWindow;
        SetProgressTitle(dialog, true, IDS_PROGRESS_GRABBING_IMAGE, false, slot + 1);
        const int32_t status = GrabWithRetry(w, slot);
        SetProgressTitle(dialog, false, 0, false);
        SendMessageA(GetDlgItem(dialog, kIdFirstThumbnail + slot), IMGM_SELECT, 0, 0);
        if (status == 0 && PendingStop() == StopRequest::None) {
            SetProgressTitle(dialog, true, IDS_PROGRESS_THUMBNAIL_NUMBER, false, slot + 1);
            block = UploadWithRetry(w, slot, twcamGetThumbnail, "Error uploading thumbnail");
        }
        SetProgressTitle(dialog, false, 0, false);
    }
    Reply(w, CDM_THUMBNAILDONE, slot, block);
}

void UploadJob(const CameraWorker *w, int32_t slot) {
    const StopRequest early = PendingStop();
    if (early == StopRequest::Quit) return;
    uint8_t *block = nullptr;
    if (early == StopRequest::None && !RefuseBadSlot(w, slot, "Error uploading image")) {
        SetProgressTitle(w->dialogWindow, true, IDS_PROGRESS_IMAGE_NUMBER, false, slot + 1);
        block = UploadWithRetry(w, slot, twcamGetImage, "Error uploading image");
        SetProgressTitle(w->dialogWindow, false, 0, false);
    }
    Reply(w, CDM_IMAGEDONE, slot, block);
}

DWORD WINAPI WorkerMain(void *arg) {
    auto *w = static_cast<CameraWorker *>(arg);
    MSG msg;
    // The queue must exist before the dialog is told it may post.
    PeekMessageA(&msg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
    w->workerThreadId = GetCurrentThreadId();
    SetEvent(w->event);
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
        if (msg.message == CWM_QUIT) break;
        const auto slot = static_cast<int32_t>(msg.wParam);
        if (msg.message == CWM_GRAB)
            GrabJob(w, slot);
        else if (msg.message == CWM_UPLOAD)
            UploadJob(w, slot);
    }
    HANDLE event = w->event;
    HeapFree(GetProcessHeap(), 0, w);
    SetEvent(event);
    return 0;
}

} // namespace

bool StartWorker(TwcamSession *session, HWND dialog, WorkerControl *worker) {
    *worker = WorkerControl{};
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (event == nullptr) return false;
    auto *w = static_cast<CameraWorker *>(
        HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(CameraWorker)));
    if (w == nullptr) {
        CloseHandle(event);
        return false;
    }
    w->event = event;
    w->dialogWindow = dialog;
    w->session = session;
    DWORD createdId = 0;
    HANDLE h = CreateThread(nullptr, 0, WorkerMain, w, 0, &createdId);
    if (h == nullptr) {
        // No thread will ever free the record or signal the event.
        HeapFree(GetProcessHeap(), 0, w);
        CloseHandle(event);
        return false;
    }
    WaitForSingleObject(event, kStartWaitMs);
    worker->record = w;
    worker->thread = h;
    worker->event = event;
    worker->threadId = w->workerThreadId;
    return true;
}

void StopWorker(WorkerControl *worker) {
    if (worker->thread == nullptr) return;
    // A worker that has already ended freed its record: only the handles are left.
    if (WaitForSingleObject(worker->thread, 0) != WAIT_OBJECT_0) {
        ResetEvent(worker->event);
        PostThreadMessageA(worker->threadId, CWM_QUIT, 0, 0);
        if (WaitForSingleObject(worker->event, kStopWaitMs) != WAIT_OBJECT_0 &&
            TerminateThread(worker->thread, 0)) {
            // Free the record only once the thread can no longer touch it.
            if (WaitForSingleObject(worker->thread, kStopWaitMs) == WAIT_OBJECT_0)
                HeapFree(GetProcessHeap(), 0, worker->record);
        }
    }
    CloseHandle(worker->event);
    CloseHandle(worker->thread);
    *worker = WorkerControl{};
}

void SetProgressTitle(HWND window, bool on, UINT stringId, int changeCursor, ...) {
    if (!on) {
        ProgressTitleOff(window, changeCursor);
        return;
    }
    va_list args;
    va_start(args, changeCursor);
    ProgressTitleOn(window, stringId, changeCursor, args);
    va_end(args);
}

} // namespace zorvik
