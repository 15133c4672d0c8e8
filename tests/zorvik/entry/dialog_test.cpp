// The capture dialog as a user drives it, opened by the application through
// DS_Entry with the user interface shown, its messages passed through the
// source as an application's loop does.
#include <windows.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>

#include "source_fixture.h"
#include "support/process_use.h"
#include "ui/ui.h"

using namespace sourcetest;
using namespace zorvik;

namespace {

constexpr int kPictures = 12; // the camera holds pictures in slots 0 to 11

class Dialog : public Source {
  protected:
    void SetUp() override {
        Source::SetUp();
        sessiontest::ControlOk(kCameraCom, "clear");
        for (int slot = kPictures; slot < kCapacity; ++slot)
            sessiontest::ControlOk(kCameraCom, "erase " + std::to_string(slot));
        sessiontest::ControlOk(kCameraCom, "counter 5");
    }
    void TearDown() override {
        if (g_source.twainState > 3) Call(DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, nullptr);
        sessiontest::ControlOk(kCameraCom, "clear");
        FillCamera();
    }

    // The application's loop: every message through the source first.
    static void Pump(DWORD ms) {
        const DWORD end = GetTickCount() + ms;
        do {
            MSG msg;
            while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
                TW_EVENT event{&msg, MSG_NULL};
                if (Call(DG_CONTROL, DAT_EVENT, MSG_PROCESSEVENT, &event) != TWRC_DSEVENT) {
                    TranslateMessage(&msg);
                    DispatchMessageA(&msg);
                }
            }
            Sleep(5);
        } while (static_cast<int>(GetTickCount() - end) < 0);
    }

    HWND OpenDialog() {
        Open();
        TW_USERINTERFACE ui{TRUE, FALSE, nullptr};
        EXPECT_EQ(Call(DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, &ui), TWRC_SUCCESS);
        EXPECT_EQ(g_source.twainState, 5);
        HWND dialog = g_source.hDlgCapture;
        EXPECT_NE(dialog, nullptr);
        // Get Pictures runs from the posted command; done when the caption is back.
        EXPECT_TRUE(PumpUntil(
            [&] { return Caption(dialog) == "Kelbrook Zorvik" && Loaded(dialog); }, 20000));
        Pump(100);
        return dialog;
    }
    static bool Loaded(HWND dialog) {
        return SendDlgItemMessageA(dialog, kIdFirstThumbnail + kPictures - 1, IMGM_GETPICTURE, 0,
                                   0) != 0;
    }
    static std::string Caption(HWND w) {
        char text[256] = "";
        GetWindowTextA(w, text, sizeof text);
        return text;
    }
    static std::string ItemText(HWND dialog, int id) {
        char text[512] = "";
        GetDlgItemTextA(dialog, id, text, sizeof text);
        return text;
    }
    static void Click(HWND dialog, int id) { SendDlgItemMessageA(dialog, id, BM_CLICK, 0, 0); }

  public:
    static void ClickOn(HWND dialog, int id) { Click(dialog, id); }
    static Bytes ThumbnailOf(HWND dialog, int slot) { return Thumbnail(dialog, slot); }
    template <typename Condition> static bool PumpUntil(Condition done, DWORD ms) {
        const DWORD end = GetTickCount() + ms;
        while (!done()) {
            if (static_cast<int>(GetTickCount() - end) > 0) return false;
            Pump(10);
        }
        return true;
    }

  protected:
    static Bytes Thumbnail(HWND dialog, int slot) {
        const auto *pixels = reinterpret_cast<const uint8_t *>(
            SendDlgItemMessageA(dialog, kIdFirstThumbnail + slot, IMGM_GETPICTURE, 0, 0));
        return pixels ? Bytes(pixels, pixels + SCI_THUMBNAIL_BYTES) : Bytes();
    }
    static Bytes PreviewPixels(HWND dialog) {
        const auto *block = reinterpret_cast<const uint8_t *>(
            SendDlgItemMessageA(dialog, kIdPreview, IMGM_GETPICTURE, 0, 0));
        return block ? Bytes(block + 40, block + 40 + SCI_PICTURE_BYTES) : Bytes();
    }
    static long CameraCounter() { return sessiontest::StatusField(kCameraCom, "counter"); }
};

// The library's own thumbnails of slots 0 to n - 1.
std::vector<Bytes> LibraryThumbnails(int n) {
    std::vector<Bytes> thumbs;
    EXPECT_EQ(SciOpenCamera("COM2"), SCI_OK);
    EXPECT_EQ(SciSyncCamera(), SCI_OK);
    for (int slot = 0; slot < n; ++slot) {
        EXPECT_EQ(SciResetImageCounter(slot), SCI_OK);
        thumbs.emplace_back(SCI_THUMBNAIL_BYTES);
        EXPECT_EQ(SciUploadThumbnail(thumbs.back().data(), nullptr), SCI_OK);
    }
    SciCloseCamera();
    return thumbs;
}

TEST_F(Dialog, FillsItsThumbnailsFromTheCamera) {
    const auto thumbs = LibraryThumbnails(kPictures);
    sessiontest::ControlOk(kCameraCom, "counter 5");
    HWND dialog = OpenDialog();
    for (int slot = 0; slot < kPictures; ++slot) EXPECT_EQ(Thumbnail(dialog, slot), thumbs[slot]);
    for (int slot = kPictures; slot < kCapacity; ++slot)
        EXPECT_TRUE(Thumbnail(dialog, slot).empty()) << "slot " << slot << " is empty";
    // The first empty slot ended the pass, and says why.
    EXPECT_EQ(ItemText(dialog, kIdStatusLine),
              "Error uploading thumbnail : (0xffff0026 - Comms send nak)");
    // Slot 4, before the counter, is selected and focused; the camera waits on slot 5.
    EXPECT_EQ(GetFocus(), GetDlgItem(dialog, kIdFirstThumbnail + 4));
    EXPECT_EQ(CameraCounter(), 5);
    EXPECT_TRUE(IsWindowEnabled(GetDlgItem(dialog, kIdPreviewButton)));
    EXPECT_FALSE(IsWindowEnabled(GetDlgItem(dialog, kIdCapture))) << "nothing previewed yet";
    EXPECT_EQ(ItemText(dialog, kIdVersion), "v0.03 (dll v1.05)");
    EXPECT_EQ(Caption(dialog), "Kelbrook Zorvik");
}

TEST_F(Dialog, FocusComesBackToTheRememberedThumbnail) {
    HWND dialog = OpenDialog();
    HWND remembered = GetDlgItem(dialog, kIdFirstThumbnail + 4);
    // Out of the group: the thumbnail is remembered.
    SetFocus(GetDlgItem(dialog, IDCANCEL));
    Pump(50);
    EXPECT_EQ(GetPropA(dialog, "ThmFocus"), remembered);
    // Tab from Close goes to the second row, which hands the focus on.
    MSG tab{GetFocus(), WM_KEYDOWN, VK_TAB, 0, 0, {0, 0}};
    IsDialogMessageA(dialog, &tab);
    Pump(50);
    EXPECT_EQ(GetFocus(), remembered);
    EXPECT_EQ(GetPropA(dialog, "ThmFocus"), nullptr);
    // A click on an empty thumbnail does nothing.
    SendDlgItemMessageA(dialog, kIdFirstThumbnail + 20, WM_LBUTTONDOWN, MK_LBUTTON, 0);
    Pump(50);
    EXPECT_EQ(GetFocus(), remembered);
    // A click on another thumbnail selects it; the camera waits on the slot after it.
    SendDlgItemMessageA(dialog, kIdFirstThumbnail + 8, WM_LBUTTONDOWN, MK_LBUTTON, 0);
    Pump(100);
    EXPECT_EQ(GetFocus(), GetDlgItem(dialog, kIdFirstThumbnail + 8));
    EXPECT_EQ(CameraCounter(), 9);
}

// Preview loads the focused slot; Capture hands exactly that picture to the
// application by every mechanism, three times with CAP_XFERCOUNT 3.
TEST_F(Dialog, CaptureHandsOverThePreviewedPicture) {
    const Bytes expected = LibraryPictures({4})[0];
    sessiontest::ControlOk(kCameraCom, "counter 5");
    HWND dialog = OpenDialog();
    SetXferCount(3);
    Click(dialog, kIdPreviewButton);
    Pump(100);
    ASSERT_EQ(PreviewPixels(dialog), expected);
    EXPECT_TRUE(IsWindowEnabled(GetDlgItem(dialog, kIdCapture)));
    EXPECT_EQ(CameraCounter(), 5) << "on the slot after the previewed one";

    g_clear();
    Click(dialog, kIdCapture);
    EXPECT_EQ(g_source.twainState, 6);
    // A second click while that transfer is pending announces nothing more.
    Click(dialog, kIdCapture);
    Click(dialog, kIdLargeCapture);
    const auto sent = Notifications();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].msg, MSG_XFERREADY);
    TW_IMAGEINFO info{};
    ASSERT_EQ(Call(DG_IMAGE, DAT_IMAGEINFO, MSG_GET, &info), TWRC_SUCCESS);
    EXPECT_EQ(info.ImageWidth, 160);
    EXPECT_EQ(info.ImageLength, 120);

    const long commands = sessiontest::StatusField(kCameraCom, "commands");
    // Native.
    ExpectNativeTransfer(expected);
    EXPECT_EQ(EndXfer(), 2);
    // Memory, in one strip.
    Bytes strip(57600);
    TW_IMAGEMEMXFER x{};
    x.Memory = {TWMF_APPOWNS | TWMF_POINTER, 57600, strip.data()};
    ASSERT_EQ(Call(DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, &x), TWRC_SUCCESS);
    EXPECT_EQ(Bytes(strip.begin(), strip.begin() + 480),
              Bytes(expected.end() - 480, expected.end()));
    ASSERT_EQ(Call(DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, &x), TWRC_XFERDONE);
    EXPECT_EQ(EndXfer(), 1);
    // File.
    const std::string path = ScratchFile("zorvik-dialog.bmp");
    TW_SETUPFILEXFER setup{};
    std::snprintf(setup.FileName, sizeof setup.FileName, "%s", path.c_str());
    ASSERT_EQ(Call(DG_CONTROL, DAT_SETUPFILEXFER, MSG_SET, &setup), TWRC_SUCCESS);
    ASSERT_EQ(Call(DG_IMAGE, DAT_IMAGEFILEXFER, MSG_GET, nullptr), TWRC_XFERDONE);
    const Bytes file = ReadFileBytes(path);
    ASSERT_EQ(file.size(), 57654u);
    ExpectPictureBlock(file.data() + 14, file.size() - 14, expected);
    DeleteFileA(path.c_str());
    EXPECT_EQ(EndXfer(), 0);
    EXPECT_EQ(g_source.twainState, 5);
    EXPECT_EQ(sessiontest::StatusField(kCameraCom, "commands"), commands)
        << "transfers come from the preview's copy, not the camera";

    // The large capture: the same picture through the enlargement.
    Bytes large(SCI_ENLARGED_BYTES);
    ASSERT_EQ(SciEnlargeImage(expected.data(), large.data()), SCI_OK);
    Click(dialog, kIdLargeCapture);
    ASSERT_EQ(Call(DG_IMAGE, DAT_IMAGEINFO, MSG_GET, &info), TWRC_SUCCESS);
    EXPECT_EQ(info.ImageWidth, 320);
    EXPECT_EQ(info.ImageLength, 240);
    HGLOBAL handle = nullptr;
    ASSERT_EQ(Call(DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &handle), TWRC_XFERDONE);
    ASSERT_EQ(GlobalSize(handle), 230440u);
    const auto *block = static_cast<const uint8_t *>(GlobalLock(handle));
    EXPECT_EQ(reinterpret_cast<const BITMAPINFOHEADER *>(block)->biWidth, 320);
    EXPECT_EQ(Bytes(block + 40, block + 230440), large);
    GlobalUnlock(handle);
    GlobalFree(handle);
}

TEST_F(Dialog, DoubleClicksPreviewAndCapture) {
    HWND dialog = OpenDialog();
    SendDlgItemMessageA(dialog, kIdFirstThumbnail + 2, WM_LBUTTONDBLCLK, MK_LBUTTON, 0);
    ASSERT_TRUE(PumpUntil([&] { return !PreviewPixels(dialog).empty(); }, 5000));
    g_clear();
    SendDlgItemMessageA(dialog, kIdPreview, WM_LBUTTONDBLCLK, MK_LBUTTON, 0);
    ASSERT_TRUE(PumpUntil([&] { return g_count() == 1; }, 5000));
    EXPECT_EQ(Notifications()[0].msg, MSG_XFERREADY);
}

TEST_F(Dialog, ClearCameraResetsTheCounter) {
    HWND dialog = OpenDialog();
    const DWORD start = GetTickCount();
    Click(dialog, kIdClearCamera);
    EXPECT_GE(GetTickCount() - start, 240u);
    EXPECT_EQ(CameraCounter(), 0);
    EXPECT_EQ(Caption(dialog), "Kelbrook Zorvik");
    EXPECT_EQ(ItemText(dialog, kIdStatusLine), "");
    // Thumbnail 1024 is now the selection: see ContinuousCaptureFromTheLastSlotStartsAtZero.
}

TEST_F(Dialog, CloseAsksTheApplicationAndGoesAwayByItself) {
    HWND dialog = OpenDialog();
    g_clear();
    Click(dialog, IDCANCEL);
    Pump(200);
    const auto sent = Notifications();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].msg, MSG_CLOSEDSREQ);
    EXPECT_FALSE(IsWindowEnabled(GetDlgItem(dialog, kIdGetPictures)));
    // The application does not close the source: ten seconds later the dialog is gone.
    EXPECT_TRUE(IsWindow(dialog));
    ASSERT_TRUE(PumpUntil([&] { return !IsWindow(dialog); }, 12000));
    EXPECT_EQ(g_source.hDlgCapture, nullptr);
    EXPECT_EQ(Call(DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, nullptr), TWRC_SUCCESS);
}

// The number of heap blocks of a picture's size: none may be left behind.
int PictureBlocks() {
    int count = 0;
    PROCESS_HEAP_ENTRY entry{};
    HANDLE heap = GetProcessHeap();
    HeapLock(heap);
    while (HeapWalk(heap, &entry))
        if ((entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) &&
            (entry.cbData == kColourBlockBytes || entry.cbData == kThumbBlockBytes))
            ++count;
    HeapUnlock(heap);
    return count;
}

TEST_F(Dialog, ContinuousCaptureRunsAndStops) {
    HWND dialog = OpenDialog();
    const long grabs = sessiontest::StatusField(kCameraCom, "grabs");
    sessiontest::ControlOk(kCameraCom, "badexposure 2"); // retried without a word
    Click(dialog, kIdStartContinuous);
    EXPECT_FALSE(IsWindowEnabled(GetDlgItem(dialog, kIdGetPictures)));
    EXPECT_TRUE(IsWindowEnabled(GetDlgItem(dialog, kIdStopContinuous)));
    // Close is refused while it runs.
    g_clear();
    SendMessageA(dialog, WM_CLOSE, 0, 0);
    EXPECT_EQ(g_count(), 0);
    // Slots 5, 6, 7 grabbed and shown, then Stop.
    ASSERT_TRUE(PumpUntil(
        [&] { return sessiontest::StatusField(kCameraCom, "grabs") >= grabs + 3 + 2; }, 30000));
    Click(dialog, kIdStopContinuous);
    ASSERT_TRUE(
        PumpUntil([&] { return IsWindowEnabled(GetDlgItem(dialog, kIdGetPictures)); }, 20000));
    Pump(200);
    EXPECT_FALSE(IsWindowEnabled(GetDlgItem(dialog, kIdStopContinuous)));
    EXPECT_EQ(GetFocus(), GetDlgItem(dialog, kIdStartContinuous));
    EXPECT_EQ(ItemText(dialog, kIdStatusLine), "") << "bad exposures leave no message";
    EXPECT_TRUE(BoxWatcherTake().empty());
    EXPECT_FALSE(Thumbnail(dialog, 5).empty());
    EXPECT_FALSE(PreviewPixels(dialog).empty());
    EXPECT_EQ(Caption(dialog), "Kelbrook Zorvik");
}

void SetMaxCameraImages(const char *value) {
    HKEY key;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Tessaly\\Merovane", 0, nullptr, 0, KEY_WRITE,
                        nullptr, &key, nullptr) != ERROR_SUCCESS)
        return;
    if (value == nullptr) {
        RegDeleteValueA(key, "MaxCameraImages");
    } else {
        const DWORD n = static_cast<DWORD>(std::atoi(value));
        RegSetValueExA(key, "MaxCameraImages", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&n),
                       sizeof n);
    }
    RegCloseKey(key);
}

// Continuous capture from a selection on the last slot grabs into slot 0 first.
void ExpectFirstGrabIntoSlotZero(HWND dialog) {
    const Bytes before = Dialog::ThumbnailOf(dialog, 0);
    Dialog::ClickOn(dialog, kIdStartContinuous);
    EXPECT_TRUE(Dialog::PumpUntil([&] { return Dialog::ThumbnailOf(dialog, 0) != before; }, 20000))
        << "a new picture in slot 0";
    Dialog::ClickOn(dialog, kIdStopContinuous);
    EXPECT_TRUE(Dialog::PumpUntil(
        [&] { return IsWindowEnabled(GetDlgItem(dialog, kIdGetPictures)) != 0; }, 20000));
}

TEST_F(Dialog, ContinuousCaptureFromTheLastSlotStartsAtZero) {
    HWND dialog = OpenDialog();
    Click(dialog, kIdClearCamera); // thumbnail 1024, the last slot, becomes the selection
    ExpectFirstGrabIntoSlotZero(dialog);
    EXPECT_TRUE(Thumbnail(dialog, 23).empty());
}

// With 12 slots the slot after 11 is 0.
TEST_F(Dialog, ContinuousCaptureWithTwelveSlotsWraps) {
    SetMaxCameraImages("12");
    HWND dialog = OpenDialog();
    SendDlgItemMessageA(dialog, kIdFirstThumbnail + 11, WM_LBUTTONDOWN, MK_LBUTTON, 0);
    Pump(100);
    EXPECT_EQ(CameraCounter(), 0) << "the slot after 11 of 12";
    ExpectFirstGrabIntoSlotZero(dialog);
    EXPECT_TRUE(Thumbnail(dialog, 12).empty()) << "slot 12 is beyond the camera's twelve";
    SetMaxCameraImages(nullptr);
}

// Stop while a thumbnail crosses the wire: it arrives, is freed, and no
// picture upload follows. Then the dialog is closed mid-job: the worker ends
// in time and no picture is left on the heap.
TEST_F(Dialog, StopDuringAThumbnailAndCloseMidJob) {
    const int blocks = PictureBlocks();
    HWND dialog = OpenDialog();
    sessiontest::ControlOk(kCameraCom, "delay 600");
    Click(dialog, kIdStartContinuous);
    ASSERT_TRUE(PumpUntil(
        [&] { return Caption(dialog).find("Uploading thumbnail") != std::string::npos; }, 10000))
        << Caption(dialog);
    Click(dialog, kIdStopContinuous);
    ASSERT_TRUE(
        PumpUntil([&] { return IsWindowEnabled(GetDlgItem(dialog, kIdGetPictures)); }, 20000));
    Pump(1500);
    const auto last = sessiontest::LastPacket(kCameraCom);
    ASSERT_GE(last.size(), 2u);
    EXPECT_NE(last[1], 'U') << "no picture upload after the stop";

    // Mid-job again, and the application closes the source.
    Click(dialog, kIdStartContinuous);
    Pump(300);
    const DWORD start = GetTickCount();
    EXPECT_EQ(Call(DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, nullptr), TWRC_SUCCESS);
    EXPECT_LT(GetTickCount() - start, 11000u);
    EXPECT_FALSE(IsWindow(dialog));
    Pump(300);
    EXPECT_EQ(PictureBlocks(), blocks) << "every thumbnail and picture freed";
    sessiontest::ControlOk(kCameraCom, "clear");
}

// The threads of this process: each dialog runs one worker.
BOOL CALLBACK CountCaptureDialog(HWND w, LPARAM found) {
    char name[16] = "";
    GetClassNameA(w, name, sizeof name);
    if (std::strcmp(name, "#32770") == 0 && GetDlgItem(w, kIdPreview) != nullptr)
        ++*reinterpret_cast<int *>(found);
    return TRUE;
}

// The capture dialogs among this thread's top-level windows.
int CaptureDialogs() {
    int count = 0;
    EnumThreadWindows(GetCurrentThreadId(), CountCaptureDialog, reinterpret_cast<LPARAM>(&count));
    return count;
}

// "Acquire again": disable and enable with the dialog, three times. Each enable
// replaces the dialog before with its worker, and the one left works; enabled
// without the dialog, the transfer comes from the camera.
TEST_F(Dialog, EnablingAgainReplacesTheDialogAndItsWorker) {
    // The first picture of a camera session: the transfer opens one afresh.
    sessiontest::ControlOk(kCameraCom, "scene 23 23");
    const Bytes expected = LibraryPictures({kCapacity - 1})[0];
    HWND first = OpenDialog();
    const int threads = processuse::ThreadCount();
    TW_USERINTERFACE ui{TRUE, FALSE, nullptr};
    HWND dialog = first;
    for (int cycle = 0; cycle < 3; ++cycle) {
        ASSERT_EQ(Call(DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, &ui), TWRC_SUCCESS);
        ASSERT_EQ(Call(DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, &ui), TWRC_SUCCESS);
        dialog = g_source.hDlgCapture;
        ASSERT_TRUE(PumpUntil(
            [&] { return Caption(dialog) == "Kelbrook Zorvik" && Loaded(dialog); }, 20000));
    }
    EXPECT_FALSE(IsWindow(first));
    EXPECT_EQ(CaptureDialogs(), 1);
    EXPECT_EQ(processuse::ThreadCount(), threads) << "one worker, the last dialog's";
    Click(dialog, kIdPreviewButton);
    Pump(100);
    EXPECT_FALSE(PreviewPixels(dialog).empty()) << "its camera session is open";

    ASSERT_EQ(Call(DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, &ui), TWRC_SUCCESS);
    SetXferCount(1);
    EnableWithoutUi();
    EXPECT_EQ(CaptureDialogs(), 0);
    ExpectNativeTransfer(expected);
    EXPECT_EQ(EndXfer(), 0);
    EXPECT_EQ(Call(DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, nullptr), TWRC_SUCCESS);
    EXPECT_EQ(processuse::ThreadCount(), threads - 1) << "no worker left";
}

// At counter 52 the slot before the counter has no thumbnail; id 1052 is the
// preview's. With a picture in the preview, Get Pictures must still select
// among the thumbnails (the first with a picture), and fetch no grey picture.
TEST_F(Dialog, ACounterBeyondTheThumbnailsSelectsTheFirstPicture) {
    HWND dialog = OpenDialog();
    Click(dialog, kIdPreviewButton);
    Pump(100);
    ASSERT_FALSE(PreviewPixels(dialog).empty());
    const int blocks = PictureBlocks();
    sessiontest::ControlOk(kCameraCom, "counter 52");
    Click(dialog, kIdGetPictures);
    Pump(100);
    EXPECT_EQ(GetFocus(), GetDlgItem(dialog, kIdFirstThumbnail));
    EXPECT_EQ(CameraCounter(), 1) << "waiting on the slot after the selection";
    EXPECT_EQ(PictureBlocks(), blocks) << "no grey picture fetched and left behind";
}

// MSG_PROCESSEVENT carries a TW_EVENT only with DAT_EVENT: a capability (or
// anything else) sent with it is refused, never read as a window message.
TEST_F(Dialog, ProcessEventWithAnotherDatIsRefused) {
    HWND dialog = OpenDialog();
    TW_CAPABILITY cap{CAP_XFERCOUNT, TWON_ONEVALUE, GlobalAlloc(GHND, sizeof(TW_ONEVALUE))};
    EXPECT_EQ(Call(DG_CONTROL, DAT_CAPABILITY, MSG_PROCESSEVENT, &cap), TWRC_FAILURE);
    EXPECT_EQ(Condition(), TWCC_BADPROTOCOL);
    EXPECT_EQ(Call(DG_IMAGE, DAT_IMAGEINFO, MSG_PROCESSEVENT, &cap), TWRC_FAILURE);
    EXPECT_EQ(Condition(), TWCC_BADPROTOCOL);
    GlobalFree(cap.hContainer);
    // The dialog's own messages still go to it.
    MSG tab{GetFocus(), WM_KEYDOWN, VK_TAB, 0, 0, {0, 0}};
    TW_EVENT event{&tab, 0x55};
    EXPECT_EQ(Call(DG_CONTROL, DAT_EVENT, MSG_PROCESSEVENT, &event), TWRC_DSEVENT);
    EXPECT_EQ(event.TWMessage, MSG_NULL);
    EXPECT_TRUE(IsWindow(dialog));
}

// A camera that stops answering: RETRY finds none, CANCEL gives up. Once it
// answers again, the next Preview finds it without a question.
TEST_F(Dialog, ACameraLostAndCancelledIsFoundByTheNextOperation) {
    HWND dialog = OpenDialog();
    sessiontest::ControlOk(kCameraCom, "fault * silent always");
    BoxWatcherAnswerNext(IDRETRY, 1);
    Click(dialog, kIdPreviewButton);
    Pump(100);
    const auto boxes = BoxWatcherTake();
    ASSERT_EQ(boxes.size(), 2u) << "asked again after a RETRY that found no camera";
    EXPECT_EQ(boxes[1].text.rfind("Error uploading image (0xffff0000 - Camera not present)", 0), 0u)
        << boxes[1].text;
    EXPECT_TRUE(PreviewPixels(dialog).empty());
    sessiontest::ControlOk(kCameraCom, "clear");
    Click(dialog, kIdPreviewButton);
    Pump(100);
    EXPECT_FALSE(PreviewPixels(dialog).empty());
    EXPECT_TRUE(BoxWatcherTake().empty());
    EXPECT_EQ(ItemText(dialog, kIdStatusLine), "");
}

// The camera unplugged while the dialog is open: the question, and RETRY
// finds the camera plugged in again.
TEST_F(Dialog, CameraUnpluggedWhileOpen) {
    HWND dialog = OpenDialog();
    sessiontest::Unplug(kCameraCom);
    BoxWatcherAnswerNext(IDRETRY, 1);
    Click(dialog, kIdPreviewButton);
    Pump(100);
    const auto boxes = BoxWatcherTake();
    std::string texts;
    for (const SeenBox &box : boxes) texts += "\n  " + box.text;
    ASSERT_EQ(boxes.size(), 1u) << "the boxes:" << texts;
    EXPECT_EQ(boxes[0].caption, "Kelbrook Zorvik");
    EXPECT_EQ(boxes[0].text.rfind("Error uploading image (0xffff0000 - Camera not present)", 0), 0u)
        << boxes[0].text;
    EXPECT_FALSE(PreviewPixels(dialog).empty()) << "found again after RETRY";
    EXPECT_EQ(ItemText(dialog, kIdStatusLine), "");
    // Unplugged again, and CANCEL: the status line keeps the failure.
    sessiontest::Unplug(kCameraCom);
    BoxWatcherAnswer(IDCANCEL);
    Click(dialog, kIdPreviewButton);
    Pump(100);
    EXPECT_EQ(BoxWatcherTake().size(), 1u);
    EXPECT_TRUE(PreviewPixels(dialog).empty());
    EXPECT_FALSE(IsWindowEnabled(GetDlgItem(dialog, kIdCapture)));
    EXPECT_EQ(ItemText(dialog, kIdStatusLine).rfind("Error uploading image (0xffff0000", 0), 0u);
}

// --- the template as a desktop's font lays it out ------------------------------

// The dialog template of this program's resources, as a copy to stretch.
Bytes CaptureTemplate() {
    HMODULE self = GetModuleHandleA(nullptr);
    HRSRC found = FindResourceA(self, kCaptureTemplate, reinterpret_cast<LPCSTR>(RT_DIALOG));
    if (found == nullptr) return {};
    const auto *bytes = static_cast<const uint8_t *>(LockResource(LoadResource(self, found)));
    return Bytes(bytes, bytes + SizeofResource(self, found));
}

// A control's rectangle in pixels, as the dialog manager places it.
RECT PixelRect(const DLGITEMTEMPLATE &item, int baseX, int baseY) {
    const int left = MulDiv(item.x, baseX, 4), top = MulDiv(item.y, baseY, 8);
    return RECT{left, top, left + MulDiv(item.cx, baseX, 4), top + MulDiv(item.cy, baseY, 8)};
}

RECT DialogUnits(const DLGITEMTEMPLATE &item) {
    return RECT{item.x, item.y, item.x + item.cx, item.y + item.cy};
}

bool IsGroupBox(const TemplateItem &t) {
    return t.classAtom == 0x0080 && (t.item->style & 0x0F) == BS_GROUPBOX;
}

bool ClassIs(const TemplateItem &t, const char *name) {
    if (t.className == nullptr) return false;
    std::string narrow;
    for (const WCHAR *c = t.className; *c; ++c) narrow += static_cast<char>(std::tolower(*c));
    std::string wanted(name);
    for (char &c : wanted) c = static_cast<char>(std::tolower(c));
    return narrow == wanted;
}

bool Inside(const RECT &inner, const RECT &outer) {
    return inner.left >= outer.left && inner.top >= outer.top && inner.right <= outer.right &&
           inner.bottom <= outer.bottom;
}

// Under base units from 5 x 10 up, every image control is created at its
// size at least, nothing comes to overlap that did not, every control stays
// in its frame and in the dialog, and each label stays under its thumbnail.
TEST(DialogLayout, EveryDesktopsUnitsGiveImageControlsTheirSize) {
    const Bytes original = CaptureTemplate();
    ASSERT_FALSE(original.empty());
    const POINT units[] = {{5, 10}, {5, 11}, {6, 12}, {6, 13}, {7, 13}, {7, 14}, {8, 16}, {9, 18}};
    for (const POINT u : units) {
        SCOPED_TRACE(std::to_string(u.x) + " x " + std::to_string(u.y));
        Bytes bytes = original, unstretched = original;
        DialogTemplateView view, before;
        ASSERT_TRUE(ReadDialogTemplate(bytes.data(), bytes.size(), &view));
        ASSERT_TRUE(ReadDialogTemplate(unstretched.data(), unstretched.size(), &before));
        ASSERT_EQ(view.count, 61);
        ApplyDialogScale(view, ScaleForBaseUnits(view, u.x, u.y));
        const RECT client{0, 0, MulDiv(view.header->cx, u.x, 4), MulDiv(view.header->cy, u.y, 8)};
        int thumbnails = 0, previews = 0;
        for (int i = 0; i < view.count; ++i) {
            const TemplateItem &t = view.items[i];
            const RECT r = PixelRect(*t.item, u.x, u.y);
            EXPECT_TRUE(Inside(r, client)) << "control " << i << " inside the dialog";
            if (ClassIs(t, "thmbPreview")) {
                ++thumbnails;
                EXPECT_GE(r.right - r.left, 46) << t.item->id;
                EXPECT_GE(r.bottom - r.top, 37) << t.item->id;
                // Its label follows it in the template: centred under it.
                ASSERT_LT(i + 1, view.count);
                const RECT label = PixelRect(*view.items[i + 1].item, u.x, u.y);
                EXPECT_EQ(view.items[i + 1].classAtom, 0x0082) << t.item->id;
                EXPECT_GE(label.top, r.bottom) << "label under thumbnail " << t.item->id;
                EXPECT_LT(label.top - r.bottom, (r.bottom - r.top) / 2) << t.item->id;
                EXPECT_NEAR((label.left + label.right) / 2, (r.left + r.right) / 2,
                            (r.right - r.left) / 8)
                    << t.item->id;
            }
            if (ClassIs(t, "MeroImgPreview")) {
                ++previews;
                EXPECT_GE(r.right - r.left, 166);
                EXPECT_GE(r.bottom - r.top, 126);
            }
            for (int j = 0; j < view.count; ++j) {
                if (j == i) continue;
                const RECT o = PixelRect(*view.items[j].item, u.x, u.y);
                if (IsGroupBox(view.items[j])) {
                    // What stood in a frame in the template still does.
                    if (Inside(DialogUnits(*before.items[i].item),
                               DialogUnits(*before.items[j].item))) {
                        EXPECT_TRUE(Inside(r, o)) << "control " << i << " in frame " << j;
                    }
                    continue;
                }
                if (IsGroupBox(t)) continue;
                RECT overlap;
                EXPECT_FALSE(IntersectRect(&overlap, &r, &o))
                    << "controls " << i << " and " << j << " overlap";
            }
        }
        EXPECT_EQ(thumbnails, 24);
        EXPECT_EQ(previews, 1);
    }
}

// Where the units suffice nothing moves; Liberation's 6 x 12 stretches the
// height by one sixteenth, the least that gives the thumbnails 37 pixels.
TEST(DialogLayout, TheStretchIsTheLeastThatFits) {
    Bytes bytes = CaptureTemplate();
    DialogTemplateView view;
    ASSERT_TRUE(ReadDialogTemplate(bytes.data(), bytes.size(), &view));
    for (const POINT u : {POINT{7, 13}, POINT{6, 13}, POINT{8, 16}}) {
        const DialogScale scale = ScaleForBaseUnits(view, u.x, u.y);
        EXPECT_EQ(scale.x, 16) << u.x << " x " << u.y;
        EXPECT_EQ(scale.y, 16) << u.x << " x " << u.y;
    }
    const DialogScale liberation = ScaleForBaseUnits(view, 6, 12);
    EXPECT_EQ(liberation.x, 16);
    EXPECT_EQ(liberation.y, 17);
    ApplyDialogScale(view, DialogScale{16, 16});
    EXPECT_EQ(bytes, CaptureTemplate()) << "an unstretched template is left as it is";
}

// The dialog as the screen shows it after Get Pictures and Preview: each
// thumbnail and the preview hold the camera's pictures in their places. With
// TARN_SCREENSHOT set the capture is kept there as a bitmap file.
struct Capture {
    int width = 0, height = 0;
    std::vector<uint8_t> bgr; // top row first, 3 bytes a pixel
    const uint8_t *At(int x, int y) const { return &bgr[(static_cast<size_t>(y) * width + x) * 3]; }
};

Capture CaptureWindow(HWND w) {
    RedrawWindow(w, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
    RECT r;
    GetWindowRect(w, &r);
    Capture c;
    c.width = r.right - r.left;
    c.height = r.bottom - r.top;
    HDC source = GetWindowDC(w);
    HDC memory = CreateCompatibleDC(source);
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = c.width;
    info.bmiHeader.biHeight = -c.height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    void *bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(memory, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, c.width, c.height, source, 0, 0, SRCCOPY);
    GdiFlush();
    const int stride = (c.width * 3 + 3) & ~3;
    for (int y = 0; y < c.height; ++y) {
        const auto *row = static_cast<const uint8_t *>(bits) + y * stride;
        c.bgr.insert(c.bgr.end(), row, row + c.width * 3);
    }
    SelectObject(memory, old);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(w, source);
    return c;
}

void SaveBitmap(const Capture &c, const char *path) {
    Bytes file;
    const uint32_t stride = (static_cast<uint32_t>(c.width) * 3 + 3) & ~3u;
    const uint32_t size = 54 + stride * static_cast<uint32_t>(c.height);
    auto put = [&](uint32_t v, int n) {
        for (int i = 0; i < n; ++i) file.push_back(static_cast<uint8_t>(v >> (8 * i)));
    };
    put('B' | ('M' << 8), 2);
    put(size, 4);
    put(0, 4);
    put(54, 4);
    put(40, 4);
    put(static_cast<uint32_t>(c.width), 4);
    put(static_cast<uint32_t>(c.height), 4);
    put(1, 2);
    put(24, 2);
    for (int i = 0; i < 6; ++i) put(0, 4);
    for (int y = c.height - 1; y >= 0; --y) {
        const uint8_t *row = c.At(0, y);
        file.insert(file.end(), row, row + c.width * 3);
        file.resize(file.size() + (stride - static_cast<uint32_t>(c.width) * 3));
    }
    FILE *f = std::fopen(path, "wb");
    ASSERT_NE(f, nullptr) << path;
    std::fwrite(file.data(), 1, file.size(), f);
    std::fclose(f);
}

// Where a control's client area begins in the window's capture.
POINT ClientOrigin(HWND window, HWND control) {
    RECT w;
    GetWindowRect(window, &w);
    POINT p{0, 0};
    ClientToScreen(control, &p);
    return POINT{p.x - w.left, p.y - w.top};
}

TEST_F(Dialog, ScreenShowsThePicturesInTheirPlaces) {
    const auto thumbs = LibraryThumbnails(kPictures);
    sessiontest::ControlOk(kCameraCom, "counter 5");
    HWND dialog = OpenDialog();
    Click(dialog, kIdPreviewButton);
    Pump(200);
    const Bytes preview = PreviewPixels(dialog);
    ASSERT_FALSE(preview.empty());
    const Capture shot = CaptureWindow(dialog);
    if (const char *path = std::getenv("TARN_SCREENSHOT")) SaveBitmap(shot, path);

    // Each thumbnail, grey through its palette, at 3, 3 in its control.
    for (int slot = 0; slot < kPictures; ++slot) {
        const POINT o = ClientOrigin(dialog, GetDlgItem(dialog, kIdFirstThumbnail + slot));
        int wrong = 0;
        for (int y = 0; y < 31; ++y)
            for (int x = 0; x < 40; ++x) {
                const uint8_t v = thumbs[slot][(30 - y) * 40 + x]; // rows bottom first
                const uint8_t *p = shot.At(o.x + 3 + x, o.y + 3 + y);
                wrong += p[0] != v || p[1] != v || p[2] != v;
            }
        EXPECT_EQ(wrong, 0) << "thumbnail of slot " << slot;
    }
    // An empty thumbnail shows the red cross.
    const POINT e = ClientOrigin(dialog, GetDlgItem(dialog, kIdFirstThumbnail + kPictures));
    int red = 0;
    for (int y = 0; y < 37; ++y)
        for (int x = 0; x < 46; ++x) {
            const uint8_t *p = shot.At(e.x + x, e.y + y);
            red += p[2] == 255 && p[1] == 0 && p[0] == 0;
        }
    EXPECT_GT(red, 60) << "two red diagonals";
    // The preview, blue green red, at 3, 3.
    const POINT o = ClientOrigin(dialog, GetDlgItem(dialog, kIdPreview));
    int wrong = 0;
    for (int y = 0; y < 120; ++y)
        for (int x = 0; x < 160; ++x) {
            const uint8_t *want = &preview[((119 - y) * 160 + x) * 3];
            const uint8_t *p = shot.At(o.x + 3 + x, o.y + 3 + y);
            wrong += p[0] != want[0] || p[1] != want[1] || p[2] != want[2];
        }
    EXPECT_EQ(wrong, 0) << "preview";
}

} // namespace
