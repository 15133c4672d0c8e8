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

// Rank filter on the four colour planes, each in place and in reading order.
// Replacing the largest of a 3 x 3 neighbourhood by the second largest (and the
// smallest by the second smallest) is the same as limiting the sample to the
// range of its eight neighbours, which is what this computes. Only the left
// neighbour has been corrected already when a sample's turn comes, so the rest
// is gathered per row first and the left one is carried along; the planes
// share no bytes, so their rows run side by side.
struct RowBounds {
    uint8_t hi[kHalf], lo[kHalf], orig[kHalf];
};

void GatherBounds(const uint8_t *row, int r, RowBounds &b) {
    // Missing rows are mirrored: the row below stands in above the first row,
    // the (already corrected) row above below the last.
    const uint8_t *up = r > 0 ? row - kPlaneStride : row + kPlaneStride;
    const uint8_t *down = r < kPlaneRows - 1 ? row + kPlaneStride : row - kPlaneStride;
    uint8_t vhi[kHalf + 2], vlo[kHalf + 2];
    for (int i = 0; i < kHalf; ++i) {
        vhi[i + 1] = std::max(up[i], down[i]);
        vlo[i + 1] = std::min(up[i], down[i]);
        b.orig[i] = row[i];
    }
    // Missing columns are mirrored too.
    vhi[0] = vhi[2];
    vlo[0] = vlo[2];
    vhi[kHalf + 1] = vhi[kHalf - 1];
    vlo[kHalf + 1] = vlo[kHalf - 1];
    for (int i = 0; i < kHalf; ++i) {
        b.hi[i] = std::max({vhi[i], vhi[i + 1], vhi[i + 2]});
        b.lo[i] = std::min({vlo[i], vlo[i + 1], vlo[i + 2]});
    }
    // The right neighbour is not corrected yet (in the last column it is the
    // left one, which the caller carries).
    for (int i = 0; i < kHalf - 1; ++i) {
        b.hi[i] = std::max(b.hi[i], b.orig[i + 1]);
        b.lo[i] = std::min(b.lo[i], b.orig[i + 1]);
    }
}

void CorrectDefects(uint8_t *frame) {
    RowBounds bounds[4];
    for (int r = 0; r < kPlaneRows; ++r) {
        uint8_t *rows[4];
        uint8_t left[4];
        for (int p = 0; p < 4; ++p) {
            rows[p] = frame + kPlaneStarts[p] + r * kPlaneStride;
            GatherBounds(rows[p], r, bounds[p]);
            left[p] = bounds[p].orig[1]; // the first sample's left is its right
        }
        for (int i = 0; i < kHalf; ++i)
            for (int p = 0; p < 4; ++p) {
                const RowBounds &b = bounds[p];
                const uint8_t top = std::max(b.hi[i], left[p]);
                const uint8_t bottom = std::min(b.lo[i], left[p]);
                left[p] = std::min(std::max(b.orig[i], bottom), top);
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
        for (int i = 0; i < 81; ++i) out[1 + i] = level[in[i]];
        for (int i = 0; i < 81; ++i) out[82 + i] = level[in[83 + i]];
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
