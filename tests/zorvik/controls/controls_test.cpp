// The thumbnail and preview controls in a real dialog of this process, fed by
// a camera session on the simulated camera that with-ports.sh put on COM2.
// The controls are driven by window messages and keys as a user drives them,
// and checked by the pixels they put on the screen.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "session/twcam.h"
#include "ui/ui.h"
#include "support/box_watcher.h"
#include "support/sim_control.h"

using namespace zorvik;

namespace {

TwcamSession *g_session = nullptr;
const char kCaption[] = "Kelbrook Zorvik";
const int kCom = 2;

// Notifications the dialog received, in order.
struct Command {
    int id;
    int code;
    HWND from;
};
std::vector<Command> g_commands;

INT_PTR CALLBACK ParentProc(HWND, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_COMMAND)
        g_commands.push_back({LOWORD(wParam), HIWORD(wParam), reinterpret_cast<HWND>(lParam)});
    return message == WM_INITDIALOG ? TRUE : FALSE;
}

// Erasures of the preview, counted on their way to its procedure.
int g_erases = 0;
WNDPROC g_previewProc = nullptr;
LRESULT CALLBACK CountErases(HWND w, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_ERASEBKGND) ++g_erases;
    return CallWindowProcA(g_previewProc, w, message, wParam, lParam);
}

void Pump(HWND dialog) {
    MSG m;
    while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) {
        if (!IsDialogMessageA(dialog, &m)) {
            TranslateMessage(&m);
            DispatchMessageA(&m);
        }
    }
}

// An empty modeless dialog; the tests add the controls as children.
HWND NewDialog() {
    std::vector<WORD> t(32, 0);
    auto *d = reinterpret_cast<DLGTEMPLATE *>(t.data());
    d->style = WS_POPUP | WS_CAPTION | WS_VISIBLE;
    d->cx = 300;
    d->cy = 200;
    HWND dialog = CreateDialogIndirectParamA(GetModuleHandleA(nullptr), d, nullptr, ParentProc, 0);
    Pump(dialog);
    g_commands.clear();
    return dialog;
}

HWND Child(HWND parent, const char *cls, int id, int x, int y, int w, int h, DWORD style = 0) {
    return CreateWindowExA(0, cls, cls == std::string("BUTTON") ? "Button" : "",
                           WS_CHILD | WS_VISIBLE | WS_TABSTOP | style, x, y, w, h, parent,
                           reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                           GetModuleHandleA(nullptr), nullptr);
}

RECT RectInParent(HWND w) {
    RECT r;
    GetWindowRect(w, &r);
    MapWindowPoints(nullptr, GetParent(w), reinterpret_cast<POINT *>(&r), 2);
    return r;
}

// The window's pixels as the screen holds them.
struct Shot {
    int width = 0, height = 0;
    std::vector<uint32_t> px; // 0x00RRGGBB, top row first
    COLORREF At(int x, int y) const {
        const uint32_t v = px[static_cast<size_t>(y * width + x)];
        return RGB((v >> 16) & 0xFF, (v >> 8) & 0xFF, v & 0xFF);
    }
};

Shot Capture(HWND w, bool repaint = true) {
    if (repaint) RedrawWindow(w, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
    RedrawWindow(w, nullptr, nullptr, RDW_UPDATENOW);
    RECT r;
    GetWindowRect(w, &r);
    Shot s;
    s.width = r.right - r.left;
    s.height = r.bottom - r.top;
    BITMAPINFO bi = {};
    bi.bmiHeader.biSize = sizeof bi.bmiHeader;
    bi.bmiHeader.biWidth = s.width;
    bi.bmiHeader.biHeight = -s.height;
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    void *bits = nullptr;
    HDC wdc = GetWindowDC(w);
    HBITMAP dib = CreateDIBSection(wdc, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
    HDC mdc = CreateCompatibleDC(wdc);
    HGDIOBJ old = SelectObject(mdc, dib);
    BitBlt(mdc, 0, 0, s.width, s.height, wdc, 0, 0, SRCCOPY);
    GdiFlush();
    const auto *p = static_cast<const uint32_t *>(bits);
    s.px.assign(p, p + s.width * s.height);
    SelectObject(mdc, old);
    DeleteDC(mdc);
    DeleteObject(dib);
    ReleaseDC(w, wdc);
    return s;
}

const COLORREF kBlack = RGB(0, 0, 0);
const COLORREF kRed = RGB(255, 0, 0);
COLORREF Face() {
    return GetSysColor(COLOR_BTNFACE);
}

// Thumbnail pixel (x, y) from the top left, through the grey palette.
COLORREF ThumbPixel(const uint8_t *pixels, int x, int y) {
    const uint8_t v = pixels[(30 - y) * 40 + x];
    return RGB(v, v, v);
}

COLORREF ColourPixel(const uint8_t *pixels, int x, int y) {
    const uint8_t *p = pixels + ((119 - y) * 160 + x) * 3;
    return RGB(p[2], p[1], p[0]);
}

// Every picture pixel of the control stands at 3, 3.
void ExpectThumbnailShown(const Shot &s, const uint8_t *pixels) {
    ASSERT_EQ(s.width, 46);
    ASSERT_EQ(s.height, 37);
    int wrong = 0;
    for (int y = 0; y < 31; ++y)
        for (int x = 0; x < 40; ++x) wrong += s.At(3 + x, 3 + y) != ThumbPixel(pixels, x, y);
    EXPECT_EQ(wrong, 0);
}

enum class Mark { None, Frame, Underline };

void ExpectMark(const Shot &s, Mark mark) {
    const int w = s.width, h = s.height;
    const COLORREF frame = mark == Mark::Frame ? kBlack : Face();
    for (int x = 0; x < w; ++x) EXPECT_EQ(s.At(x, 0), frame) << "top " << x;
    for (int y = 0; y < h - 1; ++y) {
        EXPECT_EQ(s.At(0, y), frame) << "left " << y;
        EXPECT_EQ(s.At(w - 1, y), frame) << "right " << y;
    }
    for (int x = 0; x < w; ++x) {
        COLORREF expected = frame;
        if (mark == Mark::Underline && x >= 1 && x <= w - 2) expected = kBlack;
        EXPECT_EQ(s.At(x, h - 1), expected) << "bottom " << x;
    }
    EXPECT_EQ(s.At(1, 1), Face());
}

// The red cross from corner to corner inside a black frame, nothing else.
void ExpectCross(const Shot &s) {
    const int w = s.width, h = s.height;
    int red = 0, other = 0;
    for (int y = 1; y < h - 1; ++y)
        for (int x = 1; x < w - 1; ++x) {
            const COLORREF c = s.At(x, y);
            if (c == kRed) {
                ++red;
                // Near one of the two diagonals.
                const int d1 = x * h - y * w, d2 = (w - x) * h - y * w;
                EXPECT_TRUE(std::abs(d1) <= 2 * w || std::abs(d2) <= 2 * w) << x << "," << y;
            } else if (c != Face()) {
                ++other;
            }
        }
    EXPECT_GE(red, 2 * (h - 2) - 2);
    EXPECT_EQ(other, 0);
    EXPECT_EQ(s.At(0, 0), kBlack);
    EXPECT_EQ(s.At(w - 1, h - 1), kBlack);
    EXPECT_EQ(s.At(w / 2, 0), kBlack);
    EXPECT_EQ(s.At(0, h / 2), kBlack);
}

// True when block is a live heap block of at least bytes.
bool IsLiveBlock(const void *block, size_t bytes) {
    HANDLE heap = GetProcessHeap();
    PROCESS_HEAP_ENTRY e = {};
    bool live = false;
    HeapLock(heap);
    while (HeapWalk(heap, &e)) {
        if (e.lpData == block) {
            live = (e.wFlags & PROCESS_HEAP_ENTRY_BUSY) != 0 && e.cbData >= bytes;
            break;
        }
    }
    HeapUnlock(heap);
    return live;
}

// The boxes answered so far; the watcher records a box just after pressing
// its button, so wait a little for the count expected.
std::vector<SeenBox> TakeBoxes(size_t expected) {
    std::vector<SeenBox> boxes;
    for (int i = 0; i < 100 && boxes.size() < expected; ++i) {
        std::vector<SeenBox> more = BoxWatcherTake();
        boxes.insert(boxes.end(), more.begin(), more.end());
        if (boxes.size() < expected) Sleep(20);
    }
    return boxes;
}

std::string StatusText(HWND dialog) {
    char text[512] = {};
    GetDlgItemTextA(dialog, kIdStatusLine, text, sizeof text);
    return text;
}

std::string Hex(int32_t status) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%lx",
                  static_cast<unsigned long>(static_cast<uint32_t>(status)));
    return text;
}

const uint8_t *Pixels(HWND thumb) {
    return reinterpret_cast<const uint8_t *>(SendMessageA(thumb, IMGM_GETPICTURE, 0, 0));
}

int CountCommands(int id, int code) {
    int n = 0;
    for (const Command &c : g_commands) n += c.id == id && c.code == code;
    return n;
}

// The capture dialog's shape in small: a button, three thumbnails, a button,
// the preview and the status line, in this tab order.
struct Parent {
    HWND dialog, before, thumbs[3], after, preview, status;
};

Parent NewParent() {
    Parent p;
    p.dialog = NewDialog();
    p.before = Child(p.dialog, "BUTTON", kIdPreviewButton, 4, 4, 60, 20);
    for (int i = 0; i < 3; ++i) {
        p.thumbs[i] =
            Child(p.dialog, kThumbnailClass, kIdFirstThumbnail + i, 4 + 50 * i, 30, 46, 37);
        SendMessageA(p.thumbs[i], IMGM_SETSESSION, 0, reinterpret_cast<LPARAM>(g_session));
    }
    p.after = Child(p.dialog, "BUTTON", kIdCapture, 4, 72, 60, 20);
    p.preview = Child(p.dialog, kPreviewClass, kIdPreview, 170, 4, 166, 126);
    SendMessageA(p.preview, IMGM_SETSESSION, 0, reinterpret_cast<LPARAM>(g_session));
    p.status =
        CreateWindowExA(0, "STATIC", "old text", WS_CHILD | WS_VISIBLE, 4, 140, 300, 16, p.dialog,
                        reinterpret_cast<HMENU>(static_cast<INT_PTR>(kIdStatusLine)),
                        GetModuleHandleA(nullptr), nullptr);
    Pump(p.dialog);
    g_commands.clear();
    return p;
}

void Tab(HWND dialog) {
    MSG m = {};
    m.hwnd = GetFocus();
    m.message = WM_KEYDOWN;
    m.wParam = VK_TAB;
    IsDialogMessageA(dialog, &m);
    Pump(dialog);
}

void Click(HWND w, UINT message = WM_LBUTTONDOWN) {
    SendMessageA(w, message, MK_LBUTTON, MAKELPARAM(10, 10));
    if (message == WM_LBUTTONDOWN) SendMessageA(w, WM_LBUTTONUP, 0, MAKELPARAM(10, 10));
    Pump(GetParent(w));
}

HWND Remembered(const Parent &p) {
    return static_cast<HWND>(GetPropA(p.dialog, "ThmFocus"));
}

struct ControlsTest : ::testing::Test {
    void SetUp() override {
        ASSERT_NE(g_session, nullptr);
        sessiontest::ControlOk(kCom, "clear");
        BoxWatcherStart(IDOK);
        BoxWatcherTake();
        g_commands.clear();
    }
    void TearDown() override {
        BoxWatcherStop();
        EXPECT_TRUE(BoxWatcherTake().empty());
    }
};

TEST_F(ControlsTest, SizeIsCheckedAndCentred) {
    HWND dialog = NewDialog();
    struct Case {
        const char *cls;
        int w, h;
        int dx, dy, cw, ch; // where it ends up, relative to where it was made
    };
    const Case fits[] = {
        {kThumbnailClass, 48, 39, 1, 1, 46, 37},   {kThumbnailClass, 47, 38, 0, 0, 46, 37},
        {kThumbnailClass, 46, 37, 0, 0, 46, 37},   {kThumbnailClass, 51, 60, 2, 11, 46, 37},
        {kPreviewClass, 168, 130, 1, 2, 166, 126}, {kPreviewClass, 166, 126, 0, 0, 166, 126},
        {kPreviewClass, 169, 127, 1, 0, 166, 126},
    };
    for (const Case &c : fits) {
        HWND w = Child(dialog, c.cls, 1100, 10, 20, c.w, c.h);
        ASSERT_NE(w, nullptr) << c.cls << " " << c.w << "x" << c.h;
        const RECT r = RectInParent(w);
        EXPECT_EQ(r.left, 10 + c.dx) << c.cls << " " << c.w << "x" << c.h;
        EXPECT_EQ(r.top, 20 + c.dy) << c.cls << " " << c.w << "x" << c.h;
        EXPECT_EQ(r.right - r.left, c.cw);
        EXPECT_EQ(r.bottom - r.top, c.ch);
        EXPECT_EQ(SendMessageA(w, IMGM_GETNUMBER, 0, 0), 0xFFFF);
        DestroyWindow(w);
    }
    // A bordered control centres its client area's offsets in its parent.
    HWND bordered = Child(dialog, kThumbnailClass, 1100, 10, 20, 52, 43, WS_BORDER);
    ASSERT_NE(bordered, nullptr);
    const RECT br = RectInParent(bordered);
    EXPECT_EQ(br.left, 10 + 1 + 2); // border, then (50 - 46) / 2
    EXPECT_EQ(br.top, 20 + 1 + 2);
    DestroyWindow(bordered);
    EXPECT_TRUE(BoxWatcherTake().empty());

    const Case small[] = {
        {kThumbnailClass, 45, 37, 0, 0, 0, 0},
        {kThumbnailClass, 46, 36, 0, 0, 0, 0},
        {kPreviewClass, 165, 200, 0, 0, 0, 0},
        {kPreviewClass, 300, 125, 0, 0, 0, 0},
    };
    for (const Case &c : small) {
        EXPECT_EQ(Child(dialog, c.cls, 1100, 10, 20, c.w, c.h), nullptr) << c.w << "x" << c.h;
        const std::vector<SeenBox> boxes = TakeBoxes(1);
        ASSERT_EQ(boxes.size(), 1u);
        const bool thumb = c.cls == kThumbnailClass;
        EXPECT_EQ(boxes[0].text, thumb ? "Window must be at least 46x37 pixels"
                                       : "Window must be at least 166x126 pixels");
        EXPECT_EQ(boxes[0].caption,
                  thumb ? "Unable to create thumbnail window" : "Unable to create preview window");
        EXPECT_EQ(boxes[0].pressed, IDOK);
    }
    DestroyWindow(dialog);
}

TEST_F(ControlsTest, ThumbnailLoadsShowsAndEmpties) {
    Parent p = NewParent();
    HWND t = p.thumbs[0];
    // Empty at first: the red cross in its frame.
    EXPECT_EQ(Pixels(t), nullptr);
    ExpectCross(Capture(t));

    EXPECT_EQ(SendMessageA(t, IMGM_LOAD, 1, 0), 1);
    EXPECT_EQ(StatusText(p.dialog), "");
    const uint8_t *pixels = Pixels(t);
    ASSERT_NE(pixels, nullptr);
    const uint8_t *block = pixels - 1064;
    const auto *h = reinterpret_cast<const BITMAPINFOHEADER *>(block);
    EXPECT_EQ(h->biWidth, 40);
    EXPECT_EQ(h->biHeight, 31);
    EXPECT_EQ(h->biBitCount, 8);
    Shot s = Capture(t);
    ExpectThumbnailShown(s, pixels);
    ExpectMark(s, Mark::None);
    // A picture with some contrast, so that placement errors show.
    int distinct = 0;
    for (int x = 1; x < 40; ++x) distinct += pixels[x] != pixels[0];
    EXPECT_GT(distinct, 0);

    // Null empties the control and frees its block.
    ASSERT_TRUE(IsLiveBlock(block, kThumbBlockBytes));
    EXPECT_EQ(SendMessageA(t, IMGM_SETPICTURE, 0, 0), 0);
    EXPECT_FALSE(IsLiveBlock(block, kThumbBlockBytes));
    EXPECT_EQ(Pixels(t), nullptr);
    ExpectCross(Capture(t));

    // A block handed over is shown; the one it replaces is freed.
    uint8_t *given = twcamGetThumbnail(g_session, 3);
    ASSERT_NE(given, nullptr);
    SendMessageA(t, IMGM_SETPICTURE, 0, reinterpret_cast<LPARAM>(given));
    EXPECT_EQ(Pixels(t), given + 1064);
    ExpectThumbnailShown(Capture(t), given + 1064);
    uint8_t *second = twcamGetThumbnail(g_session, 2);
    ASSERT_NE(second, nullptr);
    SendMessageA(t, IMGM_SETPICTURE, 0, reinterpret_cast<LPARAM>(second));
    EXPECT_FALSE(IsLiveBlock(given, kThumbBlockBytes));
    // The same block again stays alive.
    SendMessageA(t, IMGM_SETPICTURE, 0, reinterpret_cast<LPARAM>(second));
    EXPECT_TRUE(IsLiveBlock(second, kThumbBlockBytes));
    ExpectThumbnailShown(Capture(t), second + 1064);
    DestroyWindow(p.dialog);
}

TEST_F(ControlsTest, LoadIndexFallsBackToDefaultNumber) {
    Parent p = NewParent();
    HWND a = p.thumbs[0], b = p.thumbs[1], c = p.thumbs[2];
    EXPECT_EQ(SendMessageA(a, IMGM_GETNUMBER, 0, 0), 0xFFFF);
    SendMessageA(a, IMGM_SETNUMBER, 0x10002, 0);
    EXPECT_EQ(SendMessageA(a, IMGM_GETNUMBER, 0, 0), 2);
    ASSERT_EQ(SendMessageA(a, IMGM_LOAD, 300, 0), 1);
    ASSERT_EQ(SendMessageA(b, IMGM_LOAD, 2, 0), 1);
    ASSERT_EQ(SendMessageA(c, IMGM_LOAD, 3, 0), 1);
    EXPECT_EQ(std::memcmp(Pixels(a), Pixels(b), 1240), 0);
    EXPECT_NE(std::memcmp(Pixels(a), Pixels(c), 1240), 0);
    EXPECT_EQ(sessiontest::StatusField(kCom, "counter"), 4);
    // -1: wherever the counter stands (slot 4 now).
    ASSERT_EQ(SendMessageA(a, IMGM_LOAD, static_cast<WPARAM>(-1), 0), 1);
    uint8_t *four = twcamGetThumbnail(g_session, 4);
    ASSERT_NE(four, nullptr);
    EXPECT_EQ(std::memcmp(Pixels(a), four + 1064, 1240), 0);
    twcamFreePicture(four);

    // The initial default is no slot: a clear status, no box, and the control empties.
    const uint8_t *old = Pixels(b) - 1064;
    EXPECT_EQ(SendMessageA(b, IMGM_LOAD, 300, 0), 0);
    EXPECT_EQ(Pixels(b), nullptr);
    EXPECT_FALSE(IsLiveBlock(old, kThumbBlockBytes));
    EXPECT_EQ(StatusText(p.dialog).rfind(
                  "Error uploading thumbnail : (" + Hex(SCI_BAD_PARAMETER) + " - Bad parameter", 0),
              0u)
        << StatusText(p.dialog);
    ExpectCross(Capture(b));
    // The next good load clears the status line.
    EXPECT_EQ(SendMessageA(b, IMGM_LOAD, 0, 0), 1);
    EXPECT_EQ(StatusText(p.dialog), "");

    // Without a session: the session's null-argument status, nothing shown.
    HWND lone = Child(p.dialog, kThumbnailClass, 1100, 200, 200, 46, 37);
    EXPECT_EQ(SendMessageA(lone, IMGM_LOAD, 0, 0), 0);
    EXPECT_EQ(StatusText(p.dialog).rfind("Error uploading thumbnail : (0x57", 0), 0u);
    DestroyWindow(p.dialog);
}

TEST_F(ControlsTest, SilentCameraAsksRetryOrCancel) {
    Parent p = NewParent();
    HWND t = p.thumbs[0];
    ASSERT_EQ(SendMessageA(t, IMGM_LOAD, 5, 0), 1);
    // The thumbnail command goes unanswered once: RETRY fetches it after all.
    sessiontest::ControlOk(kCom, "fault M silent 1");
    BoxWatcherAnswer(IDRETRY);
    EXPECT_EQ(SendMessageA(t, IMGM_LOAD, static_cast<WPARAM>(-1), 0), 1);
    std::vector<SeenBox> boxes = TakeBoxes(1);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].caption, kCaption);
    EXPECT_EQ(boxes[0].pressed, IDRETRY);
    EXPECT_EQ(boxes[0].text.rfind("Error uploading thumbnail (" + Hex(SCI_CAMERA_NOT_PRESENT), 0),
              0u)
        << boxes[0].text;
    EXPECT_EQ(StatusText(p.dialog), "");
    ASSERT_NE(Pixels(t), nullptr);
    ExpectThumbnailShown(Capture(t), Pixels(t));

    // Twice silent: RETRY, then CANCEL leaves the control empty with the failure shown.
    sessiontest::ControlOk(kCom, "fault M silent 2");
    BoxWatcherAnswer(IDCANCEL);
    BoxWatcherAnswerNext(IDRETRY, 1);
    EXPECT_EQ(SendMessageA(t, IMGM_LOAD, static_cast<WPARAM>(-1), 0), 0);
    boxes = TakeBoxes(2);
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0].pressed, IDRETRY);
    EXPECT_EQ(boxes[1].pressed, IDCANCEL);
    EXPECT_EQ(Pixels(t), nullptr);
    EXPECT_EQ(
        StatusText(p.dialog).rfind("Error uploading thumbnail (" + Hex(SCI_CAMERA_NOT_PRESENT), 0),
        0u)
        << StatusText(p.dialog);
    ExpectCross(Capture(t));

    // The preview asks the same way for its picture.
    sessiontest::ControlOk(kCom, "fault U silent 1");
    BoxWatcherAnswer(IDCANCEL);
    EXPECT_EQ(SendMessageA(p.preview, IMGM_LOAD, 0, 0), 0);
    boxes = TakeBoxes(1);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text.rfind("Error uploading image (" + Hex(SCI_CAMERA_NOT_PRESENT), 0), 0u)
        << boxes[0].text;
    EXPECT_EQ(SendMessageA(p.preview, IMGM_GETPICTURE, 0, 0), 0);
    // Afterwards the camera answers again.
    BoxWatcherAnswer(IDOK);
    EXPECT_EQ(SendMessageA(p.preview, IMGM_LOAD, 0, 0), 1);
    DestroyWindow(p.dialog);
}

TEST_F(ControlsTest, FocusGroupRemembersItsSelection) {
    Parent p = NewParent();
    for (int i = 0; i < 3; ++i) ASSERT_EQ(SendMessageA(p.thumbs[i], IMGM_LOAD, i, 0), 1);
    SetFocus(p.before);
    Pump(p.dialog);
    g_commands.clear();

    // Tab from the button: nothing remembered yet, so the first thumbnail.
    Tab(p.dialog);
    EXPECT_EQ(GetFocus(), p.thumbs[0]);
    EXPECT_EQ(CountCommands(kIdFirstThumbnail, IMGN_FOCUS), 1);
    Shot s = Capture(p.thumbs[0]);
    ExpectThumbnailShown(s, Pixels(p.thumbs[0]));
    ExpectMark(s, Mark::Frame);

    // A click moves the focus within the group and remembers nothing.
    Click(p.thumbs[2]);
    EXPECT_EQ(GetFocus(), p.thumbs[2]);
    EXPECT_EQ(Remembered(p), nullptr);
    EXPECT_EQ(CountCommands(kIdFirstThumbnail + 2, IMGN_FOCUS), 1);
    ExpectMark(Capture(p.thumbs[0]), Mark::None);
    ExpectMark(Capture(p.thumbs[2]), Mark::Frame);

    // Leaving the group for a button remembers the last thumbnail, underlined.
    Tab(p.dialog);
    EXPECT_EQ(GetFocus(), p.after);
    EXPECT_EQ(Remembered(p), p.thumbs[2]);
    s = Capture(p.thumbs[2], false);
    ExpectThumbnailShown(s, Pixels(p.thumbs[2]));
    ExpectMark(s, Mark::Underline);
    ExpectMark(Capture(p.thumbs[0]), Mark::None);

    // Tab into the group from the other side lands on the remembered one.
    SetFocus(p.before);
    Pump(p.dialog);
    g_commands.clear();
    Tab(p.dialog);
    EXPECT_EQ(GetFocus(), p.thumbs[2]);
    EXPECT_EQ(Remembered(p), nullptr);
    EXPECT_EQ(CountCommands(kIdFirstThumbnail + 2, IMGN_FOCUS), 1);
    EXPECT_EQ(CountCommands(kIdFirstThumbnail, IMGN_FOCUS), 0);
    ExpectMark(Capture(p.thumbs[2]), Mark::Frame);
    ExpectMark(Capture(p.thumbs[0]), Mark::None);

    // A click on a thumbnail while another is remembered takes the focus and clears it.
    SetFocus(p.after);
    Pump(p.dialog);
    ASSERT_EQ(Remembered(p), p.thumbs[2]);
    Click(p.thumbs[1]);
    EXPECT_EQ(GetFocus(), p.thumbs[1]);
    EXPECT_EQ(Remembered(p), nullptr);
    ExpectMark(Capture(p.thumbs[2], false), Mark::None);

    // IMGM_SELECT moves a remembered selection, and does nothing while the group has the focus.
    SendMessageA(p.thumbs[0], IMGM_SELECT, 0, 0);
    EXPECT_EQ(Remembered(p), nullptr);
    SetFocus(p.after);
    Pump(p.dialog);
    ASSERT_EQ(Remembered(p), p.thumbs[1]);
    SendMessageA(p.thumbs[0], IMGM_SELECT, 0, 0);
    EXPECT_EQ(Remembered(p), p.thumbs[0]);
    ExpectMark(Capture(p.thumbs[0], false), Mark::Underline);
    ExpectMark(Capture(p.thumbs[1], false), Mark::None);
    SetFocus(p.before);
    Tab(p.dialog);
    EXPECT_EQ(GetFocus(), p.thumbs[0]);

    // An empty thumbnail ignores clicks and IMGM_SELECT, but takes the focus by Tab.
    SendMessageA(p.thumbs[1], IMGM_SETPICTURE, 0, 0);
    SetFocus(p.after);
    Pump(p.dialog);
    ASSERT_EQ(Remembered(p), p.thumbs[0]);
    g_commands.clear();
    Click(p.thumbs[1]);
    EXPECT_EQ(GetFocus(), p.after);
    EXPECT_EQ(Remembered(p), p.thumbs[0]);
    SendMessageA(p.thumbs[1], IMGM_SELECT, 0, 0);
    EXPECT_EQ(Remembered(p), p.thumbs[0]);
    EXPECT_TRUE(g_commands.empty());
    SendMessageA(p.thumbs[0], IMGM_SETPICTURE, 0, 0);
    RemovePropA(p.dialog, "ThmFocus");
    SetFocus(p.before);
    Pump(p.dialog);
    g_commands.clear();
    Tab(p.dialog);
    EXPECT_EQ(GetFocus(), p.thumbs[0]);
    EXPECT_EQ(CountCommands(kIdFirstThumbnail, IMGN_FOCUS), 1);
    ExpectCross(Capture(p.thumbs[0]));

    // A destroyed thumbnail is no longer remembered.
    SetFocus(p.after);
    Pump(p.dialog);
    ASSERT_EQ(Remembered(p), p.thumbs[0]);
    DestroyWindow(p.thumbs[0]);
    EXPECT_EQ(Remembered(p), nullptr);
    DestroyWindow(p.dialog);
}

TEST_F(ControlsTest, ActivationBySpaceAndDoubleClick) {
    Parent p = NewParent();
    HWND shown = p.thumbs[0], empty = p.thumbs[1];
    ASSERT_EQ(SendMessageA(shown, IMGM_LOAD, 0, 0), 1);
    ASSERT_EQ(SendMessageA(p.preview, IMGM_LOAD, 0, 0), 1);
    g_commands.clear();
    const HWND targets[] = {shown, empty, p.preview};
    for (HWND w : targets) {
        SendMessageA(w, WM_KEYDOWN, 'A', 0);
        SendMessageA(w, WM_KEYDOWN, VK_RETURN, 0);
    }
    Pump(p.dialog);
    EXPECT_TRUE(g_commands.empty());

    SendMessageA(shown, WM_KEYDOWN, VK_SPACE, 0x00390001);
    SendMessageA(empty, WM_KEYDOWN, VK_SPACE, 0x00390001);
    Click(shown, WM_LBUTTONDBLCLK);
    Click(empty, WM_LBUTTONDBLCLK);
    SendMessageA(p.preview, WM_KEYDOWN, VK_SPACE, 0);
    Click(p.preview, WM_LBUTTONDBLCLK);
    Pump(p.dialog);
    ASSERT_EQ(g_commands.size(), 4u);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(g_commands[i].code, IMGN_ACTIVATE);
        EXPECT_EQ(g_commands[i].id, i < 2 ? kIdFirstThumbnail : kIdPreview);
        EXPECT_EQ(g_commands[i].from, i < 2 ? shown : p.preview);
    }
    // An empty preview does nothing on a double click.
    SendMessageA(p.preview, IMGM_SETPICTURE, 0, 0);
    g_commands.clear();
    Click(p.preview, WM_LBUTTONDBLCLK);
    SendMessageA(p.preview, WM_KEYDOWN, VK_SPACE, 0);
    Pump(p.dialog);
    EXPECT_TRUE(g_commands.empty());
    DestroyWindow(p.dialog);
}

TEST_F(ControlsTest, PreviewShowsFramesAndErasesOnlyBetweenStates) {
    Parent p = NewParent();
    HWND v = p.preview;
    g_erases = 0;
    g_previewProc = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrA(v, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(CountErases)));
    ExpectCross(Capture(v));
    EXPECT_EQ(SendMessageA(v, IMGM_GETPICTURE, 0, 0), 0);

    // An empty preview ignores a click.
    SetFocus(p.after);
    Click(v);
    EXPECT_EQ(GetFocus(), p.after);

    Capture(v);
    g_erases = 0;
    EXPECT_EQ(SendMessageA(v, IMGM_LOAD, 1, 0), 1);
    EXPECT_EQ(g_erases, 1);
    EXPECT_EQ(StatusText(p.dialog), "");
    const auto *block = reinterpret_cast<const uint8_t *>(SendMessageA(v, IMGM_GETPICTURE, 0, 0));
    ASSERT_NE(block, nullptr);
    const auto *h = reinterpret_cast<const BITMAPINFOHEADER *>(block);
    EXPECT_EQ(h->biWidth, 160);
    EXPECT_EQ(h->biHeight, 120);
    EXPECT_EQ(h->biBitCount, 24);
    auto expectShown = [&](const Shot &s, const uint8_t *pixels) {
        ASSERT_EQ(s.width, 166);
        ASSERT_EQ(s.height, 126);
        int wrong = 0;
        for (int y = 0; y < 120; ++y)
            for (int x = 0; x < 160; ++x) wrong += s.At(3 + x, 3 + y) != ColourPixel(pixels, x, y);
        EXPECT_EQ(wrong, 0);
    };
    expectShown(Capture(v, false), block + 40);
    ExpectMark(Capture(v, false), Mark::None);

    // Another picture over it: no erase.
    uint8_t *next = twcamGetImage(g_session, 2);
    ASSERT_NE(next, nullptr);
    g_erases = 0;
    EXPECT_EQ(SendMessageA(v, IMGM_SETPICTURE, 0, reinterpret_cast<LPARAM>(next)), 1);
    EXPECT_EQ(g_erases, 0);
    EXPECT_FALSE(IsLiveBlock(block, kColourBlockBytes));
    EXPECT_EQ(SendMessageA(v, IMGM_GETPICTURE, 0, 0), reinterpret_cast<LRESULT>(next));
    expectShown(Capture(v, false), next + 40);

    // The focus frame is black; losing the focus paints it over in the button face.
    Click(v);
    EXPECT_EQ(GetFocus(), v);
    ExpectMark(Capture(v, false), Mark::Frame);
    SetFocus(p.after);
    Pump(p.dialog);
    EXPECT_EQ(g_erases, 0);
    ExpectMark(Capture(v, false), Mark::None);
    expectShown(Capture(v, false), next + 40);

    // The grey picture goes to the sender; the shown one stays.
    auto *grey = reinterpret_cast<uint8_t *>(SendMessageA(v, IMGM_LOADGREY, 3, 0));
    ASSERT_NE(grey, nullptr);
    const auto *gh = reinterpret_cast<const BITMAPINFOHEADER *>(grey);
    EXPECT_EQ(gh->biWidth, 160);
    EXPECT_EQ(gh->biHeight, 120);
    EXPECT_EQ(gh->biBitCount, 8);
    EXPECT_EQ(SendMessageA(v, IMGM_GETPICTURE, 0, 0), reinterpret_cast<LRESULT>(next));
    EXPECT_EQ(g_erases, 0);
    twcamFreePicture(grey);
    EXPECT_TRUE(BoxWatcherTake().empty());
    // The default slot is none: a box, null, and the preview keeps its picture.
    EXPECT_EQ(SendMessageA(v, IMGM_LOADGREY, 300, 0), 0);
    std::vector<SeenBox> boxes = TakeBoxes(1);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "Unable to load grey scale image");
    EXPECT_EQ(boxes[0].caption, kCaption);
    EXPECT_EQ(SendMessageA(v, IMGM_GETPICTURE, 0, 0), reinterpret_cast<LRESULT>(next));

    // A failed load empties it, with an erase.
    g_erases = 0;
    EXPECT_EQ(SendMessageA(v, IMGM_LOAD, 300, 0), 0);
    EXPECT_EQ(g_erases, 1);
    EXPECT_EQ(SendMessageA(v, IMGM_GETPICTURE, 0, 0), 0);
    EXPECT_FALSE(IsLiveBlock(next, kColourBlockBytes));
    EXPECT_EQ(StatusText(p.dialog).rfind("Error uploading image : (" + Hex(SCI_BAD_PARAMETER), 0),
              0u)
        << StatusText(p.dialog);
    ExpectCross(Capture(v, false));
    // Clearing an empty preview does not erase it again.
    g_erases = 0;
    EXPECT_EQ(SendMessageA(v, IMGM_SETPICTURE, 0, 0), 0);
    EXPECT_EQ(g_erases, 0);
    DestroyWindow(p.dialog);
}

} // namespace

int main(int argc, char **argv) {
    ::testing::InitGoogleTest(&argc, argv);
    RegisterControlClasses(GetModuleHandleA(nullptr));
    // Registering again changes nothing and is not reported.
    RegisterControlClasses(GetModuleHandleA(nullptr));
    WNDCLASSA wc = {};
    if (!GetClassInfoA(GetModuleHandleA(nullptr), kThumbnailClass, &wc) ||
        wc.lpfnWndProc != thmPreviewProc || wc.cbWndExtra != sizeof(void *) ||
        wc.style != (CS_HREDRAW | CS_VREDRAW | CS_DBLCLKS) ||
        !GetClassInfoA(GetModuleHandleA(nullptr), kPreviewClass, &wc) ||
        wc.lpfnWndProc != prvImageProc) {
        std::fprintf(stderr, "the control classes are not registered as expected\n");
        return 1;
    }
    g_session = twcamOpen(nullptr);
    const int result = RUN_ALL_TESTS();
    if (g_session != nullptr) {
        twcamClose(g_session);
        twcamRelease(g_session);
    }
    return result;
}
