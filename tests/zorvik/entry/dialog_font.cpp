// Which font the capture dialog's template font really gets in this prefix,
// and the base units that follow from it:
//   dialog_font [FACE]
// prints "<template font> <points>: '<face used>', base units W x H" and, with
// FACE, fails unless that is the face used. A font configuration's dialog
// tests prove something only if Wine uses the fonts put in for them.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace {

// Skips a menu or class field of a dialog template: 0, 0xFFFF and an ordinal,
// or a string.
const WORD *SkipField(const WORD *p) {
    if (*p == 0xFFFF) return p + 2;
    while (*p != 0) ++p;
    return p + 1;
}

// The template's font, from DLGTEMPLATE or DLGTEMPLATEEX.
bool TemplateFont(const void *resource, WORD *points, std::wstring *face) {
    const auto *w = static_cast<const WORD *>(resource);
    const bool extended = w[0] == 1 && w[1] == 0xFFFF;
    DWORD style;
    if (extended) {
        style = *reinterpret_cast<const DWORD *>(w + 6);
        w += 13; // version, signature, help id, extended style, style, count, x, y, cx, cy
    } else {
        style = *reinterpret_cast<const DWORD *>(w);
        w += 9; // style, extended style, count, x, y, cx, cy
    }
    if ((style & DS_SETFONT) == 0) return false;
    w = SkipField(SkipField(w)); // menu, class
    while (*w != 0) ++w;         // caption
    ++w;
    *points = *w++;
    if (extended) w += 2; // weight, italic and character set
    *face = reinterpret_cast<const wchar_t *>(w);
    return true;
}

INT_PTR CALLBACK Quiet(HWND, UINT, WPARAM, LPARAM) {
    return FALSE;
}

std::string Narrow(const std::wstring &s) {
    std::string out;
    for (wchar_t c : s) out += c < 128 ? static_cast<char>(c) : '?';
    return out;
}

} // namespace

int main(int argc, char **argv) {
    HRSRC found = FindResourceA(nullptr, "DLGCAPTURE", reinterpret_cast<LPCSTR>(RT_DIALOG));
    WORD points = 0;
    std::wstring face;
    if (found == nullptr ||
        !TemplateFont(LockResource(LoadResource(nullptr, found)), &points, &face)) {
        std::printf("dialog_font: no capture dialog template with a font\n");
        return 2;
    }

    // A dialog with that font and no controls (the capture dialog's own need
    // the data source's window classes).
    std::vector<WORD> t(sizeof(DLGTEMPLATE) / sizeof(WORD));
    auto *header = reinterpret_cast<DLGTEMPLATE *>(t.data());
    header->style = WS_POPUP | WS_CAPTION | DS_MODALFRAME | DS_SETFONT;
    header->cx = 100;
    header->cy = 50;
    t.insert(t.end(), {0, 0, 0, points}); // no menu, the dialog class, no caption
    t.insert(t.end(), face.begin(), face.end());
    t.push_back(0);
    HWND dialog = CreateDialogIndirectParamW(nullptr, reinterpret_cast<DLGTEMPLATE *>(t.data()),
                                             nullptr, Quiet, 0);
    if (dialog == nullptr) {
        std::printf("dialog_font: no dialog (error %lu)\n", GetLastError());
        return 2;
    }
    RECT units{0, 0, 4, 8};
    MapDialogRect(dialog, &units);
    HDC dc = GetDC(dialog);
    HGDIOBJ old =
        SelectObject(dc, reinterpret_cast<HGDIOBJ>(SendMessageW(dialog, WM_GETFONT, 0, 0)));
    wchar_t used[LF_FACESIZE] = {};
    GetTextFaceW(dc, LF_FACESIZE, used);
    SelectObject(dc, old);
    ReleaseDC(dialog, dc);
    DestroyWindow(dialog);

    std::printf("%s %u: '%s', base units %ld x %ld\n", Narrow(face).c_str(), points,
                Narrow(used).c_str(), units.right, units.bottom);
    if (argc > 1 && Narrow(used) != argv[1]) {
        std::printf("dialog_font: expected '%s': the prefix's fonts are not the ones in use\n",
                    argv[1]);
        return 1;
    }
    return 0;
}
