// What tells a message box from the other dialogs of a process (the capture
// dialog is a #32770 with a Cancel button too): a visible #32770 with a
// message box's buttons and no more than a handful of controls.
#pragma once

#include <windows.h>

inline BOOL CALLBACK CountChild(HWND, LPARAM count) {
    ++*reinterpret_cast<int *>(count);
    return TRUE;
}

inline bool IsMessageBoxWindow(HWND w) {
    char cls[16] = "";
    if (!IsWindowVisible(w) || !GetClassNameA(w, cls, sizeof cls) || lstrcmpA(cls, "#32770") != 0)
        return false;
    if (!GetDlgItem(w, IDOK) && !GetDlgItem(w, IDCANCEL) && !GetDlgItem(w, IDRETRY)) return false;
    int children = 0;
    EnumChildWindows(w, CountChild, reinterpret_cast<LPARAM>(&children));
    return children <= 8;
}
