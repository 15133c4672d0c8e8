#include "imaging/reformat.h"

#include <algorithm>
#include <cstring>

#include "tarnlink.h"

namespace tarnlink {
namespace {

constexpr int kHalf = 82;      // samples per half row
constexpr int kPlaneRows = 62; // every other frame row
constexpr int kPlaneStride = 2 * kFrameWidth;
constexpr int kPlaneStarts[4] = {0, kHalf, kFrameWidth, kFrameWidth + kHalf};

// Black level removal and stretch for every possible byte. The table gives the
// same values as multiplying each byte: the factor is computed once either way.
void BuildLevelTable(int32_t blackLevel, uint8_t table[256]) {
    const double factor = 255.0 / (255 - blackLevel);
    for (int v = 0; v < 256; ++v) {
        const int lifted = v - blackLevel;
        const int scaled = lifted <= 0 ? 0 : static_cast<int>(lifted * factor);
        table[v] = static_cast<uint8_t>(std::min(scaled, 255));
    }
}

// Rank filter on the four colour planes, each in place and in reading order.
// Replacing the largest of a 3 x 3 neighbourhood by the second largest (and the
// smallest by the second smallest) is the same as limiting the sample to the
// range [lo, hi] of its eight neighbours. Only the left neighbour L has been
// corrected already when a sample s's turn comes; with lo and hi gathered from
// the others, the result clamp(s, min(lo, L), max(hi, L)) is L limited to
// [min(s, hi), max(s, lo)]. So each row needs one range per sample, which the
// compiler vectorises, and a chain of clamps; the planes share no bytes, so
// their chains run side by side.
struct RowRanges {
    uint8_t low[kHalf], high[kHalf];
    uint8_t first; // the first sample's left neighbour: its right one
};

void GatherRanges(const uint8_t *row, int r, RowRanges &out) {
    // Missing rows are mirrored: the row below stands in above the first row,
    // the (already corrected) row above below the last.
    const uint8_t *up = r > 0 ? row - kPlaneStride : row + kPlaneStride;
    const uint8_t *down = r < kPlaneRows - 1 ? row + kPlaneStride : row - kPlaneStride;
    uint8_t vhi[kHalf + 2], vlo[kHalf + 2];
    for (int i = 0; i < kHalf; ++i) {
        vhi[i + 1] = std::max(up[i], down[i]);
        vlo[i + 1] = std::min(up[i], down[i]);
    }
    // Missing columns are mirrored too.
    vhi[0] = vhi[2];
    vlo[0] = vlo[2];
    vhi[kHalf + 1] = vhi[kHalf - 1];
    vlo[kHalf + 1] = vlo[kHalf - 1];
    // The right neighbour is not corrected yet; in the last column it is the
    // left one, which the chain carries, so nothing stands in for it there.
    uint8_t rightHi[kHalf], rightLo[kHalf];
    for (int i = 0; i < kHalf - 1; ++i) rightHi[i] = rightLo[i] = row[i + 1];
    rightHi[kHalf - 1] = 0;
    rightLo[kHalf - 1] = 255;
    for (int i = 0; i < kHalf; ++i) {
        const uint8_t hi = std::max({vhi[i], vhi[i + 1], vhi[i + 2], rightHi[i]});
        const uint8_t lo = std::min({vlo[i], vlo[i + 1], vlo[i + 2], rightLo[i]});
        out.low[i] = std::min(row[i], hi);
        out.high[i] = std::max(row[i], lo);
    }
    out.first = row[1];
}

void CorrectDefects(uint8_t *frame) {
    RowRanges ranges[4];
    for (int r = 0; r < kPlaneRows; ++r) {
        uint8_t *rows[4];
        uint8_t left[4];
        for (int p = 0; p < 4; ++p) {
            rows[p] = frame + kPlaneStarts[p] + r * kPlaneStride;
            GatherRanges(rows[p], r, ranges[p]);
            left[p] = ranges[p].first;
        }
        for (int i = 0; i < kHalf; ++i)
            for (int p = 0; p < 4; ++p) {
                left[p] = std::min(std::max(left[p], ranges[p].low[i]), ranges[p].high[i]);
                rows[p][i] = left[p];
            }
    }
}

} // namespace

bool ReformatFrame(const uint8_t *raw, uint8_t *frame, int32_t blackLevel,
                   int32_t defectCorrection) {
    if (blackLevel < 0 || blackLevel > 128) return false;

    uint8_t level[256];
    BuildLevelTable(blackLevel, level);
    for (int y = 0; y < kFrameHeight; ++y) {
        const uint8_t *in = raw + y * kFrameWidth;
        uint8_t *out = frame + y * kFrameWidth;
        // Odd columns 3..163 to bytes 1..81, even columns 0..160 to 82..162.
        // The table is applied four bytes to a word, which saves stores.
        uint8_t mapped[kFrameWidth];
        for (int i = 0; i < kFrameWidth; i += 4) {
            uint32_t four;
            std::memcpy(&four, in + i, 4);
            four = uint32_t{level[four & 0xFF]} | uint32_t{level[(four >> 8) & 0xFF]} << 8 |
                   uint32_t{level[(four >> 16) & 0xFF]} << 16 | uint32_t{level[four >> 24]} << 24;
            std::memcpy(mapped + i, &four, 4);
        }
        std::memcpy(out + 1, mapped, 81);
        std::memcpy(out + 82, mapped + 83, 81);
        out[163] = out[162];
        out[0] = out[1];
    }
    if (defectCorrection == 1) CorrectDefects(frame);
    return true;
}

} // namespace tarnlink

extern "C" SCI_API SciStatus SCICALL SciReformat300(const uint8_t *raw, uint8_t *frame,
                                                    int32_t blackLevel, int32_t defectCorrection) {
    if (raw == nullptr || frame == nullptr) return SCI_IMAGE_NULL;
    if (!tarnlink::ReformatFrame(raw, frame, blackLevel, defectCorrection))
        return SCI_IMAGE_COLOUR_FAIL;
    return SCI_OK;
}
