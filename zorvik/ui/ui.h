// The data source's user interface: the thumbnail and preview controls, the
// camera worker thread, the progress title, and the capture dialog.
#pragma once

#include <windows.h>

#include <cstdint>

#include "session/twcam.h"

namespace zorvik {

// Control ids of the capture dialog.
enum DialogId : int {
    kIdPreviewButton = 1000,
    kIdFirstThumbnail = 1001, // slot s is 1001 + s
    kIdLastThumbnail = 1024,
    kIdCapture = 1051,
    kIdPreview = 1052,
    kIdGetPictures = 1053,
    kIdClearCamera = 1055,
    kIdStartContinuous = 1056,
    kIdVersion = 1057,
    kIdStopContinuous = 1058,
    kIdLargeCapture = 1059,
    kIdStatusLine = 1060,
};
constexpr int kThumbnailCount = 24;

// Messages of the two image controls (WM_USER and on).
enum ImageMessage : UINT {
    IMGM_SETNUMBER = WM_USER,
    IMGM_GETNUMBER = WM_USER + 1,
    IMGM_SETPICTURE = WM_USER + 2,
    IMGM_GETPICTURE = WM_USER + 3,
    IMGM_LOAD = WM_USER + 4,
    IMGM_SETSESSION = WM_USER + 5,
    IMGM_SELECT = WM_USER + 6,   // thumbnail
    IMGM_LOADGREY = WM_USER + 6, // preview
};
// Notifications in the high word of WM_COMMAND.
constexpr WORD IMGN_ACTIVATE = 1035;
constexpr WORD IMGN_FOCUS = 1036;

// Messages between the dialog and the worker.
enum WorkerMessage : UINT {
    CWM_GRAB = WM_USER,
    CWM_UPLOAD = WM_USER + 1,
    CWM_QUIT = WM_USER + 2,
    CWM_STOP = WM_USER + 3,
    CDM_THUMBNAILDONE = WM_USER + 100,
    CDM_IMAGEDONE = WM_USER + 101,
};

// Window classes of the controls.
extern const char kThumbnailClass[]; // "thmbPreview"
extern const char kPreviewClass[];   // "MeroImgPreview"

// Per-window record of both image controls.
struct ImageControlData {
    HANDLE drawDib; // HDRAWDIB; null when it could not be opened
    uint8_t *picture;
    uint8_t *pixels;
    TwcamSession *session;
    int32_t hasFocus;
    uint16_t defaultNumber;
};

// Registers both window classes with the module (the thumbnail's first).
void RegisterControlClasses(HINSTANCE instance);

// The camera worker thread's record.
struct CameraWorker {
    HANDLE event; // manual reset: the worker's queue exists; the worker has ended
    DWORD workerThreadId;
    HWND dialogWindow;
    TwcamSession *session;
};

// Starts the worker; waits up to 5,000 ms for its start signal. *threadId is
// 0 when it did not come.
CameraWorker *StartWorker(TwcamSession *session, HWND dialog, HANDLE *thread, DWORD *threadId);
// Asks the worker to quit, waits up to 10,000 ms, terminates it otherwise.
void StopWorker(CameraWorker *worker, HANDLE thread, DWORD threadId);

// The progress text in a window's caption ("%s - %s, please wait..."). The
// flag before the format arguments is an int: va_start needs a promoted type.
void SetProgressTitle(HWND window, bool on, UINT stringId, int changeCursor, ...);

} // namespace zorvik

// The window and dialog procedures, exported by name.
extern "C" LRESULT CALLBACK thmPreviewProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
extern "C" LRESULT CALLBACK prvImageProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
extern "C" INT_PTR CALLBACK dlgCapture(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
