#include "box_watcher.h"

#include "message_box.h"

#include <atomic>
#include <mutex>

namespace {

std::mutex g_lock;
std::vector<SeenBox> g_seen;
int g_answer = IDCANCEL;
int g_nextAnswer = 0, g_nextCount = 0;
std::atomic<bool> g_running{false};
HANDLE g_thread = nullptr;

BOOL CALLBACK CollectStatic(HWND child, LPARAM param) {
    char cls[32];
    if (GetClassNameA(child, cls, sizeof cls) && lstrcmpiA(cls, "Static") == 0) {
        char text[1024];
        if (GetWindowTextA(child, text, sizeof text) > 0) {
            auto *out = reinterpret_cast<std::string *>(param);
            if (!out->empty()) out->append("\n");
            out->append(text);
        }
    }
    return TRUE;
}

bool HasButton(HWND box, int id) {
    return GetDlgItem(box, id) != nullptr;
}

BOOL CALLBACK AnswerBox(HWND window, LPARAM) {
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    if (pid != GetCurrentProcessId() || !IsMessageBoxWindow(window)) return TRUE;
    SeenBox seen;
    char caption[256] = "";
    GetWindowTextA(window, caption, sizeof caption);
    seen.caption = caption;
    EnumChildWindows(window, CollectStatic, reinterpret_cast<LPARAM>(&seen.text));
    int answer;
    {
        std::lock_guard<std::mutex> hold(g_lock);
        answer = g_answer;
        if (g_nextCount > 0) {
            answer = g_nextAnswer;
            --g_nextCount;
        }
    }
    if (!HasButton(window, answer)) answer = HasButton(window, IDOK) ? IDOK : IDCANCEL;
    seen.pressed = answer;
    {
        std::lock_guard<std::mutex> hold(g_lock);
        g_seen.push_back(seen);
    }
    PostMessageA(window, WM_COMMAND, MAKEWPARAM(answer, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(window, answer)));
    // One at a time: wait for this box to go before looking again.
    for (int i = 0; i < 200 && IsWindow(window) && IsWindowVisible(window); ++i) Sleep(10);
    return TRUE;
}

DWORD WINAPI Watch(LPVOID) {
    while (g_running.load()) {
        EnumWindows(AnswerBox, 0);
        Sleep(20);
    }
    return 0;
}

} // namespace

void BoxWatcherStart(int answer) {
    BoxWatcherAnswer(answer);
    if (g_running.exchange(true)) return;
    g_thread = CreateThread(nullptr, 0, Watch, nullptr, 0, nullptr);
}

void BoxWatcherAnswer(int answer) {
    std::lock_guard<std::mutex> hold(g_lock);
    g_answer = answer;
    g_nextCount = 0;
}

void BoxWatcherAnswerNext(int first, int count) {
    std::lock_guard<std::mutex> hold(g_lock);
    g_nextAnswer = first;
    g_nextCount = count;
}

void BoxWatcherStop() {
    if (!g_running.exchange(false)) return;
    WaitForSingleObject(g_thread, 5000);
    CloseHandle(g_thread);
    g_thread = nullptr;
}

std::vector<SeenBox> BoxWatcherTake() {
    std::lock_guard<std::mutex> hold(g_lock);
    std::vector<SeenBox> out;
    out.swap(g_seen);
    return out;
}
