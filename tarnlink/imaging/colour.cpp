#include "imaging/colour.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "imaging/byte_table.h"
#include "imaging/kernel_path.h"
#include "imaging/plane_memory.h"
#include "imaging/reformat.h"
#include "link/state.h"
#include "tarnlink.h"

#ifdef TARN_WIDE_PATH
#include <immintrin.h>
#endif

namespace tarnlink {

uint8_t g_blackOffsetSetting = 255;
int32_t g_defectCorrectionSetting = 1;

namespace {

// Rows: corrected red, green, blue; columns: sensor red, green, blue.
constexpr double kCompensation[3][3] = {
    {3.0, -1.0, -0.25},
    {-0.75, 3.0, -0.4},
    {-1.08, -1.5, 6.0},
};
// Rows: Y, Cb, Cr; columns: red, green, blue.
constexpr double kRgbToYcc[3][3] = {
    {0.2568, 0.5041, 0.09791},
    {-0.1482, -0.291, 0.4392},
    {0.4392, -0.3678, -0.0714},
};

constexpr int kGreenWidth = kFrameWidth - 2; // one green value per 2 x 2 cell
constexpr int kGreenHeight = kFrameHeight - 2;
constexpr uint32_t kFourCcPshu =
    'P' | ('S' << 8) | ('H' << 16) | (static_cast<uint32_t>('U') << 24);
constexpr int kBalanceDivisor = kPicturePixels / 8;

ColourState g_colour;
bool g_colourInitialised = false;
bool g_engineOpen = false;
uint8_t *g_greenPlane = nullptr;

// Sharpened sensor colours of every output pixel, top row first. They depend on
// the frame alone, so a series of passes over one frame computes them once.
struct SensorPlanes {
    uint8_t red[kPicturePixels];
    uint8_t green[kPicturePixels];
    uint8_t blue[kPicturePixels];
};
SensorPlanes g_sensor;

FrameFormat MakeFormat(int32_t width, int32_t height, uint16_t bits, uint32_t compression,
                       uint32_t imageBytes) {
    FrameFormat f{};
    f.size = sizeof(FrameFormat);
    f.width = width;
    f.height = height;
    f.planes = 1;
    f.bitCount = bits;
    f.compression = compression;
    f.sizeImage = imageBytes;
    f.xPelsPerMeter = 2000;
    f.yPelsPerMeter = 2000;
    return f;
}

void SetDefaults(ColourState &s) {
    s.gainRed = s.gainGreen = s.gainBlue = 1.0;
    s.balanceCb = s.balanceCr = 0;
    s.rawScale = 0.6;
    s.yAccThresh = 120;
    s.coringThreshold = 1;
    s.sharpenGain = 3;
    s.gammaExponent = 0.625;
    s.matrixValid = false;
    s.gammaTableValid = false;
}

bool FormatsMatch(const FrameFormat &in, const FrameFormat &out) {
    return in.compression == kFourCcPshu && out.compression == 0 && out.bitCount == 24 &&
           out.width == in.width - 4 && out.height == in.height - 4;
}

void BuildGammaTable(ColourState &s) {
    for (int i = 0; i < 256; ++i) {
        const int power = static_cast<int>(255.0 * std::pow(i / 255.0, s.gammaExponent));
        const int line = static_cast<int>(4.5 * i);
        s.gammaTable[i] = static_cast<uint8_t>(std::min({power, line, 255}));
    }
    s.gammaTableValid = true;
}

// rawScale x RGB_TO_YCC x diag(gains) x compensation.
void BuildColourMatrix(ColourState &s) {
    const double gain[3] = {s.gainRed, s.gainGreen, s.gainBlue};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) {
            double sum = 0.0;
            for (int k = 0; k < 3; ++k)
                sum += s.rawScale * gain[k] * kRgbToYcc[i][k] * kCompensation[k][j];
            s.colourMatrix[i][j] = sum;
        }
    s.matrixValid = true;
}

void PrepareTables(ColourState &s) {
    if (!s.gammaTableValid) BuildGammaTable(s);
    if (!s.matrixValid) BuildColourMatrix(s);
}

// The loops of a pass are written once and built for each path where it pays:
// plain, AVX2 and, for the conversion, AVX-512. The results are the same bytes
// on every path.

// Row halves (odd columns, then even columns) back into mosaic order.
void Deinterleave(uint8_t *frame) {
    uint8_t row[kFrameWidth];
    for (int y = 0; y < kFrameHeight; ++y) {
        uint8_t *f = frame + y * kFrameWidth;
        for (int k = 0; k < 82; ++k) {
            row[2 * k] = f[82 + k];
            row[2 * k + 1] = f[k];
        }
        std::memcpy(f, row, kFrameWidth);
    }
}

// The interpolation reads the reformatted frame before it is de-interleaved:
// in row y, odd(y)[k] is the mosaic sample at x = 2k + 1 and even(y)[m] the one
// at x = 2m. Every loop below then reads contiguous bytes and vectorises.
inline const uint8_t *OddHalf(const uint8_t *frame, int y) {
    return frame + y * kFrameWidth;
}
inline const uint8_t *EvenHalf(const uint8_t *frame, int y) {
    return frame + y * kFrameWidth + 82;
}

// The mean of the two green samples of every 2 x 2 cell (green sits where
// x + y is even), each row kept as its even columns and then its odd ones, as
// the frame's rows are: every loop over it then reads contiguous bytes.
constexpr int kGreenHalf = kGreenWidth / 2;
TARN_KERNEL void BuildGreenPlane(const uint8_t *__restrict frame, uint8_t *__restrict green) {
    for (int r = 0; r < kGreenHeight; ++r) {
        uint8_t *even = green + r * kGreenWidth, *odd = even + kGreenHalf;
        // The row's even half and the odd half of the row below, or the other
        // way round on odd rows; a cell's odd column takes the next even sample.
        const uint8_t *e = EvenHalf(frame, (r & 1) == 0 ? r : r + 1);
        const uint8_t *o = OddHalf(frame, (r & 1) == 0 ? r + 1 : r);
        for (int m = 0; m < kGreenHalf; ++m) {
            even[m] = static_cast<uint8_t>((e[m] + o[m]) >> 1);
            odd[m] = static_cast<uint8_t>((e[m + 1] + o[m]) >> 1);
        }
    }
}

// 9:3:3:1 blends of the four sites of one colour around each output point,
// for the even and the odd output columns; the offsets pick, within the half
// rows, the nearer and the farther sample column of each.
inline void BlendRow(const uint8_t *nearRow, const uint8_t *farRow, int evenNear, int evenFar,
                     int oddNear, int oddFar, int16_t *even, int16_t *odd) {
    for (int k = 0; k < kPictureWidth / 2; ++k) {
        even[k] = static_cast<int16_t>((3 * (3 * nearRow[k + evenNear] + nearRow[k + evenFar]) +
                                        (3 * farRow[k + evenNear] + farRow[k + evenFar])) >>
                                       4);
        odd[k] = static_cast<int16_t>((3 * (3 * nearRow[k + oddNear] + nearRow[k + oddFar]) +
                                       (3 * farRow[k + oddNear] + farRow[k + oddFar])) >>
                                      4);
    }
}

// Every sum of the interpolation lies within -4096..8191: written with 16-bit
// types, the compiler keeps its vector lanes 16 bits wide.
inline uint8_t ClampByte(int16_t v) {
    return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v);
}

// Green smoothing and its detail, cored and scaled, for one parity of a row's
// output columns, and the three colours sharpened by that detail. For output
// column 2k + p the green cell in the middle is column 2k + p + 1: the centre
// plane is the green plane's half of that parity, the side plane the other.
TARN_KERNEL void SharpenHalf(const uint8_t *__restrict c0, const uint8_t *__restrict c1,
                             const uint8_t *__restrict c2, const uint8_t *__restrict s0,
                             const uint8_t *__restrict s1, const uint8_t *__restrict s2,
                             const int16_t *__restrict redBlend,
                             const int16_t *__restrict blueBlend, int16_t coring, int16_t gain,
                             uint8_t *__restrict red, uint8_t *__restrict grn,
                             uint8_t *__restrict blue) {
    for (int k = 0; k < kPictureWidth / 2; ++k) {
        const int16_t centre = c1[k];
        const int16_t n4 = static_cast<int16_t>(s1[k] + s1[k + 1] + c0[k] + c2[k]);
        const int16_t d4 = static_cast<int16_t>(s0[k] + s0[k + 1] + s2[k] + s2[k + 1]);
        const int16_t smoothed =
            static_cast<int16_t>(static_cast<int16_t>(d4 + 2 * n4 + 4 * centre) >> 4);
        const int16_t detail = static_cast<int16_t>(
            static_cast<int16_t>(static_cast<int16_t>(8 * centre - d4) >> 2) - smoothed);
        // Coring: detail within the threshold is dropped, beyond it shrunk.
        const int16_t above = static_cast<int16_t>(detail - coring);
        const int16_t below = static_cast<int16_t>(detail + coring);
        const int16_t cored =
            static_cast<int16_t>((above > 0 ? above : 0) + (below < 0 ? below : 0));
        const int16_t edge = static_cast<int16_t>(static_cast<int16_t>(cored * gain) >> 1);
        red[k] = ClampByte(static_cast<int16_t>(redBlend[k] + edge));
        grn[k] = ClampByte(static_cast<int16_t>(smoothed + edge));
        blue[k] = ClampByte(static_cast<int16_t>(blueBlend[k] + edge));
    }
}

// Even and odd columns back into one row.
TARN_KERNEL void Interleave(const uint8_t *__restrict even, const uint8_t *__restrict odd,
                            uint8_t *__restrict row) {
    for (int k = 0; k < kPictureWidth / 2; ++k) {
        row[2 * k] = even[k];
        row[2 * k + 1] = odd[k];
    }
}

// The rows output row y is made from. Red sits on even rows at odd x, blue on
// odd rows at even x. For output column 2k the nearer red is x = 2k + 1 (odd
// half k), the farther 2k + 3; for 2k + 1 the other way round. Blue: nearer
// x = 2k + 2 (even half k + 1), farther 2k or 2k + 4. Green: the three green
// rows from row y, each as its even and its odd half.
struct SourceRows {
    const uint8_t *redNear, *redFar, *blueNear, *blueFar;
    const uint8_t *even[3], *odd[3];
};
inline SourceRows RowsFor(const uint8_t *frame, const uint8_t *green, int y) {
    const bool yOdd = (y & 1) != 0;
    SourceRows rows{OddHalf(frame, yOdd ? y + 1 : y + 2),
                    OddHalf(frame, yOdd ? y + 3 : y),
                    EvenHalf(frame, yOdd ? y + 2 : y + 1),
                    EvenHalf(frame, yOdd ? y : y + 3),
                    {},
                    {}};
    for (int i = 0; i < 3; ++i) {
        rows.even[i] = green + (y + i) * kGreenWidth;
        rows.odd[i] = rows.even[i] + kGreenHalf;
    }
    return rows;
}

// Red and blue by interpolation, green by smoothing, all three sharpened by the
// same green detail; the steps of a pass that use integers only. The coring
// threshold and the gain are the engine's fixed 1 and 3 halves.
TARN_KERNEL void Interpolate(const ColourState &s, const uint8_t *__restrict frame,
                             const uint8_t *__restrict green, SensorPlanes &out) {
    const int16_t coring = static_cast<int16_t>(s.coringThreshold);
    const int16_t gain = static_cast<int16_t>(s.sharpenGain);
    constexpr int kHalfWidth = kPictureWidth / 2;
    int16_t redEven[kHalfWidth], redOdd[kHalfWidth], blueEven[kHalfWidth], blueOdd[kHalfWidth];
    uint8_t colours[2][3][kHalfWidth]; // even, odd columns; red, green, blue
    for (int y = 0; y < kPictureHeight; ++y) {
        const SourceRows r = RowsFor(frame, green, y);
        BlendRow(r.redNear, r.redFar, 0, 1, 1, 0, redEven, redOdd);
        BlendRow(r.blueNear, r.blueFar, 1, 0, 1, 2, blueEven, blueOdd);
        SharpenHalf(r.odd[0], r.odd[1], r.odd[2], r.even[0], r.even[1], r.even[2], redEven,
                    blueEven, coring, gain, colours[0][0], colours[0][1], colours[0][2]);
        SharpenHalf(r.even[0] + 1, r.even[1] + 1, r.even[2] + 1, r.odd[0], r.odd[1], r.odd[2],
                    redOdd, blueOdd, coring, gain, colours[1][0], colours[1][1], colours[1][2]);
        const int row = y * kPictureWidth;
        Interleave(colours[0][0], colours[1][0], out.red + row);
        Interleave(colours[0][1], colours[1][1], out.green + row);
        Interleave(colours[0][2], colours[1][2], out.blue + row);
    }
}

inline int32_t ClampInt(int32_t v, int32_t lo, int32_t hi) {
    return v < lo ? lo : v > hi ? hi : v;
}

// Largest magnitude the matrix can give for any sensor colour: values this
// size convert to int32 exactly, and so do the back conversions from them.
constexpr double kSafeMagnitude = 5.0e8;

// No sensor colour can give Y, Cb or Cr of `limit` or more in magnitude (and
// no entry is NaN, which every comparison would let through).
bool MatrixBelow(const double (&m)[3][3], double limit) {
    for (const auto &row : m)
        if (!(255.0 * (std::fabs(row[0]) + std::fabs(row[1]) + std::fabs(row[2])) < limit))
            return false;
    return true;
}

// Y, Cb, Cr of one row; truncated toward zero. Values beyond what the matrix
// can give for real pictures are held at the safe magnitude instead of
// overflowing the conversion.
TARN_KERNEL void RowToYcc(const double (&m)[3][3], bool bounded, const uint8_t *__restrict red,
                          const uint8_t *__restrict grn, const uint8_t *__restrict blu,
                          int32_t *__restrict lum, int32_t *__restrict cb, int32_t *__restrict cr) {
    const double m00 = m[0][0], m01 = m[0][1], m02 = m[0][2], m10 = m[1][0], m11 = m[1][1],
                 m12 = m[1][2], m20 = m[2][0], m21 = m[2][1], m22 = m[2][2];
    if (bounded) {
        for (int x = 0; x < kPictureWidth; ++x) {
            const double r = red[x], g = grn[x], b = blu[x];
            lum[x] = static_cast<int32_t>(m00 * r + m01 * g + m02 * b);
            cb[x] = static_cast<int32_t>(m10 * r + m11 * g + m12 * b);
            cr[x] = static_cast<int32_t>(m20 * r + m21 * g + m22 * b);
        }
        return;
    }
    // An overflowing matrix (inf times a dark 0) can give NaN: held at 0.
    const auto hold = [](double v) {
        return static_cast<int32_t>(v < -kSafeMagnitude  ? -kSafeMagnitude
                                    : v > kSafeMagnitude ? kSafeMagnitude
                                    : v == v             ? v
                                                         : 0.0);
    };
    for (int x = 0; x < kPictureWidth; ++x) {
        const double r = red[x], g = grn[x], b = blu[x];
        lum[x] = hold(m00 * r + m01 * g + m02 * b);
        cb[x] = hold(m10 * r + m11 * g + m12 * b);
        cr[x] = hold(m20 * r + m21 * g + m22 * b);
    }
}

// Y, Cb, Cr back to blue, green, red, the same on every path.
constexpr double kLumaScale = 1.1644, kBlueFromCb = 2.017, kGreenFromCb = 0.3942,
                 kGreenFromCr = 0.813, kRedFromCr = 1.596;

// Back to blue, green, red, clamped to bytes (gamma table indices).
TARN_KERNEL void RowToRgb(const int32_t *__restrict lum, const int32_t *__restrict cb,
                          const int32_t *__restrict cr, int32_t *__restrict vb,
                          int32_t *__restrict vg, int32_t *__restrict vr) {
    for (int x = 0; x < kPictureWidth; ++x) {
        const double luma = kLumaScale * lum[x], dcb = cb[x], dcr = cr[x];
        vb[x] = ClampInt(static_cast<int32_t>(luma + kBlueFromCb * dcb), 0, 255);
        vg[x] =
            ClampInt(static_cast<int32_t>(luma - kGreenFromCb * dcb - kGreenFromCr * dcr), 0, 255);
        vr[x] = ClampInt(static_cast<int32_t>(luma + kRedFromCr * dcr), 0, 255);
    }
}

// Adds up the chroma of the pixels whose gamma-corrected luma passes the test.
TARN_KERNEL void SumBright(const int32_t *__restrict lum, const int32_t *__restrict cb,
                           const int32_t *__restrict cr, int32_t lumaMin, int64_t &sumCb,
                           int64_t &sumCr) {
    int64_t rowCb = 0, rowCr = 0;
    for (int x = 0; x < kPictureWidth; ++x) {
        const int64_t bright = ClampInt(lum[x], 0, 255) >= lumaMin ? -1 : 0;
        rowCb += cb[x] & bright;
        rowCr += cr[x] & bright;
    }
    sumCb += rowCb;
    sumCr += rowCr;
}

// One output row, blue, green, red, through the gamma table.
TARN_KERNEL void GammaRow(const uint8_t *gamma, const int32_t *vb, const int32_t *vg,
                          const int32_t *vr, uint8_t *out) {
    for (int x = 0; x < kPictureWidth; ++x) {
        out[3 * x] = gamma[vb[x]];
        out[3 * x + 1] = gamma[vg[x]];
        out[3 * x + 2] = gamma[vr[x]];
    }
}

// Colour matrix, gamma and the colour cast of the bright pixels, with the
// given matrix; the picture is written only when one is passed. Each row runs
// in stages over small arrays so that the compiler can vectorise the double
// arithmetic; the operations and their order per pixel are those of the
// formulas, so the bytes are the same as one pixel at a time.
template <typename WideRow>
TARN_KERNEL void ConvertBody(ColourState &s, const double (&matrix)[3][3], const SensorPlanes &in,
                             uint8_t *picture, WideRow wideRow) {
    const uint8_t *gamma = s.gammaTable;
    const bool bounded = MatrixBelow(matrix, kSafeMagnitude);
    const bool wide = wideRow.Covers(matrix);
    // The gamma table rises with its index, so the luma test is a threshold on
    // the clamped luma itself.
    int32_t lumaMin = 0;
    while (lumaMin < 256 && gamma[lumaMin] <= s.yAccThresh) ++lumaMin;

    int64_t sumCb = 0, sumCr = 0;
    int32_t lum[kPictureWidth], cb[kPictureWidth], cr[kPictureWidth];
    int32_t vb[kPictureWidth], vg[kPictureWidth], vr[kPictureWidth];
    for (int y = 0; y < kPictureHeight; ++y) {
        const int base = y * kPictureWidth;
        uint8_t *out = picture ? picture + (kPictureHeight - 1 - y) * kPictureWidth * 3 : nullptr;
        if (wide) {
            wideRow(matrix, lumaMin, in.red + base, in.green + base, in.blue + base, gamma, out,
                    sumCb, sumCr);
            continue;
        }
        RowToYcc(matrix, bounded, in.red + base, in.green + base, in.blue + base, lum, cb, cr);
        SumBright(lum, cb, cr, lumaMin, sumCb, sumCr);
        if (out == nullptr) continue;
        RowToRgb(lum, cb, cr, vb, vg, vr);
        GammaRow(gamma, vb, vg, vr, out);
    }
    const auto toInt32 = [](int64_t v) {
        return static_cast<int32_t>(std::clamp<int64_t>(v, INT32_MIN, INT32_MAX));
    };
    s.balanceCb = toInt32(sumCb / kBalanceDivisor);
    s.balanceCr = toInt32(sumCr / kBalanceDivisor);
}

TARN_KERNEL void InterpolateBody(const ColourState &s, const uint8_t *frame, uint8_t *green,
                                 SensorPlanes &out) {
    BuildGreenPlane(frame, green);
    Interpolate(s, frame, green, out);
}

// No hand-vectorised rows: everything goes through the compiler's loops.
struct NoWideRow {
    bool Covers(const double (&)[3][3]) const { return false; }
    void operator()(const double (&)[3][3], int32_t, const uint8_t *, const uint8_t *,
                    const uint8_t *, const uint8_t *, uint8_t *, int64_t &, int64_t &) const {}
};

void ConvertPlain(ColourState &s, const double (&matrix)[3][3], const SensorPlanes &in,
                  uint8_t *picture) {
    ConvertBody(s, matrix, in, picture, NoWideRow{});
}
void InterpolatePlain(const ColourState &s, const uint8_t *frame, uint8_t *green,
                      SensorPlanes &out) {
    InterpolateBody(s, frame, green, out);
}

#ifdef TARN_WIDE_PATH
// A register of byte indices.
struct InterleaveOrder {
    uint8_t byte[64];
};

// Saturating packs leave, in each 16-byte lane, eight even columns' bytes and
// then the eight odd ones'; this puts them in turn.
constexpr InterleaveOrder MakePairOrder() {
    InterleaveOrder order{};
    for (int j = 0; j < 64; ++j) order.byte[j] = static_cast<uint8_t>(j % 2 * 8 + j % 16 / 2);
    return order;
}
constexpr InterleaveOrder kPairOrder = MakePairOrder();

// Interpolate on the wide paths, N output columns of each parity at a time in
// 16-bit lanes (W: the compiler's vector of N of them), with the sums the two
// parities share made once; the arithmetic is BlendRow's and SharpenHalf's,
// step for step. Widen gives N bytes as W; StorePairs limits the even and the
// odd columns' values to 0..255 (as ClampByte does) and stores them in turn.
// Written once, as a macro, for AVX2 and AVX-512: the intrinsics of each must
// be inlined into a function built for it.
#define TARN_SHARPEN_LANES(W, centre, n4, d4, redBlend, blueBlend, colours)                        \
    {                                                                                              \
        const W smoothed = (d4 + 2 * n4 + 4 * centre) >> 4;                                        \
        const W detail = ((8 * centre - d4) >> 2) - smoothed;                                      \
        const W above = detail - coring, below = detail + coring;                                  \
        const W cored = (above > 0 ? above : 0) + (below < 0 ? below : 0);                         \
        const W edge = (cored * gain) >> 1;                                                        \
        colours[0] = redBlend + edge;                                                              \
        colours[1] = smoothed + edge;                                                              \
        colours[2] = blueBlend + edge;                                                             \
    }
#define TARN_INTERPOLATE_WIDE(W, N, Widen, StorePairs)                                             \
    BuildGreenPlane(frame, green);                                                                 \
    const int16_t coring = static_cast<int16_t>(s.coringThreshold);                                \
    const int16_t gain = static_cast<int16_t>(s.sharpenGain);                                      \
    constexpr int kHalfWidth = kPictureWidth / 2;                                                  \
    for (int y = 0; y < kPictureHeight; ++y) {                                                     \
        const SourceRows r = RowsFor(frame, green, y);                                             \
        uint8_t *rows[3] = {out.red + y * kPictureWidth, out.green + y * kPictureWidth,            \
                            out.blue + y * kPictureWidth};                                         \
        /* Whole registers, the last one overlapping the one before. */                            \
        for (int k = 0;; k += N) {                                                                 \
            if (k > kHalfWidth - N) k = kHalfWidth - N;                                            \
            /* Red: even columns weigh sample k most, odd ones k + 1; blue: both                   \
               weigh k + 1 most, the even ones with k, the odd ones with k + 2. */                 \
            const W rn0 = Widen(r.redNear + k), rn1 = Widen(r.redNear + k + 1);                    \
            const W rf0 = Widen(r.redFar + k), rf1 = Widen(r.redFar + k + 1);                      \
            const W bn0 = Widen(r.blueNear + k), bn1 = Widen(r.blueNear + k + 1),                  \
                    bn2 = Widen(r.blueNear + k + 2);                                               \
            const W bf0 = Widen(r.blueFar + k), bf1 = Widen(r.blueFar + k + 1),                    \
                    bf2 = Widen(r.blueFar + k + 2);                                                \
            const W redEven = (3 * (3 * rn0 + rn1) + (3 * rf0 + rf1)) >> 4;                        \
            const W redOdd = (3 * (3 * rn1 + rn0) + (3 * rf1 + rf0)) >> 4;                         \
            const W blueEven = (3 * (3 * bn1 + bn0) + (3 * bf1 + bf0)) >> 4;                       \
            const W blueOdd = (3 * (3 * bn1 + bn2) + (3 * bf1 + bf2)) >> 4;                        \
            /* Green above plus below, per half and offset; the middle row's pairs. */             \
            const W ve = Widen(r.even[0] + k) + Widen(r.even[2] + k);                              \
            const W ven = Widen(r.even[0] + k + 1) + Widen(r.even[2] + k + 1);                     \
            const W vo = Widen(r.odd[0] + k) + Widen(r.odd[2] + k);                                \
            const W von = Widen(r.odd[0] + k + 1) + Widen(r.odd[2] + k + 1);                       \
            const W e1 = Widen(r.even[1] + k), e1n = Widen(r.even[1] + k + 1);                     \
            const W o1 = Widen(r.odd[1] + k), o1n = Widen(r.odd[1] + k + 1);                       \
            W even[3], odd[3];                                                                     \
            TARN_SHARPEN_LANES(W, o1, (e1 + e1n + vo), (ve + ven), redEven, blueEven, even)        \
            TARN_SHARPEN_LANES(W, e1n, (o1 + o1n + ven), (vo + von), redOdd, blueOdd, odd)         \
            for (int c = 0; c < 3; ++c) StorePairs(even[c], odd[c], rows[c] + 2 * k);              \
            if (k == kHalfWidth - N) break;                                                        \
        }                                                                                          \
    }

typedef int16_t Words16 __attribute__((vector_size(32)));
typedef int16_t Words32 __attribute__((vector_size(64)));

// The luma test clamp(lum, 0, 255) >= lumaMin as lum >= bar, for whole lum.
double LumaBar(int32_t lumaMin) {
    return lumaMin <= 0 ? -HUGE_VAL : lumaMin > 255 ? HUGE_VAL : lumaMin;
}

// Four bytes as four doubles.
TARN_AVX2_INLINE __m256d Load4(const uint8_t *p) {
    int32_t four;
    std::memcpy(&four, p, 4);
    return _mm256_cvtepi32_pd(_mm_cvtepu8_epi32(_mm_cvtsi32_si128(four)));
}

// a r + b g + c bl, added left to right.
TARN_AVX2_INLINE __m256d Row3(__m256d a, __m256d b, __m256d c, __m256d r, __m256d g, __m256d bl) {
    return _mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(a, r), _mm256_mul_pd(b, g)),
                         _mm256_mul_pd(c, bl));
}

TARN_AVX2_INLINE __m256d Truncate(__m256d v) {
    return _mm256_round_pd(v, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC);
}

// Blue, green and red of four pixels (int32 each) limited to 0..255 and
// interleaved: bytes b0 g0 r0 b1 ... r3 in the low 12 of the 16.
TARN_AVX2_INLINE __m128i Interleave4(__m128i vb, __m128i vg, __m128i vr) {
    const __m128i top = _mm_set1_epi16(255);
    const __m128i bg = _mm_min_epu16(_mm_packus_epi32(vb, vg), top);
    const __m128i rr = _mm_min_epu16(_mm_packus_epi32(vr, vr), top);
    const __m128i planar = _mm_packus_epi16(bg, rr); // b0-b3 g0-g3 r0-r3 r0-r3
    return _mm_shuffle_epi8(planar,
                            _mm_setr_epi8(0, 4, 8, 1, 5, 9, 2, 6, 10, 3, 7, 11, -1, -1, -1, -1));
}

// One row four pixels at a time in AVX2 registers: the same operations in the
// same order as the formulas, so the same bytes. Taken when no Y, Cb or Cr of
// the matrix can reach 1e7: the colours back then convert to int32 exactly,
// and a picture's cast sums stay whole numbers below 2^53.
struct Avx2Row {
    static constexpr double kLimit = 1.0e7;
    bool Covers(const double (&m)[3][3]) const { return MatrixBelow(m, kLimit); }
    TARN_AVX2_FN void operator()(const double (&m)[3][3], int32_t lumaMin, const uint8_t *red,
                                 const uint8_t *grn, const uint8_t *blu, const uint8_t *gamma,
                                 uint8_t *out, int64_t &sumCb, int64_t &sumCr) const {
        // The row's gamma indices in output order; 4 bytes over for the last
        // group's 16-byte store.
        alignas(32) uint8_t index[3 * kPictureWidth + 4];
        const __m256d m00 = _mm256_set1_pd(m[0][0]), m01 = _mm256_set1_pd(m[0][1]),
                      m02 = _mm256_set1_pd(m[0][2]), m10 = _mm256_set1_pd(m[1][0]),
                      m11 = _mm256_set1_pd(m[1][1]), m12 = _mm256_set1_pd(m[1][2]),
                      m20 = _mm256_set1_pd(m[2][0]), m21 = _mm256_set1_pd(m[2][1]),
                      m22 = _mm256_set1_pd(m[2][2]);
        const __m256d kY = _mm256_set1_pd(kLumaScale), kBlueCb = _mm256_set1_pd(kBlueFromCb),
                      kGreenCb = _mm256_set1_pd(kGreenFromCb),
                      kGreenCr = _mm256_set1_pd(kGreenFromCr), kRedCr = _mm256_set1_pd(kRedFromCr);
        // As in the AVX-512 row: truncated values stay whole doubles.
        const __m256d bar = _mm256_set1_pd(LumaBar(lumaMin));
        __m256d accCb = _mm256_setzero_pd(), accCr = _mm256_setzero_pd();
        for (int x = 0; x < kPictureWidth; x += 4) {
            const __m256d r = Load4(red + x), g = Load4(grn + x), b = Load4(blu + x);
            const __m256d lum = Truncate(Row3(m00, m01, m02, r, g, b));
            const __m256d cb = Truncate(Row3(m10, m11, m12, r, g, b));
            const __m256d cr = Truncate(Row3(m20, m21, m22, r, g, b));
            const __m256d bright = _mm256_cmp_pd(lum, bar, _CMP_GE_OQ);
            accCb = _mm256_add_pd(accCb, _mm256_and_pd(cb, bright));
            accCr = _mm256_add_pd(accCr, _mm256_and_pd(cr, bright));
            if (out == nullptr) continue;
            const __m256d luma = _mm256_mul_pd(kY, lum);
            const __m128i vb = _mm256_cvttpd_epi32(_mm256_add_pd(luma, _mm256_mul_pd(kBlueCb, cb)));
            const __m128i vg = _mm256_cvttpd_epi32(_mm256_sub_pd(
                _mm256_sub_pd(luma, _mm256_mul_pd(kGreenCb, cb)), _mm256_mul_pd(kGreenCr, cr)));
            const __m128i vr = _mm256_cvttpd_epi32(_mm256_add_pd(luma, _mm256_mul_pd(kRedCr, cr)));
            _mm_storeu_si128(reinterpret_cast<__m128i *>(index + 3 * x), Interleave4(vb, vg, vr));
        }
        alignas(32) double lanes[8];
        _mm256_store_pd(lanes, accCb);
        _mm256_store_pd(lanes + 4, accCr);
        sumCb += static_cast<int64_t>((lanes[0] + lanes[1]) + (lanes[2] + lanes[3]));
        sumCr += static_cast<int64_t>((lanes[4] + lanes[5]) + (lanes[6] + lanes[7]));
        if (out == nullptr) return;
        const ByteTable256 table = LoadByteTable256(gamma);
        for (int i = 0; i < 3 * kPictureWidth; i += 32) {
            const __m256i v = _mm256_load_si256(reinterpret_cast<const __m256i *>(index + i));
            _mm256_storeu_si256(reinterpret_cast<__m256i *>(out + i), Lookup(table, v));
        }
    }
};
static_assert(3 * kPictureWidth % 32 == 0, "a row's bytes fill whole registers");

TARN_AVX2_FN void ConvertAvx2(ColourState &s, const double (&matrix)[3][3], const SensorPlanes &in,
                              uint8_t *picture) {
    ConvertBody(s, matrix, in, picture, Avx2Row{});
}

// The wide interpolation's loads and stores for AVX2.
TARN_AVX2_INLINE Words16 Widen16(const uint8_t *p) {
    return reinterpret_cast<Words16>(
        _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p))));
}
TARN_AVX2_INLINE void StorePairs16(Words16 even, Words16 odd, uint8_t *row) {
    const __m256i packed =
        _mm256_packus_epi16(reinterpret_cast<__m256i>(even), reinterpret_cast<__m256i>(odd));
    const __m256i order = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(kPairOrder.byte));
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(row), _mm256_shuffle_epi8(packed, order));
}
TARN_AVX2_FN void InterpolateAvx2(const ColourState &s, const uint8_t *frame, uint8_t *green,
                                  SensorPlanes &out) {
    TARN_INTERPOLATE_WIDE(Words16, 16, Widen16, StorePairs16)
}

// GCC 12's AVX-512 conversions start from a deliberately undefined register,
// which its flow analysis reports as uninitialised.
#pragma GCC diagnostic push
#if !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

// Eight bytes as eight doubles.
TARN_AVX512_INLINE __m512d Load8(const uint8_t *p) {
    return _mm512_cvtepi32_pd(
        _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i *>(p))));
}

TARN_AVX512_INLINE __m512d Row3(__m512d a, __m512d b, __m512d c, __m512d r, __m512d g, __m512d bl) {
    return _mm512_add_pd(_mm512_add_pd(_mm512_mul_pd(a, r), _mm512_mul_pd(b, g)),
                         _mm512_mul_pd(c, bl));
}

TARN_AVX512_INLINE __m512d Truncate(__m512d v) {
    return _mm512_roundscale_pd(v, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC);
}

// Sixteen values truncated and limited to 0..255, as bytes.
TARN_AVX512_INLINE __m128i Bytes16(__m512d first, __m512d second) {
    const __m512i both = _mm512_inserti64x4(_mm512_castsi256_si512(_mm512_cvttpd_epi32(first)),
                                            _mm512_cvttpd_epi32(second), 1);
    return _mm512_cvtusepi32_epi8(_mm512_max_epi32(both, _mm512_setzero_si512()));
}

// Byte j of a 16-pixel group (pixel j / 3, colour j % 3) comes from plane
// j % 3 (blue, green, red at 0, 16, 32), entry j / 3.
constexpr InterleaveOrder MakeInterleave16() {
    InterleaveOrder order{};
    for (int j = 0; j < 48; ++j) order.byte[j] = static_cast<uint8_t>(16 * (j % 3) + j / 3);
    return order;
}
constexpr InterleaveOrder kInterleave16 = MakeInterleave16();

// One row eight pixels at a time in AVX-512 registers, the same operations in
// the same order as the formulas; sixteen pixels' bytes are then interleaved
// into blue, green, red and looked up in the gamma table in one register.
struct Avx512Row {
    bool Covers(const double (&m)[3][3]) const { return MatrixBelow(m, Avx2Row::kLimit); }
    TARN_AVX512_FN void operator()(const double (&m)[3][3], int32_t lumaMin, const uint8_t *red,
                                   const uint8_t *grn, const uint8_t *blu, const uint8_t *gamma,
                                   uint8_t *out, int64_t &sumCb, int64_t &sumCr) const {
        // The passes that only measure the cast get a loop of their own.
        if (out == nullptr)
            Pixels<false>(m, lumaMin, red, grn, blu, gamma, out, sumCb, sumCr);
        else
            Pixels<true>(m, lumaMin, red, grn, blu, gamma, out, sumCb, sumCr);
    }

    template <bool kPicture>
    TARN_AVX512_INLINE static void
    Pixels(const double (&m)[3][3], int32_t lumaMin, const uint8_t *red, const uint8_t *grn,
           const uint8_t *blu, const uint8_t *gamma, uint8_t *out, int64_t &sumCb, int64_t &sumCr) {
        const __m512d m00 = _mm512_set1_pd(m[0][0]), m01 = _mm512_set1_pd(m[0][1]),
                      m02 = _mm512_set1_pd(m[0][2]), m10 = _mm512_set1_pd(m[1][0]),
                      m11 = _mm512_set1_pd(m[1][1]), m12 = _mm512_set1_pd(m[1][2]),
                      m20 = _mm512_set1_pd(m[2][0]), m21 = _mm512_set1_pd(m[2][1]),
                      m22 = _mm512_set1_pd(m[2][2]);
        const __m512d kY = _mm512_set1_pd(kLumaScale), kBlueCb = _mm512_set1_pd(kBlueFromCb),
                      kGreenCb = _mm512_set1_pd(kGreenFromCb),
                      kGreenCr = _mm512_set1_pd(kGreenFromCr), kRedCr = _mm512_set1_pd(kRedFromCr);
        // Truncated values stay doubles (whole numbers, exactly as the integers
        // would be): the luma test, the cast sums and the back conversion use
        // them as they are.
        const __m512d bar = _mm512_set1_pd(LumaBar(lumaMin));
        const __m512i interleave = _mm512_loadu_si512(kInterleave16.byte);
        const ByteTable512 lut = LoadByteTable512(gamma);
        // Whole numbers below 2^53 add exactly, in any order.
        __m512d accCb = _mm512_setzero_pd(), accCr = _mm512_setzero_pd();
        for (int x = 0; x < kPictureWidth; x += 16) {
            __m512d vb[2], vg[2], vr[2];
            for (int h = 0; h < 2; ++h) {
                const int at = x + 8 * h;
                const __m512d r = Load8(red + at), g = Load8(grn + at), b = Load8(blu + at);
                const __m512d lum = Truncate(Row3(m00, m01, m02, r, g, b));
                const __m512d cb = Truncate(Row3(m10, m11, m12, r, g, b));
                const __m512d cr = Truncate(Row3(m20, m21, m22, r, g, b));
                const __mmask8 bright = _mm512_cmp_pd_mask(lum, bar, _CMP_GE_OQ);
                accCb = _mm512_mask_add_pd(accCb, bright, accCb, cb);
                accCr = _mm512_mask_add_pd(accCr, bright, accCr, cr);
                if (!kPicture) continue;
                const __m512d luma = _mm512_mul_pd(kY, lum);
                vb[h] = _mm512_add_pd(luma, _mm512_mul_pd(kBlueCb, cb));
                vg[h] = _mm512_sub_pd(_mm512_sub_pd(luma, _mm512_mul_pd(kGreenCb, cb)),
                                      _mm512_mul_pd(kGreenCr, cr));
                vr[h] = _mm512_add_pd(luma, _mm512_mul_pd(kRedCr, cr));
            }
            if (!kPicture) continue;
            __m512i planes = _mm512_castsi128_si512(Bytes16(vb[0], vb[1]));
            planes = _mm512_inserti32x4(planes, Bytes16(vg[0], vg[1]), 1);
            planes = _mm512_inserti32x4(planes, Bytes16(vr[0], vr[1]), 2);
            const __m512i pixels = Lookup(lut, _mm512_permutexvar_epi8(interleave, planes));
            _mm512_mask_storeu_epi8(out + 3 * x, 0xFFFFFFFFFFFFull, pixels);
        }
        sumCb += static_cast<int64_t>(_mm512_reduce_add_pd(accCb));
        sumCr += static_cast<int64_t>(_mm512_reduce_add_pd(accCr));
    }
};

// The wide interpolation's loads and stores for AVX-512.
TARN_AVX512_INLINE Words32 Widen32(const uint8_t *p) {
    return reinterpret_cast<Words32>(
        _mm512_cvtepu8_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(p))));
}
TARN_AVX512_INLINE void StorePairs32(Words32 even, Words32 odd, uint8_t *row) {
    const __m512i packed =
        _mm512_packus_epi16(reinterpret_cast<__m512i>(even), reinterpret_cast<__m512i>(odd));
    _mm512_storeu_si512(row, _mm512_shuffle_epi8(packed, _mm512_loadu_si512(kPairOrder.byte)));
}
TARN_AVX512_FN void InterpolateAvx512(const ColourState &s, const uint8_t *frame, uint8_t *green,
                                      SensorPlanes &out){
    TARN_INTERPOLATE_WIDE(Words32, 32, Widen32, StorePairs32)}

TARN_AVX512_FN void ConvertAvx512(ColourState &s, const double (&matrix)[3][3],
                                  const SensorPlanes &in, uint8_t *picture) {
    ConvertBody(s, matrix, in, picture, Avx512Row{});
}
#pragma GCC diagnostic pop
#endif

void Convert(ColourState &s, const double (&matrix)[3][3], const SensorPlanes &in,
             uint8_t *picture) {
#ifdef TARN_WIDE_PATH
    switch (ChosenKernelPath()) {
    case KernelPath::kAvx512:
        return ConvertAvx512(s, matrix, in, picture);
    case KernelPath::kAvx2:
        return ConvertAvx2(s, matrix, in, picture);
    case KernelPath::kPlain:
        break;
    }
#endif
    ConvertPlain(s, matrix, in, picture);
}

// Reformatted frame to sensor planes: the part of a pass that the gains do not
// affect. The frame is left de-interleaved, as a pass leaves it.
void PrepareSensorPlanes(uint8_t *frame) {
    switch (ChosenKernelPath()) {
#ifdef TARN_WIDE_PATH
    // The interpolation's rows are 80 and 160 samples: 64-byte registers
    // leave too much over, and the AVX2 build is the faster.
    case KernelPath::kAvx512:
        InterpolateAvx512(g_colour, frame, g_greenPlane, g_sensor);
        break;
    case KernelPath::kAvx2:
        InterpolateAvx2(g_colour, frame, g_greenPlane, g_sensor);
        break;
#endif
    default:
        InterpolatePlain(g_colour, frame, g_greenPlane, g_sensor);
        break;
    }
    Deinterleave(frame);
}

// Steps the gains against the measured cast; 1 when there was none to speak of.
int BalanceStep(ColourState &s) {
    s.matrixValid = false;
    const int32_t cb = s.balanceCb, cr = s.balanceCr;
    if (cb >= -10 && cb <= 10 && cr >= -10 && cr <= 10) return 1;

    const auto limit = [](double d) { return std::clamp(d, -0.05, 0.05); };
    const bool sameSign = (cb > 0 && cr > 0) || (cb < 0 && cr < 0);
    s.gainRed += limit(-0.001 * cr);
    s.gainGreen += limit(sameSign ? 0.0005 * (static_cast<double>(cb) + cr) : 0.0);
    s.gainBlue += limit(-0.001 * cb);
    const double smallest = std::min({s.gainRed, s.gainGreen, s.gainBlue});
    s.gainRed = std::clamp(s.gainRed / smallest, 1.0, 5.0);
    s.gainGreen = std::clamp(s.gainGreen / smallest, 1.0, 5.0);
    s.gainBlue = std::clamp(s.gainBlue / smallest, 1.0, 5.0);
    return 0;
}

} // namespace

bool OpenColourEngine() {
    if (g_engineOpen) return true;
    const FrameFormat input =
        MakeFormat(kFrameWidth, kFrameHeight, 8, kFourCcPshu, kFrameWidth * kFrameHeight);
    const FrameFormat output = MakeFormat(kPictureWidth, kPictureHeight, 24, 0, kPictureBytes);
    if (!g_colourInitialised) {
        SetDefaults(g_colour);
        g_colourInitialised = true;
    }
    if (!FormatsMatch(input, output)) return false;
    g_greenPlane = AllocEnginePlane(static_cast<size_t>(input.width - 2) * (input.height - 2));
    if (g_greenPlane == nullptr) return false;
    g_colour.inputFormat = input;
    g_colour.outputFormat = output;
    g_colour.matrixValid = false;
    g_colour.gammaTableValid = false;
    PrepareTables(g_colour);
    g_engineOpen = true;
    return true;
}

void CloseColourEngine() {
    if (!g_engineOpen) return;
    FreeEnginePlane(g_greenPlane);
    g_greenPlane = nullptr;
    g_colourInitialised = false;
    g_engineOpen = false;
}

bool ColourEngineIsOpen() {
    return g_engineOpen;
}

const ColourState *CurrentColourState() {
    return g_colourInitialised ? &g_colour : nullptr;
}

int ColourPass(uint8_t *frame, uint8_t *picture) {
    PrepareTables(g_colour);
    PrepareSensorPlanes(frame);
    Convert(g_colour, g_colour.colourMatrix, g_sensor, picture);
    return BalanceStep(g_colour);
}

bool ColourizeLoop(const uint8_t *raw, uint8_t *picture, int32_t blackLevel) {
    // Every pass would reformat the same raw rows into the same frame and
    // interpolate it the same way; only the gains change from pass to pass.
    // And only the last pass's picture is kept, so the passes before it just
    // measure the cast; the last one's matrix then makes the picture.
    if (!ReformatFrame(raw, g_lib.workBuffer, blackLevel, g_defectCorrectionSetting)) return false;
    PrepareSensorPlanes(g_lib.workBuffer);
    for (int pass = 1;; ++pass) {
        PrepareTables(g_colour);
        double matrix[3][3];
        std::memcpy(matrix, g_colour.colourMatrix, sizeof matrix);
        Convert(g_colour, matrix, g_sensor, nullptr);
        if (BalanceStep(g_colour) == 1 || pass == kMaxColourPasses) {
            // Measures the same cast again, with the same result.
            Convert(g_colour, matrix, g_sensor, picture);
            return true;
        }
    }
}

} // namespace tarnlink

using namespace tarnlink;

extern "C" SCI_API SciStatus SCICALL SciOpenColour(void) {
    if (g_lib.sessionOpen) return SCI_OK; // the session's engine is in use
    return OpenColourEngine() ? SCI_OK : SCI_FAILED;
}

extern "C" SCI_API SciStatus SCICALL SciCloseColour(void) {
    if (g_lib.sessionOpen) return SCI_FAILED;
    CloseColourEngine();
    return SCI_OK;
}

extern "C" SCI_API SciStatus SCICALL SciColourizeImage(const uint8_t *frame, uint8_t *picture) {
    if (frame == nullptr || picture == nullptr) return SCI_NULL_POINTER;
    if (!ColourEngineIsOpen() || g_lib.workBuffer == nullptr) return SCI_IMAGE_COLOUR_FAIL;
    const int32_t level = g_blackOffsetSetting == 255 ? g_lib.lineBlackLevel : g_blackOffsetSetting;
    return ColourizeLoop(frame, picture, level) ? SCI_OK : SCI_IMAGE_COLOUR_FAIL;
}

extern "C" SCI_API SciStatus SCICALL SciImageReformat(uint8_t *frame, uint8_t *picture) {
    if (frame == nullptr || picture == nullptr) return SCI_IMAGE_NULL;
    if (!ColourEngineIsOpen()) return SCI_IMAGE_COLOUR_FAIL;
    return ColourPass(frame, picture) == 1 ? SCI_OK : SCI_FAILED;
}

extern "C" SCI_API SciStatus SCICALL SciSetBlackOffset(int32_t level) {
    g_blackOffsetSetting = static_cast<uint8_t>(level & 0xFF);
    return SCI_OK;
}

extern "C" SCI_API SciStatus SCICALL SciSetDefectCorrection(int32_t flag) {
    g_defectCorrectionSetting = flag;
    return SCI_OK;
}

extern "C" SCI_API SciStatus SCICALL SciSetCompMatRawScale(double scale) {
    // A NaN or infinite scale has no picture to give.
    if (!std::isfinite(scale)) return SCI_BAD_PARAMETER;
    if (g_colourInitialised) g_colour.rawScale = scale;
    return SCI_OK;
}

extern "C" SCI_API SciStatus SCICALL SciSetYAccThresh(int32_t threshold) {
    if (g_colourInitialised) g_colour.yAccThresh = threshold;
    return SCI_OK;
}
