// The data source's user interface: the thumbnail and preview controls, the
// camera worker thread, the progress title, and the capture dialog.
#pragma once

#include <windows.h>

#include <cstdint>

#include "resources/ids.h"
#include "session/twcam.h"

namespace zorvik {

// Control ids of the capture dialog (the template's, from ids.h).
enum DialogId : int {
    kIdPreviewButton = IDC_PREVIEW_BUTTON,
    kIdFirstThumbnail = IDC_FIRST_THUMBNAIL, // slot s is 1001 + s
    kIdLastThumbnail = IDC_LAST_THUMBNAIL,
    kIdCapture = IDC_CAPTURE,
    kIdPreview = IDC_PREVIEW,
    kIdGetPictures = IDC_GET_PICTURES,
    kIdClearCamera = IDC_CLEAR_CAMERA,
    kIdStartContinuous = IDC_START_CONTINUOUS,
    kIdVersion = IDC_VERSION,
    kIdStopContinuous = IDC_STOP_CONTINUOUS,
    kIdLargeCapture = IDC_LARGE_CAPTURE,
    kIdStatusLine = IDC_STATUS_LINE,
};
constexpr int kThumbnailCount = IDC_LAST_THUMBNAIL - IDC_FIRST_THUMBNAIL + 1;

inline bool IsThumbnailId(int id) {
    return id >= kIdFirstThumbnail && id <= kIdLastThumbnail;
}

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

// The sizes, in pixels, both controls make themselves; a smaller window refuses
// to be created.
constexpr int kThumbnailWidth = 46, kThumbnailHeight = 37;
constexpr int kPreviewWidth = 166, kPreviewHeight = 126;

// Registers both window classes with the module (the thumbnail's first);
// the module's unload unregisters them.
void RegisterControlClasses(HINSTANCE instance);
void UnregisterControlClasses(HINSTANCE instance);

// The capture dialog's template resource.
constexpr char kCaptureTemplate[] = "DLGCAPTURE";

// A dialog template's controls, in place in the template's bytes.
struct TemplateItem {
    DLGITEMTEMPLATE *item;  // position and size in dialog units
    WORD classAtom;         // a system class (0x0080 button, 0x0082 static), or 0
    const WCHAR *className; // a named class, or null
    const WCHAR *title;     // the text, or null
};
constexpr int kMostTemplateItems = 96;
struct DialogTemplateView {
    DLGTEMPLATE *header;
    size_t headerBytes; // up to the first control: caption, font and all
    int count;
    TemplateItem items[kMostTemplateItems];
};
// Reads a template of the standard (not extended) form; false when malformed.
bool ReadDialogTemplate(uint8_t *bytes, size_t size, DialogTemplateView *view);

// Stretch of a template's units, in sixteenths per axis (16: as it is).
struct DialogScale {
    int x, y;
};
// The least stretch at which every image control gets at least its size in
// pixels under these base units (MapDialogRect of 4 x 8 units).
DialogScale ScaleForBaseUnits(const DialogTemplateView &view, int baseX, int baseY);
// Stretches every control's edges and the dialog's size.
void ApplyDialogScale(DialogTemplateView &view, DialogScale scale);
// The capture dialog, modeless, from its template as this desktop's font lays
// it out; null when it cannot be created.
HWND CreateCaptureDialog(HINSTANCE instance, TwcamSession *session);

// The camera worker thread's record.
struct CameraWorker {
    HANDLE event; // manual reset: the worker's queue exists; the worker has ended
    DWORD workerThreadId;
    HWND dialogWindow;
    TwcamSession *session;
};

// What the dialog keeps of its worker. The record is the worker's, freed by
// it when it ends; the thread and the event are the dialog's to close.
struct WorkerControl {
    CameraWorker *record;
    HANDLE thread;
    HANDLE event;
    DWORD threadId; // 0 when the start signal did not come: no jobs can be posted
};

// Starts the worker; waits up to 5,000 ms for its start signal. False, with
// nothing to stop, when the thread could not be started.
bool StartWorker(TwcamSession *session, HWND dialog, WorkerControl *worker);
// Asks the worker to quit, waits up to 10,000 ms, terminates it otherwise;
// closes the handles and clears *worker.
void StopWorker(WorkerControl *worker);

// The progress text in a window's caption ("%s - %s, please wait..."). The
// flag before the format arguments is an int: va_start needs a promoted type.
void SetProgressTitle(HWND window, bool on, UINT stringId, int changeCursor, ...);

} // namespace zorvik

// The window and dialog procedures, exported by name.
extern "C" LRESULT CALLBACK thmPreviewProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
extern "C" LRESULT CALLBACK prvImageProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
extern "C" INT_PTR CALLBACK dlgCapture(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
