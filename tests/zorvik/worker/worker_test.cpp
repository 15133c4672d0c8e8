// The camera worker thread against a simulated camera on COM2, driven as the
// capture dialog drives it: thread messages in, replies posted to a real
// window on the test's thread, which pumps its messages so that the worker's
// synchronous calls into the window (caption, status line, selection) finish.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "resources/ids.h"
#include "session/twcam.h"
#include "ui/ui.h"
#include "../support/sim_control.h"

using namespace zorvik;
using namespace sessiontest;

namespace {

constexpr int kCom = 2; // with-ports.sh absent camera absent absent
const char kCaption[] = "Kelbrook Zorvik";
const char kBadExposureLine[] = "Error grabbing image : (0xffff0002 - Bad Exposure)";
const char kCameraLostText[] =
    "Unable to commumicate with your camera.\nPlease check the camera is still plugged in and "
    "click RETRY to continue.\nPress CANCEL to continue without looking for the camera";

std::string Progress(const char *text) {
    return std::string(kCaption) + " - " + text + ", please wait...";
}

double SecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

struct ReplySeen {
    UINT message;
    int slot;
    uint8_t *block;
};

// What the stand-in dialog and its children were told.
std::vector<std::string> g_captions;
std::vector<std::string> g_statusLines;
std::vector<int> g_selected;
std::vector<ReplySeen> g_replies;

LRESULT CALLBACK DialogProc(HWND w, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_SETTEXT) g_captions.emplace_back(reinterpret_cast<const char *>(lParam));
    if (message == CDM_THUMBNAILDONE || message == CDM_IMAGEDONE)
        g_replies.push_back(
            {message, static_cast<int>(wParam), reinterpret_cast<uint8_t *>(lParam)});
    return DefWindowProcA(w, message, wParam, lParam);
}

LRESULT CALLBACK ChildProc(HWND w, UINT message, WPARAM wParam, LPARAM lParam) {
    const int id = GetDlgCtrlID(w);
    if (message == WM_SETTEXT && id == kIdStatusLine)
        g_statusLines.emplace_back(reinterpret_cast<const char *>(lParam));
    if (message == IMGM_SELECT && id != kIdStatusLine) g_selected.push_back(id);
    return DefWindowProcA(w, message, wParam, lParam);
}

void RegisterClasses() {
    static bool done = false;
    if (done) return;
    WNDCLASSA c = {};
    c.lpfnWndProc = DialogProc;
    c.hInstance = GetModuleHandleA(nullptr);
    c.lpszClassName = "WorkerTestDialog";
    RegisterClassA(&c);
    c.lpfnWndProc = ChildProc;
    c.lpszClassName = "WorkerTestChild";
    RegisterClassA(&c);
    done = true;
}

// Presses Cancel on any message box that shows up while the test pumps; the
// tests that expect none count them.
int g_boxesSeen = 0;
bool g_answerBoxes = true;

BOOL CALLBACK CancelBox(HWND w, LPARAM) {
    DWORD pid = 0;
    GetWindowThreadProcessId(w, &pid);
    char cls[16] = "";
    GetClassNameA(w, cls, sizeof cls);
    if (pid == GetCurrentProcessId() && IsWindowVisible(w) && std::strcmp(cls, "#32770") == 0) {
        ++g_boxesSeen;
        PostMessageA(w, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    }
    return TRUE;
}

// Runs the test thread's messages until done() or the time is up.
template <class Done> bool Pump(Done done, DWORD ms) {
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
        if (done()) return true;
        if (SecondsSince(start) * 1000 > ms) return false;
        if (g_answerBoxes) EnumWindows(CancelBox, 0);
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
    }
}

bool WaitReplies(size_t count, DWORD ms = 60000) {
    return Pump([count] { return g_replies.size() >= count; }, ms);
}

// True once the worker waits for the test thread to handle a sent message;
// nothing is dispatched meanwhile.
bool WaitForSentMessage(DWORD ms = 10000) {
    for (DWORD waited = 0; waited < ms; ++waited) {
        if (HIWORD(GetQueueStatus(QS_SENDMESSAGE)) & QS_SENDMESSAGE) return true;
        Sleep(1);
    }
    return false;
}

// Whether p is an allocated block of the process heap (a freed one fails the
// heap's own check of its header).
bool HeapBlockInUse(const void *p) {
    return HeapValidate(GetProcessHeap(), 0, p) != FALSE;
}

std::vector<uint8_t> Bytes(const uint8_t *block, size_t n) {
    return block ? std::vector<uint8_t>(block, block + n) : std::vector<uint8_t>();
}

TwcamSession *Session() {
    static TwcamSession *session = twcamOpen(nullptr);
    return session;
}

// The stand-in capture dialog with its status line and thumbnails, and a
// worker started on it.
class WorkerTest : public ::testing::Test {
  protected:
    HWND dialog = nullptr;
    WorkerControl control{};
    CameraWorker *worker = nullptr; // the worker's record while it runs
    HANDLE thread = nullptr;
    DWORD threadId = 0;

    void SetUp() override {
        ASSERT_TRUE(HasSimulator(kCom)) << "run through with-ports.sh absent camera absent absent";
        ASSERT_NE(Session(), nullptr);
        RegisterClasses();
        dialog = CreateWindowExA(0, "WorkerTestDialog", kCaption, WS_OVERLAPPEDWINDOW, 0, 0, 400,
                                 300, nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
        ASSERT_NE(dialog, nullptr);
        CreateChild(kIdStatusLine);
        for (int s = 0; s < kThumbnailCount; ++s) CreateChild(kIdFirstThumbnail + s);
        ASSERT_TRUE(StartWorker(Session(), dialog, &control));
        worker = control.record;
        thread = control.thread;
        threadId = control.threadId;
        ASSERT_NE(worker, nullptr);
        ASSERT_NE(threadId, 0u);
        Forget();
        g_boxesSeen = 0;
        g_answerBoxes = true;
    }

    void TearDown() override {
        StopWorker(&control);
        Pump([] { return false; }, 50); // sent messages of a stopped worker
        for (const ReplySeen &r : g_replies) twcamFreePicture(r.block);
        Forget();
        if (dialog != nullptr) DestroyWindow(dialog);
        ControlOk(kCom, "clear");
    }

    void CreateChild(int id) {
        CreateWindowExA(0, "WorkerTestChild", "", WS_CHILD, 0, 0, 10, 10, dialog,
                        reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                        GetModuleHandleA(nullptr), nullptr);
    }

    static void Forget() {
        g_captions.clear();
        g_statusLines.clear();
        g_selected.clear();
        g_replies.clear();
    }

    void Post(UINT message, int slot) {
        ASSERT_TRUE(PostThreadMessageA(threadId, message, static_cast<WPARAM>(slot), 0));
    }

    // Posts one job and waits for its reply.
    ReplySeen Run(UINT message, int slot) {
        const size_t before = g_replies.size();
        Post(message, slot);
        if (!WaitReplies(before + 1)) {
            ADD_FAILURE() << "no reply to message " << message << " for slot " << slot;
            return {0, -1, nullptr};
        }
        return g_replies.back();
    }

    // The worker ended by itself or by StopWorker: its record is gone.
    void Forsake() { worker = nullptr; }
};

TEST_F(WorkerTest, StartSignalsTheQueueAndTheThreadId) {
    EXPECT_EQ(threadId, GetThreadId(thread));
    EXPECT_EQ(worker->workerThreadId, threadId);
    EXPECT_EQ(worker->dialogWindow, dialog);
    EXPECT_EQ(worker->session, Session());
    EXPECT_EQ(WaitForSingleObject(worker->event, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(HeapBlockInUse(worker));
    // Other messages, CWM_STOP among them, are dropped without a reply.
    Post(CWM_STOP, 0);
    Post(WM_USER + 50, 3);
    Pump([] { return false; }, 300);
    EXPECT_TRUE(g_replies.empty());
    EXPECT_TRUE(g_captions.empty());
}

TEST_F(WorkerTest, QuitEndsTheThreadAndFreesTheRecord) {
    HANDLE watch = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), thread, GetCurrentProcess(), &watch, 0, FALSE,
                                DUPLICATE_SAME_ACCESS));
    const CameraWorker *record = worker;
    const auto start = std::chrono::steady_clock::now();
    StopWorker(&control);
    const double took = SecondsSince(start);
    Forsake();
    EXPECT_LT(took, 5.0) << "an idle worker must not be terminated";
    EXPECT_FALSE(HeapBlockInUse(record));
    EXPECT_EQ(WaitForSingleObject(watch, 2000), WAIT_OBJECT_0);
    DWORD code = 99;
    GetExitCodeThread(watch, &code);
    EXPECT_EQ(code, 0u);
    CloseHandle(watch);
    EXPECT_TRUE(g_replies.empty());
}

// A worker that ended on WM_QUIT freed its record; stopping it afterwards must
// neither wait the full limit nor touch the record again.
TEST_F(WorkerTest, WmQuitEndsTheThreadAndStopDoesNotFreeAgain) {
    HANDLE watch = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), thread, GetCurrentProcess(), &watch, 0, FALSE,
                                DUPLICATE_SAME_ACCESS));
    const CameraWorker *record = worker;
    HANDLE event = control.event; // the worker's end leaves it to the dialog
    HANDLE eventWatch = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), event, GetCurrentProcess(), &eventWatch, 0,
                                FALSE, DUPLICATE_SAME_ACCESS));
    Post(WM_QUIT, 0);
    ASSERT_EQ(WaitForSingleObject(watch, 5000), WAIT_OBJECT_0);
    EXPECT_FALSE(HeapBlockInUse(record));
    // A block of the same size allocated now may take the freed one's place:
    // a second free would pull it from under its owner.
    void *other = HeapAlloc(GetProcessHeap(), 0, sizeof(CameraWorker));
    ASSERT_TRUE(HeapBlockInUse(other));
    const auto start = std::chrono::steady_clock::now();
    StopWorker(&control);
    Forsake();
    EXPECT_LT(SecondsSince(start), 5.0);
    EXPECT_TRUE(HeapBlockInUse(other));
    HeapFree(GetProcessHeap(), 0, other);
    EXPECT_EQ(WaitForSingleObject(eventWatch, 0), WAIT_OBJECT_0) << "the worker signals its end";
    DWORD flags = 0;
    EXPECT_FALSE(GetHandleInformation(event, &flags)) << "the stop closed the event";
    EXPECT_FALSE(GetHandleInformation(thread, &flags)) << "and the thread's handle";
    CloseHandle(eventWatch);
    CloseHandle(watch);
}

TEST_F(WorkerTest, GrabTakesAPictureAndRepliesWithItsThumbnail) {
    uint8_t *before = twcamGetThumbnail(Session(), 4);
    ASSERT_NE(before, nullptr);
    const long grabs = StatusField(kCom, "grabs");
    Forget();

    const ReplySeen r = Run(CWM_GRAB, 4);
    EXPECT_EQ(r.message, CDM_THUMBNAILDONE);
    EXPECT_EQ(r.slot, 4);
    ASSERT_NE(r.block, nullptr);
    EXPECT_EQ(StatusField(kCom, "grabs"), grabs + 1);
    EXPECT_EQ(g_selected, std::vector<int>({1005}));
    EXPECT_EQ(g_captions, std::vector<std::string>({Progress("Grabbing image 5"), kCaption,
                                                    Progress("Uploading thumbnail 5"), kCaption}));
    // A clean grab and a clean upload each clear the status line.
    EXPECT_EQ(g_statusLines, std::vector<std::string>({"", ""}));

    const auto *h = reinterpret_cast<const BITMAPINFOHEADER *>(r.block);
    EXPECT_EQ(h->biBitCount, 8);
    EXPECT_EQ(h->biWidth, 40);
    EXPECT_EQ(h->biHeight, 31);
    uint8_t *after = twcamGetThumbnail(Session(), 4);
    ASSERT_NE(after, nullptr);
    EXPECT_EQ(Bytes(r.block, kThumbBlockBytes), Bytes(after, kThumbBlockBytes));
    EXPECT_NE(Bytes(r.block, kThumbBlockBytes), Bytes(before, kThumbBlockBytes))
        << "the slot still holds its old picture";
    twcamFreePicture(before);
    twcamFreePicture(after);
}

TEST_F(WorkerTest, UploadRepliesWithTheSlotsPicture) {
    const ReplySeen r = Run(CWM_UPLOAD, 6);
    EXPECT_EQ(r.message, CDM_IMAGEDONE);
    EXPECT_EQ(r.slot, 6);
    ASSERT_NE(r.block, nullptr);
    EXPECT_EQ(g_captions, std::vector<std::string>({Progress("Uploading image 7"), kCaption}));
    EXPECT_EQ(g_statusLines, std::vector<std::string>({""}));
    EXPECT_TRUE(g_selected.empty());
    const auto *h = reinterpret_cast<const BITMAPINFOHEADER *>(r.block);
    EXPECT_EQ(h->biBitCount, 24);
    EXPECT_EQ(h->biWidth, 160);
    EXPECT_EQ(h->biHeight, 120);
    uint8_t *slot6 = twcamGetImage(Session(), 6);
    uint8_t *slot5 = twcamGetImage(Session(), 5);
    ASSERT_NE(slot6, nullptr);
    ASSERT_NE(slot5, nullptr);
    EXPECT_EQ(Bytes(r.block, kColourBlockBytes), Bytes(slot6, kColourBlockBytes));
    EXPECT_NE(Bytes(r.block, kColourBlockBytes), Bytes(slot5, kColourBlockBytes));
    twcamFreePicture(slot6);
    twcamFreePicture(slot5);
}

TEST_F(WorkerTest, BadExposuresAreRetriedWithoutAsking) {
    const long grabs = StatusField(kCom, "grabs");
    ControlOk(kCom, "badexposure 3");
    const ReplySeen r = Run(CWM_GRAB, 2);
    EXPECT_NE(r.block, nullptr);
    EXPECT_EQ(g_boxesSeen, 0);
    EXPECT_EQ(StatusField(kCom, "grabs"), grabs + 1);
    EXPECT_EQ(g_statusLines, std::vector<std::string>(
                                 {kBadExposureLine, kBadExposureLine, kBadExposureLine, "", ""}));
    EXPECT_EQ(g_captions, std::vector<std::string>({Progress("Grabbing image 3"), kCaption,
                                                    Progress("Uploading thumbnail 3"), kCaption}));
}

// 1 grab and 100 repeats: the 101st grab still counts, the 102nd is never made.
TEST_F(WorkerTest, BadExposuresGiveUpAfterTheHundredthRepeat) {
    const long grabs = StatusField(kCom, "grabs");
    ControlOk(kCom, "badexposure 100");
    ReplySeen r = Run(CWM_GRAB, 1);
    EXPECT_NE(r.block, nullptr);
    EXPECT_EQ(StatusField(kCom, "grabs"), grabs + 1);
    ASSERT_EQ(g_statusLines.size(), 102u);
    EXPECT_EQ(g_statusLines[99], kBadExposureLine);
    EXPECT_EQ(g_statusLines[100], "");

    Forget();
    ControlOk(kCom, "badexposure 101");
    r = Run(CWM_GRAB, 1);
    EXPECT_EQ(r.message, CDM_THUMBNAILDONE);
    EXPECT_EQ(r.block, nullptr);
    EXPECT_EQ(g_boxesSeen, 0);
    EXPECT_EQ(StatusField(kCom, "grabs"), grabs + 1);
    // The failed step's line stays; the title says the cycle is stopping.
    EXPECT_EQ(g_statusLines, std::vector<std::string>(100, kBadExposureLine));
    EXPECT_EQ(g_captions,
              std::vector<std::string>({Progress("Grabbing image 2"), kCaption,
                                        Progress("Stopping continuous capture"), kCaption}));
    EXPECT_EQ(g_selected, std::vector<int>({1002}));

    // All 101 bad exposures were used: the next grab goes through at once.
    Forget();
    r = Run(CWM_GRAB, 1);
    EXPECT_NE(r.block, nullptr);
    EXPECT_EQ(g_statusLines, std::vector<std::string>({"", ""}));
    EXPECT_EQ(StatusField(kCom, "grabs"), grabs + 2);
}

TEST_F(WorkerTest, SlotsWithoutAThumbnailAreRefused) {
    const long grabs = StatusField(kCom, "grabs");
    ReplySeen r = Run(CWM_GRAB, kThumbnailCount);
    EXPECT_EQ(r.message, CDM_THUMBNAILDONE);
    EXPECT_EQ(r.slot, kThumbnailCount);
    EXPECT_EQ(r.block, nullptr);
    r = Run(CWM_UPLOAD, -1);
    EXPECT_EQ(r.message, CDM_IMAGEDONE);
    EXPECT_EQ(r.block, nullptr);
    EXPECT_EQ(StatusField(kCom, "grabs"), grabs);
    EXPECT_TRUE(g_selected.empty());
    EXPECT_TRUE(g_captions.empty());
    EXPECT_EQ(g_statusLines,
              std::vector<std::string>({"Error grabbing image : (0xffff0012 - Bad parameter)",
                                        "Error uploading image : (0xffff0012 - Bad parameter)"}));
}

// A stop that waits behind a job when it starts: the job touches nothing and
// its empty reply is what ends the dialog's cycle.
TEST_F(WorkerTest, StopWaitingBeforeAJobGivesAnEmptyReply) {
    const long grabs = StatusField(kCom, "grabs");
    Post(CWM_UPLOAD, 0);
    ASSERT_TRUE(WaitForSentMessage()) << "the upload's title never went up";
    Post(CWM_GRAB, 1);
    Post(CWM_STOP, 0);
    ASSERT_TRUE(WaitReplies(2));
    // The upload under way when the stop came finishes.
    EXPECT_EQ(g_replies[0].message, CDM_IMAGEDONE);
    EXPECT_NE(g_replies[0].block, nullptr);
    EXPECT_EQ(g_replies[1].message, CDM_THUMBNAILDONE);
    EXPECT_EQ(g_replies[1].slot, 1);
    EXPECT_EQ(g_replies[1].block, nullptr);
    EXPECT_EQ(StatusField(kCom, "grabs"), grabs);
    EXPECT_TRUE(g_selected.empty());
    EXPECT_EQ(g_captions, std::vector<std::string>({Progress("Uploading image 1"), kCaption}));

    // The stop was left in the queue and then dropped: the next job runs.
    Forget();
    const ReplySeen r = Run(CWM_GRAB, 1);
    EXPECT_NE(r.block, nullptr);
    EXPECT_EQ(StatusField(kCom, "grabs"), grabs + 1);
}

TEST_F(WorkerTest, StopDuringTheGrabSkipsTheThumbnail) {
    const long grabs = StatusField(kCom, "grabs");
    Post(CWM_GRAB, 3);
    ASSERT_TRUE(WaitForSentMessage()) << "the grab's title never went up";
    Post(CWM_STOP, 0);
    ASSERT_TRUE(WaitReplies(1));
    EXPECT_EQ(g_replies[0].message, CDM_THUMBNAILDONE);
    EXPECT_EQ(g_replies[0].slot, 3);
    EXPECT_EQ(g_replies[0].block, nullptr);
    // The grab was taken and selected; no thumbnail was asked of the camera.
    EXPECT_EQ(StatusField(kCom, "grabs"), grabs + 1);
    EXPECT_EQ(g_selected, std::vector<int>({1004}));
    const std::vector<uint8_t> last = LastPacket(kCom);
    ASSERT_GE(last.size(), 2u);
    EXPECT_EQ(last[1], 'Y') << "the grab result should be the last command";
    EXPECT_EQ(g_captions, std::vector<std::string>({Progress("Grabbing image 4"), kCaption}));
}

TEST_F(WorkerTest, QuitWaitingBeforeAJobGivesNoReply) {
    HANDLE watch = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), thread, GetCurrentProcess(), &watch, 0, FALSE,
                                DUPLICATE_SAME_ACCESS));
    const long grabs = StatusField(kCom, "grabs");
    Post(CWM_UPLOAD, 0);
    ASSERT_TRUE(WaitForSentMessage());
    Post(CWM_GRAB, 1);
    Post(CWM_QUIT, 0);
    ASSERT_TRUE(Pump([watch] { return WaitForSingleObject(watch, 0) == WAIT_OBJECT_0; }, 30000));
    Forsake(); // it freed its record
    Pump([] { return false; }, 200);
    ASSERT_EQ(g_replies.size(), 1u);
    EXPECT_EQ(g_replies[0].message, CDM_IMAGEDONE);
    EXPECT_EQ(StatusField(kCom, "grabs"), grabs);
    CloseHandle(watch);
}

// The worker waits for a dialog thread that never pumps: after the full
// limit it is terminated, and its record freed for it.
TEST_F(WorkerTest, StopTerminatesAWorkerBlockedOnTheDialog) {
    HANDLE watch = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), thread, GetCurrentProcess(), &watch, 0, FALSE,
                                DUPLICATE_SAME_ACCESS));
    const CameraWorker *record = worker;
    Post(CWM_GRAB, 0);
    ASSERT_TRUE(WaitForSentMessage());
    const auto start = std::chrono::steady_clock::now();
    StopWorker(&control);
    const double took = SecondsSince(start);
    Forsake();
    EXPECT_GE(took, 9.9);
    EXPECT_LT(took, 20.0);
    EXPECT_FALSE(HeapBlockInUse(record));
    EXPECT_EQ(WaitForSingleObject(watch, 0), WAIT_OBJECT_0);
    DWORD code = 99;
    GetExitCodeThread(watch, &code);
    EXPECT_EQ(code, 0u);
    CloseHandle(watch);
    Pump([] { return false; }, 300);
    EXPECT_TRUE(g_replies.empty());
}

// A camera that stops answering asks RETRY or CANCEL from the worker thread.
TEST_F(WorkerTest, LostCameraAsksAndCancelGivesNoPicture) {
    g_answerBoxes = false;
    const std::string question = std::string("Error grabbing image (0xffff0000 - Camera not "
                                             "present)\n\n") +
                                 kCameraLostText;
    ControlOk(kCom, "fault * silent always");
    BoxWatcher watcher;
    StartWatcher(watcher, {{IDCANCEL, [] { Control(kCom, "clear"); }}});
    const ReplySeen r = Run(CWM_GRAB, 5);
    const std::vector<SeenBox> seen = FinishWatcher(watcher);
    EXPECT_EQ(r.message, CDM_THUMBNAILDONE);
    EXPECT_EQ(r.block, nullptr);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].caption, "Kelbrook Zorvik");
    EXPECT_EQ(seen[0].text, question);
    EXPECT_TRUE(seen[0].hasRetry && seen[0].hasCancel);
    EXPECT_EQ(g_statusLines, std::vector<std::string>({question}));
    EXPECT_EQ(g_captions,
              std::vector<std::string>({Progress("Grabbing image 6"), kCaption,
                                        Progress("Stopping continuous capture"), kCaption}));
}

TEST_F(WorkerTest, LostCameraRetryTakesThePicture) {
    g_answerBoxes = false;
    const long grabs = StatusField(kCom, "grabs");
    ControlOk(kCom, "fault * silent always");
    BoxWatcher watcher;
    StartWatcher(watcher, {{IDRETRY, [] { Control(kCom, "clear"); }}});
    const ReplySeen r = Run(CWM_GRAB, 7);
    const std::vector<SeenBox> seen = FinishWatcher(watcher);
    EXPECT_NE(r.block, nullptr);
    EXPECT_EQ(seen.size(), 1u);
    EXPECT_EQ(StatusField(kCom, "grabs"), grabs + 1);
    ASSERT_EQ(g_statusLines.size(), 3u);
    EXPECT_EQ(g_statusLines[1], "");
    EXPECT_EQ(g_statusLines[2], "");
}

TEST_F(WorkerTest, LostCameraDuringAnUploadAsksWithItsPrefix) {
    g_answerBoxes = false;
    ControlOk(kCom, "fault U silent always");
    BoxWatcher watcher;
    StartWatcher(watcher, {{IDCANCEL, [] { Control(kCom, "clear"); }}});
    const ReplySeen r = Run(CWM_UPLOAD, 2);
    const std::vector<SeenBox> seen = FinishWatcher(watcher);
    EXPECT_EQ(r.message, CDM_IMAGEDONE);
    EXPECT_EQ(r.block, nullptr);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].text, std::string("Error uploading image (0xffff0000 - Camera not "
                                        "present)\n\n") +
                                kCameraLostText);
    EXPECT_EQ(g_captions,
              std::vector<std::string>({Progress("Uploading image 3"), kCaption,
                                        Progress("Stopping continuous capture"), kCaption}));
}

// The progress title as the dialog uses it on its own thread.
TEST_F(WorkerTest, ProgressTitleSavesAndRestoresCaptionAndCursor) {
    HCURSOR arrow = LoadCursorA(nullptr, IDC_ARROW);
    HCURSOR wait = LoadCursorA(nullptr, IDC_WAIT);
    SetCursor(arrow);
    SetProgressTitle(dialog, true, IDS_PROGRESS_UPLOADING_THUMBNAILS, true);
    char text[300] = "";
    GetWindowTextA(dialog, text, sizeof text);
    EXPECT_STREQ(text, "Kelbrook Zorvik - Uploading thumbnails, please wait...");
    EXPECT_EQ(GetCursor(), wait);
    SetProgressTitle(dialog, false, 0, true);
    GetWindowTextA(dialog, text, sizeof text);
    EXPECT_STREQ(text, kCaption);
    EXPECT_EQ(GetCursor(), arrow);

    // Without the cursor flag the cursor stays; every text of the table.
    const struct {
        UINT id;
        const char *text;
    } table[] = {{IDS_PROGRESS_UPLOADING_IMAGE, "Uploading image"},
                 {IDS_PROGRESS_STOPPING_CAPTURE, "Stopping continuous capture"},
                 {IDS_PROGRESS_STOPPING_UPLOAD, "Stopping upload"},
                 {IDS_PROGRESS_GRABBING_IMAGE, "Grabbing image 24"},
                 {IDS_PROGRESS_THUMBNAIL_NUMBER, "Uploading thumbnail 24"},
                 {IDS_PROGRESS_IMAGE_NUMBER, "Uploading image 24"},
                 {IDS_PROGRESS_RESETTING_COUNTER, "Resetting camera counter"}};
    for (const auto &t : table) {
        SetProgressTitle(dialog, true, t.id, false, 24);
        GetWindowTextA(dialog, text, sizeof text);
        EXPECT_EQ(text, Progress(t.text));
        EXPECT_EQ(GetCursor(), arrow);
        SetProgressTitle(dialog, false, 0, false);
    }
    GetWindowTextA(dialog, text, sizeof text);
    EXPECT_STREQ(text, kCaption);
}

TEST_F(WorkerTest, ProgressTitleKeepsTheDialogsOwnCaption) {
    char text[400] = "";
    // Switching off with nothing up leaves the caption alone.
    SetProgressTitle(dialog, false, 0, false);
    GetWindowTextA(dialog, text, sizeof text);
    EXPECT_STREQ(text, kCaption);
    // A second title over the first (the dialog's Stop meeting the worker's
    // next step) still puts back the dialog's own caption.
    SetProgressTitle(dialog, true, IDS_PROGRESS_STOPPING_UPLOAD, false);
    SetProgressTitle(dialog, true, IDS_PROGRESS_GRABBING_IMAGE, false, 5);
    GetWindowTextA(dialog, text, sizeof text);
    EXPECT_EQ(text, Progress("Grabbing image 5"));
    SetProgressTitle(dialog, false, 0, false);
    GetWindowTextA(dialog, text, sizeof text);
    EXPECT_STREQ(text, kCaption);

    // The saved caption keeps 199 characters of a longer one.
    const std::string longCaption(250, 'k');
    SetWindowTextA(dialog, longCaption.c_str());
    SetProgressTitle(dialog, true, IDS_PROGRESS_UPLOADING_IMAGE, false);
    GetWindowTextA(dialog, text, sizeof text);
    EXPECT_EQ(text, longCaption.substr(0, 199) + " - Uploading image, please wait...");
    SetProgressTitle(dialog, false, 0, false);
    GetWindowTextA(dialog, text, sizeof text);
    EXPECT_EQ(text, longCaption.substr(0, 199));
}

} // namespace
