// Enlargement of a colour picture to twice its width and height, in a luma and
// chroma space with the chroma at a quarter of the luma resolution.
#include "imaging/enlarge.h"

#include <cstdlib>
#include <cstring>

#include "imaging/kernel_path.h"
#include "tarnlink.h"

#ifdef TARN_WIDE_PATH
#include <immintrin.h>
#endif

// Pixels are moved as 32-bit words with c0 in the low byte.
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
#error "little-endian byte order assumed"
#endif

namespace tarnlink {
namespace {

// The loops are written once and built twice: plain, and for AVX2, where the
// same 16-bit arithmetic runs in twice the lanes and byte shuffles split the
// pixels into channels and join them again. Both give the same bytes.

constexpr int kChromaWidth = kEnlargeInWidth / 2;
constexpr int kChromaHeight = kEnlargeInHeight / 2;
constexpr int kMaxPlaneWidth = kEnlargeInWidth;

// A row of pixels as three rows of channel bytes: the arithmetic then runs on
// whole vector lanes. `Pixels::Split` and `Pixels::Join` move rows between
// this and the 3-byte layout.
template <int n> struct ChannelRows {
    alignas(32) uint8_t c0[n];
    alignas(32) uint8_t c1[n];
    alignas(32) uint8_t c2[n];
};

// The plain build goes between the 3-byte layout and 32-bit words c0 | c1 << 8
// | c2 << 16, eight pixels (24 bytes) through three 64-bit words at a time, so
// that the loads and stores stay wide.
constexpr int kGroupPixels = 8;
constexpr uint32_t kPixelMask = 0xFFFFFF;

static_assert(kEnlargeInWidth % kGroupPixels == 0 && kEnlargeOutWidth % kGroupPixels == 0,
              "rows hold whole groups of pixels");

// Rows are whole numbers of words, read and written in place.
TARN_KERNEL uint64_t LoadWord(const uint8_t *p) {
    uint64_t w;
    std::memcpy(&w, p, sizeof w);
    return w;
}

TARN_KERNEL void StoreWord(uint8_t *p, uint64_t w) {
    std::memcpy(p, &w, sizeof w);
}

TARN_KERNEL void UnpackPixels(const uint8_t *bytes, int n, uint32_t *packed) {
    for (int k = 0; k < n / kGroupPixels; ++k) {
        const uint8_t *b = bytes + 3 * kGroupPixels * k;
        const uint64_t w[3] = {LoadWord(b), LoadWord(b + 8), LoadWord(b + 16)};
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

TARN_KERNEL void PackPixels(const uint32_t *packed, int n, uint8_t *bytes) {
    for (int k = 0; k < n / kGroupPixels; ++k) {
        const uint32_t *q = packed + kGroupPixels * k;
        uint8_t *b = bytes + 3 * kGroupPixels * k;
        StoreWord(b, uint64_t{q[0]} | uint64_t{q[1]} << 24 | uint64_t{q[2]} << 48);
        StoreWord(b + 8, uint64_t{q[2]} >> 16 | uint64_t{q[3]} << 8 | uint64_t{q[4]} << 32 |
                             uint64_t{q[5]} << 56);
        StoreWord(b + 16, uint64_t{q[5]} >> 8 | uint64_t{q[6]} << 16 | uint64_t{q[7]} << 40);
    }
}

struct WordPixels {
    template <int n> static TARN_KERNEL void Split(const uint8_t *bytes, ChannelRows<n> &rows) {
        uint32_t px[n];
        UnpackPixels(bytes, n, px);
        for (int x = 0; x < n; ++x) {
            rows.c0[x] = static_cast<uint8_t>(px[x]);
            rows.c1[x] = static_cast<uint8_t>(px[x] >> 8);
            rows.c2[x] = static_cast<uint8_t>(px[x] >> 16);
        }
    }
    template <int n> static TARN_KERNEL void Join(const ChannelRows<n> &rows, uint8_t *bytes) {
        uint32_t px[n];
        for (int x = 0; x < n; ++x)
            px[x] = static_cast<uint16_t>(rows.c0[x] | rows.c1[x] << 8) | uint32_t{rows.c2[x]}
                                                                              << 16;
        PackPixels(px, n, bytes);
    }
};

#ifdef TARN_WIDE_PATH
// 32 pixels (96 bytes) at a time, the first 16 in the low half of the
// registers and the next 16 in the high half: the byte shuffles work within
// halves. Channel k of pixel i is byte 3 i + k of its 48; the tables give, per
// channel and 16-byte block, where each byte comes from or goes to (0x80:
// nowhere, a zero).
struct ShuffleTables {
    alignas(32) uint8_t split[3][3][32]; // channel, source block
    alignas(32) uint8_t join[3][3][32];  // result block, channel
};

constexpr ShuffleTables MakeShuffleTables() {
    ShuffleTables t{};
    for (int k = 0; k < 3; ++k) {
        for (int q = 0; q < 3; ++q) {
            for (int i = 0; i < 16; ++i) {
                const int from = 3 * i + k;
                const uint8_t s = from / 16 == q ? static_cast<uint8_t>(from % 16) : 0x80;
                const int to = 16 * q + i;
                const uint8_t j = to % 3 == k ? static_cast<uint8_t>(to / 3) : 0x80;
                t.split[k][q][i] = t.split[k][q][16 + i] = s;
                t.join[q][k][i] = t.join[q][k][16 + i] = j;
            }
        }
    }
    return t;
}

constexpr ShuffleTables kShuffle = MakeShuffleTables();

TARN_AVX2_INLINE __m256i Table(const uint8_t (&t)[32]) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i *>(t));
}

TARN_AVX2_INLINE __m256i LoadHalves(const uint8_t *low, const uint8_t *high) {
    const __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i *>(low));
    const __m128i hi = _mm_loadu_si128(reinterpret_cast<const __m128i *>(high));
    return _mm256_inserti128_si256(_mm256_castsi128_si256(lo), hi, 1);
}

TARN_AVX2_INLINE __m256i Gather3(__m256i a, __m256i b, __m256i c, const uint8_t (&ta)[32],
                                 const uint8_t (&tb)[32], const uint8_t (&tc)[32]) {
    return _mm256_or_si256(
        _mm256_or_si256(_mm256_shuffle_epi8(a, Table(ta)), _mm256_shuffle_epi8(b, Table(tb))),
        _mm256_shuffle_epi8(c, Table(tc)));
}

// Built for AVX2 and called from the AVX2 build's loops only. A row at a
// time: these are functions of their own, since code built for AVX2 cannot be
// forced inline into the loops as they are written (for either build).
struct ShufflePixels {
    template <int n> static TARN_AVX2_FN void Split(const uint8_t *bytes, ChannelRows<n> &rows) {
        static_assert(n % 32 == 0, "rows of whole 32-pixel groups");
        const auto &t = kShuffle.split;
        for (int x = 0; x < n; x += 32) {
            const uint8_t *p = bytes + 3 * x;
            const __m256i a = LoadHalves(p, p + 48);
            const __m256i b = LoadHalves(p + 16, p + 64);
            const __m256i c = LoadHalves(p + 32, p + 80);
            _mm256_storeu_si256(reinterpret_cast<__m256i *>(rows.c0 + x),
                                Gather3(a, b, c, t[0][0], t[0][1], t[0][2]));
            _mm256_storeu_si256(reinterpret_cast<__m256i *>(rows.c1 + x),
                                Gather3(a, b, c, t[1][0], t[1][1], t[1][2]));
            _mm256_storeu_si256(reinterpret_cast<__m256i *>(rows.c2 + x),
                                Gather3(a, b, c, t[2][0], t[2][1], t[2][2]));
        }
    }
    template <int n> static TARN_AVX2_FN void Join(const ChannelRows<n> &rows, uint8_t *bytes) {
        static_assert(n % 32 == 0, "rows of whole 32-pixel groups");
        const auto &t = kShuffle.join;
        for (int x = 0; x < n; x += 32) {
            const __m256i c0 = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(rows.c0 + x));
            const __m256i c1 = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(rows.c1 + x));
            const __m256i c2 = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(rows.c2 + x));
            // Bytes 0-15 | 48-63, 16-31 | 64-79, 32-47 | 80-95 of the 96.
            const __m256i r0 = Gather3(c0, c1, c2, t[0][0], t[0][1], t[0][2]);
            const __m256i r1 = Gather3(c0, c1, c2, t[1][0], t[1][1], t[1][2]);
            const __m256i r2 = Gather3(c0, c1, c2, t[2][0], t[2][1], t[2][2]);
            __m256i *p = reinterpret_cast<__m256i *>(bytes + 3 * x);
            _mm256_storeu_si256(p, _mm256_permute2x128_si256(r0, r1, 0x20));
            _mm256_storeu_si256(p + 1, _mm256_permute2x128_si256(r2, r0, 0x30));
            _mm256_storeu_si256(p + 2, _mm256_permute2x128_si256(r1, r2, 0x31));
        }
    }
};
#endif

// floor((a - b) / 256) for a and b in 0..65535, without leaving 16 bits:
// the difference of the high bytes, less one where the low bytes borrow.
TARN_KERNEL int16_t FloorDiff256(uint16_t a, uint16_t b) {
    const int16_t borrow = static_cast<int16_t>(static_cast<int16_t>((a & 0xFF) - (b & 0xFF)) >> 8);
    return static_cast<int16_t>((a >> 8) - (b >> 8) + borrow);
}

TARN_KERNEL int16_t LimitChroma(int16_t v) {
    return v < -128 ? int16_t{-128} : (v > 127 ? int16_t{127} : v);
}

// One source row: luma into its row of the plane, cb + 128 and cr + 128 added
// into the column sums of the row pair. The second row of a pair rounds (128).
// Every weighted sum of positive terms stays below 65536; luma of bytes lies
// in 0..218, inside its limits of -16..239.
template <bool kSecond>
TARN_KERNEL void ConvertRow(const ChannelRows<kEnlargeInWidth> &px, int16_t *__restrict luma,
                            int16_t *__restrict cbSum, int16_t *__restrict crSum) {
    constexpr uint16_t r = kSecond ? 128 : 0;
    for (int x = 0; x < kEnlargeInWidth; ++x) {
        const uint16_t c0 = px.c0[x], c1 = px.c1[x], c2 = px.c2[x];
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

template <class Pixels>
TARN_KERNEL void RgbToYccBody(const uint8_t *source, int16_t *luma, int16_t *cb, int16_t *cr) {
    for (int j = 0; j < kChromaHeight; ++j) {
        ChannelRows<kEnlargeInWidth> px;
        alignas(32) int16_t cbSum[kEnlargeInWidth];
        alignas(32) int16_t crSum[kEnlargeInWidth];
        const uint8_t *first = source + (2 * j) * kEnlargeInWidth * 3;
        int16_t *lumaFirst = luma + (2 * j) * kEnlargeInWidth;
        Pixels::Split(first, px);
        ConvertRow<false>(px, lumaFirst, cbSum, crSum);
        Pixels::Split(first + kEnlargeInWidth * 3, px);
        ConvertRow<true>(px, lumaFirst + kEnlargeInWidth, cbSum, crSum);
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

// (a + 3 b + 2) >> 2, in 16 bits: planes hold samples of -8192..8191.
TARN_KERNEL int16_t Blend(int16_t a, int16_t b) {
    return static_cast<int16_t>(static_cast<int16_t>(a + 3 * b + 2) >> 2);
}

// One row doubled along its length, the end samples standing in for their
// missing neighbours.
TARN_KERNEL void DoubleRow(const int16_t *__restrict s, int w, int16_t *__restrict t) {
    t[0] = Blend(s[0], s[0]);
    for (int i = 1; i < w; ++i) {
        t[2 * i - 1] = Blend(s[i], s[i - 1]);
        t[2 * i] = Blend(s[i - 1], s[i]);
    }
    t[2 * w - 1] = Blend(s[w - 1], s[w - 1]);
}

// One row of the result of doubling down the columns: `cur` blended with the
// row above or below it.
TARN_KERNEL void BlendRow(const int16_t *__restrict other, const int16_t *__restrict cur, int n,
                          int16_t *__restrict t) {
    for (int i = 0; i < n; ++i) t[i] = Blend(other[i], cur[i]);
}

// Both rows that doubling down the columns makes of `cur`: blended with the
// row above it, and with the row below.
TARN_KERNEL void BlendRows(const int16_t *above, const int16_t *cur, const int16_t *below, int n,
                           int16_t *even, int16_t *odd) {
    for (int i = 0; i < n; ++i) {
        even[i] = Blend(above[i], cur[i]);
        odd[i] = Blend(below[i], cur[i]);
    }
}

TARN_KERNEL void Upsample2xBody(const int16_t *plane, int w, int h, int16_t *doubled) {
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
        BlendRows(above, cur, below, tw, even, even + tw);
    }
}

// A chroma term k (rounding constant included) is split as 256 hi + lo, lo
// in 0..255, so that (299 y + k) >> 8 = y + hi + ((43 y + lo) >> 8) with
// every step inside 16 bits for luma -16..239 and chroma -128..127. The high
// parts take the whole multiples of 256 out of the coefficients first
// (410 = 256 + 154, -209 = -256 + 47, 518 = 2 x 256 + 6); the low parts need
// only the low bits, which a 16-bit product keeps.
TARN_KERNEL int16_t High(int whole, int rest) {
    return static_cast<int16_t>(whole + (static_cast<int16_t>(rest) >> 8));
}

TARN_KERNEL int16_t Low(int k) {
    return static_cast<int16_t>(static_cast<uint16_t>(k) & 0xFF);
}

// The chroma terms of one row of doubled chroma, one per result column: they
// serve two result rows.
struct ChromaTerms {
    alignas(32) int16_t hi0[kEnlargeOutWidth];
    alignas(32) int16_t lo0[kEnlargeOutWidth];
    alignas(32) int16_t hi1[kEnlargeOutWidth];
    alignas(32) int16_t lo1[kEnlargeOutWidth];
    alignas(32) int16_t hi2[kEnlargeOutWidth];
    alignas(32) int16_t lo2[kEnlargeOutWidth];
};

TARN_KERNEL void MakeChromaTerms(const int16_t *__restrict cbRow, const int16_t *__restrict crRow,
                                 ChromaTerms &t) {
    for (int cx = 0; cx < kEnlargeOutWidth / 2; ++cx) {
        const int16_t b = cbRow[cx], c = crRow[cx];
        const int16_t h0 = High(c, 154 * c + 128), l0 = Low(410 * c + 128);
        const int16_t h1 = High(-c, -101 * b + 47 * c + 128);
        const int16_t l1 = Low(-101 * b - 209 * c + 128);
        const int16_t h2 = High(2 * b, 6 * b + 128), l2 = Low(518 * b + 128);
        t.hi0[2 * cx] = t.hi0[2 * cx + 1] = h0;
        t.lo0[2 * cx] = t.lo0[2 * cx + 1] = l0;
        t.hi1[2 * cx] = t.hi1[2 * cx + 1] = h1;
        t.lo1[2 * cx] = t.lo1[2 * cx + 1] = l1;
        t.hi2[2 * cx] = t.hi2[2 * cx + 1] = h2;
        t.lo2[2 * cx] = t.lo2[2 * cx + 1] = l2;
    }
}

// y43 is 43 y; the sums wrap nowhere for samples in their ranges, and saying
// so with 16-bit types keeps the work in 16-bit vector lanes.
TARN_KERNEL uint8_t Channel(int16_t y, int16_t y43, int16_t hi, int16_t lo) {
    const int16_t frac = static_cast<int16_t>(static_cast<int16_t>(y43 + lo) >> 8);
    const int16_t v = static_cast<int16_t>(y + hi + frac);
    return static_cast<uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v));
}

// One result row from its row of doubled luma.
template <class Pixels>
TARN_KERNEL void ResultRow(const int16_t *__restrict y, const ChromaTerms &t, uint8_t *result) {
    ChannelRows<kEnlargeOutWidth> px;
    for (int x = 0; x < kEnlargeOutWidth; ++x) {
        const int16_t y43 = static_cast<int16_t>(43 * y[x]);
        px.c0[x] = Channel(y[x], y43, t.hi0[x], t.lo0[x]);
        px.c1[x] = Channel(y[x], y43, t.hi1[x], t.lo1[x]);
        px.c2[x] = Channel(y[x], y43, t.hi2[x], t.lo2[x]);
    }
    Pixels::Join(px, result);
}

template <class Pixels>
TARN_KERNEL void YccToRgbBody(const int16_t *luma, const int16_t *cb, const int16_t *cr,
                              uint8_t *result) {
    constexpr int w = kEnlargeOutWidth;
    for (int cy = 0; cy < kEnlargeInHeight; ++cy) {
        ChromaTerms terms;
        MakeChromaTerms(cb + cy * (w / 2), cr + cy * (w / 2), terms);
        for (int row = 2 * cy; row < 2 * cy + 2; ++row)
            ResultRow<Pixels>(luma + row * w, terms, result + row * w * 3);
    }
}

// Doubling and conversion back in one sweep down the picture: the doubled
// rows are made as they are needed, in rings of three rows along their
// length, and never as whole planes. Doubled chroma row j serves result rows
// 2 j and 2 j + 1, as luma row j does.
template <class Pixels>
TARN_KERNEL void EnlargeYccBody(const int16_t *luma, const int16_t *cb, const int16_t *cr,
                                uint8_t *result) {
    constexpr int w = kEnlargeInWidth, h = kEnlargeInHeight;
    constexpr int cw = kChromaWidth, ch = kChromaHeight;
    alignas(32) int16_t lumaRing[3][2 * w];
    alignas(32) int16_t cbRing[3][2 * cw];
    alignas(32) int16_t crRing[3][2 * cw];
    alignas(32) int16_t cbRow[2 * cw];
    alignas(32) int16_t crRow[2 * cw];
    alignas(32) int16_t lumaEven[2 * w];
    alignas(32) int16_t lumaOdd[2 * w];
    DoubleRow(luma, w, lumaRing[0]);
    DoubleRow(cb, cw, cbRing[0]);
    DoubleRow(cr, cw, crRing[0]);
    for (int j = 0; j < h; ++j) {
        const int m = j / 2;
        if (j % 2 == 0 && m + 1 < ch) {
            DoubleRow(cb + (m + 1) * cw, cw, cbRing[(m + 1) % 3]);
            DoubleRow(cr + (m + 1) * cw, cw, crRing[(m + 1) % 3]);
        }
        // Above for the first row of the pair that chroma row m makes, below
        // for the second.
        const int other = j % 2 == 0 ? (m > 0 ? m - 1 : 0) : (m + 1 < ch ? m + 1 : m);
        BlendRow(cbRing[other % 3], cbRing[m % 3], 2 * cw, cbRow);
        BlendRow(crRing[other % 3], crRing[m % 3], 2 * cw, crRow);
        ChromaTerms terms;
        MakeChromaTerms(cbRow, crRow, terms);

        if (j + 1 < h) DoubleRow(luma + (j + 1) * w, w, lumaRing[(j + 1) % 3]);
        const int16_t *above = lumaRing[(j > 0 ? j - 1 : 0) % 3];
        const int16_t *cur = lumaRing[j % 3];
        const int16_t *below = lumaRing[(j + 1 < h ? j + 1 : j) % 3];
        BlendRows(above, cur, below, 2 * w, lumaEven, lumaOdd);
        uint8_t *even = result + (2 * j) * kEnlargeOutWidth * 3;
        ResultRow<Pixels>(lumaEven, terms, even);
        ResultRow<Pixels>(lumaOdd, terms, even + kEnlargeOutWidth * 3);
    }
}

void RgbToYccPlain(const uint8_t *source, int16_t *luma, int16_t *cb, int16_t *cr) {
    RgbToYccBody<WordPixels>(source, luma, cb, cr);
}
void Upsample2xPlain(const int16_t *plane, int w, int h, int16_t *doubled) {
    Upsample2xBody(plane, w, h, doubled);
}
void YccToRgbPlain(const int16_t *luma, const int16_t *cb, const int16_t *cr, uint8_t *result) {
    YccToRgbBody<WordPixels>(luma, cb, cr, result);
}
void EnlargeYccPlain(const int16_t *luma, const int16_t *cb, const int16_t *cr, uint8_t *result) {
    EnlargeYccBody<WordPixels>(luma, cb, cr, result);
}

#ifdef TARN_WIDE_PATH
TARN_AVX2_FN void RgbToYccWide(const uint8_t *source, int16_t *luma, int16_t *cb, int16_t *cr) {
    RgbToYccBody<ShufflePixels>(source, luma, cb, cr);
}
TARN_AVX2_FN void Upsample2xWide(const int16_t *plane, int w, int h, int16_t *doubled) {
    Upsample2xBody(plane, w, h, doubled);
}
TARN_AVX2_FN void YccToRgbWide(const int16_t *luma, const int16_t *cb, const int16_t *cr,
                               uint8_t *result) {
    YccToRgbBody<ShufflePixels>(luma, cb, cr, result);
}
TARN_AVX2_FN void EnlargeYccWide(const int16_t *luma, const int16_t *cb, const int16_t *cr,
                                 uint8_t *result) {
    EnlargeYccBody<ShufflePixels>(luma, cb, cr, result);
}

bool UseWidePath() {
    return ChosenKernelPath() >= KernelPath::kAvx2;
}
#endif

} // namespace

void RgbToYcc420(const uint8_t *source, int16_t *luma, int16_t *cb, int16_t *cr) {
#ifdef TARN_WIDE_PATH
    if (UseWidePath()) return RgbToYccWide(source, luma, cb, cr);
#endif
    RgbToYccPlain(source, luma, cb, cr);
}

void Upsample2x(const int16_t *plane, int w, int h, int16_t *doubled) {
#ifdef TARN_WIDE_PATH
    if (UseWidePath()) return Upsample2xWide(plane, w, h, doubled);
#endif
    Upsample2xPlain(plane, w, h, doubled);
}

void YccToRgb(const int16_t *luma, const int16_t *cb, const int16_t *cr, uint8_t *result) {
#ifdef TARN_WIDE_PATH
    if (UseWidePath()) return YccToRgbWide(luma, cb, cr, result);
#endif
    YccToRgbPlain(luma, cb, cr, result);
}

void EnlargeYcc(const int16_t *luma, const int16_t *cb, const int16_t *cr, uint8_t *result) {
#ifdef TARN_WIDE_PATH
    if (UseWidePath()) return EnlargeYccWide(luma, cb, cr, result);
#endif
    EnlargeYccPlain(luma, cb, cr, result);
}

const PlaneMemory kHeapPlaneMemory = {std::malloc, std::free};

bool EnlargeImage(const uint8_t *source, uint8_t *result, const PlaneMemory &memory) {
    // Luma, Cb and Cr in one block: one request to the heap per call. The
    // doubled planes are never whole; their rows live on the stack.
    static constexpr size_t kSamples[3] = {kEnlargeInWidth * kEnlargeInHeight,
                                           kChromaWidth * kChromaHeight,
                                           kChromaWidth * kChromaHeight};
    int16_t *block = static_cast<int16_t *>(
        memory.obtain((kSamples[0] + kSamples[1] + kSamples[2]) * sizeof(int16_t)));
    if (block == nullptr) return false;
    int16_t *luma = block, *cb = luma + kSamples[0], *cr = cb + kSamples[1];
    RgbToYcc420(source, luma, cb, cr);
    EnlargeYcc(luma, cb, cr, result);
    memory.release(block);
    return true;
}

} // namespace tarnlink

extern "C" SCI_API SciStatus SCICALL SciEnlargeImage(const uint8_t *source, uint8_t *result) {
    if (source == nullptr || result == nullptr) return SCI_IMAGE_NULL;
    return tarnlink::EnlargeImage(source, result, tarnlink::kHeapPlaneMemory) ? SCI_OK
                                                                              : SCI_IMAGE_NULL;
}
