// Enlargement of a colour picture to twice its width and height, in a luma and
// chroma space with the chroma at a quarter of the luma resolution.
#include "imaging/enlarge.h"

#include <cstdlib>
#include <cstring>

#include "tarnlink.h"

// Pixels are moved as 32-bit words with c0 in the low byte.
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
#error "little-endian byte order assumed"
#endif

namespace tarnlink {
namespace {

constexpr int kChromaWidth = kEnlargeInWidth / 2;
constexpr int kChromaHeight = kEnlargeInHeight / 2;
constexpr int kMaxPlaneWidth = kEnlargeInWidth;

// Pixels travel between the 3-byte layout and 32-bit words c0 | c1 << 8 |
// c2 << 16, eight pixels (24 bytes) through three 64-bit words at a time: the
// arithmetic then runs on whole vector lanes, and the stores stay wide.
constexpr int kGroupPixels = 8;
constexpr uint32_t kPixelMask = 0xFFFFFF;

// n is a whole number of groups, at most kMaxRowPixels.
constexpr int kMaxRowPixels = kEnlargeOutWidth;

inline void UnpackPixels(const uint8_t *bytes, int n, uint32_t *packed) {
    uint64_t words[kMaxRowPixels * 3 / 8];
    std::memcpy(words, bytes, n * 3);
    for (int k = 0; k < n / kGroupPixels; ++k) {
        const uint64_t *w = words + 3 * k;
        uint32_t *p = packed + kGroupPixels * k;
        p[0] = static_cast<uint32_t>(w[0]) & kPixelMask;
        p[1] = static_cast<uint32_t>(w[0] >> 24) & kPixelMask;
        p[2] = static_cast<uint32_t>(w[0] >> 48 | w[1] << 16) & kPixelMask;
        p[3] = static_cast<uint32_t>(w[1] >> 8) & kPixelMask;
        p[4] = static_cast<uint32_t>(w[1] >> 32) & kPixelMask;
        p[5] = static_cast<uint32_t>(w[1] >> 56 | w[2] << 8) & kPixelMask;
        p[6] = static_cast<uint32_t>(w[2] >> 16) & kPixelMask;
        p[7] = static_cast<uint32_t>(w[2] >> 40) & kPixelMask;
    }
}

inline void PackPixels(const uint32_t *packed, int n, uint8_t *bytes) {
    uint64_t words[kMaxRowPixels * 3 / 8];
    for (int k = 0; k < n / kGroupPixels; ++k) {
        const uint32_t *q = packed + kGroupPixels * k;
        uint64_t *w = words + 3 * k;
        w[0] = uint64_t{q[0]} | uint64_t{q[1]} << 24 | uint64_t{q[2]} << 48;
        w[1] = uint64_t{q[2]} >> 16 | uint64_t{q[3]} << 8 | uint64_t{q[4]} << 32 |
               uint64_t{q[5]} << 56;
        w[2] = uint64_t{q[5]} >> 8 | uint64_t{q[6]} << 16 | uint64_t{q[7]} << 40;
    }
    std::memcpy(bytes, words, n * 3);
}

static_assert(kEnlargeInWidth % kGroupPixels == 0 && kEnlargeOutWidth % kGroupPixels == 0,
              "rows hold whole groups of pixels");

// floor((a - b) / 256) for a and b in 0..65535, without leaving 16 bits:
// the difference of the high bytes, less one where the low bytes borrow.
inline int16_t FloorDiff256(uint16_t a, uint16_t b) {
    const int16_t borrow = static_cast<int16_t>(static_cast<int16_t>((a & 0xFF) - (b & 0xFF)) >> 8);
    return static_cast<int16_t>((a >> 8) - (b >> 8) + borrow);
}

inline int16_t LimitChroma(int16_t v) {
    return v < -128 ? int16_t{-128} : (v > 127 ? int16_t{127} : v);
}

// One source row: luma into its row of the plane, cb + 128 and cr + 128 added
// into the column sums of the row pair. The second row of a pair rounds (128).
// Every weighted sum of positive terms stays below 65536; luma of bytes lies
// in 0..218, inside its limits of -16..239.
template <bool kSecond>
inline void ConvertRow(const uint8_t *bytes, int16_t *luma, int16_t *cbSum, int16_t *crSum) {
    constexpr uint16_t r = kSecond ? 128 : 0;
    uint32_t px[kEnlargeInWidth];
    UnpackPixels(bytes, kEnlargeInWidth, px);
    for (int x = 0; x < kEnlargeInWidth; ++x) {
        const uint16_t c0 = px[x] & 0xFF, c1 = px[x] >> 8 & 0xFF, c2 = px[x] >> 16 & 0xFF;
        const uint16_t y = static_cast<uint16_t>(65 * c0 + 129 * c1 + 25 * c2 + r);
        const int16_t b = LimitChroma(FloorDiff256(static_cast<uint16_t>(134 * c2 + r),
                                                   static_cast<uint16_t>(45 * c0 + 88 * c1)));
        const int16_t c = LimitChroma(FloorDiff256(static_cast<uint16_t>(134 * c0 + r),
                                                   static_cast<uint16_t>(112 * c1 + 21 * c2)));
        luma[x] = static_cast<int16_t>(y >> 8);
        cbSum[x] = static_cast<int16_t>((kSecond ? cbSum[x] : 0) + b + 128);
        crSum[x] = static_cast<int16_t>((kSecond ? crSum[x] : 0) + c + 128);
    }
}

// (a + 3 b + 2) >> 2, in 16 bits: planes hold samples of -8192..8191.
inline int16_t Blend(int16_t a, int16_t b) {
    return static_cast<int16_t>(static_cast<int16_t>(a + 3 * b + 2) >> 2);
}

// One row doubled along its length, the end samples standing in for their
// missing neighbours.
inline void DoubleRow(const int16_t *s, int w, int16_t *t) {
    t[0] = Blend(s[0], s[0]);
    for (int i = 1; i < w; ++i) {
        t[2 * i - 1] = Blend(s[i], s[i - 1]);
        t[2 * i] = Blend(s[i - 1], s[i]);
    }
    t[2 * w - 1] = Blend(s[w - 1], s[w - 1]);
}

// A chroma term k (rounding constant included) is split as 256 hi + lo, lo
// in 0..255, so that (299 y + k) >> 8 = y + hi + ((43 y + lo) >> 8) with
// every step inside 16 bits for luma -16..239 and chroma -128..127. The high
// parts take the whole multiples of 256 out of the coefficients first
// (410 = 256 + 154, -209 = -256 + 47, 518 = 2 x 256 + 6); the low parts need
// only the low bits, which a 16-bit product keeps.
inline int16_t High(int whole, int rest) {
    return static_cast<int16_t>(whole + (static_cast<int16_t>(rest) >> 8));
}

inline int16_t Low(int k) {
    return static_cast<int16_t>(static_cast<uint16_t>(k) & 0xFF);
}

// y43 is 43 y; the sums wrap nowhere for samples in their ranges, and saying
// so with 16-bit types keeps the work in 16-bit vector lanes.
inline uint16_t Channel(int16_t y, int16_t y43, int16_t hi, int16_t lo) {
    const int16_t frac = static_cast<int16_t>(static_cast<int16_t>(y43 + lo) >> 8);
    const int16_t v = static_cast<int16_t>(y + hi + frac);
    return static_cast<uint16_t>(v < 0 ? 0 : (v > 255 ? 255 : v));
}

} // namespace

void RgbToYcc420(const uint8_t *source, int16_t *luma, int16_t *cb, int16_t *cr) {
    for (int j = 0; j < kChromaHeight; ++j) {
        int16_t cbSum[kEnlargeInWidth], crSum[kEnlargeInWidth];
        const uint8_t *first = source + (2 * j) * kEnlargeInWidth * 3;
        int16_t *lumaFirst = luma + (2 * j) * kEnlargeInWidth;
        ConvertRow<false>(first, lumaFirst, cbSum, crSum);
        ConvertRow<true>(first + kEnlargeInWidth * 3, lumaFirst + kEnlargeInWidth, cbSum, crSum);
        // Odd blocks round their average up, even blocks down.
        int16_t *cbRow = cb + j * kChromaWidth, *crRow = cr + j * kChromaWidth;
        for (int m = 0; m < kChromaWidth; ++m) {
            const int16_t up = static_cast<int16_t>((m & 1) * 2);
            cbRow[m] = static_cast<int16_t>(
                (static_cast<int16_t>(cbSum[2 * m] + cbSum[2 * m + 1] + up) >> 2) - 128);
            crRow[m] = static_cast<int16_t>(
                (static_cast<int16_t>(crSum[2 * m] + crSum[2 * m + 1] + up) >> 2) - 128);
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
            even[i] = Blend(above[i], cur[i]);
            odd[i] = Blend(below[i], cur[i]);
        }
    }
}

void YccToRgb(const int16_t *luma, const int16_t *cb, const int16_t *cr, uint8_t *result) {
    constexpr int w = kEnlargeOutWidth;
    for (int cy = 0; cy < kEnlargeInHeight; ++cy) {
        // The chroma terms of one chroma row, one per result column, serve two
        // result rows.
        int16_t hi0[w], lo0[w], hi1[w], lo1[w], hi2[w], lo2[w];
        const int16_t *cbRow = cb + cy * (w / 2), *crRow = cr + cy * (w / 2);
        for (int cx = 0; cx < w / 2; ++cx) {
            const int16_t b = cbRow[cx], c = crRow[cx];
            const int16_t h0 = High(c, 154 * c + 128), l0 = Low(410 * c + 128);
            const int16_t h1 = High(-c, -101 * b + 47 * c + 128);
            const int16_t l1 = Low(-101 * b - 209 * c + 128);
            const int16_t h2 = High(2 * b, 6 * b + 128), l2 = Low(518 * b + 128);
            hi0[2 * cx] = hi0[2 * cx + 1] = h0;
            lo0[2 * cx] = lo0[2 * cx + 1] = l0;
            hi1[2 * cx] = hi1[2 * cx + 1] = h1;
            lo1[2 * cx] = lo1[2 * cx + 1] = l1;
            hi2[2 * cx] = hi2[2 * cx + 1] = h2;
            lo2[2 * cx] = lo2[2 * cx + 1] = l2;
        }
        for (int half = 0; half < 2; ++half) {
            const int row = 2 * cy + half;
            const int16_t *y = luma + row * w;
            uint32_t px[w];
            for (int x = 0; x < w; ++x) {
                const int16_t y43 = static_cast<int16_t>(43 * y[x]);
                const uint16_t c0 = Channel(y[x], y43, hi0[x], lo0[x]);
                const uint16_t c1 = Channel(y[x], y43, hi1[x], lo1[x]);
                const uint16_t c2 = Channel(y[x], y43, hi2[x], lo2[x]);
                px[x] = static_cast<uint16_t>(c0 | c1 << 8) | uint32_t{c2} << 16;
            }
            PackPixels(px, w, result + row * w * 3);
        }
    }
}

const PlaneMemory kHeapPlaneMemory = {std::malloc, std::free};

bool EnlargeImage(const uint8_t *source, uint8_t *result, const PlaneMemory &memory) {
    // Luma, Cb, Cr before and after doubling, in one block: one request to the
    // heap per call, and a block the heap can hand back again on the next call
    // instead of returning its pages to the system in between.
    static constexpr size_t kSamples[6] = {
        kEnlargeInWidth * kEnlargeInHeight, kChromaWidth * kChromaHeight,
        kChromaWidth * kChromaHeight,       kEnlargeOutWidth * kEnlargeOutHeight,
        kEnlargeInWidth * kEnlargeInHeight, kEnlargeInWidth * kEnlargeInHeight};
    size_t total = 0;
    for (size_t n : kSamples) total += n;
    int16_t *block = static_cast<int16_t *>(memory.obtain(total * sizeof(int16_t)));
    if (block == nullptr) return false;
    int16_t *plane[6];
    int16_t *next = block;
    for (int p = 0; p < 6; ++p) {
        plane[p] = next;
        next += kSamples[p];
    }
    RgbToYcc420(source, plane[0], plane[1], plane[2]);
    Upsample2x(plane[0], kEnlargeInWidth, kEnlargeInHeight, plane[3]);
    Upsample2x(plane[1], kChromaWidth, kChromaHeight, plane[4]);
    Upsample2x(plane[2], kChromaWidth, kChromaHeight, plane[5]);
    YccToRgb(plane[3], plane[4], plane[5], result);
    memory.release(block);
    return true;
}

} // namespace tarnlink

extern "C" SCI_API SciStatus SCICALL SciEnlargeImage(const uint8_t *source, uint8_t *result) {
    if (source == nullptr || result == nullptr) return SCI_IMAGE_NULL;
    return tarnlink::EnlargeImage(source, result, tarnlink::kHeapPlaneMemory) ? SCI_OK
                                                                              : SCI_IMAGE_NULL;
}
