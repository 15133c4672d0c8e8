// Colour reconstruction: worked values, engine life cycle, and whole pictures
// against the literal reference over series of passes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "imaging/colour.h"
#include "imaging/kernel_path.h"
#include "imaging/reformat.h"
#include "link/state.h"
#include "support/colour_reference.h"
#include "support/every_path.h"
#include "tarnlink.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr int kFrame = 164 * 124, kPicture = 57600;

class Colour : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(SciOpenColour(), SCI_OK); }
    void TearDown() override {
        tarnlink::g_lib.sessionOpen = 0;
        tarnlink::g_lib.workBuffer = nullptr;
        SciCloseColour();
        SciSetBlackOffset(255);
        SciSetDefectCorrection(1);
    }
    static const tarnlink::ColourState &State() { return *tarnlink::CurrentColourState(); }
};

Bytes RandomRaw(unsigned seed) {
    std::mt19937 rng(seed);
    // Smooth-ish scenes with noise, so the white balance has a cast to chase.
    const int base[3] = {static_cast<int>(rng() % 120), static_cast<int>(rng() % 120),
                         static_cast<int>(rng() % 120)};
    std::uniform_int_distribution<int> noise(0, 60);
    Bytes raw(kFrame);
    for (int y = 0; y < 124; ++y)
        for (int b = 0; b < 164; ++b)
            raw[164 * y + b] = static_cast<uint8_t>(16 + base[(y + b) % 3] + noise(rng) + y / 2);
    return raw;
}

TEST_F(Colour, UniformFrameOfHundredWorkedValues) {
    Bytes frame(kFrame, 100), picture(kPicture, 0);
    EXPECT_EQ(SciImageReformat(frame.data(), picture.data()), SCI_FAILED);
    for (int i = 0; i < kPicture; i += 3) {
        ASSERT_EQ(picture[i], 221) << i;
        ASSERT_EQ(picture[i + 1], 150) << i;
        ASSERT_EQ(picture[i + 2], 146) << i;
    }
    EXPECT_EQ(State().balanceCb, 336);
    EXPECT_EQ(State().balanceCr, -72);
    EXPECT_NEAR(State().gainRed, 1.05 / 0.95, 1e-12);
    EXPECT_NEAR(State().gainGreen, 1.0 / 0.95, 1e-12);
    EXPECT_EQ(State().gainBlue, 1.0);
}

TEST_F(Colour, BlackAndWhiteFrames) {
    Bytes zeros(kFrame, 0), picture(kPicture, 7);
    EXPECT_EQ(SciImageReformat(zeros.data(), picture.data()), SCI_OK);
    EXPECT_EQ(picture, Bytes(kPicture, 0));
    EXPECT_EQ(State().balanceCb, 0);
    EXPECT_EQ(State().balanceCr, 0);

    Bytes white(kFrame, 255);
    SciImageReformat(white.data(), picture.data());
    EXPECT_EQ(picture, Bytes(kPicture, 255)) << "the clamps catch the matrix overshoot";
}

TEST_F(Colour, HighLumaThresholdMeasuresNothing) {
    SciSetYAccThresh(255);
    Bytes frame(kFrame, 100), picture(kPicture);
    for (int pass = 0; pass < 3; ++pass) {
        std::fill(frame.begin(), frame.end(), 100);
        EXPECT_EQ(SciImageReformat(frame.data(), picture.data()), SCI_OK);
    }
    EXPECT_EQ(State().gainRed, 1.0);
    EXPECT_EQ(State().gainGreen, 1.0);
    EXPECT_EQ(State().gainBlue, 1.0);
}

TEST_F(Colour, GammaTableAndDefaultMatrix) {
    const uint8_t *g = State().gammaTable;
    const int expected[][2] = {{0, 0},    {1, 4},     {2, 9},     {3, 13},   {4, 18},
                               {5, 21},   {6, 24},    {10, 33},   {64, 107}, {77, 120},
                               {78, 121}, {128, 165}, {254, 254}, {255, 255}};
    for (const auto &e : expected) EXPECT_EQ(g[e[0]], e[1]) << "entry " << e[0];
    const double rows[3][3] = {
        {0.17195, 0.66518, 0.19297}, {-0.42041, -0.83016, 1.67319}, {1.00234, -0.86130, -0.23465}};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) EXPECT_NEAR(State().colourMatrix[i][j], rows[i][j], 5e-5);
}

TEST_F(Colour, CloseForgetsSettingsAndOpenRestoresDefaults) {
    Bytes frame(kFrame, 100), picture(kPicture);
    SciImageReformat(frame.data(), picture.data());
    SciSetCompMatRawScale(0.9);
    SciSetYAccThresh(50);
    ASSERT_NE(State().gainRed, 1.0);
    EXPECT_EQ(SciCloseColour(), SCI_OK);
    EXPECT_EQ(tarnlink::CurrentColourState(), nullptr);
    SciSetCompMatRawScale(2.0); // no state: no effect
    SciSetYAccThresh(7);
    EXPECT_EQ(SciOpenColour(), SCI_OK);
    EXPECT_EQ(State().gainRed, 1.0);
    EXPECT_EQ(State().gainGreen, 1.0);
    EXPECT_EQ(State().rawScale, 0.6);
    EXPECT_EQ(State().yAccThresh, 120);
}

TEST_F(Colour, RawScaleEntersAtTheNextMatrixRebuild) {
    SciSetCompMatRawScale(0.3);
    Bytes frame(kFrame, 100), picture(kPicture);
    SciImageReformat(frame.data(), picture.data());
    EXPECT_EQ(picture[0], 221) << "the first pass still uses the matrix built at open";
    std::fill(frame.begin(), frame.end(), 100);
    SciImageReformat(frame.data(), picture.data());
    EXPECT_LT(picture[1], 150) << "half the scale darkens the next pass";
}

TEST_F(Colour, AbsurdRawScaleStillGivesAWholePicture) {
    // The setter checks no range; values far beyond any picture must not
    // overflow the conversions or the cast sums.
    for (double scale : {1.0e9, -1.0e9, 4.0e4}) {
        SciSetCompMatRawScale(scale);
        Bytes frame(kFrame, 100), picture(kPicture, 7);
        for (int pass = 0; pass < 3; ++pass) {
            std::fill(frame.begin(), frame.end(), 100);
            SciImageReformat(frame.data(), picture.data());
        }
        // Uniform grey in, uniform colour out, at the extremes of the range.
        for (int i = 3; i < kPicture; ++i) ASSERT_EQ(picture[i], picture[i % 3]) << scale;
        EXPECT_GE(State().gainRed, 1.0);
        EXPECT_LE(State().gainRed, 5.0);
        SciCloseColour();
        SciOpenColour();
    }
}

TEST_F(Colour, SessionOwnsTheEngine) {
    tarnlink::g_lib.sessionOpen = 1;
    EXPECT_EQ(SciCloseColour(), SCI_FAILED);
    EXPECT_TRUE(tarnlink::ColourEngineIsOpen());
    EXPECT_EQ(SciOpenColour(), SCI_OK);
    tarnlink::g_lib.sessionOpen = 0;
}

TEST(ColourEngineClosed, PassesAndLoopsRefuseWithoutTouching) {
    SciCloseColour();
    Bytes frame(kFrame, 100), picture(kPicture, 9);
    EXPECT_EQ(SciImageReformat(frame.data(), picture.data()), SCI_IMAGE_COLOUR_FAIL);
    EXPECT_EQ(SciColourizeImage(frame.data(), picture.data()), SCI_IMAGE_COLOUR_FAIL);
    EXPECT_EQ(SciColourizeImage(nullptr, picture.data()), SCI_NULL_POINTER);
    EXPECT_EQ(SciColourizeImage(frame.data(), nullptr), SCI_NULL_POINTER);
    EXPECT_EQ(SciImageReformat(nullptr, picture.data()), SCI_IMAGE_NULL);
    EXPECT_EQ(picture, Bytes(kPicture, 9));
    EXPECT_EQ(frame, Bytes(kFrame, 100));
}

TEST(ColourSettings, BlackOffsetKeepsTheLowByte) {
    SciSetBlackOffset(300);
    EXPECT_EQ(tarnlink::g_blackOffsetSetting, 44);
    SciSetBlackOffset(-1);
    EXPECT_EQ(tarnlink::g_blackOffsetSetting, 255);
    SciSetDefectCorrection(2);
    EXPECT_EQ(tarnlink::g_defectCorrectionSetting, 2);
    SciSetDefectCorrection(1);
}

using tarn_test::KernelPath;

class ColourKernels : public Colour, public ::testing::WithParamInterface<KernelPath> {
  protected:
    void SetUp() override {
        if (!tarn_test::ForcePath(GetParam())) GTEST_SKIP() << "the processor lacks this path";
        Colour::SetUp();
    }
    void TearDown() override {
        Colour::TearDown();
        tarnlink::g_kernelPathCap = KernelPath::kAvx512;
    }
};

// Every build of the pass's loops gives the reference's bytes.
TARN_ON_PATHS(ColourKernels, KernelPath::kPlain, KernelPath::kAvx2, KernelPath::kAvx512);

TEST_P(ColourKernels, PassesMatchReferenceOverASeries) {
    // Gains carry from pass to pass and picture to picture, as in a session.
    ref::ColourSettings st;
    for (unsigned seed = 1; seed <= 4; ++seed) {
        const Bytes raw = RandomRaw(seed);
        for (int pass = 0; pass < 12; ++pass) {
            Bytes mine(kFrame), theirs(kFrame), picMine(kPicture), picRef(kPicture);
            tarnlink::ReformatFrame(raw.data(), mine.data(), 16, 1);
            ref::Reformat(raw.data(), theirs.data(), 16, 1);
            const int settledRef = ref::ColourPass(st, theirs.data(), picRef.data());
            const SciStatus s = SciImageReformat(mine.data(), picMine.data());
            ASSERT_EQ(s == SCI_OK, settledRef == 1) << "seed " << seed << " pass " << pass;
            ASSERT_EQ(picMine, picRef) << "seed " << seed << " pass " << pass;
            ASSERT_EQ(mine, theirs);
            ASSERT_EQ(State().balanceCb, st.balanceCb);
            ASSERT_EQ(State().balanceCr, st.balanceCr);
            ASSERT_EQ(State().gainRed, st.gain[0]);
            ASSERT_EQ(State().gainGreen, st.gain[1]);
            ASSERT_EQ(State().gainBlue, st.gain[2]);
        }
    }
    EXPECT_GT(std::max({st.gain[0], st.gain[1], st.gain[2]}), 1.05) << "the series moved the gains";
}

// The luma threshold decides which pixels the cast is measured over: from
// every pixel (below 0) to none (255, as the gamma table never exceeds it).
// Scales beyond 1 and below 0 put luma above 255 and below 0.
TEST_P(ColourKernels, EveryLumaThresholdMeasuresTheReferenceCast) {
    const Bytes raw = RandomRaw(5);
    for (double scale : {0.6, 1.5, -0.6})
        for (int threshold : {-7, 0, 1, 37, 120, 200, 254, 255}) {
            ref::ColourSettings st;
            st.yAccThresh = threshold;
            SciCloseColour();
            ASSERT_EQ(SciOpenColour(), SCI_OK);
            SciSetYAccThresh(threshold);
            // The open engine's matrix is remade with a new scale from the next
            // pass on: the second pass is the one measured.
            SciSetCompMatRawScale(scale);
            Bytes mine(kFrame), theirs(kFrame), picMine(kPicture), picRef(kPicture);
            for (int pass = 0; pass < 2; ++pass) {
                tarnlink::ReformatFrame(raw.data(), mine.data(), 16, 1);
                ref::Reformat(raw.data(), theirs.data(), 16, 1);
                ref::ColourPass(st, theirs.data(), picRef.data());
                SciImageReformat(mine.data(), picMine.data());
                st.rawScale = scale;
            }
            const std::string where =
                "scale " + std::to_string(scale) + " threshold " + std::to_string(threshold);
            EXPECT_EQ(picMine, picRef) << where;
            EXPECT_EQ(State().balanceCb, st.balanceCb) << where;
            EXPECT_EQ(State().balanceCr, st.balanceCr) << where;
        }
}

TEST_F(Colour, NonFiniteRawScaleIsRefused) {
    SciSetCompMatRawScale(0.9);
    for (double scale : {std::nan(""), HUGE_VAL, -HUGE_VAL}) {
        EXPECT_EQ(SciSetCompMatRawScale(scale), SCI_BAD_PARAMETER) << scale;
        EXPECT_EQ(State().rawScale, 0.9) << "the old scale stays";
    }
}

// A finite scale so large that the matrix overflows (infinity times a dark 0
// is NaN) still gives one defined picture, the same on every path; so do
// scales that push the colours far beyond a byte, which the limits to 0..255
// must catch, not wrap.
TEST_P(ColourKernels, HugeAndOverflowingRawScalesGiveTheSamePictureOnEveryPath) {
    const Bytes raw = RandomRaw(9);
    for (double scale : {DBL_MAX, -DBL_MAX, 100.0, -100.0, 5000.0}) {
        Bytes pictures[2];
        for (int path = 0; path < 2; ++path) {
            tarnlink::g_kernelPathCap = path == 0 ? KernelPath::kPlain : GetParam();
            SciCloseColour();
            ASSERT_EQ(SciOpenColour(), SCI_OK);
            ASSERT_EQ(SciSetCompMatRawScale(scale), SCI_OK);
            pictures[path].assign(kPicture, 7);
            for (int pass = 0; pass < 3; ++pass) {
                Bytes frame(kFrame);
                tarnlink::ReformatFrame(raw.data(), frame.data(), 16, 1);
                SciImageReformat(frame.data(), pictures[path].data());
            }
            EXPECT_TRUE(std::isfinite(State().gainRed) && std::isfinite(State().gainBlue));
        }
        EXPECT_EQ(pictures[0], pictures[1]) << scale;
    }
}

TEST_F(Colour, ColourizeLoopEqualsRepeatedReformatAndPass) {
    Bytes work(20680);
    tarnlink::g_lib.workBuffer = work.data();
    ref::ColourSettings st;
    int totalPasses = 0;
    for (unsigned seed = 20; seed < 23; ++seed) {
        const Bytes raw = RandomRaw(seed);
        Bytes picRef(kPicture), picMine(kPicture);
        int passes = 0;
        for (int settled = 0; !settled && passes < 50; ++passes) {
            Bytes frame(kFrame);
            ref::Reformat(raw.data(), frame.data(), 16, 1);
            settled = ref::ColourPass(st, frame.data(), picRef.data());
        }
        totalPasses += passes;
        SciSetBlackOffset(16);
        ASSERT_EQ(SciColourizeImage(raw.data(), picMine.data()), SCI_OK);
        EXPECT_EQ(picMine, picRef) << "seed " << seed << " after " << passes << " passes";
        EXPECT_EQ(State().gainRed, st.gain[0]);
        EXPECT_EQ(State().gainGreen, st.gain[1]);
        EXPECT_EQ(State().gainBlue, st.gain[2]);
    }
    EXPECT_GT(totalPasses, 6) << "some pictures needed several passes";
}

TEST_F(Colour, ColourizeLoopStopsAfterFiftyPassesWithTheLastPicture) {
    // Blue sites bright, the rest dim: a cast the gains cannot take out.
    Bytes raw(kFrame);
    for (int y = 0; y < 124; ++y)
        for (int b = 0; b < 164; ++b)
            raw[164 * y + b] = static_cast<uint8_t>((y & 1) != 0 && b >= 83 ? 200 : 30 + b % 7);
    Bytes work(20680), picture(kPicture), expected(kPicture);
    tarnlink::g_lib.workBuffer = work.data();
    ref::ColourSettings st;
    st.yAccThresh = 0; // every pixel with any light is measured
    SciSetYAccThresh(0);
    for (int pass = 0; pass < 50; ++pass) {
        Bytes frame(kFrame);
        ref::Reformat(raw.data(), frame.data(), 16, 1);
        ASSERT_EQ(ref::ColourPass(st, frame.data(), expected.data()), 0) << "pass " << pass;
    }
    SciSetBlackOffset(16);
    ASSERT_EQ(SciColourizeImage(raw.data(), picture.data()), SCI_OK);
    EXPECT_EQ(picture, expected);
    EXPECT_EQ(State().gainRed, st.gain[0]);
    EXPECT_EQ(State().gainGreen, st.gain[1]);
    EXPECT_EQ(State().balanceCb, st.balanceCb);
    EXPECT_EQ(State().balanceCr, st.balanceCr);
}

TEST_F(Colour, ColourizeUsesTheLineBlackLevelAndRefusesABadOffset) {
    Bytes work(20680);
    tarnlink::g_lib.workBuffer = work.data();
    const Bytes raw(kFrame, 30);
    Bytes picture(kPicture, 1);
    tarnlink::g_lib.lineBlackLevel = 30; // everything is black then
    SciSetBlackOffset(255);
    ASSERT_EQ(SciColourizeImage(raw.data(), picture.data()), SCI_OK);
    EXPECT_EQ(picture, Bytes(kPicture, 0));
    tarnlink::g_lib.lineBlackLevel = 16;

    SciSetBlackOffset(200); // reformatting refuses levels above 128
    std::fill(picture.begin(), picture.end(), 1);
    EXPECT_EQ(SciColourizeImage(raw.data(), picture.data()), SCI_IMAGE_COLOUR_FAIL);
    EXPECT_EQ(picture, Bytes(kPicture, 1));
}

} // namespace
