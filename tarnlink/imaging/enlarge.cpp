// Enlargement of a colour picture to twice its width and height, in a luma and
// chroma space with the chroma at a quarter of the luma resolution.
#include "imaging/enlarge.h"

#include <cstdlib>
#include <cstring>

#include "tarnlink.h"

namespace tarnlink {
namespace {

constexpr int kChromaWidth = kEnlargeInWidth / 2;
constexpr int kChromaHeight = kEnlargeInHeight / 2;
constexpr int kMaxPlaneWidth = kEnlargeInWidth;

inline int32_t Limit(int32_t v, int32_t lo, int32_t hi) {
    return v < lo ? lo : v > hi ? hi : v;
}

// One source row: luma into its row of the plane, cb + 128 and cr + 128 added
// into the column sums of the row pair. The second row of a pair rounds (128).
template <bool kSecond>
inline void ConvertRow(const uint8_t *px, int16_t *luma, int32_t *cbSum, int32_t *crSum) {
    constexpr int32_t r = kSecond ? 128 : 0;
    for (int x = 0; x < kEnlargeInWidth; ++x) {
        const int32_t c0 = px[3 * x], c1 = px[3 * x + 1], c2 = px[3 * x + 2];
        const int32_t y = (65 * c0 + 129 * c1 + 25 * c2 + r) >> 8;
        const int32_t b = Limit((-45 * c0 - 88 * c1 + 134 * c2 + r) >> 8, -128, 127) + 128;
        const int32_t c = Limit((134 * c0 - 112 * c1 - 21 * c2 + r) >> 8, -128, 127) + 128;
        luma[x] = static_cast<int16_t>(Limit(y, -16, 239));
        cbSum[x] = kSecond ? cbSum[x] + b : b;
        crSum[x] = kSecond ? crSum[x] + c : c;
    }
}

// One row doubled along its length, the end samples standing in for their
// missing neighbours.
inline void DoubleRow(const int16_t *s, int w, int16_t *t) {
    if (w == 1) {
        t[0] = t[1] = s[0];
        return;
    }
    t[0] = static_cast<int16_t>((4 * s[0] + 2) >> 2);
    t[1] = static_cast<int16_t>((3 * s[0] + s[1] + 2) >> 2);
    for (int i = 1; i < w - 1; ++i) {
        t[2 * i] = static_cast<int16_t>((s[i - 1] + 3 * s[i] + 2) >> 2);
        t[2 * i + 1] = static_cast<int16_t>((3 * s[i] + s[i + 1] + 2) >> 2);
    }
    t[2 * w - 2] = static_cast<int16_t>((s[w - 2] + 3 * s[w - 1] + 2) >> 2);
    t[2 * w - 1] = static_cast<int16_t>((4 * s[w - 1] + 2) >> 2);
}

} // namespace

void RgbToYcc420(const uint8_t *source, int16_t *luma, int16_t *cb, int16_t *cr) {
    for (int j = 0; j < kChromaHeight; ++j) {
        int32_t cbSum[kEnlargeInWidth], crSum[kEnlargeInWidth];
        const uint8_t *first = source + (2 * j) * kEnlargeInWidth * 3;
        int16_t *lumaFirst = luma + (2 * j) * kEnlargeInWidth;
        ConvertRow<false>(first, lumaFirst, cbSum, crSum);
        ConvertRow<true>(first + kEnlargeInWidth * 3, lumaFirst + kEnlargeInWidth, cbSum, crSum);
        // Odd blocks round their average up, even blocks down.
        int16_t *cbRow = cb + j * kChromaWidth, *crRow = cr + j * kChromaWidth;
        for (int m = 0; m < kChromaWidth; ++m) {
            const int32_t up = (m & 1) * 2;
            cbRow[m] = static_cast<int16_t>(((cbSum[2 * m] + cbSum[2 * m + 1] + up) >> 2) - 128);
            crRow[m] = static_cast<int16_t>(((crSum[2 * m] + crSum[2 * m + 1] + up) >> 2) - 128);
        }
    }
}

void Upsample2x(const int16_t *plane, int w, int h, int16_t *doubled) {
    // Rows doubled along their length, three at a time: row j lives in ring[j % 3].
    int16_t ring[3][2 * kMaxPlaneWidth];
    const int tw = 2 * w;
    DoubleRow(plane, w, ring[0]);
    for (int j = 0; j < h; ++j) {
        if (j + 1 < h) DoubleRow(plane + (j + 1) * w, w, ring[(j + 1) % 3]);
        const int16_t *above = ring[(j > 0 ? j - 1 : 0) % 3];
        const int16_t *cur = ring[j % 3];
        const int16_t *below = ring[(j + 1 < h ? j + 1 : j) % 3];
        int16_t *even = doubled + (2 * j) * tw;
        int16_t *odd = even + tw;
        for (int i = 0; i < tw; ++i) {
            even[i] = static_cast<int16_t>((above[i] + 3 * cur[i] + 2) >> 2);
            odd[i] = static_cast<int16_t>((3 * cur[i] + below[i] + 2) >> 2);
        }
    }
}

void YccToRgb(const int16_t *luma, const int16_t *cb, const int16_t *cr, uint8_t *result) {
    constexpr int cw = kEnlargeInWidth; // doubled chroma width
    for (int cy = 0; cy < kEnlargeInHeight; ++cy) {
        // The chroma terms (with the rounding constant) of one chroma row serve
        // two result rows.
        int32_t k0[cw], k1[cw], k2[cw];
        const int16_t *cbRow = cb + cy * cw, *crRow = cr + cy * cw;
        for (int cx = 0; cx < cw; ++cx) {
            const int32_t b = cbRow[cx], c = crRow[cx];
            k0[cx] = 410 * c + 128;
            k1[cx] = -101 * b - 209 * c + 128;
            k2[cx] = 518 * b + 128;
        }
        for (int half = 0; half < 2; ++half) {
            const int row = 2 * cy + half;
            const int16_t *y = luma + row * kEnlargeOutWidth;
            uint8_t *out = result + row * kEnlargeOutWidth * 3;
            for (int cx = 0; cx < cw; ++cx) {
                const int32_t ya = 299 * y[2 * cx], yb = 299 * y[2 * cx + 1];
                out[6 * cx + 0] = static_cast<uint8_t>(Limit((ya + k0[cx]) >> 8, 0, 255));
                out[6 * cx + 1] = static_cast<uint8_t>(Limit((ya + k1[cx]) >> 8, 0, 255));
                out[6 * cx + 2] = static_cast<uint8_t>(Limit((ya + k2[cx]) >> 8, 0, 255));
                out[6 * cx + 3] = static_cast<uint8_t>(Limit((yb + k0[cx]) >> 8, 0, 255));
                out[6 * cx + 4] = static_cast<uint8_t>(Limit((yb + k1[cx]) >> 8, 0, 255));
                out[6 * cx + 5] = static_cast<uint8_t>(Limit((yb + k2[cx]) >> 8, 0, 255));
            }
        }
    }
}

const PlaneMemory kHeapPlaneMemory = {std::malloc, std::free};

bool EnlargeImage(const uint8_t *source, uint8_t *result, const PlaneMemory &memory) {
    // Luma, Cb, Cr before and after doubling.
    static constexpr size_t kSamples[6] = {
        kEnlargeInWidth * kEnlargeInHeight, kChromaWidth * kChromaHeight,
        kChromaWidth * kChromaHeight,       kEnlargeOutWidth * kEnlargeOutHeight,
        kEnlargeInWidth * kEnlargeInHeight, kEnlargeInWidth * kEnlargeInHeight};
    int16_t *plane[6] = {};
    bool complete = true;
    for (int p = 0; p < 6 && complete; ++p) {
        plane[p] = static_cast<int16_t *>(memory.obtain(kSamples[p] * sizeof(int16_t)));
        complete = plane[p] != nullptr;
    }
    if (complete) {
        RgbToYcc420(source, plane[0], plane[1], plane[2]);
        Upsample2x(plane[0], kEnlargeInWidth, kEnlargeInHeight, plane[3]);
        Upsample2x(plane[1], kChromaWidth, kChromaHeight, plane[4]);
        Upsample2x(plane[2], kChromaWidth, kChromaHeight, plane[5]);
        YccToRgb(plane[3], plane[4], plane[5], result);
    }
    for (int16_t *p : plane)
        if (p != nullptr) memory.release(p);
    return complete;
}

} // namespace tarnlink

extern "C" SCI_API SciStatus SCICALL SciEnlargeImage(const uint8_t *source, uint8_t *result) {
    if (source == nullptr || result == nullptr) return SCI_IMAGE_NULL;
    return tarnlink::EnlargeImage(source, result, tarnlink::kHeapPlaneMemory) ? SCI_OK
                                                                              : SCI_IMAGE_NULL;
}
