#include "imaging/reformat.h"

#include <algorithm>

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

// Rank filter on one colour plane, in place, in reading order. Replacing the
// largest of a 3 x 3 neighbourhood by the second largest (and the smallest by
// the second smallest) is the same as limiting the sample to the range of its
// eight neighbours, which is what this computes.
void CorrectDefects(uint8_t *plane) {
    uint8_t hiAbove[kHalf], loAbove[kHalf];
    for (int r = 0; r < kPlaneRows; ++r) {
        uint8_t *row = plane + r * kPlaneStride;
        // Missing rows are mirrored: the row below stands in above the first
        // row, the (already corrected) row above below the last.
        const uint8_t *up = r > 0 ? row - kPlaneStride : row + kPlaneStride;
        const uint8_t *down = r < kPlaneRows - 1 ? row + kPlaneStride : row - kPlaneStride;
        for (int i = 0; i < kHalf; ++i) {
            hiAbove[i] = std::max(up[i], down[i]);
            loAbove[i] = std::min(up[i], down[i]);
        }
        for (int i = 0; i < kHalf; ++i) {
            const int left = i > 0 ? i - 1 : i + 1;
            const int right = i < kHalf - 1 ? i + 1 : i - 1;
            const uint8_t hi =
                std::max({hiAbove[left], hiAbove[i], hiAbove[right], row[left], row[right]});
            const uint8_t lo =
                std::min({loAbove[left], loAbove[i], loAbove[right], row[left], row[right]});
            row[i] = std::clamp(row[i], lo, hi);
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
        for (int i = 0; i < 81; ++i) out[1 + i] = level[in[i]];
        for (int i = 0; i < 81; ++i) out[82 + i] = level[in[83 + i]];
        out[163] = out[162];
        out[0] = out[1];
    }
    if (defectCorrection == 1)
        for (int start : kPlaneStarts) CorrectDefects(frame + start);
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
