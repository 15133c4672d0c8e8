// The camera session through the real library and Win32 serial calls, with
// simulated cameras on COM1 to COM4 as with-ports.sh laid them out.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "resources/ids.h"
#include "session/twcam.h"
#include "../support/sim_control.h"

using namespace zorvik;
using namespace sessiontest;

namespace {

const std::vector<uint8_t> kQueryPacket = {0x02, 'I', 0x00, 0x03};

const char kNoCameraText[] =
    "Unable to locate a camera attached to any of your computer's serial ports.\nPlease check "
    "the camera is plugged in and switched on, then press RETRY.\nTo cancel this operation "
    "please press CANCEL";
const char kCameraLostText[] =
    "Unable to commumicate with your camera.\nPlease check the camera is still plugged in and "
    "click RETRY to continue.\nPress CANCEL to continue without looking for the camera";

double SecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

TwcamSession NewRecord() {
    TwcamSession s = {};
    std::memcpy(s.signature, "WCAM", 4);
    return s;
}

// The registry setting the library reads when no session is open.
const char kKey[] = "SOFTWARE\\Tessaly\\Merovane";

void SetMaxCameraImages(const DWORD *value) {
    HKEY key;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              &key, nullptr),
              ERROR_SUCCESS);
    if (value == nullptr)
        RegDeleteValueA(key, "MaxCameraImages");
    else
        RegSetValueExA(key, "MaxCameraImages", 0, REG_DWORD, reinterpret_cast<const BYTE *>(value),
                       sizeof *value);
    RegCloseKey(key);
}

// The lines handed to the debugger's output, caught on their way there.
std::vector<std::string> g_debugLines;

LONG CALLBACK CatchDebugString(EXCEPTION_POINTERS *info) {
    const EXCEPTION_RECORD *r = info->ExceptionRecord;
    if (r->ExceptionCode == DBG_PRINTEXCEPTION_C && r->NumberParameters >= 2)
        g_debugLines.emplace_back(reinterpret_cast<const char *>(r->ExceptionInformation[1]));
    return EXCEPTION_CONTINUE_SEARCH;
}

struct DebugCatcher {
    void *handler;
    DebugCatcher() : handler(AddVectoredExceptionHandler(1, CatchDebugString)) {
        g_debugLines.clear();
    }
    ~DebugCatcher() { RemoveVectoredExceptionHandler(handler); }
};

void ExpectGreyPalette(const uint8_t *palette) {
    for (int i = 0; i < 256; ++i) {
        const uint8_t expected[4] = {static_cast<uint8_t>(i), static_cast<uint8_t>(i),
                                     static_cast<uint8_t>(i), 0};
        ASSERT_EQ(std::memcmp(palette + 4 * i, expected, 4), 0) << "palette entry " << i;
    }
}

void ExpectHeader(const uint8_t *block, int width, int height, int bits, uint32_t imageBytes,
                  uint32_t coloursUsed) {
    BITMAPINFOHEADER h;
    std::memcpy(&h, block, sizeof h);
    EXPECT_EQ(h.biSize, 40u);
    EXPECT_EQ(h.biWidth, width);
    EXPECT_EQ(h.biHeight, height);
    EXPECT_EQ(h.biPlanes, 1);
    EXPECT_EQ(h.biBitCount, bits);
    EXPECT_EQ(h.biCompression, static_cast<DWORD>(BI_RGB));
    EXPECT_EQ(h.biSizeImage, imageBytes);
    EXPECT_EQ(h.biXPelsPerMeter, 0);
    EXPECT_EQ(h.biYPelsPerMeter, 0);
    EXPECT_EQ(h.biClrUsed, coloursUsed);
    EXPECT_EQ(h.biClrImportant, 0u);
}

bool AllBytesEqual(const uint8_t *p, size_t n) {
    for (size_t i = 1; i < n; ++i)
        if (p[i] != p[0]) return false;
    return true;
}

// Layout: COM1 missing, cameras on COM2 and COM3, COM4 missing.
class Com2 : public ::testing::Test {
  protected:
    TwcamSession s = NewRecord();

    void SetUp() override {
        ASSERT_TRUE(HasSimulator(2) && HasSimulator(3) && !HasSimulator(1) && !HasSimulator(4))
            << "run through with-ports.sh absent camera camera absent";
        SciCloseCamera();
        ControlOk(2, "clear");
        ControlOk(3, "clear");
        ASSERT_EQ(twcamLocate(&s), 1);
    }
    void TearDown() override {
        twcamClose(&s);
        ControlOk(2, "clear");
        ControlOk(3, "clear");
    }
    static long Commands() { return StatusField(2, "commands"); }
};

TEST_F(Com2, ScanStopsAtTheFirstCameraAndALocatedSessionStaysQuiet) {
    twcamClose(&s);
    EXPECT_EQ(s.located, 0);
    const long com2 = Commands();
    const long com3 = StatusField(3, "commands");
    s.lastStatus = 12345;

    ASSERT_EQ(twcamLocate(&s), 1);
    EXPECT_EQ(s.located, 1);
    EXPECT_EQ(s.lastStatus, SCI_OK);
    EXPECT_EQ(Commands(), com2 + 1); // the sync's one query
    EXPECT_EQ(LastPacket(2), kQueryPacket);
    EXPECT_EQ(StatusField(3, "commands"), com3); // never tried

    // Located: no traffic at all.
    EXPECT_EQ(twcamLocate(&s), 1);
    EXPECT_EQ(Commands(), com2 + 1);
    EXPECT_EQ(StatusField(3, "commands"), com3);

    // The camera stays open on COM2 for what follows.
    uint8_t counter = 0;
    ControlOk(2, "counter 6");
    EXPECT_EQ(twcamGetImagePos(&s, &counter), SCI_OK);
    EXPECT_EQ(counter, 6);
    EXPECT_EQ(Commands(), com2 + 2);

    EXPECT_EQ(twcamLocate(nullptr), 0);
    EXPECT_EQ(twcamClose(nullptr), 0);
    EXPECT_EQ(twcamGetStatus(nullptr), kStatusNullArgument);
    EXPECT_EQ(twcamGetImagePos(nullptr, &counter), kStatusNullArgument);
    EXPECT_EQ(twcamGetImagePos(&s, nullptr), kStatusNullArgument);
}

TEST_F(Com2, GotoPosAsksFirstAndSetsOnlyWhenNeeded) {
    int32_t slots = 0;
    ASSERT_EQ(SciGetMaxCameraImages(&slots), SCI_OK);
    ASSERT_EQ(slots, 254) << "no MaxCameraImages expected in the test prefix";

    ControlOk(2, "counter 5");
    long before = Commands();
    EXPECT_EQ(twcamGotoPos(&s, 5), SCI_OK);
    EXPECT_EQ(Commands(), before + 1);
    EXPECT_EQ(LastPacket(2), kQueryPacket);

    before = Commands();
    EXPECT_EQ(twcamGotoPos(&s, 7), SCI_OK);
    EXPECT_EQ(Commands(), before + 2);
    EXPECT_EQ(LastPacket(2), (std::vector<uint8_t>{0x02, 'A', 0x07, 0x03}));
    EXPECT_EQ(StatusField(2, "counter"), 7);

    // A negative index leaves the counter alone, untold.
    s.lastStatus = 12345;
    before = Commands();
    EXPECT_EQ(twcamGotoPos(&s, -1), SCI_OK);
    EXPECT_EQ(s.lastStatus, SCI_OK);
    EXPECT_EQ(Commands(), before);

    // The library's slot count itself is accepted, one more is not.
    EXPECT_EQ(twcamGotoPos(&s, slots), SCI_OK);
    EXPECT_EQ(StatusField(2, "counter"), slots);
    before = Commands();
    {
        DebugCatcher debug;
        EXPECT_EQ(twcamGotoPos(&s, slots + 1), SCI_BAD_PARAMETER);
        ASSERT_EQ(g_debugLines.size(), 1u);
        EXPECT_EQ(g_debugLines[0], "zorvik: twcamGotoPos : camindex > max images (0xffff0012)\r\n");
    }
    EXPECT_EQ(s.lastStatus, SCI_BAD_PARAMETER);
    EXPECT_EQ(Commands(), before);
    EXPECT_EQ(twcamGotoPos(nullptr, 1), kStatusNullArgument);
}

TEST_F(Com2, GotoPosRecoversOnceFromAFailedReset) {
    ControlOk(2, "counter 3");
    ControlOk(2, "fault A nak 1");
    long before = Commands();
    EXPECT_EQ(twcamGotoPos(&s, 6), SCI_OK);
    EXPECT_EQ(s.lastStatus, SCI_OK);
    // Query, refused reset, sync, reset, sync.
    EXPECT_EQ(Commands(), before + 5);
    EXPECT_EQ(LastPacket(2), kQueryPacket);
    EXPECT_EQ(StatusField(2, "counter"), 6);

    // A reset refused again ends the recovery with its status.
    ControlOk(2, "fault A nak always");
    before = Commands();
    {
        DebugCatcher debug;
        EXPECT_EQ(twcamGotoPos(&s, 9), SCI_COMMS_SEND_NAK);
        ASSERT_FALSE(g_debugLines.empty());
        EXPECT_EQ(g_debugLines.back(),
                  "zorvik: twcamGotoPos : SciResetImageCounter (0xffff0026)\r\n");
    }
    EXPECT_EQ(s.lastStatus, SCI_COMMS_SEND_NAK);
    EXPECT_EQ(Commands(), before + 4); // query, reset, sync, reset
    EXPECT_EQ(LastPacket(2), (std::vector<uint8_t>{0x02, 'A', 0x09, 0x03}));
    EXPECT_EQ(StatusField(2, "counter"), 6);
}

TEST_F(Com2, BusyIsRepeatedAHundredTimes) {
    // 100 busy answers still end in a picture.
    ControlOk(2, "fault U busy 100");
    long before = Commands();
    uint8_t *block = twcamGetImage(&s, -1);
    EXPECT_NE(block, nullptr);
    EXPECT_EQ(s.lastStatus, SCI_OK);
    EXPECT_EQ(Commands(), before + 101);
    twcamFreePicture(block);

    // One more and the camera counts as busy, after a wait before each repeat.
    ControlOk(2, "clear");
    ControlOk(2, "fault U busy always");
    before = Commands();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(twcamGetImage(&s, -1), nullptr);
    EXPECT_GE(SecondsSince(start), 0.45);
    EXPECT_EQ(s.lastStatus, SCI_CAMERA_BUSY);
    EXPECT_EQ(Commands(), before + 101);

    ControlOk(2, "clear");
    ControlOk(2, "fault M busy always");
    before = Commands();
    EXPECT_EQ(twcamGetThumbnail(&s, -1), nullptr);
    EXPECT_EQ(s.lastStatus, SCI_CAMERA_BUSY);
    EXPECT_EQ(Commands(), before + 101);

    ControlOk(2, "clear");
    ControlOk(2, "fault I busy always");
    uint8_t counter = 0;
    before = Commands();
    EXPECT_EQ(twcamGetImagePos(&s, &counter), SCI_CAMERA_BUSY);
    EXPECT_EQ(Commands(), before + 101);

    // Positioning repeats the whole counter read: 101 busy, then 49 more.
    ControlOk(2, "clear");
    ControlOk(2, "counter 4");
    ControlOk(2, "fault I busy 150");
    before = Commands();
    EXPECT_EQ(twcamGotoPos(&s, 4), SCI_OK);
    EXPECT_EQ(Commands(), before + 151);

    // The grey upload waits 100 ms before each repeat.
    ControlOk(2, "clear");
    ControlOk(2, "fault U busy 3");
    const auto greyStart = std::chrono::steady_clock::now();
    block = twcamGetGreyImage(&s, 1);
    EXPECT_NE(block, nullptr);
    EXPECT_GE(SecondsSince(greyStart), 0.29);
    twcamFreePicture(block);
}

TEST_F(Com2, PictureBlocksHoldWhatTheLibraryUploads) {
    uint8_t *colour = twcamGetImage(&s, 2);
    ASSERT_NE(colour, nullptr);
    EXPECT_EQ(s.lastStatus, SCI_OK);
    EXPECT_EQ(StatusField(2, "counter"), 3); // the upload moved it on
    EXPECT_EQ(HeapSize(GetProcessHeap(), 0, colour), kColourBlockBytes);
    ExpectHeader(colour, 160, 120, 24, 57600, 0);

    uint8_t *thumb = twcamGetThumbnail(&s, 2);
    ASSERT_NE(thumb, nullptr);
    EXPECT_EQ(HeapSize(GetProcessHeap(), 0, thumb), kThumbBlockBytes);
    ExpectHeader(thumb, 40, 31, 8, 1240, 256);
    ExpectGreyPalette(thumb + 40);
    const uint8_t entry128[4] = {128, 128, 128, 0};
    EXPECT_EQ(std::memcmp(thumb + 40 + 4 * 128, entry128, 4), 0);

    s.lastStatus = 12345;
    uint8_t *grey = twcamGetGreyImage(&s, 2);
    ASSERT_NE(grey, nullptr);
    EXPECT_EQ(s.lastStatus, SCI_OK); // from the positioning
    EXPECT_EQ(HeapSize(GetProcessHeap(), 0, grey), kGreyBlockBytes);
    ExpectHeader(grey, 160, 120, 8, 19200, 256);
    ExpectGreyPalette(grey + 40);

    // The same slot straight from the library.
    std::vector<uint8_t> picture(SCI_PICTURE_BYTES), small(SCI_THUMBNAIL_BYTES),
        greyPixels(SCI_GREY_BYTES);
    ASSERT_EQ(SciResetImageCounter(2), SCI_OK);
    ASSERT_EQ(SciUploadImage(picture.data(), nullptr), SCI_OK);
    ASSERT_EQ(SciResetImageCounter(2), SCI_OK);
    ASSERT_EQ(SciUploadThumbnail(small.data(), nullptr), SCI_OK);
    ASSERT_EQ(SciResetImageCounter(2), SCI_OK);
    ASSERT_EQ(SciUploadGreyImage(greyPixels.data(), nullptr), SCI_OK);
    EXPECT_FALSE(AllBytesEqual(picture.data(), picture.size()));
    EXPECT_EQ(std::memcmp(colour + 40, picture.data(), picture.size()), 0);
    EXPECT_EQ(std::memcmp(thumb + 1064, small.data(), small.size()), 0);
    EXPECT_EQ(std::memcmp(grey + 1064, greyPixels.data(), greyPixels.size()), 0);
    twcamFreePicture(colour);
    twcamFreePicture(thumb);
    twcamFreePicture(grey);
    twcamFreePicture(nullptr);

    // Failures return no block and say why.
    EXPECT_EQ(twcamGetImage(&s, 255), nullptr);
    EXPECT_EQ(s.lastStatus, SCI_BAD_PARAMETER);
    ControlOk(2, "erase 5");
    EXPECT_EQ(twcamGetImage(&s, 5), nullptr);
    EXPECT_EQ(s.lastStatus, SCI_COMMS_SEND_NAK); // the camera refuses an empty slot
    EXPECT_EQ(twcamGetThumbnail(&s, 5), nullptr);
    EXPECT_EQ(s.lastStatus, SCI_COMMS_SEND_NAK);
    EXPECT_EQ(twcamGetImage(nullptr, 1), nullptr);
    EXPECT_EQ(twcamGetGreyImage(nullptr, 1), nullptr);
}

TEST_F(Com2, GrabReportsTheCamerasResult) {
    EXPECT_EQ(twcamGrabImage(&s, 1), SCI_OK);
    EXPECT_EQ(StatusField(2, "grabs"), 1);
    EXPECT_EQ(LastPacket(2), (std::vector<uint8_t>{0x02, 'Y', 0x00, 0x03}));

    ControlOk(2, "badexposure 1");
    EXPECT_EQ(twcamGrabImage(&s, 1), SCI_BAD_EXPOSURE);
    EXPECT_EQ(s.lastStatus, SCI_BAD_EXPOSURE);

    // Past the camera's 24 slots the picture has nowhere to go.
    EXPECT_EQ(twcamGrabImage(&s, 30), SCI_CAMERA_FULL);
    EXPECT_EQ(s.lastStatus, SCI_CAMERA_FULL);

    EXPECT_EQ(twcamGrabImage(&s, 300), SCI_BAD_PARAMETER);
    EXPECT_EQ(twcamGrabImage(nullptr, 1), kStatusNullArgument);
}

LRESULT CALLBACK FakeDialogProc(HWND w, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == CDM_GETPICTURE) {
        *reinterpret_cast<HGLOBAL *>(lp) =
            reinterpret_cast<HGLOBAL>(GetWindowLongPtrA(w, GWLP_USERDATA));
        return 1;
    }
    return DefWindowProcA(w, msg, wp, lp);
}

HWND MakeFakeDialog(HGLOBAL picture) {
    WNDCLASSA wc = {};
    wc.lpfnWndProc = FakeDialogProc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = "SessionTestDialog";
    RegisterClassA(&wc);
    HWND w = CreateWindowA("SessionTestDialog", "", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr,
                           wc.hInstance, nullptr);
    SetWindowLongPtrA(w, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(picture));
    return w;
}

TEST_F(Com2, TransfersTakeTheDialogsPictureOrTheCameras) {
    HGLOBAL fromDialog = GlobalAlloc(GMEM_MOVEABLE, 16);
    HWND dialog = MakeFakeDialog(fromDialog);
    ASSERT_NE(dialog, nullptr);
    long before = Commands();
    EXPECT_EQ(twcamFetchForTransfer(&s, dialog, 3), fromDialog);
    EXPECT_EQ(Commands(), before);
    DestroyWindow(dialog);
    GlobalFree(fromDialog);

    // No dialog: the slot's picture from the camera, as a movable zeroed block.
    HGLOBAL picture = twcamFetchForTransfer(&s, dialog, 2);
    ASSERT_NE(picture, nullptr);
    EXPECT_EQ(StatusField(2, "counter"), 3);
    EXPECT_EQ(GlobalSize(picture), kColourBlockBytes);
    uint8_t *expected = twcamGetImage(&s, 2);
    ASSERT_NE(expected, nullptr);
    const void *bytes = GlobalLock(picture);
    ASSERT_NE(bytes, nullptr);
    EXPECT_NE(bytes, static_cast<const void *>(picture)); // a movable block's handle
    EXPECT_EQ(std::memcmp(bytes, expected, kColourBlockBytes), 0);
    GlobalUnlock(picture);
    GlobalFree(picture);
    twcamFreePicture(expected);

    EXPECT_EQ(twcamFetchForTransfer(&s, nullptr, 324), nullptr); // past the 254 slots
    EXPECT_EQ(twcamFetchForTransfer(nullptr, nullptr, 1), nullptr);
}

TEST_F(Com2, MaxPicturesFollowsTheSettingUpToTwentyFour) {
    EXPECT_EQ(twcamMaxPictures(), 24);
    // The prefix has no setting of its own: leave none behind, even on failure.
    struct Restore {
        ~Restore() { SetMaxCameraImages(nullptr); }
    } restore;
    twcamClose(&s); // the library reads the setting again while closed
    const DWORD twelve = 12, thirty = 30, zero = 0;
    SetMaxCameraImages(&twelve);
    EXPECT_EQ(twcamMaxPictures(), 12);
    SetMaxCameraImages(&thirty);
    EXPECT_EQ(twcamMaxPictures(), 24);
    SetMaxCameraImages(&zero);
    EXPECT_EQ(twcamMaxPictures(), 0);

    // Opened with 12 slots: index 12 is the last accepted one.
    SetMaxCameraImages(&twelve);
    ASSERT_EQ(twcamLocate(&s), 1);
    EXPECT_EQ(twcamGotoPos(&s, 12), SCI_OK);
    EXPECT_EQ(twcamGotoPos(&s, 13), SCI_BAD_PARAMETER);
    HGLOBAL picture = twcamFetchForTransfer(&s, nullptr, 2);
    EXPECT_NE(picture, nullptr);
    EXPECT_EQ(StatusField(2, "counter"), 3);
    if (picture != nullptr) GlobalFree(picture);

    twcamClose(&s);
    SetMaxCameraImages(nullptr);
    EXPECT_EQ(twcamMaxPictures(), 24);
    ASSERT_EQ(twcamLocate(&s), 1);
}

TEST_F(Com2, FormatIsKeptAcrossCloseAndLocate) {
    BITMAPINFOHEADER h;
    FillBitmapHeader(h, 160, 120, 24);
    EXPECT_EQ(twcamSetFormat(&s, &h), 1);
    twcamClose(&s);
    ASSERT_EQ(twcamLocate(&s), 1);
    BITMAPINFOHEADER back = {};
    s.lastStatus = 12345;
    EXPECT_EQ(twcamGetFormat(&s, &back), SCI_OK);
    EXPECT_EQ(s.lastStatus, SCI_OK);
    EXPECT_EQ(std::memcmp(&back, &h, sizeof h), 0);
    EXPECT_EQ(back.biSizeImage, 57600u);
    EXPECT_EQ(twcamSetFormat(nullptr, &h), 0);
    EXPECT_EQ(twcamSetFormat(&s, nullptr), 0);
    EXPECT_EQ(twcamGetFormat(nullptr, &back), kStatusNullArgument);
    EXPECT_EQ(twcamGetFormat(&s, nullptr), kStatusNullArgument);
}

TEST_F(Com2, OpenAsksUntilACameraAnswersOrTheUserCancels) {
    twcamClose(&s);
    ControlOk(2, "fault * nak always");
    ControlOk(3, "fault * nak always");

    BoxWatcher watcher;
    StartWatcher(watcher, {{IDCANCEL, nullptr}});
    TwcamSession *cancelled = nullptr;
    {
        DebugCatcher debug;
        cancelled = twcamOpen(nullptr);
        ASSERT_FALSE(g_debugLines.empty());
        EXPECT_EQ(g_debugLines.back().rfind("zorvik: Error opening camera (0x", 0), 0u)
            << g_debugLines.back();
    }
    std::vector<SeenBox> seen = FinishWatcher(watcher);
    EXPECT_EQ(cancelled, nullptr);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].caption, "Kelbrook Zorvik");
    EXPECT_EQ(seen[0].text, kNoCameraText);
    EXPECT_TRUE(seen[0].hasRetry && seen[0].hasCancel);

    // RETRY with no camera asks again; RETRY once it is plugged in opens.
    auto plugIn = [] {
        ControlOk(2, "clear");
        ControlOk(3, "clear");
    };
    StartWatcher(watcher, {{IDRETRY, nullptr}, {IDRETRY, plugIn}});
    TwcamSession *opened = twcamOpen(nullptr);
    seen = FinishWatcher(watcher);
    ASSERT_NE(opened, nullptr);
    EXPECT_EQ(seen.size(), 2u);
    EXPECT_EQ(std::memcmp(opened->signature, "WCAM", 4), 0);
    EXPECT_EQ(opened->ownerWindow, nullptr);
    EXPECT_EQ(opened->located, 1);
    EXPECT_EQ(opened->lastStatus, SCI_OK);
    uint8_t counter = 0;
    EXPECT_EQ(twcamGetImagePos(opened, &counter), SCI_OK);
    EXPECT_EQ(twcamClose(opened), 1);
    twcamRelease(opened);
}

// Status lines and questions need no camera.
class Report : public ::testing::Test {
  protected:
    HWND line = nullptr;
    TwcamSession s = NewRecord();
    void SetUp() override {
        line = CreateWindowA("STATIC", "old text", WS_POPUP, 0, 0, 300, 20, nullptr, nullptr,
                             nullptr, nullptr);
        ASSERT_NE(line, nullptr);
    }
    void TearDown() override { DestroyWindow(line); }
    std::string LineText() const {
        char text[2048] = {};
        GetWindowTextA(line, text, sizeof text);
        return text;
    }
};

std::string SystemText(DWORD code) {
    char *text = nullptr;
    FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                       FORMAT_MESSAGE_IGNORE_INSERTS,
                   nullptr, code, 0, reinterpret_cast<LPSTR>(&text), 0, nullptr);
    std::string result = text ? text : "";
    if (text) LocalFree(text);
    return result;
}

TEST_F(Report, StatusLinesNameTheFailure) {
    struct Case {
        int32_t status;
        const char *prefix;
        const char *line;
    };
    const Case cases[] = {
        {SCI_BAD_PARAMETER, "Error resetting camera",
         "Error resetting camera : (0xffff0012 - Bad parameter)"},
        {SCI_CAMERA_FULL, "Error grabbing image",
         "Error grabbing image : (0xffff0001 - Camera full)"},
        {SCI_CAMERA_BUSY, "Error uploading image",
         "Error uploading image : (0xffff0004 - Camera busy)"},
        {SCI_COMMS_SEND_NAK, "Error uploading image",
         "Error uploading image : (0xffff0026 - Comms send nak)"},
        {SCI_FAILED, "Error starting camera", "Error starting camera : (0xffffffff - )"},
        {static_cast<int32_t>(0xFFFF0003), "X", "X : (0xffff0003 - )"},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(twcamReportError(&s, line, c.status, c.prefix), 1);
        EXPECT_EQ(LineText(), c.line);
    }

    // System codes take the system's text up to its first line end.
    const std::string notFound = SystemText(ERROR_FILE_NOT_FOUND);
    ASSERT_NE(notFound.find('\r'), std::string::npos) << "expected a text with a line end";
    EXPECT_EQ(twcamReportError(&s, line, ERROR_FILE_NOT_FOUND, "Error starting camera"), 1);
    EXPECT_EQ(LineText(),
              "Error starting camera : (0x2 - " + notFound.substr(0, notFound.find('\r')) + ")");
    ASSERT_EQ(SystemText(0xBEEF), "");
    EXPECT_EQ(twcamReportError(&s, line, 0xBEEF, "Error"), 1);
    EXPECT_EQ(LineText(), "Error : (0xbeef - )");

    // A prefix longer than the line holds is cut, not overrun.
    const std::string longPrefix(3000, 'p');
    EXPECT_EQ(twcamReportError(&s, line, SCI_CAMERA_BUSY, longPrefix.c_str()), 1);
    EXPECT_EQ(LineText().substr(0, 100), longPrefix.substr(0, 100));
    EXPECT_EQ(twcamReportError(nullptr, nullptr, SCI_CAMERA_BUSY, nullptr), 1);
}

TEST_F(Report, ALostCameraAsksRetryOrCancel) {
    const std::string question = std::string("Error uploading thumbnail (0xffff0000 - Camera not "
                                             "present)\n\n") +
                                 kCameraLostText;
    struct Case {
        int32_t status;
        int button;
    };
    const Case cases[] = {{ERROR_MORE_DATA, IDCANCEL},
                          {SCI_COMMS_TIMEOUT, IDRETRY},
                          {SCI_COMMS_SEND_TIMEOUT, IDCANCEL},
                          {SCI_CAMERA_NOT_PRESENT, IDRETRY}};
    for (const Case &c : cases) {
        BoxWatcher watcher;
        StartWatcher(watcher, {{c.button, nullptr}});
        const int answer = twcamReportError(&s, line, c.status, "Error uploading thumbnail");
        const std::vector<SeenBox> seen = FinishWatcher(watcher);
        EXPECT_EQ(answer, c.button) << c.status;
        EXPECT_EQ(LineText(), question);
        ASSERT_EQ(seen.size(), 1u);
        EXPECT_EQ(seen[0].caption, "Kelbrook Zorvik");
        EXPECT_EQ(seen[0].text, question);
        EXPECT_TRUE(seen[0].hasRetry && seen[0].hasCancel);
    }
}

TEST(Trace, HandsOneLineToTheDebuggerOnly) {
    DebugCatcher debug;
    twcamTrace(nullptr, "twcamGrabImage : SciGrabResult", SCI_CAMERA_FULL);
    twcamTrace(nullptr, "function  NotifyXferReady\r\n", 0);
    twcamTrace(nullptr, nullptr, -1);
    ASSERT_EQ(g_debugLines.size(), 3u);
    EXPECT_EQ(g_debugLines[0], "zorvik: twcamGrabImage : SciGrabResult (0xffff0001)\r\n");
    EXPECT_EQ(g_debugLines[1], "zorvik: function  NotifyXferReady (0x0)\r\n");
    EXPECT_EQ(g_debugLines[2], "zorvik:  (0xffffffff)\r\n");
    EXPECT_STREQ(dsMsgCaption(), "Kelbrook Zorvik");
}

// Layout: COM1 a camera that never answers, the camera on COM2.
TEST(SilentCom1, IsClosedAgainAndCom2Tried) {
    ASSERT_TRUE(HasSimulator(1) && HasSimulator(2) && !HasSimulator(3) && !HasSimulator(4))
        << "run through with-ports.sh silent camera absent absent";
    SciCloseCamera();
    const long com1 = StatusField(1, "commands");
    const long com2 = StatusField(2, "commands");
    TwcamSession s = NewRecord();
    ASSERT_EQ(twcamLocate(&s), 1);
    EXPECT_EQ(s.lastStatus, SCI_OK);
    EXPECT_GT(StatusField(1, "commands"), com1);
    EXPECT_EQ(LastPacket(1), kQueryPacket);
    EXPECT_EQ(StatusField(2, "commands"), com2 + 1);
    EXPECT_EQ(LastPacket(2), kQueryPacket);

    // The session talks to COM2 from now on.
    const long com1After = StatusField(1, "commands");
    ControlOk(2, "counter 9");
    EXPECT_EQ(twcamGotoPos(&s, 9), SCI_OK);
    EXPECT_EQ(StatusField(2, "commands"), com2 + 2);
    EXPECT_EQ(StatusField(1, "commands"), com1After);
    twcamClose(&s);
}

} // namespace
