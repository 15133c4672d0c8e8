#include "imaging/reformat.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "imaging/byte_table.h"
#include "imaging/kernel_path.h"
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

// Raw rows to frame rows through the level table: odd columns 3..163 to bytes
// 1..81, even columns 0..160 to 82..162, the edge bytes copied. The table is
// applied four bytes to a word, which saves stores.
void LevelRows(const uint8_t *raw, uint8_t *frame, const uint8_t level[256]) {
    for (int y = 0; y < kFrameHeight; ++y) {
        const uint8_t *in = raw + y * kFrameWidth;
        uint8_t *out = frame + y * kFrameWidth;
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
}

// By value: std::max's reference to the larger operand reads as a load from
// one of two places, which the compiler will not vectorise.
inline uint8_t Max(uint8_t a, uint8_t b) {
    return a > b ? a : b;
}
inline uint8_t Min(uint8_t a, uint8_t b) {
    return a < b ? a : b;
}

// Rank filter on the four colour planes, each in place and in reading order.
// Replacing the largest of a 3 x 3 neighbourhood by the second largest (and the
// smallest by the second smallest) is the same as limiting the sample to the
// range [lo, hi] of its eight neighbours. Only the left neighbour L has been
// corrected already when a sample s's turn comes; with lo and hi gathered from
// the others, the result clamp(s, min(lo, L), max(hi, L)) is L limited to
// [low, high] = [min(s, hi), max(s, lo)].
//
// That looks like a chain along the row, but it is only two links long. Take
// two neighbouring samples a and b: b is among a's others, and the samples
// above and below a and b are among the others of both. If a is the largest of
// its others, every L it gives is at least a's hi, so at least b and at least
// each of b's others but those in the column beyond b; b's clamp then gives b,
// or b's lo if b is the smallest of its others, whatever that L was. The other
// cases go the same way, and a sample inside its range gives itself for any L.
// So the clamp of a sample gives one value over the whole range of the clamp
// before it, and that range's lower end will do for L: a corrected sample is
// clamp(low[i - 1], low[i], high[i]), and a row is as parallel as its ranges.
struct RowRanges {
    uint8_t low[kHalf], high[kHalf];
    uint8_t first; // the first sample's left neighbour: its right one
};

TARN_KERNEL void GatherRanges(const uint8_t *row, int r, RowRanges &out) {
    // Missing rows are mirrored: the row below stands in above the first row,
    // the (already corrected) row above below the last.
    const uint8_t *up = r > 0 ? row - kPlaneStride : row + kPlaneStride;
    const uint8_t *down = r < kPlaneRows - 1 ? row + kPlaneStride : row - kPlaneStride;
    uint8_t vhi[kHalf + 2], vlo[kHalf + 2];
    for (int i = 0; i < kHalf; ++i) {
        vhi[i + 1] = Max(up[i], down[i]);
        vlo[i + 1] = Min(up[i], down[i]);
    }
    // Missing columns are mirrored too.
    vhi[0] = vhi[2];
    vlo[0] = vlo[2];
    vhi[kHalf + 1] = vhi[kHalf - 1];
    vlo[kHalf + 1] = vlo[kHalf - 1];
    // The right neighbour is not corrected yet; in the last column it is the
    // left one, which the clamp takes care of, so nothing stands in for it.
    uint8_t rightHi[kHalf], rightLo[kHalf];
    for (int i = 0; i < kHalf - 1; ++i) rightHi[i] = rightLo[i] = row[i + 1];
    rightHi[kHalf - 1] = 0;
    rightLo[kHalf - 1] = 255;
    for (int i = 0; i < kHalf; ++i) {
        const uint8_t hi = Max(Max(vhi[i], vhi[i + 1]), Max(vhi[i + 2], rightHi[i]));
        const uint8_t lo = Min(Min(vlo[i], vlo[i + 1]), Min(vlo[i + 2], rightLo[i]));
        out.low[i] = Min(row[i], hi);
        out.high[i] = Max(row[i], lo);
    }
    out.first = row[1];
}

TARN_KERNEL void CorrectDefectsBody(uint8_t *frame) {
    RowRanges ranges;
    for (int r = 0; r < kPlaneRows; ++r)
        for (int p = 0; p < 4; ++p) {
            uint8_t *row = frame + kPlaneStarts[p] + r * kPlaneStride;
            GatherRanges(row, r, ranges);
            uint8_t corrected[kHalf];
            corrected[0] = Min(Max(ranges.first, ranges.low[0]), ranges.high[0]);
            for (int i = 1; i < kHalf; ++i)
                corrected[i] = Min(Max(ranges.low[i - 1], ranges.low[i]), ranges.high[i]);
            std::memcpy(row, corrected, kHalf);
        }
}

#ifdef TARN_WIDE_PATH
// On the wide paths the frame is regrouped into quads: one 32-bit cell per
// plane row and column holding the four planes' samples, so that byte-wise
// min and max work on the four planes side by side, a neighbour is one cell
// or one quad row away, and a row of cells fills whole registers. Each quad
// row has a cell of margin on the left (column -1) and room on the right for
// whole registers; the margins hold the mirrored columns.
constexpr int kQuadStride = 100; // column -1, columns 0..81, whole 16-cell registers
struct Quads {
    uint32_t cell[kPlaneRows][kQuadStride];
};

// Column 0 of quad row r.
inline uint32_t *QuadRow(Quads &quads, int r) {
    return quads.cell[r] + 1;
}

// Sixteen columns of the four planes at a time, transposed with byte and word
// shuffles; the last group overlaps the one before it.
typedef uint8_t Bytes16 __attribute__((vector_size(16)));
typedef uint16_t Words8 __attribute__((vector_size(16)));
constexpr int kGroups[] = {0, 16, 32, 48, 64, kHalf - 16};

TARN_KERNEL void ToQuads(const uint8_t *__restrict frame, Quads &quads) {
    for (int r = 0; r < kPlaneRows; ++r) {
        const uint8_t *p = frame + r * kPlaneStride;
        uint32_t *q = QuadRow(quads, r);
        for (const int c : kGroups) {
            Bytes16 plane[4];
            for (int k = 0; k < 4; ++k) std::memcpy(&plane[k], p + kPlaneStarts[k] + c, 16);
            // Planes 0 and 1, 2 and 3 byte by byte, then the pairs word by word.
            const Words8 first01 = reinterpret_cast<Words8>(__builtin_shufflevector(
                plane[0], plane[1], 0, 16, 1, 17, 2, 18, 3, 19, 4, 20, 5, 21, 6, 22, 7, 23));
            const Words8 last01 = reinterpret_cast<Words8>(__builtin_shufflevector(
                plane[0], plane[1], 8, 24, 9, 25, 10, 26, 11, 27, 12, 28, 13, 29, 14, 30, 15, 31));
            const Words8 first23 = reinterpret_cast<Words8>(__builtin_shufflevector(
                plane[2], plane[3], 0, 16, 1, 17, 2, 18, 3, 19, 4, 20, 5, 21, 6, 22, 7, 23));
            const Words8 last23 = reinterpret_cast<Words8>(__builtin_shufflevector(
                plane[2], plane[3], 8, 24, 9, 25, 10, 26, 11, 27, 12, 28, 13, 29, 14, 30, 15, 31));
            const Words8 cells[4] = {
                __builtin_shufflevector(first01, first23, 0, 8, 1, 9, 2, 10, 3, 11),
                __builtin_shufflevector(first01, first23, 4, 12, 5, 13, 6, 14, 7, 15),
                __builtin_shufflevector(last01, last23, 0, 8, 1, 9, 2, 10, 3, 11),
                __builtin_shufflevector(last01, last23, 4, 12, 5, 13, 6, 14, 7, 15)};
            for (int k = 0; k < 4; ++k) std::memcpy(q + c + 4 * k, &cells[k], 16);
        }
        q[-1] = q[1];
        q[kHalf] = q[kHalf - 2];
        std::fill(q + kHalf + 1, quads.cell[r] + kQuadStride, 0u);
    }
}

TARN_KERNEL void FromQuads(Quads &quads, uint8_t *__restrict frame) {
    for (int r = 0; r < kPlaneRows; ++r) {
        uint8_t *p = frame + r * kPlaneStride;
        const uint32_t *q = QuadRow(quads, r);
        for (const int c : kGroups) {
            Bytes16 cells[4];
            for (int k = 0; k < 4; ++k) std::memcpy(&cells[k], q + c + 4 * k, 16);
            // Bytes 0, 4, 8 ... then 1, 5, 9 ... of two registers of cells: one
            // plane's eight columns, then the next plane's.
            const Bytes16 planes01a = __builtin_shufflevector(
                cells[0], cells[1], 0, 4, 8, 12, 16, 20, 24, 28, 1, 5, 9, 13, 17, 21, 25, 29);
            const Bytes16 planes23a = __builtin_shufflevector(
                cells[0], cells[1], 2, 6, 10, 14, 18, 22, 26, 30, 3, 7, 11, 15, 19, 23, 27, 31);
            const Bytes16 planes01b = __builtin_shufflevector(
                cells[2], cells[3], 0, 4, 8, 12, 16, 20, 24, 28, 1, 5, 9, 13, 17, 21, 25, 29);
            const Bytes16 planes23b = __builtin_shufflevector(
                cells[2], cells[3], 2, 6, 10, 14, 18, 22, 26, 30, 3, 7, 11, 15, 19, 23, 27, 31);
            const Bytes16 plane[4] = {
                __builtin_shufflevector(planes01a, planes01b, 0, 1, 2, 3, 4, 5, 6, 7, 16, 17, 18,
                                        19, 20, 21, 22, 23),
                __builtin_shufflevector(planes01a, planes01b, 8, 9, 10, 11, 12, 13, 14, 15, 24, 25,
                                        26, 27, 28, 29, 30, 31),
                __builtin_shufflevector(planes23a, planes23b, 0, 1, 2, 3, 4, 5, 6, 7, 16, 17, 18,
                                        19, 20, 21, 22, 23),
                __builtin_shufflevector(planes23a, planes23b, 8, 9, 10, 11, 12, 13, 14, 15, 24, 25,
                                        26, 27, 28, 29, 30, 31)};
            for (int k = 0; k < 4; ++k) std::memcpy(p + kPlaneStarts[k] + c, &plane[k], 16);
        }
    }
}

// The rank filter over quads, N cells to a register (the compiler's vectors:
// the same code is built for AVX2 and AVX-512).
template <int N> struct QuadVectors {
    typedef uint8_t Bytes __attribute__((vector_size(4 * N)));
    typedef uint32_t Cells __attribute__((vector_size(4 * N)));
};

// The cells of `now` moved one place on, the last of `before` entering.
template <typename Cells, size_t... j>
TARN_KERNEL void MoveOnePlace(const Cells &before, const Cells &now, Cells &out,
                              std::index_sequence<j...>) {
    out = __builtin_shufflevector(before, now, (sizeof...(j) - 1 + j)...);
}

template <int N> TARN_KERNEL void CorrectQuads(Quads &quads) {
    using Bytes = typename QuadVectors<N>::Bytes;
    using Cells = typename QuadVectors<N>::Cells;
    static_assert((kHalf + N - 1) / N * N + 1 < kQuadStride, "whole registers fit a row");
    for (int r = 0; r < kPlaneRows; ++r) {
        const uint32_t *up = QuadRow(quads, r > 0 ? r - 1 : 1);
        const uint32_t *down = QuadRow(quads, r < kPlaneRows - 1 ? r + 1 : kPlaneRows - 2);
        uint32_t *row = QuadRow(quads, r);
        // The last column's right neighbour is the left one: a sample of the
        // column above stands in, already among those gathered.
        row[kHalf] = up[kHalf - 1];
        Cells lowBefore{};
        lowBefore += row[1]; // the first sample's left neighbour
        for (int c = 0; c < kHalf; c += N) {
            // The others: three above, three below, the right neighbour.
            Bytes upLeft, upMid, upRight, downLeft, downMid, downRight, right, sample;
            std::memcpy(&upLeft, up + c - 1, sizeof sample);
            std::memcpy(&upMid, up + c, sizeof sample);
            std::memcpy(&upRight, up + c + 1, sizeof sample);
            std::memcpy(&downLeft, down + c - 1, sizeof sample);
            std::memcpy(&downMid, down + c, sizeof sample);
            std::memcpy(&downRight, down + c + 1, sizeof sample);
            std::memcpy(&right, row + c + 1, sizeof sample);
            std::memcpy(&sample, row + c, sizeof sample);
            // Column by column, each pair's larger and smaller first.
            const Bytes hiLeft = upLeft > downLeft ? upLeft : downLeft;
            const Bytes loLeft = upLeft < downLeft ? upLeft : downLeft;
            const Bytes hiMid = upMid > downMid ? upMid : downMid;
            const Bytes loMid = upMid < downMid ? upMid : downMid;
            const Bytes hiRight = upRight > downRight ? upRight : downRight;
            const Bytes loRight = upRight < downRight ? upRight : downRight;
            Bytes hi = hiLeft > hiMid ? hiLeft : hiMid, lo = loLeft < loMid ? loLeft : loMid;
            hi = hi > hiRight ? hi : hiRight;
            lo = lo < loRight ? lo : loRight;
            hi = hi > right ? hi : right;
            lo = lo < right ? lo : right;
            const Bytes low = sample < hi ? sample : hi, high = sample > lo ? sample : lo;
            Cells lowMoved;
            MoveOnePlace(lowBefore, reinterpret_cast<Cells>(low), lowMoved,
                         std::make_index_sequence<N>());
            Bytes left = reinterpret_cast<Bytes>(lowMoved);
            left = left > low ? left : low;
            left = left < high ? left : high;
            std::memcpy(row + c, &left, sizeof left);
            lowBefore = reinterpret_cast<Cells>(low);
        }
        // Mirrored columns, corrected, for the row below.
        row[-1] = row[1];
        row[kHalf] = row[kHalf - 2];
    }
}

template <int N> TARN_KERNEL void CorrectDefectsWide(uint8_t *frame) {
    Quads quads;
    ToQuads(frame, quads);
    CorrectQuads<N>(quads);
    FromQuads(quads, frame);
}

// Raw rows through the level table a register at a time: each half row's 81
// bytes as registers starting at the given offsets, the last overlapping. The
// registers overlap, so a frame written over its own raw rows takes the rows
// that read each row whole first.
#define TARN_LEVEL_ROWS(Vec, table, ...)                                                           \
    if (shared) {                                                                                  \
        LevelRows(raw, frame, level);                                                              \
    } else {                                                                                       \
        for (int y = 0; y < kFrameHeight; ++y) {                                                   \
            const uint8_t *in = raw + y * kFrameWidth;                                             \
            uint8_t *out = frame + y * kFrameWidth;                                                \
            for (const int at : {__VA_ARGS__}) {                                                   \
                Vec first, second;                                                                 \
                std::memcpy(&first, in + at, sizeof first);                                        \
                std::memcpy(&second, in + 83 + at, sizeof second);                                 \
                first = Lookup(table, first);                                                      \
                second = Lookup(table, second);                                                    \
                std::memcpy(out + 1 + at, &first, sizeof first);                                   \
                std::memcpy(out + 82 + at, &second, sizeof second);                                \
            }                                                                                      \
            out[163] = out[162];                                                                   \
            out[0] = out[1];                                                                       \
        }                                                                                          \
    }

TARN_AVX2_FN void ReformatAvx2(const uint8_t *raw, uint8_t *frame, const uint8_t *level,
                               bool shared, bool correct) {
    const ByteTable256 table = LoadByteTable256(level);
    TARN_LEVEL_ROWS(__m256i, table, 0, 32, 49)
    if (correct) CorrectDefectsWide<8>(frame);
}

TARN_AVX512_FN void ReformatAvx512(const uint8_t *raw, uint8_t *frame, const uint8_t *level,
                                   bool shared, bool correct) {
    const ByteTable512 table = LoadByteTable512(level);
    TARN_LEVEL_ROWS(__m512i, table, 0, 17)
    if (correct) CorrectDefectsWide<16>(frame);
}
#undef TARN_LEVEL_ROWS
#endif

} // namespace

bool ReformatFrame(const uint8_t *raw, uint8_t *frame, int32_t blackLevel,
                   int32_t defectCorrection) {
    if (blackLevel < 0 || blackLevel > 128) return false;

    uint8_t level[256];
    BuildLevelTable(blackLevel, level);
    const bool correct = defectCorrection == 1;
#ifdef TARN_WIDE_PATH
    const auto address = [](const uint8_t *p) { return reinterpret_cast<uintptr_t>(p); };
    const bool shared =
        address(raw) < address(frame) + kFrameBytes && address(frame) < address(raw) + kFrameBytes;
#endif
    switch (ChosenKernelPath()) {
#ifdef TARN_WIDE_PATH
    case KernelPath::kAvx512:
        ReformatAvx512(raw, frame, level, shared, correct);
        return true;
    case KernelPath::kAvx2:
        ReformatAvx2(raw, frame, level, shared, correct);
        return true;
#endif
    default:
        LevelRows(raw, frame, level);
        if (correct) CorrectDefectsBody(frame);
        return true;
    }
}

} // namespace tarnlink

extern "C" SCI_API SciStatus SCICALL SciReformat300(const uint8_t *raw, uint8_t *frame,
                                                    int32_t blackLevel, int32_t defectCorrection) {
    if (raw == nullptr || frame == nullptr) return SCI_IMAGE_NULL;
    if (!tarnlink::ReformatFrame(raw, frame, blackLevel, defectCorrection))
        return SCI_IMAGE_COLOUR_FAIL;
    return SCI_OK;
}
