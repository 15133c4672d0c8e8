// The contact sheet: thumbnails in a grid, each labelled with its slot number.
#pragma once

#include <cstdint>
#include <vector>

namespace tarncam {

constexpr int kThumbWidth = 40;
constexpr int kThumbHeight = 31;
constexpr int kSheetScale = 2; // each thumbnail pixel becomes 2 x 2
constexpr int kSheetColumns = 6;
constexpr int kSheetMargin = 8;  // around and between cells
constexpr int kLabelHeight = 14; // 5-row digits at scale 2, with room above and below
constexpr int kCellWidth = kThumbWidth * kSheetScale;
constexpr int kCellHeight = kThumbHeight * kSheetScale + kLabelHeight;
constexpr uint8_t kSheetBackground = 255;
constexpr uint8_t kLabelInk = 0;

struct SheetEntry {
    int slot;
    std::vector<uint8_t> thumbnail; // as the library gives it: bottom row first
};

struct Sheet {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> grey; // top row first
};

// Where the thumbnail of entry i starts on the sheet.
inline int CellX(int i) {
    return kSheetMargin + (i % kSheetColumns) * (kCellWidth + kSheetMargin);
}
inline int CellY(int i) {
    return kSheetMargin + (i / kSheetColumns) * (kCellHeight + kSheetMargin);
}

Sheet ComposeSheet(const std::vector<SheetEntry> &entries);

} // namespace tarncam
