// Reformatting of raw picture rows: layout, black level, rank-filter defect correction.
#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <vector>

#include "support/colour_reference.h"
#include "imaging/reformat.h"
#include "support/every_path.h"
#include "tarnlink.h"

namespace {

using Frame = std::vector<uint8_t>;
constexpr int W = 164, H = 124;

Frame RandomFrame(unsigned seed, int lo = 0, int hi = 255) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> d(lo, hi);
    Frame f(W * H);
    for (uint8_t &b : f) b = static_cast<uint8_t>(d(rng));
    return f;
}

Frame Reformatted(const Frame &raw, int black, int defect) {
    Frame out(W * H, 0xEE);
    EXPECT_EQ(SciReformat300(raw.data(), out.data(), black, defect), SCI_OK);
    return out;
}

// Every test on each build of the loops: the level table and the rank filter
// have their own for AVX2 and AVX-512.
class Reformat : public tarn_test::OnEveryPath {};
using tarn_test::KernelPath;
TARN_ON_PATHS(Reformat, KernelPath::kPlain, KernelPath::kAvx2, KernelPath::kAvx512);

// The raw byte that lands on byte `b` of a reformatted row (1..81 and 82..162).
int RawByteFor(int b) {
    return b <= 81 ? b - 1 : b + 1;
}

// Frame byte of sample (row, col) of plane 1..4.
int PlaneByte(int plane, int row, int col) {
    const int starts[4] = {0, 82, 164, 246};
    return starts[plane - 1] + 328 * row + col;
}

TEST_P(Reformat, BlackLevelZeroOnlyMovesBytes) {
    const Frame raw = RandomFrame(1);
    const Frame out = Reformatted(raw, 0, 0);
    for (int y = 0; y < H; ++y) {
        const uint8_t *in = &raw[W * y];
        const uint8_t *o = &out[W * y];
        EXPECT_EQ(o[0], in[0]);
        EXPECT_EQ(o[163], in[163]);
        for (int b = 1; b <= 162; ++b) ASSERT_EQ(o[b], in[RawByteFor(b)]) << y << "," << b;
    }
}

TEST_P(Reformat, BlackLevelIsRemovedAndStretched) {
    // Worked by hand with the factor 255 / 239.
    const std::pair<int, int> cases[] = {{0, 0},     {16, 0},    {17, 1},    {100, 89},
                                         {128, 119}, {200, 196}, {254, 253}, {255, 255}};
    Frame raw(W * H, 0);
    for (const auto &c : cases) {
        raw[W * 5 + 10] = static_cast<uint8_t>(c.first); // lands on byte 11
        const Frame out = Reformatted(raw, 16, 0);
        EXPECT_EQ(out[W * 5 + 11], c.second) << "raw " << c.first;
    }
}

TEST_P(Reformat, BlackLevelLimits) {
    Frame raw(W * H, 129);
    raw[0] = 255;
    const Frame at128 = Reformatted(raw, 128, 0);
    EXPECT_EQ(at128[1], 255);
    EXPECT_EQ(at128[2], 2); // 1 x 255 / 127

    Frame out(W * H, 0x5A);
    EXPECT_EQ(SciReformat300(raw.data(), out.data(), 129, 0), SCI_IMAGE_COLOUR_FAIL);
    EXPECT_EQ(SciReformat300(raw.data(), out.data(), -1, 1), SCI_IMAGE_COLOUR_FAIL);
    EXPECT_EQ(out, Frame(W * H, 0x5A)) << "a refused level writes nothing";
    EXPECT_EQ(SciReformat300(nullptr, out.data(), 0, 0), SCI_IMAGE_NULL);
    EXPECT_EQ(SciReformat300(raw.data(), nullptr, 0, 0), SCI_IMAGE_NULL);
}

// A frame of 40s with some reformatted bytes set to chosen values.
Frame FlatRawWith(std::initializer_list<std::pair<int, int>> frameBytes) {
    Frame raw(W * H, 40);
    for (const auto &fb : frameBytes) {
        const int y = fb.first / W, b = fb.first % W;
        raw[W * y + RawByteFor(b)] = static_cast<uint8_t>(fb.second);
    }
    return raw;
}

TEST_P(Reformat, RankFilterReplacesOnlyExtremes) {
    const int centre = PlaneByte(2, 10, 40);
    EXPECT_EQ(Reformatted(FlatRawWith({{centre, 255}}), 0, 1)[centre], 40);
    EXPECT_EQ(Reformatted(FlatRawWith({{centre, 0}}), 0, 1)[centre], 40);
    // Neither the largest nor the smallest of its neighbourhood: kept.
    const Frame kept = Reformatted(FlatRawWith({{centre, 90}, {PlaneByte(2, 11, 41), 95}}), 0, 1);
    EXPECT_EQ(kept[centre], 90);
    // The largest, with a brighter neighbour elsewhere in the frame: the second largest.
    const Frame second = Reformatted(FlatRawWith({{centre, 90}, {PlaneByte(2, 9, 39), 70}}), 0, 1);
    EXPECT_EQ(second[centre], 70);
    // Value other than 1 leaves the frame alone.
    EXPECT_EQ(Reformatted(FlatRawWith({{centre, 255}}), 0, 2)[centre], 255);
}

TEST_P(Reformat, RankFilterMirrorsAtPlaneEdges) {
    // A dark sample on each edge of a plane is lifted to its neighbours' 40:
    // the mirrored rows and columns count, nothing outside the plane as 0.
    // (Column 0 of planes 1 and 3 and column 81 of planes 2 and 4 are copies.)
    const int edges[][3] = {{4, 0, 30}, {4, 61, 30}, {4, 20, 0}, {3, 20, 81}, {1, 0, 81}};
    for (const auto &e : edges) {
        const int at = PlaneByte(e[0], e[1], e[2]);
        EXPECT_EQ(Reformatted(FlatRawWith({{at, 3}}), 0, 1)[at], 40)
            << "plane " << e[0] << " row " << e[1] << " col " << e[2];
    }
    // A dark copied edge sample has its twin beside it: the second smallest is
    // the same value, so both stay.
    const int copy = PlaneByte(4, 20, 80);
    EXPECT_EQ(Reformatted(FlatRawWith({{copy, 3}}), 0, 1)[copy], 3);
    // First plane row: the row below counts twice, so a sample brighter than all
    // of it but darker than one of the two below-row copies' neighbours is kept.
    const int top = PlaneByte(3, 0, 30);
    const Frame f = Reformatted(FlatRawWith({{top, 100}, {PlaneByte(3, 1, 31), 120}}), 0, 1);
    EXPECT_EQ(f[top], 100);
}

TEST_P(Reformat, MatchesReferenceOnRandomFrames) {
    for (unsigned seed = 10; seed < 22; ++seed) {
        const Frame raw = RandomFrame(seed, seed % 3 == 0 ? 0 : 20, seed % 3 == 0 ? 255 : 90);
        for (int black : {0, 16, 77, 128}) {
            for (int defect : {0, 1}) {
                Frame expected(W * H);
                ref::Reformat(raw.data(), expected.data(), black, defect);
                ASSERT_EQ(Reformatted(raw, black, defect), expected)
                    << "seed " << seed << " black " << black << " defect " << defect;
            }
        }
    }
}

// Frames where most samples are extremes of their neighbourhoods or tie with
// them, so that most corrections depend on the corrected left neighbour and
// the one before it: two-level and three-level noise, columns alternating dark
// and bright, ramps up and down the rows.
TEST_P(Reformat, MatchesReferenceWhereMostSamplesAreExtremesOrTies) {
    std::mt19937 rng(5);
    const std::function<int(int, int)> patterns[] = {
        [&](int, int) { return rng() % 2 ? 255 : 0; },
        [&](int, int) { return 100 + static_cast<int>(rng() % 3); },
        [](int y, int x) { return (x / 2 + y / 2) % 2 ? 250 : 5; },
        [](int y, int x) { return (x * 3 + (y % 4) * 40) % 256; },
        [](int y, int x) { return 255 - (x + y) % 256; },
    };
    int n = 0;
    for (const auto &pattern : patterns) {
        Frame raw(W * H);
        for (int y = 0; y < H; ++y)
            for (int x = 0; x < W; ++x) raw[W * y + x] = static_cast<uint8_t>(pattern(y, x));
        Frame expected(W * H);
        ref::Reformat(raw.data(), expected.data(), 16, 1);
        EXPECT_EQ(Reformatted(raw, 16, 1), expected) << "pattern " << n;
        ++n;
    }
}

// Callers have reformatted a frame over its own raw rows: each row is read
// before it is written.
TEST_P(Reformat, InPlaceGivesTheSameFrame) {
    for (int defect : {0, 1}) {
        Frame frame = RandomFrame(30 + static_cast<unsigned>(defect));
        const Frame expected = Reformatted(frame, 16, defect);
        ASSERT_EQ(SciReformat300(frame.data(), frame.data(), 16, defect), SCI_OK);
        EXPECT_EQ(frame, expected) << "defect " << defect;
    }
}

} // namespace
