// Answers the message boxes other programs show, as a user would, for tests
// that run a program whose boxes they cannot reach from inside it:
//   answer_boxes SECONDS BUTTON LOG
// BUTTON is ok, cancel or retry. Each box's caption and text go to LOG, one
// line each: "caption|text" (line ends in the text as \n). Ends after SECONDS.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "../support/message_box.h"

namespace {

int g_button = IDCANCEL;
FILE *g_log = nullptr;

BOOL CALLBACK CollectText(HWND child, LPARAM param) {
    char cls[32], text[1024];
    if (GetClassNameA(child, cls, sizeof cls) && lstrcmpiA(cls, "Static") == 0 &&
        GetWindowTextA(child, text, sizeof text) > 0)
        reinterpret_cast<std::string *>(param)->append(text);
    return TRUE;
}

BOOL CALLBACK Answer(HWND window, LPARAM) {
    if (!IsMessageBoxWindow(window)) return TRUE;
    int button = g_button;
    if (GetDlgItem(window, button) == nullptr) button = GetDlgItem(window, IDOK) ? IDOK : IDCANCEL;
    if (GetDlgItem(window, button) == nullptr) return TRUE; // not a message box
    char caption[256] = "";
    GetWindowTextA(window, caption, sizeof caption);
    std::string text;
    EnumChildWindows(window, CollectText, reinterpret_cast<LPARAM>(&text));
    std::string line = std::string(caption) + "|";
    for (char c : text) line += c == '\n' ? std::string("\\n") : std::string(1, c);
    std::fprintf(g_log, "%s\n", line.c_str());
    std::fflush(g_log);
    PostMessageA(window, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(window, button)));
    for (int i = 0; i < 100 && IsWindow(window) && IsWindowVisible(window); ++i) Sleep(20);
    return TRUE;
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 4) return 2;
    const DWORD seconds = static_cast<DWORD>(std::atoi(argv[1]));
    if (std::strcmp(argv[2], "ok") == 0)
        g_button = IDOK;
    else if (std::strcmp(argv[2], "retry") == 0)
        g_button = IDRETRY;
    g_log = std::fopen(argv[3], "w");
    if (g_log == nullptr) return 1;
    const DWORD end = GetTickCount() + seconds * 1000;
    while (static_cast<int>(GetTickCount() - end) < 0) {
        EnumWindows(Answer, 0);
        Sleep(50);
    }
    std::fclose(g_log);
    return 0;
}
