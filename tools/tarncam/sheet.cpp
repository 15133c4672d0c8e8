// The contact sheet and its digits. The font is drawn here, 3 x 5 pixels a
// digit, so the sheet needs nothing but libpng.
#include "sheet.h"

#include <string>

namespace tarncam {

namespace {

// Rows top first; bit 2 is the left column.
constexpr uint8_t kDigits[10][5] = {
    {7, 5, 5, 5, 7}, {2, 6, 2, 2, 7}, {7, 1, 7, 4, 7}, {7, 1, 7, 1, 7}, {5, 5, 7, 1, 1},
    {7, 4, 7, 1, 7}, {7, 4, 7, 5, 7}, {7, 1, 1, 1, 1}, {7, 5, 7, 5, 7}, {7, 5, 7, 1, 7},
};
constexpr int kDigitScale = 2;
constexpr int kDigitAdvance = 4 * kDigitScale; // 3 columns and a space

void DrawNumber(Sheet &s, int number, int centreX, int top) {
    const std::string text = std::to_string(number);
    const int width = static_cast<int>(text.size()) * kDigitAdvance - kDigitScale;
    int x0 = centreX - width / 2;
    for (char c : text) {
        const uint8_t *glyph = kDigits[c - '0'];
        for (int row = 0; row < 5; ++row)
            for (int col = 0; col < 3; ++col) {
                if ((glyph[row] & (4 >> col)) == 0) continue;
                for (int dy = 0; dy < kDigitScale; ++dy)
                    for (int dx = 0; dx < kDigitScale; ++dx) {
                        const int x = x0 + col * kDigitScale + dx;
                        const int y = top + row * kDigitScale + dy;
                        s.grey[static_cast<size_t>(y * s.width + x)] = kLabelInk;
                    }
            }
        x0 += kDigitAdvance;
    }
}

} // namespace

Sheet ComposeSheet(const std::vector<SheetEntry> &entries) {
    Sheet s;
    const int n = static_cast<int>(entries.size());
    const int columns = n < kSheetColumns ? (n > 0 ? n : 1) : kSheetColumns;
    const int rows = n > 0 ? (n + kSheetColumns - 1) / kSheetColumns : 1;
    s.width = kSheetMargin + columns * (kCellWidth + kSheetMargin);
    s.height = kSheetMargin + rows * (kCellHeight + kSheetMargin);
    s.grey.assign(static_cast<size_t>(s.width * s.height), kSheetBackground);
    for (int i = 0; i < n; ++i) {
        const SheetEntry &e = entries[static_cast<size_t>(i)];
        const int x0 = CellX(i), y0 = CellY(i);
        for (int y = 0; y < kThumbHeight * kSheetScale; ++y) {
            // The library's thumbnail is bottom row first.
            const uint8_t *src =
                e.thumbnail.data() + (kThumbHeight - 1 - y / kSheetScale) * kThumbWidth;
            uint8_t *dst = s.grey.data() + (y0 + y) * s.width + x0;
            for (int x = 0; x < kCellWidth; ++x) dst[x] = src[x / kSheetScale];
        }
        DrawNumber(s, e.slot, x0 + kCellWidth / 2, y0 + kThumbHeight * kSheetScale + 2);
    }
    return s;
}

} // namespace tarncam
