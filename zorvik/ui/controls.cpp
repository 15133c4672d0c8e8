// The thumbnail and preview controls of the capture dialog: each shows one
// picture block of the camera session through a DrawDib context, fetches it
// on request and tells the parent when the user activates it.
#include <windows.h>
#include <vfw.h>

#include <cstring>

#include "ui/ui.h"

namespace zorvik {

const char kThumbnailClass[] = "thmbPreview";
const char kPreviewClass[] = "MeroImgPreview";

namespace {

// The parent's property naming the remembered thumbnail of the focus group.
const char kFocusProperty[] = "ThmFocus";

constexpr uint32_t kThumbPixelOffset = kHeaderBytes + kPaletteBytes; // 1,064
constexpr uint32_t kColourPixelOffset = kHeaderBytes;                // 40

// What differs between the two controls' creation.
struct ControlShape {
    int width, height;
    const char *tooSmallText;
    const char *tooSmallCaption;
};

const ControlShape kThumbShape = {kThumbnailWidth, kThumbnailHeight,
                                  "Window must be at least 46x37 pixels",
                                  "Unable to create thumbnail window"};
const ControlShape kPreviewShape = {kPreviewWidth, kPreviewHeight,
                                    "Window must be at least 166x126 pixels",
                                    "Unable to create preview window"};

ImageControlData *DataOf(HWND window) {
    return reinterpret_cast<ImageControlData *>(GetWindowLongPtrA(window, 0));
}

bool HasPicture(const ImageControlData *d) {
    return d != nullptr && d->picture != nullptr;
}

void Notify(HWND window, WORD code) {
    const int id = GetDlgCtrlID(window);
    PostMessageA(GetParent(window), WM_COMMAND, MAKEWPARAM(static_cast<WORD>(id), code),
                 reinterpret_cast<LPARAM>(window));
}

void Repaint(HWND window, BOOL erase) {
    InvalidateRect(window, nullptr, erase);
    UpdateWindow(window);
}

// Load requests name a slot in -1..254; anything else means the default.
int32_t PictureIndex(const ImageControlData *d, WPARAM wParam) {
    const auto asked = static_cast<INT_PTR>(wParam);
    if (asked >= -1 && asked <= 254) return static_cast<int32_t>(asked);
    return d->defaultNumber;
}

LRESULT Create(HWND window, const ControlShape &shape) {
    RECT r;
    GetClientRect(window, &r);
    const int width = r.right - r.left;
    const int height = r.bottom - r.top;
    if (width < shape.width || height < shape.height) {
        MessageBoxA(window, shape.tooSmallText, shape.tooSmallCaption, MB_OK);
        return -1;
    }
    POINT at = {(width - shape.width) / 2, (height - shape.height) / 2};
    MapWindowPoints(window, GetParent(window), &at, 1);
    SetWindowPos(window, nullptr, at.x, at.y, shape.width, shape.height,
                 SWP_NOZORDER | SWP_NOACTIVATE);

    auto *d = static_cast<ImageControlData *>(
        HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(ImageControlData)));
    if (d == nullptr) return -1;
    SetWindowLongPtrA(window, 0, reinterpret_cast<LONG_PTR>(d));
    d->drawDib = DrawDibOpen();
    if (d->drawDib == nullptr)
        MessageBoxA(window, "Failed to create drawdib dc", dsMsgCaption(), MB_OK);
    d->defaultNumber = 0xFFFF;
    return 0;
}

void Destroy(HWND window) {
    ImageControlData *d = DataOf(window);
    if (d == nullptr) return;
    if (d->drawDib != nullptr) DrawDibClose(static_cast<HDRAWDIB>(d->drawDib));
    twcamFreePicture(d->picture);
    HeapFree(GetProcessHeap(), 0, d);
    SetWindowLongPtrA(window, 0, 0);
}

// Replaces the shown block; the same block given again is kept, not freed.
void Adopt(ImageControlData *d, uint8_t *block, uint32_t pixelOffset) {
    if (block != d->picture) twcamFreePicture(d->picture);
    d->picture = block;
    d->pixels = block != nullptr ? block + pixelOffset : nullptr;
}

void DrawEmpty(HDC dc, const RECT &r) {
    HPEN red = CreatePen(PS_SOLID, 0, RGB(255, 0, 0));
    HGDIOBJ old = SelectObject(dc, red);
    MoveToEx(dc, r.left, r.top, nullptr);
    LineTo(dc, r.right, r.bottom);
    MoveToEx(dc, r.right, r.top, nullptr);
    LineTo(dc, r.left, r.bottom);
    SelectObject(dc, old);
    DeleteObject(red);
    FrameRect(dc, &r, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));
}

// Draws the picture unstretched at (x, y); its size comes from its header.
void DrawPicture(HDC dc, const ImageControlData *d, int x, int y) {
    auto *header = reinterpret_cast<BITMAPINFOHEADER *>(d->picture);
    const int w = header->biWidth;
    const int h = header->biHeight;
    DrawDibDraw(static_cast<HDRAWDIB>(d->drawDib), dc, x, y, w, h, header, d->pixels, 0, 0, w, h,
                0);
}

bool CanDraw(const ImageControlData *d) {
    return d != nullptr && d->drawDib != nullptr && d->pixels != nullptr;
}

bool IsThumbnail(HWND other) {
    char name[39] = {};
    if (other != nullptr) GetClassNameA(other, name, sizeof name);
    return std::strcmp(name, kThumbnailClass) == 0;
}

void PaintThumbnail(HWND window, const ImageControlData *d) {
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(window, &ps);
    RECT r;
    GetClientRect(window, &r);
    if (CanDraw(d)) {
        const auto *header = reinterpret_cast<const BITMAPINFOHEADER *>(d->picture);
        const int dx = (r.right - r.left) - header->biWidth;
        const int dy = (r.bottom - r.top) - header->biHeight;
        // The row offset rounds away from zero, the column offset toward it.
        const int y = dy >= 0 ? (dy + 1) / 2 : -((1 - dy) / 2);
        DrawPicture(dc, d, dx / 2, y);
        if (d->hasFocus) {
            FrameRect(dc, &r, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));
        } else if (GetPropA(GetParent(window), kFocusProperty) == window) {
            HGDIOBJ old = SelectObject(dc, GetStockObject(BLACK_PEN));
            MoveToEx(dc, r.left + 1, r.bottom - 1, nullptr);
            LineTo(dc, r.right - 1, r.bottom - 1);
            SelectObject(dc, old);
        }
    } else {
        DrawEmpty(dc, r);
    }
    EndPaint(window, &ps);
}

void PaintPreview(HWND window, const ImageControlData *d) {
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(window, &ps);
    RECT r;
    GetClientRect(window, &r);
    if (CanDraw(d)) {
        const auto *header = reinterpret_cast<const BITMAPINFOHEADER *>(d->picture);
        DrawPicture(dc, d, ((r.right - r.left) - header->biWidth) / 2,
                    ((r.bottom - r.top) - header->biHeight) / 2);
        if (d->hasFocus) {
            FrameRect(dc, &r, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));
        } else {
            // Wipes out the frame of an earlier focus.
            HBRUSH face = CreateSolidBrush(GetSysColor(COLOR_BTNFACE));
            FrameRect(dc, &r, face);
            DeleteObject(face);
        }
    } else {
        DrawEmpty(dc, r);
    }
    EndPaint(window, &ps);
}

// Fetches until the status is clear or the user stops retrying; the final
// block or null.
uint8_t *LoadWithRetry(HWND window, const ImageControlData *d, int32_t index,
                       uint8_t *(*fetch)(TwcamSession *, int32_t), const char *prefix) {
    HWND statusLine = GetDlgItem(GetParent(window), kIdStatusLine);
    uint8_t *block = fetch(d->session, index);
    int32_t status = twcamGetStatus(d->session);
    while (status != 0) {
        if (twcamReportError(d->session, statusLine, status, prefix) != IDRETRY) break;
        twcamFreePicture(block); // the next fetch replaces it
        block = fetch(d->session, index);
        status = twcamGetStatus(d->session);
    }
    if (status == 0 && statusLine != nullptr) SetWindowTextA(statusLine, "");
    return block;
}

void ThumbSetFocus(HWND window, ImageControlData *d, HWND other) {
    HWND parent = GetParent(window);
    auto remembered = static_cast<HWND>(GetPropA(parent, kFocusProperty));
    if (remembered != nullptr && remembered != window && !IsThumbnail(other)) {
        // The focus comes from outside the group: it belongs to the remembered one.
        d->hasFocus = 0;
        SetFocus(remembered);
        return;
    }
    d->hasFocus = 1;
    RemovePropA(parent, kFocusProperty);
    Notify(window, IMGN_FOCUS);
    Repaint(window, TRUE);
}

void ThumbKillFocus(HWND window, ImageControlData *d, HWND other) {
    d->hasFocus = 0;
    if (!IsThumbnail(other)) SetPropA(GetParent(window), kFocusProperty, window);
    Repaint(window, TRUE);
}

// Moves the remembered selection away from another thumbnail: to this one
// (IMGM_SELECT) or to none (a click, which takes the focus next).
void TakeRemembered(HWND window, bool keep) {
    HWND parent = GetParent(window);
    auto remembered = static_cast<HWND>(GetPropA(parent, kFocusProperty));
    if (remembered == nullptr || remembered == window) return;
    if (keep)
        SetPropA(parent, kFocusProperty, window);
    else
        RemovePropA(parent, kFocusProperty);
    Repaint(remembered, TRUE);
    if (keep) Repaint(window, TRUE);
}

// The messages both controls answer alike; true when handled.
bool CommonMessage(HWND window, ImageControlData *d, UINT message, WPARAM wParam, LPARAM lParam,
                   LRESULT *result) {
    *result = 0;
    switch (message) {
    case WM_KEYDOWN:
        if (HasPicture(d) && (wParam & 0xFF) == VK_SPACE) Notify(window, IMGN_ACTIVATE);
        return true;
    case WM_LBUTTONDBLCLK:
        if (HasPicture(d)) Notify(window, IMGN_ACTIVATE);
        return true;
    case IMGM_SETNUMBER:
        if (d != nullptr) d->defaultNumber = static_cast<uint16_t>(wParam & 0xFFFF);
        return true;
    case IMGM_GETNUMBER:
        if (d != nullptr) *result = d->defaultNumber;
        return true;
    case IMGM_SETSESSION:
        if (d != nullptr) d->session = reinterpret_cast<TwcamSession *>(lParam);
        return true;
    default:
        return false;
    }
}

} // namespace

void RegisterControlClasses(HINSTANCE instance) {
    WNDCLASSA wc = {};
    wc.style = CS_HREDRAW | CS_VREDRAW | CS_DBLCLKS;
    wc.cbWndExtra = sizeof(void *);
    wc.hInstance = instance;
    wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_BTNFACE + 1));
    wc.lpfnWndProc = thmPreviewProc;
    wc.lpszClassName = kThumbnailClass;
    RegisterClassA(&wc);
    wc.lpfnWndProc = prvImageProc;
    wc.lpszClassName = kPreviewClass;
    RegisterClassA(&wc);
}

// A DLL's classes outlive it unless it unregisters them: a source unloaded
// and loaded again would leave a class behind each time, its procedure
// pointing where the code no longer is.
void UnregisterControlClasses(HINSTANCE instance) {
    UnregisterClassA(kThumbnailClass, instance);
    UnregisterClassA(kPreviewClass, instance);
}

} // namespace zorvik

using namespace zorvik;

extern "C" LRESULT CALLBACK thmPreviewProc(HWND window, UINT message, WPARAM wParam,
                                           LPARAM lParam) {
    ImageControlData *d = message == WM_CREATE ? nullptr : DataOf(window);
    LRESULT result = 0;
    if (message != WM_CREATE && CommonMessage(window, d, message, wParam, lParam, &result))
        return result;
    switch (message) {
    case WM_CREATE:
        return Create(window, kThumbShape);
    case WM_DESTROY:
        // A remembered selection must not outlive its window.
        if (GetPropA(GetParent(window), kFocusProperty) == window)
            RemovePropA(GetParent(window), kFocusProperty);
        Destroy(window);
        return 0;
    case WM_SETFOCUS:
        if (d != nullptr) ThumbSetFocus(window, d, reinterpret_cast<HWND>(wParam));
        return 0;
    case WM_KILLFOCUS:
        if (d != nullptr) ThumbKillFocus(window, d, reinterpret_cast<HWND>(wParam));
        return 0;
    case WM_PAINT:
        PaintThumbnail(window, d);
        return 0;
    case WM_LBUTTONDOWN:
        if (HasPicture(d)) {
            TakeRemembered(window, false);
            SetFocus(window);
        }
        return 0;
    case IMGM_SETPICTURE:
        if (d != nullptr) {
            Adopt(d, reinterpret_cast<uint8_t *>(lParam), kThumbPixelOffset);
            Repaint(window, TRUE);
        }
        return 0;
    case IMGM_GETPICTURE:
        return d != nullptr ? reinterpret_cast<LRESULT>(d->pixels) : 0;
    case IMGM_LOAD: {
        if (d == nullptr) return 0;
        uint8_t *block = LoadWithRetry(window, d, PictureIndex(d, wParam), twcamGetThumbnail,
                                       "Error uploading thumbnail");
        Adopt(d, block, kThumbPixelOffset);
        Repaint(window, TRUE);
        return block != nullptr ? 1 : 0;
    }
    case IMGM_SELECT:
        if (HasPicture(d)) TakeRemembered(window, true);
        return 0;
    default:
        return DefWindowProcA(window, message, wParam, lParam);
    }
}

extern "C" LRESULT CALLBACK prvImageProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    ImageControlData *d = message == WM_CREATE ? nullptr : DataOf(window);
    LRESULT result = 0;
    if (message != WM_CREATE && CommonMessage(window, d, message, wParam, lParam, &result))
        return result;
    switch (message) {
    case WM_CREATE:
        return Create(window, kPreviewShape);
    case WM_DESTROY:
        Destroy(window);
        return 0;
    case WM_SETFOCUS:
    case WM_KILLFOCUS:
        if (d != nullptr) {
            d->hasFocus = message == WM_SETFOCUS ? 1 : 0;
            Repaint(window, FALSE);
        }
        return 0;
    case WM_PAINT:
        PaintPreview(window, d);
        return 0;
    case WM_LBUTTONDOWN:
        if (HasPicture(d)) SetFocus(window);
        return 0;
    case IMGM_SETPICTURE:
    case IMGM_LOAD: {
        if (d == nullptr) return 0;
        uint8_t *block = reinterpret_cast<uint8_t *>(lParam);
        if (message == IMGM_LOAD)
            block = LoadWithRetry(window, d, PictureIndex(d, wParam), twcamGetImage,
                                  "Error uploading image");
        const bool wasShowing = d->picture != nullptr;
        Adopt(d, block, kColourPixelOffset);
        // Erasing only between shown and empty keeps a picture change flicker-free.
        Repaint(window, wasShowing != (block != nullptr) ? TRUE : FALSE);
        return block != nullptr ? 1 : 0;
    }
    case IMGM_GETPICTURE:
        return d != nullptr ? reinterpret_cast<LRESULT>(d->picture) : 0;
    case IMGM_LOADGREY: {
        if (d == nullptr) return 0;
        uint8_t *grey = twcamGetGreyImage(d->session, PictureIndex(d, wParam));
        if (grey == nullptr)
            MessageBoxA(window, "Unable to load grey scale image", dsMsgCaption(), MB_OK);
        return reinterpret_cast<LRESULT>(grey);
    }
    default:
        return DefWindowProcA(window, message, wParam, lParam);
    }
}
