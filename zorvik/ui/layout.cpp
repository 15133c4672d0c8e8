// The capture dialog's template as the desktop's font lays it out. Dialog
// units follow the font: with "MS Sans Serif" 8 a desktop may give base units
// of 7 x 13 pixels, or 6 x 12 once other fonts stand in for it, and at 6 x 12
// a 24-unit-high thumbnail is 36 pixels, below the 37 its control needs to be
// created at all. Where the units fall short, the template's positions and
// sizes are stretched, axis by axis, just enough for every image control: the
// font, ids, styles and texts stay as they are, and since every edge moves by
// the same rule the layout keeps its order (nothing comes to overlap, each
// label stays under its thumbnail).
#include <cctype>
#include <cstring>

#include "ui/ui.h"

namespace zorvik {
namespace {

constexpr int kScaleOne = 16;      // scales are in sixteenths
constexpr int kMostScale = 8 * 16; // beyond eight times, no desktop is that small

// Sixteenths, rounded to the nearest unit: a monotone map of every edge.
int ScaleUnits(int units, int scale) {
    const int scaled = units * scale;
    return scaled >= 0 ? (scaled + kScaleOne / 2) / kScaleOne
                       : -((-scaled + kScaleOne / 2) / kScaleOne);
}

// The template's variable-length fields: an ordinal (0xFFFF, n), none
// (0x0000), or a text ending in a zero. Returns the offset after it, 0 past the end.
size_t SkipField(const uint8_t *bytes, size_t size, size_t at, WORD *ordinal, const WCHAR **text) {
    if (at + 2 > size) return 0;
    WORD first;
    std::memcpy(&first, bytes + at, 2);
    if (ordinal != nullptr) *ordinal = 0;
    if (text != nullptr) *text = nullptr;
    if (first == 0xFFFF) {
        if (at + 4 > size) return 0;
        if (ordinal != nullptr) std::memcpy(ordinal, bytes + at + 2, 2);
        return at + 4;
    }
    if (text != nullptr && first != 0) *text = reinterpret_cast<const WCHAR *>(bytes + at);
    for (; at + 2 <= size; at += 2) {
        WORD c;
        std::memcpy(&c, bytes + at, 2);
        if (c == 0) return at + 2;
    }
    return 0;
}

size_t SkipText(const uint8_t *bytes, size_t size, size_t at) {
    return SkipField(bytes, size, at, nullptr, nullptr);
}

bool SameClass(const WCHAR *a, const char *b) {
    if (a == nullptr) return false;
    for (;; ++a, ++b) {
        const int x = *a < 128 ? std::tolower(static_cast<int>(*a)) : *a;
        if (x != std::tolower(static_cast<unsigned char>(*b))) return false;
        if (*b == '\0') return true;
    }
}

// The pixel size the dialog manager gives a span of dialog units; its own
// rectangles and MapDialogRect's can differ by one, so the smaller counts.
int SpanPixels(int from, int length, int base, int per) {
    const int alone = MulDiv(length, base, per);
    const int edges = MulDiv(from + length, base, per) - MulDiv(from, base, per);
    return alone < edges ? alone : edges;
}

// The image controls' minimum sizes, by class.
bool MinimumSize(const TemplateItem &item, int *width, int *height) {
    if (SameClass(item.className, kThumbnailClass)) {
        *width = kThumbnailWidth;
        *height = kThumbnailHeight;
        return true;
    }
    if (SameClass(item.className, kPreviewClass)) {
        *width = kPreviewWidth;
        *height = kPreviewHeight;
        return true;
    }
    return false;
}

// Whether every image control is big enough along one axis at this scale.
bool FitsAt(const DialogTemplateView &view, int scale, int base, bool horizontal) {
    for (int i = 0; i < view.count; ++i) {
        const TemplateItem &item = view.items[i];
        int width = 0, height = 0;
        if (!MinimumSize(item, &width, &height)) continue;
        const int from = horizontal ? item.item->x : item.item->y;
        const int length = horizontal ? item.item->cx : item.item->cy;
        const int start = ScaleUnits(from, scale);
        const int span = ScaleUnits(from + length, scale) - start;
        if (SpanPixels(start, span, base, horizontal ? 4 : 8) < (horizontal ? width : height))
            return false;
    }
    return true;
}

int ScaleFor(const DialogTemplateView &view, int base, bool horizontal) {
    for (int scale = kScaleOne; scale < kMostScale; ++scale)
        if (FitsAt(view, scale, base, horizontal)) return scale;
    return kMostScale;
}

// Moves both edges of a span, so that spans that did not overlap still don't.
void ScaleSpan(short &from, short &length, int scale) {
    const int start = ScaleUnits(from, scale);
    const int end = ScaleUnits(from + length, scale);
    from = static_cast<short>(start);
    length = static_cast<short>(end - start);
}

// A copy of the template's header alone (no controls, hidden, not brought
// forward): a dialog made from it has the font, and so the base units, of
// the real one.
INT_PTR CALLBACK ProbeProc(HWND, UINT, WPARAM, LPARAM) {
    return FALSE;
}

bool MeasureBaseUnits(HINSTANCE instance, const DialogTemplateView &view, int *baseX, int *baseY) {
    auto *probe = static_cast<uint8_t *>(HeapAlloc(GetProcessHeap(), 0, view.headerBytes));
    if (probe == nullptr) return false;
    std::memcpy(probe, view.header, view.headerBytes);
    auto *header = reinterpret_cast<DLGTEMPLATE *>(probe);
    header->cdit = 0;
    header->style &= ~static_cast<DWORD>(WS_VISIBLE | DS_SETFOREGROUND);
    HWND dialog = CreateDialogIndirectParamA(instance, header, nullptr, ProbeProc, 0);
    HeapFree(GetProcessHeap(), 0, probe);
    if (dialog == nullptr) return false;
    RECT units = {0, 0, 4, 8};
    const bool mapped = MapDialogRect(dialog, &units) != 0;
    DestroyWindow(dialog);
    *baseX = units.right;
    *baseY = units.bottom;
    return mapped && *baseX > 0 && *baseY > 0;
}

} // namespace

bool ReadDialogTemplate(uint8_t *bytes, size_t size, DialogTemplateView *view) {
    std::memset(view, 0, sizeof *view);
    if (bytes == nullptr || size < sizeof(DLGTEMPLATE)) return false;
    auto *header = reinterpret_cast<DLGTEMPLATE *>(bytes);
    WORD first[2];
    std::memcpy(first, bytes, sizeof first);
    if (first[0] == 1 && first[1] == 0xFFFF) return false; // the extended form is not ours
    size_t at = sizeof(DLGTEMPLATE);
    at = SkipText(bytes, size, at);              // menu
    if (at != 0) at = SkipText(bytes, size, at); // class
    if (at != 0) at = SkipText(bytes, size, at); // caption
    if (at != 0 && (header->style & DS_SETFONT) != 0)
        at = at + 2 <= size ? SkipText(bytes, size, at + 2) : 0; // point size, typeface
    if (at == 0 || header->cdit > kMostTemplateItems) return false;
    view->header = header;
    view->headerBytes = at;
    for (int i = 0; i < header->cdit; ++i) {
        at = (at + 3) & ~size_t{3};
        if (at + sizeof(DLGITEMTEMPLATE) > size) return false;
        TemplateItem &item = view->items[i];
        item.item = reinterpret_cast<DLGITEMTEMPLATE *>(bytes + at);
        at = SkipField(bytes, size, at + sizeof(DLGITEMTEMPLATE), &item.classAtom, &item.className);
        if (at != 0) at = SkipField(bytes, size, at, nullptr, &item.title);
        if (at == 0 || at + 2 > size) return false;
        WORD extra;
        std::memcpy(&extra, bytes + at, 2);
        at += 2 + extra;
        if (at > size) return false;
    }
    view->count = header->cdit;
    return true;
}

DialogScale ScaleForBaseUnits(const DialogTemplateView &view, int baseX, int baseY) {
    return DialogScale{ScaleFor(view, baseX, true), ScaleFor(view, baseY, false)};
}

void ApplyDialogScale(DialogTemplateView &view, DialogScale scale) {
    if (scale.x == kScaleOne && scale.y == kScaleOne) return;
    DLGTEMPLATE *header = view.header;
    header->cx = static_cast<short>(ScaleUnits(header->cx, scale.x));
    header->cy = static_cast<short>(ScaleUnits(header->cy, scale.y));
    for (int i = 0; i < view.count; ++i) {
        DLGITEMTEMPLATE *item = view.items[i].item;
        ScaleSpan(item->x, item->cx, scale.x);
        ScaleSpan(item->y, item->cy, scale.y);
    }
}

HWND CreateCaptureDialog(HINSTANCE instance, TwcamSession *session) {
    const LPARAM parameter = reinterpret_cast<LPARAM>(session);
    HRSRC found = FindResourceA(instance, kCaptureTemplate, reinterpret_cast<LPCSTR>(RT_DIALOG));
    HGLOBAL loaded = found != nullptr ? LoadResource(instance, found) : nullptr;
    const void *resource = loaded != nullptr ? LockResource(loaded) : nullptr;
    const DWORD size = found != nullptr ? SizeofResource(instance, found) : 0;
    auto *copy = resource != nullptr ? static_cast<uint8_t *>(HeapAlloc(GetProcessHeap(), 0, size))
                                     : nullptr;
    if (copy == nullptr)
        return CreateDialogParamA(instance, kCaptureTemplate, nullptr, dlgCapture, parameter);
    std::memcpy(copy, resource, size);
    DialogTemplateView view;
    int baseX = 0, baseY = 0;
    if (ReadDialogTemplate(copy, size, &view) && MeasureBaseUnits(instance, view, &baseX, &baseY))
        ApplyDialogScale(view, ScaleForBaseUnits(view, baseX, baseY));
    HWND dialog = CreateDialogIndirectParamA(instance, reinterpret_cast<DLGTEMPLATE *>(copy),
                                             nullptr, dlgCapture, parameter);
    HeapFree(GetProcessHeap(), 0, copy);
    return dialog;
}

} // namespace zorvik
