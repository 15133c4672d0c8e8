// Enlargement of a 160 x 120 colour picture to 320 x 240: values worked out by
// hand, the plane edges, argument and memory failures, and the fast code
// against a slow literal version on random pictures, on every build of the
// loops (plain, AVX2) in turn.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "imaging/enlarge.h"
#include "support/every_path.h"
#include "support/pictures.h"
#include "support/enlarge_reference.h"
#include "tarnlink.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr int kInBytes = 57600, kOutBytes = 230400;

using testpic::Uniform;

Bytes Enlarged(const Bytes &source) {
    Bytes out(kOutBytes, 0xA5);
    EXPECT_EQ(SciEnlargeImage(source.data(), out.data()), SCI_OK);
    return out;
}

Bytes RandomPicture(unsigned seed, bool extremes) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> any(0, 255), coin(0, 1);
    Bytes b(kInBytes);
    for (uint8_t &v : b) v = static_cast<uint8_t>(extremes ? 255 * coin(rng) : any(rng));
    return b;
}

Bytes Reference(const Bytes &source) {
    Bytes out(kOutBytes);
    ref_enlarge::Enlarge(source.data(), out.data());
    return out;
}

// First differing byte, as "row r, column x, byte c", or "" when equal.
std::string FirstDifference(const Bytes &got, const Bytes &want) {
    for (size_t i = 0; i < got.size(); ++i) {
        if (got[i] != want[i]) {
            return "row " + std::to_string(i / 960) + " column " + std::to_string(i % 960 / 3) +
                   " byte " + std::to_string(i % 3) + ": " + std::to_string(got[i]) + " vs " +
                   std::to_string(want[i]);
        }
    }
    return "";
}

TEST(EnlargeArguments, NullPointersAreRefusedBeforeAnythingIsWritten) {
    Bytes source = Uniform(1, 2, 3), out(kOutBytes, 0x5A);
    EXPECT_EQ(SciEnlargeImage(nullptr, out.data()), SCI_IMAGE_NULL);
    EXPECT_EQ(SciEnlargeImage(source.data(), nullptr), SCI_IMAGE_NULL);
    EXPECT_EQ(SciEnlargeImage(nullptr, nullptr), SCI_IMAGE_NULL);
    EXPECT_EQ(out, Bytes(kOutBytes, 0x5A));
}

// Hands out real heap blocks until `failAt` blocks have been given, then none.
struct CountingMemory {
    static int given, outstanding, failAt;
    static void *Obtain(size_t bytes) {
        if (given == failAt) return nullptr;
        ++given;
        ++outstanding;
        return std::malloc(bytes);
    }
    static void Release(void *block) {
        --outstanding;
        std::free(block);
    }
};
int CountingMemory::given, CountingMemory::outstanding, CountingMemory::failAt;

TEST(EnlargeMemory, WorkingMemoryIsReleasedOnSuccessAndWhenItCannotBeHad) {
    const tarnlink::PlaneMemory memory = {CountingMemory::Obtain, CountingMemory::Release};
    const Bytes source = RandomPicture(7, false);
    CountingMemory::given = CountingMemory::outstanding = 0;
    CountingMemory::failAt = -1;
    Bytes out(kOutBytes);
    EXPECT_TRUE(tarnlink::EnlargeImage(source.data(), out.data(), memory));
    const int blocks = CountingMemory::given;
    EXPECT_GE(blocks, 1);
    EXPECT_EQ(CountingMemory::outstanding, 0);
    EXPECT_EQ(out, Reference(source));

    // Refuse each request in turn: what was obtained before it is released.
    for (int failAt = 0; failAt < blocks; ++failAt) {
        CountingMemory::given = CountingMemory::outstanding = 0;
        CountingMemory::failAt = failAt;
        EXPECT_FALSE(tarnlink::EnlargeImage(source.data(), out.data(), memory)) << failAt;
        EXPECT_EQ(CountingMemory::given, failAt);
        EXPECT_EQ(CountingMemory::outstanding, 0) << "leaked after refusing request " << failAt;
    }
}

using tarn_test::KernelPath;
using tarn_test::OnEveryPath;

class EnlargeWorkedValues : public OnEveryPath {};
class EnlargePlaneEdges : public OnEveryPath {};
class EnlargeReference : public OnEveryPath {};

// The enlargement has no AVX-512 build: such processors run the AVX2 one.
#define TARN_ON_EVERY_PATH(suite) TARN_ON_PATHS(suite, KernelPath::kPlain, KernelPath::kAvx2)
TARN_ON_EVERY_PATH(EnlargeWorkedValues);
TARN_ON_EVERY_PATH(EnlargePlaneEdges);
TARN_ON_EVERY_PATH(EnlargeReference);

TEST_P(EnlargeWorkedValues, BlackStaysBlack) {
    EXPECT_EQ(Enlarged(Uniform(0, 0, 0)), Bytes(kOutBytes, 0));
}

// The rounding constant of the second row of each pair makes cb and cr 1 there;
// odd chroma blocks round their average up to 1, even ones down to 0, so every
// second group of four result columns has c1 = (299 x 218 - 101 - 209 + 128) >> 8.
TEST_P(EnlargeWorkedValues, WhiteHasMiddleByte253InEverySecondGroupOfFourColumns) {
    const Bytes out = Enlarged(Uniform(255, 255, 255));
    for (int row = 0; row < 240; ++row) {
        for (int x = 0; x < 320; ++x) {
            const uint8_t *px = &out[row * 960 + x * 3];
            const bool tinted = (x / 4) % 2 == 1;
            ASSERT_EQ(px[0], 255) << row << "," << x;
            ASSERT_EQ(px[1], tinted ? 253 : 255) << row << "," << x;
            ASSERT_EQ(px[2], 255) << row << "," << x;
        }
    }
}

TEST_P(EnlargeWorkedValues, Grey100GivesLumaRowsOf85And86AndResultRows99And100) {
    const Bytes source(kInBytes, 100);
    std::vector<int16_t> luma(160 * 120), cb(80 * 60, 99), cr(80 * 60, 99);
    tarnlink::RgbToYcc420(source.data(), luma.data(), cb.data(), cr.data());
    for (int row = 0; row < 120; ++row)
        for (int x = 0; x < 160; ++x) ASSERT_EQ(luma[row * 160 + x], row % 2 ? 86 : 85) << row;
    EXPECT_EQ(cb, std::vector<int16_t>(80 * 60, 0));
    EXPECT_EQ(cr, std::vector<int16_t>(80 * 60, 0));

    const Bytes out = Enlarged(source);
    for (int row = 0; row < 240; ++row) {
        const uint8_t want = (row % 4) < 2 ? 99 : 100;
        for (int i = 0; i < 960; ++i) ASSERT_EQ(out[row * 960 + i], want) << "row " << row;
    }
    EXPECT_EQ(out[238 * 960], 100);
    EXPECT_EQ(out[239 * 960 + 959], 100);
}

TEST_P(EnlargeWorkedValues, ChromaGainOnAUniformColour) {
    const Bytes out = Enlarged(Uniform(200, 50, 30));
    for (int row = 0; row < 240; ++row) {
        const bool lower = (row % 4) < 2;
        for (int x = 0; x < 320; ++x) {
            const uint8_t *px = &out[row * 960 + x * 3];
            ASSERT_EQ(px[0], lower ? 219 : 220) << row << "," << x;
            ASSERT_EQ(px[1], lower ? 40 : 42) << row << "," << x;
            ASSERT_EQ(px[2], lower ? 16 : 17) << row << "," << x;
        }
    }
}

// Worked by hand: t = (left + 3 s + 2) >> 2, (3 s + right + 2) >> 2 with the end
// samples as their own neighbours, then the same down the columns.
TEST_P(EnlargePlaneEdges, DoublingTreatsEdgeSamplesAsTheirOwnNeighbours) {
    const int16_t plane[2 * 3] = {8, 0, 4, 0, 0, 0};
    int16_t doubled[4 * 6];
    tarnlink::Upsample2x(plane, 3, 2, doubled);
    const int16_t want[4 * 6] = {
        8, 6, 2, 1, 3, 4, // first row kept: the row above it is itself
        6, 5, 2, 1, 2, 3, //
        2, 2, 1, 0, 1, 1, //
        0, 0, 0, 0, 0, 0, // last row kept likewise
    };
    for (int i = 0; i < 24; ++i) EXPECT_EQ(doubled[i], want[i]) << "sample " << i;
}

TEST_P(EnlargePlaneEdges, NegativeSamplesRoundTowardMinusInfinity) {
    const int16_t plane[2] = {-3, 5};
    int16_t doubled[4 * 2];
    tarnlink::Upsample2x(plane, 2, 1, doubled);
    // (-12 + 2) >> 2 = -3, (-9 + 5 + 2) >> 2 = -1 (not 0), (-3 + 15 + 2) >> 2 = 3, 22 >> 2 = 5.
    const int16_t want[8] = {-3, -1, 3, 5, -3, -1, 3, 5};
    for (int i = 0; i < 8; ++i) EXPECT_EQ(doubled[i], want[i]) << "sample " << i;
}

// Grey 160 in the outermost columns (or rows) of a black picture has luma 136
// in the first row of each pair and 137 in the second. Doubled against itself
// the border keeps that value; doubled against a black sample from outside the
// picture it would drop to (0 + 3 x 136 + 2) >> 2 = 102.
std::vector<int16_t> DoubledLuma(const Bytes &source) {
    std::vector<int16_t> luma(160 * 120), cb(80 * 60), cr(80 * 60), big(320 * 240);
    tarnlink::RgbToYcc420(source.data(), luma.data(), cb.data(), cr.data());
    tarnlink::Upsample2x(luma.data(), 160, 120, big.data());
    return big;
}

TEST_P(EnlargePlaneEdges, BorderColumnsAreNeitherDarkenedNorLightened) {
    Bytes source(kInBytes, 0);
    for (int row = 0; row < 120; ++row)
        for (int c = 0; c < 3; ++c) source[row * 480 + c] = source[row * 480 + 477 + c] = 160;
    const std::vector<int16_t> big = DoubledLuma(source);
    for (int row = 0; row < 240; ++row) {
        // Rows of 136, 136, 137, 137 as with any two alternating rows.
        const bool second = row % 4 >= 2;
        const int16_t *r = &big[row * 320];
        ASSERT_EQ(r[0], second ? 137 : 136) << row;
        ASSERT_EQ(r[319], second ? 137 : 136) << row;
        // 3 x 136 + 0 + 2 >> 2 = 102 and 3 x 137 + 2 >> 2 = 103 toward the inside.
        ASSERT_EQ(r[1], second ? 103 : 102) << row;
        ASSERT_EQ(r[318], second ? 103 : 102) << row;
        ASSERT_EQ(r[2], 34) << row;
        ASSERT_EQ(r[3], 0) << row;
    }
    EXPECT_EQ(FirstDifference(Enlarged(source), Reference(source)), "");
}

TEST_P(EnlargePlaneEdges, BorderRowsAreNeitherDarkenedNorLightened) {
    Bytes source(kInBytes, 0);
    for (int i = 0; i < 480; ++i) source[i] = source[119 * 480 + i] = 160;
    const std::vector<int16_t> big = DoubledLuma(source);
    // Row 0 is the first of its pair (136), row 119 the second (137).
    const int16_t want[][2] = {{0, 136}, {1, 102},  {2, 34},    {3, 0},
                               {236, 0}, {237, 34}, {238, 103}, {239, 137}};
    for (const auto &w : want)
        for (int x = 0; x < 320; ++x) ASSERT_EQ(big[w[0] * 320 + x], w[1]) << w[0] << "," << x;
    EXPECT_EQ(FirstDifference(Enlarged(source), Reference(source)), "");
}

TEST_P(EnlargeReference, StagesMatchTheLiteralVersion) {
    const Bytes source = RandomPicture(11, false);
    std::vector<int16_t> luma(160 * 120), cb(80 * 60), cr(80 * 60);
    tarnlink::RgbToYcc420(source.data(), luma.data(), cb.data(), cr.data());
    const ref_enlarge::Ycc want = ref_enlarge::ToYcc420(source.data());
    for (int i = 0; i < 160 * 120; ++i) ASSERT_EQ(luma[i], want.y.s[i]) << i;
    for (int i = 0; i < 80 * 60; ++i) {
        ASSERT_EQ(cb[i], want.cb.s[i]) << i;
        ASSERT_EQ(cr[i], want.cr.s[i]) << i;
    }

    // Doubling on planes with samples over the whole range it takes, and odd
    // sizes, where vector loops have remainders.
    std::mt19937 rng(5);
    std::uniform_int_distribution<int> sample(-8192, 8191);
    const int sizes[][2] = {{160, 120}, {80, 60}, {1, 1},  {1, 5},
                            {7, 1},     {3, 4},   {17, 3}, {159, 2}};
    for (const auto &size : sizes) {
        ref_enlarge::Plane p(size[0], size[1]);
        std::vector<int16_t> plane(p.s.size()), doubled(4 * p.s.size());
        for (size_t i = 0; i < plane.size(); ++i)
            p.s[i] = plane[i] = static_cast<int16_t>(sample(rng));
        tarnlink::Upsample2x(plane.data(), p.w, p.h, doubled.data());
        const ref_enlarge::Plane u = ref_enlarge::Double(p);
        for (size_t i = 0; i < doubled.size(); ++i)
            ASSERT_EQ(doubled[i], u.s[i]) << size[0] << "x" << size[1] << " sample " << i;
    }
}

// Planes of random samples over the whole ranges the conversion back takes
// (luma -16..239, chroma -128..127), wider than pictures give, and planes at
// the ends of those ranges.
struct YccPlanes {
    ref_enlarge::Plane y{160, 120}, cb{80, 60}, cr{80, 60};
};

YccPlanes RandomYcc(unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> luma(-16, 239), chroma(-128, 127), end(0, 1);
    YccPlanes p;
    // Seeds 1 and 2: every sample at one end or the other of its range.
    for (int &v : p.y.s) v = seed <= 2 ? (end(rng) ? 239 : -16) : luma(rng);
    for (ref_enlarge::Plane *c : {&p.cb, &p.cr})
        for (int &v : c->s) v = seed <= 2 ? (end(rng) ? 127 : -128) : chroma(rng);
    return p;
}

std::vector<int16_t> Samples(const ref_enlarge::Plane &p) {
    return std::vector<int16_t>(p.s.begin(), p.s.end());
}

TEST_P(EnlargeReference, ConversionBackMatchesTheLiteralVersionOverItsWholeRange) {
    for (unsigned seed = 1; seed <= 4; ++seed) {
        const YccPlanes p = RandomYcc(seed);
        const ref_enlarge::Plane y2 = ref_enlarge::Double(p.y), cb2 = ref_enlarge::Double(p.cb),
                                 cr2 = ref_enlarge::Double(p.cr);
        Bytes want(kOutBytes);
        ref_enlarge::FromYcc(y2, cb2, cr2, want.data());

        // From planes doubled beforehand, and doubled in the same sweep.
        Bytes fromDoubled(kOutBytes, 0xA5), inOneSweep(kOutBytes, 0x5A);
        tarnlink::YccToRgb(Samples(y2).data(), Samples(cb2).data(), Samples(cr2).data(),
                           fromDoubled.data());
        tarnlink::EnlargeYcc(Samples(p.y).data(), Samples(p.cb).data(), Samples(p.cr).data(),
                             inOneSweep.data());
        EXPECT_EQ(FirstDifference(fromDoubled, want), "") << "seed " << seed;
        EXPECT_EQ(FirstDifference(inOneSweep, want), "") << "seed " << seed;
    }
}

TEST_P(EnlargeReference, RandomPicturesMatchTheLiteralVersion) {
    for (unsigned seed = 1; seed <= 6; ++seed) {
        // Bytes of only 0 and 255 drive cb, cr and the result into their limits.
        const Bytes source = RandomPicture(seed, seed % 2 == 0);
        EXPECT_EQ(FirstDifference(Enlarged(source), Reference(source)), "") << "seed " << seed;
    }
    // Single colours at the ends of the byte range, each channel in turn.
    for (int c = 0; c < 8; ++c) {
        const Bytes source = Uniform(c & 1 ? 255 : 0, c & 2 ? 255 : 0, c & 4 ? 255 : 0);
        EXPECT_EQ(FirstDifference(Enlarged(source), Reference(source)), "") << "colour " << c;
    }
}

TEST_P(EnlargeReference, SourceIsLeftAsItWas) {
    const Bytes source = RandomPicture(3, false);
    Bytes copy = source, out(kOutBytes);
    ASSERT_EQ(SciEnlargeImage(copy.data(), out.data()), SCI_OK);
    EXPECT_EQ(copy, source);
}

} // namespace
