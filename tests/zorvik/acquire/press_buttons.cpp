// Drives the capture dialog of another program as a user would, for the
// acquisition test with the user interface:
//   press_buttons SECONDS STEP...
// Steps: "ready" waits until the dialog shows with its pictures loaded and
// Preview usable; "click ID" presses a control; "sleep MS" waits. Exits 0 when
// every step was done within SECONDS, 1 otherwise.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int kPreviewButton = 1000;

BOOL CALLBACK FindDialog(HWND window, LPARAM found) {
    char cls[16] = "", caption[64] = "";
    if (IsWindowVisible(window) && GetClassNameA(window, cls, sizeof cls) &&
        lstrcmpA(cls, "#32770") == 0 && GetWindowTextA(window, caption, sizeof caption) &&
        lstrcmpA(caption, "Kelbrook Zorvik") == 0 && GetDlgItem(window, 1001) != nullptr) {
        *reinterpret_cast<HWND *>(found) = window;
        return FALSE;
    }
    return TRUE;
}

HWND Dialog() {
    HWND found = nullptr;
    EnumWindows(FindDialog, reinterpret_cast<LPARAM>(&found));
    return found;
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 3) return 2;
    const DWORD end = GetTickCount() + static_cast<DWORD>(std::atoi(argv[1])) * 1000;
    auto late = [&] { return static_cast<int>(GetTickCount() - end) > 0; };
    for (int i = 2; i < argc; ++i) {
        if (std::strcmp(argv[i], "ready") == 0) {
            HWND d = nullptr;
            while (!late() &&
                   ((d = Dialog()) == nullptr || !IsWindowEnabled(GetDlgItem(d, kPreviewButton))))
                Sleep(50);
            if (late()) return 1;
        } else if (std::strcmp(argv[i], "click") == 0 && i + 1 < argc) {
            HWND d = Dialog();
            if (d == nullptr) return 1;
            SendMessageA(GetDlgItem(d, std::atoi(argv[++i])), BM_CLICK, 0, 0);
        } else if (std::strcmp(argv[i], "sleep") == 0 && i + 1 < argc) {
            Sleep(static_cast<DWORD>(std::atoi(argv[++i])));
        } else {
            return 2;
        }
        std::printf("done: %s\n", argv[i]);
    }
    return 0;
}
