#include "sim_control.h"

#include "message_box.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace sessiontest {
namespace {

HANDLE g_control[5] = {INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE,
                       INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE};

std::string ControlPortName(int com) {
    char name[32];
    std::snprintf(name, sizeof name, "TARN_COM%d_CONTROL", com);
    const char *value = std::getenv(name);
    return value ? value : "";
}

HANDLE OpenControl(int com) {
    if (com < 1 || com > 4) return INVALID_HANDLE_VALUE;
    if (g_control[com] != INVALID_HANDLE_VALUE) return g_control[com];
    const std::string port = ControlPortName(com);
    if (port.empty()) return INVALID_HANDLE_VALUE;
    HANDLE h = CreateFileA(port.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                           nullptr);
    if (h == INVALID_HANDLE_VALUE) return h;
    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    dcb.BaudRate = 57600;
    dcb.fBinary = 1;
    dcb.ByteSize = 8;
    SetCommState(h, &dcb);
    COMMTIMEOUTS t = {};
    t.ReadTotalTimeoutConstant = 2000;
    t.WriteTotalTimeoutConstant = 1000;
    SetCommTimeouts(h, &t);
    g_control[com] = h;
    return h;
}

struct FindBox {
    DWORD pid;
    HWND box;
};

BOOL CALLBACK FindBoxProc(HWND w, LPARAM lp) {
    auto *find = reinterpret_cast<FindBox *>(lp);
    DWORD pid = 0;
    GetWindowThreadProcessId(w, &pid);
    if (pid == find->pid && IsMessageBoxWindow(w)) {
        find->box = w;
        return FALSE;
    }
    return TRUE;
}

BOOL CALLBACK CollectStatic(HWND w, LPARAM lp) {
    char cls[32] = {};
    GetClassNameA(w, cls, sizeof cls);
    if (std::string(cls) == "Static") {
        char text[2048] = {};
        GetWindowTextA(w, text, sizeof text);
        if (text[0] != '\0') *reinterpret_cast<std::string *>(lp) += text;
    }
    return TRUE;
}

HWND WaitForBox(DWORD ms) {
    for (DWORD waited = 0; waited < ms; waited += 20) {
        FindBox find = {GetCurrentProcessId(), nullptr};
        EnumWindows(FindBoxProc, reinterpret_cast<LPARAM>(&find));
        if (find.box != nullptr) return find.box;
        Sleep(20);
    }
    return nullptr;
}

DWORD WINAPI WatcherMain(void *arg) {
    auto *w = static_cast<BoxWatcher *>(arg);
    for (const BoxAnswer &answer : w->answers) {
        // A scan of four ports with a silent camera takes seconds.
        HWND box = WaitForBox(30000);
        if (box == nullptr) return 1;
        SeenBox seen;
        char caption[512] = {};
        GetWindowTextA(box, caption, sizeof caption);
        seen.caption = caption;
        EnumChildWindows(box, CollectStatic, reinterpret_cast<LPARAM>(&seen.text));
        seen.hasRetry = GetDlgItem(box, IDRETRY) != nullptr;
        seen.hasCancel = GetDlgItem(box, IDCANCEL) != nullptr;
        w->seen.push_back(seen);
        if (answer.before) answer.before();
        PostMessageA(box, WM_COMMAND, MAKEWPARAM(answer.button, BN_CLICKED),
                     reinterpret_cast<LPARAM>(GetDlgItem(box, answer.button)));
        for (int i = 0; i < 250 && IsWindow(box); ++i) Sleep(20);
    }
    return 0;
}

} // namespace

bool HasSimulator(int com) {
    return !ControlPortName(com).empty();
}

std::string Control(int com, const std::string &line) {
    HANDLE h = OpenControl(com);
    if (h == INVALID_HANDLE_VALUE) return "";
    const std::string out = line + "\n";
    DWORD n = 0;
    WriteFile(h, out.data(), static_cast<DWORD>(out.size()), &n, nullptr);
    std::string answer;
    char c;
    while (ReadFile(h, &c, 1, &n, nullptr) && n == 1) {
        if (c == '\n') return answer;
        if (c != '\r') answer += c;
    }
    return "";
}

std::string ControlOk(int com, const std::string &line) {
    const std::string answer = Control(com, line);
    EXPECT_EQ(answer.substr(0, 2), "ok") << "COM" << com << " '" << line << "': '" << answer << "'";
    return answer;
}

long StatusField(int com, const char *field) {
    std::istringstream in(ControlOk(com, "status"));
    std::string word;
    const std::string key = std::string(field) + "=";
    while (in >> word)
        if (word.compare(0, key.size(), key) == 0)
            return std::strtol(word.c_str() + key.size(), nullptr, 10);
    ADD_FAILURE() << "no " << field << " in the status of COM" << com;
    return -1;
}

void Unplug(int com) {
    ControlOk(com, "unplug");
    // The simulator swaps its line after answering and before it reads the
    // next command: the next answer means the swap is done.
    ControlOk(com, "status");
}

std::vector<uint8_t> LastPacket(int com) {
    std::istringstream in(ControlOk(com, "last"));
    std::string word;
    in >> word; // "ok"
    std::vector<uint8_t> bytes;
    while (in >> word) bytes.push_back(static_cast<uint8_t>(std::stoul(word, nullptr, 16)));
    return bytes;
}

void StartWatcher(BoxWatcher &w, std::vector<BoxAnswer> answers) {
    w.answers = std::move(answers);
    w.seen.clear();
    w.thread = CreateThread(nullptr, 0, WatcherMain, &w, 0, nullptr);
}

std::vector<SeenBox> FinishWatcher(BoxWatcher &w) {
    if (w.thread != nullptr) {
        WaitForSingleObject(w.thread, 60000);
        CloseHandle(w.thread);
        w.thread = nullptr;
    }
    return w.seen;
}

} // namespace sessiontest
