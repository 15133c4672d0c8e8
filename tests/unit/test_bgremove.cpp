// Background removal by colour keying: defaults, the key box, the estimate of
// the key from sample rectangles, argument checks, and the fast code against a
// slow literal version.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "imaging/bgremove.h"
#include "support/pictures.h"
#include "support/bgremove_reference.h"
#include "tarnlink.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr int kBytes = 57600;

using testpic::Uniform;

// Pixel at sample point (x, y): x from the right edge, y from the top.
uint8_t *At(Bytes &image, int x, int y) {
    return &image[((119 - y) * 160 + (159 - x)) * 3];
}

void Paint(Bytes &image, int x0, int y0, int w, int h, uint8_t c0, uint8_t c1, uint8_t c2) {
    for (int y = y0; y < y0 + h; ++y) {
        for (int x = x0; x < x0 + w; ++x) {
            uint8_t *p = At(image, x, y);
            p[0] = c0;
            p[1] = c1;
            p[2] = c2;
        }
    }
}

BgRmvParm Defaults() {
    BgRmvParm p;
    EXPECT_EQ(SciInitBgRmvParm(&p), SCI_OK);
    return p;
}

BgRmvParm FixedKey(uint8_t k0, uint8_t k1, uint8_t k2, uint8_t d) {
    BgRmvParm p = Defaults();
    p.autoKey = 0;
    p.keyColour[0] = k0;
    p.keyColour[1] = k1;
    p.keyColour[2] = k2;
    p.keyTolerance[0] = p.keyTolerance[1] = p.keyTolerance[2] = d;
    p.fillColour[0] = 1;
    p.fillColour[1] = 2;
    p.fillColour[2] = 3;
    return p;
}

Bytes Removed(const Bytes &image, const BgRmvParm *p) {
    Bytes out(kBytes, 0xA5);
    EXPECT_EQ(SciRemoveImageBackground(image.data(), out.data(), p), SCI_OK);
    return out;
}

bool Filled(const Bytes &out, int pixel, const BgRmvParm &p) {
    return std::memcmp(&out[pixel * 3], p.fillColour, 3) == 0;
}

TEST(BgRemoveParameters, InitWritesEveryDefault) {
    EXPECT_EQ(SciInitBgRmvParm(nullptr), SCI_NULL_POINTER);
    BgRmvParm p;
    std::memset(&p, 0xCD, sizeof p);
    ASSERT_EQ(SciInitBgRmvParm(&p), SCI_OK);
    const int32_t rects[8] = {5, 5, 3, 3, 153, 4, 3, 3};
    const int32_t got[8] = {p.sample1X, p.sample1Y, p.sample1Width, p.sample1Height,
                            p.sample2X, p.sample2Y, p.sample2Width, p.sample2Height};
    for (int i = 0; i < 8; ++i) EXPECT_EQ(got[i], rects[i]) << "field " << i;
    EXPECT_EQ(p.minTolerance, 20);
    EXPECT_EQ(p.maxTolerance, 255);
    EXPECT_EQ(p.toleranceMargin, 20);
    for (int c = 0; c < 3; ++c) {
        EXPECT_EQ(p.keyColour[c], 95);
        EXPECT_EQ(p.fillColour[c], 0);
        EXPECT_EQ(p.keyTolerance[c], 20);
    }
    EXPECT_EQ(p.autoKey, 1);
}

TEST(BgRemoveArguments, NullPicturesAreRefusedAndNothingIsWritten) {
    const Bytes image = Uniform(95, 95, 95);
    Bytes out(kBytes, 0x5A);
    const BgRmvParm p = Defaults();
    EXPECT_EQ(SciRemoveImageBackground(nullptr, out.data(), &p), SCI_IMAGE_NULL);
    EXPECT_EQ(SciRemoveImageBackground(image.data(), nullptr, &p), SCI_IMAGE_NULL);
    EXPECT_EQ(SciRemoveImageBackground(nullptr, nullptr, nullptr), SCI_IMAGE_NULL);
    EXPECT_EQ(out, Bytes(kBytes, 0x5A));
}

TEST(BgRemoveArguments, NullParametersBehaveAsTheDefaultsAndTheCallersRecordIsNotWritten) {
    std::mt19937 rng(9);
    std::uniform_int_distribution<int> byte(60, 130);
    Bytes image(kBytes);
    for (uint8_t &b : image) b = static_cast<uint8_t>(byte(rng));
    Paint(image, 5, 5, 3, 3, 90, 96, 99);
    const BgRmvParm p = Defaults();
    BgRmvParm before = p;
    EXPECT_EQ(Removed(image, nullptr), Removed(image, &p));
    EXPECT_EQ(std::memcmp(&before, &p, sizeof p), 0);
}

TEST(BgRemoveWorkedValues, UniformKeyGreyIsReplacedEverywhere) {
    const Bytes image = Uniform(95, 95, 95);
    EXPECT_EQ(Removed(image, nullptr), Bytes(kBytes, 0));
    BgRmvParm p = Defaults();
    ASSERT_EQ(tarnlink::EstimateBackground(image.data(), p), SCI_OK);
    for (int c = 0; c < 3; ++c) {
        EXPECT_EQ(p.keyColour[c], 95);
        EXPECT_EQ(p.keyTolerance[c], 20);
    }
}

TEST(BgRemoveWorkedValues, DifferentSamplesWidenTheToleranceOnAllBytes) {
    Bytes image = Uniform(95, 95, 95);
    Paint(image, 5, 5, 3, 3, 135, 95, 95);
    BgRmvParm p = Defaults();
    ASSERT_EQ(tarnlink::EstimateBackground(image.data(), p), SCI_OK);
    // t(0) = 40 + 20 = 60; key byte 0 = (135 + 95) / 2.
    const uint8_t key[3] = {115, 95, 95};
    for (int c = 0; c < 3; ++c) {
        EXPECT_EQ(p.keyColour[c], key[c]) << c;
        EXPECT_EQ(p.keyTolerance[c], 60) << c;
    }
    // Box 55..175 x 35..155 x 35..155 holds every pixel of the picture.
    p = Defaults();
    p.fillColour[0] = 7;
    EXPECT_EQ(Removed(image, &p), Uniform(7, 0, 0));
}

TEST(BgRemoveWorkedValues, SmallDifferencesAreRaisedToTheMinimumTolerance) {
    Bytes image = Uniform(95, 95, 95);
    Paint(image, 153, 4, 3, 3, 95, 100, 95);
    BgRmvParm p = Defaults();
    p.toleranceMargin = 3;
    ASSERT_EQ(tarnlink::EstimateBackground(image.data(), p), SCI_OK);
    EXPECT_EQ(p.keyTolerance[0], 20); // 5 + 3 raised to 20
    EXPECT_EQ(p.keyColour[1], 97);
}

// Bytes 74, 75, 76, 114, 115 and 116 in every combination around key 95 with
// tolerance 20: only pixels whose three bytes all lie in 76..114 are replaced.
TEST(BgRemoveKeyBox, TheBoxIsOpenAtBothEnds) {
    const uint8_t values[6] = {74, 75, 76, 114, 115, 116};
    Bytes image = Uniform(0, 0, 0);
    int pixel = 0;
    for (uint8_t a : values)
        for (uint8_t b : values)
            for (uint8_t c : values) {
                image[pixel * 3] = a;
                image[pixel * 3 + 1] = b;
                image[pixel * 3 + 2] = c;
                ++pixel;
            }
    const BgRmvParm p = FixedKey(95, 95, 95, 20);
    const Bytes out = Removed(image, &p);
    int replaced = 0;
    for (int i = 0; i < 19200; ++i) {
        bool inside = true;
        for (int c = 0; c < 3; ++c)
            inside = inside && image[i * 3 + c] >= 76 && image[i * 3 + c] <= 114;
        if (inside) {
            ++replaced;
            ASSERT_TRUE(Filled(out, i, p)) << "pixel " << i;
        } else {
            ASSERT_EQ(std::memcmp(&out[i * 3], &image[i * 3], 3), 0) << "pixel " << i;
        }
    }
    EXPECT_EQ(replaced, 8); // {76, 114} on each of the three bytes
}

// A key byte not above its tolerance puts the low end at 0, a key byte at or
// above 255 - tolerance puts the high end at 255: 0 and 255 are never keyed.
TEST(BgRemoveKeyBox, EndsOfTheByteRangeAreNeverKeyed) {
    struct Case {
        uint8_t key, tol, pixel;
        bool replaced;
    } cases[] = {
        {20, 20, 0, false},    {20, 20, 1, true},     {20, 20, 39, true},     {20, 20, 40, false},
        {10, 20, 0, false},    {10, 20, 1, true},     {10, 20, 29, true},     {10, 20, 30, false},
        {235, 20, 255, false}, {235, 20, 254, true},  {235, 20, 216, true},   {235, 20, 215, false},
        {250, 20, 255, false}, {250, 20, 230, false}, {250, 20, 231, true},   {0, 0, 0, false},
        {255, 0, 255, false},  {100, 0, 100, false},  {100, 1, 100, true},    {100, 255, 0, false},
        {100, 255, 1, true},   {100, 255, 254, true}, {100, 255, 255, false},
    };
    for (const Case &k : cases) {
        const BgRmvParm p = FixedKey(k.key, k.key, k.key, k.tol);
        const Bytes out = Removed(Uniform(k.pixel, k.pixel, k.pixel), &p);
        const bool replaced = Filled(out, 0, p) && Filled(out, 19199, p);
        const bool kept = out == Uniform(k.pixel, k.pixel, k.pixel);
        EXPECT_TRUE(k.replaced ? replaced : kept)
            << "key " << int(k.key) << " tolerance " << int(k.tol) << " pixel " << int(k.pixel);
    }
}

TEST(BgRemoveKeyBox, FixedKeyReplacesBytes76To114AndIgnoresTheSamples) {
    BgRmvParm p = FixedKey(95, 95, 95, 20);
    p.sample1X = -4; // not looked at without the estimate
    p.sample2Width = 0;
    Bytes image = Uniform(76, 114, 95);
    Paint(image, 0, 0, 80, 60, 75, 100, 100);
    const Bytes out = Removed(image, &p);
    for (int y = 0; y < 120; ++y) {
        for (int x = 0; x < 160; ++x) {
            const int pixel = (119 - y) * 160 + (159 - x);
            const bool figure = x < 80 && y < 60;
            ASSERT_EQ(Filled(out, pixel, p), !figure) << x << "," << y;
        }
    }
}

// Rectangles must have pixels and lie in columns 0..158 and rows 0..118.
TEST(BgRemoveEstimate, RectanglesOutsideThePictureOrWithoutPixelsAreRefused) {
    const Bytes image = Uniform(95, 95, 95);
    struct Case {
        int32_t x, y, w, h;
        bool ok;
    } cases[] = {
        {157, 4, 3, 3, false},
        {156, 4, 3, 3, true},
        {5, 117, 3, 3, false},
        {5, 116, 3, 3, true},
        {-1, 4, 3, 3, false},
        {5, -1, 3, 3, false},
        {5, 5, 0, 3, false},
        {5, 5, 3, 0, false},
        {5, 5, 1, 1, true},
        {0, 0, 159, 119, true},
        {0, 0, 160, 1, false},
        // Negative sides multiply to a positive count, but hold no pixels.
        {20, 20, -3, -3, false},
        {20, 20, -3, 3, false},
        // Sums that would overflow 32 bits.
        {2147483647, 0, 2, 2, false},
        {5, 5, 2147483647, 2147483647, false},
    };
    for (int which = 1; which <= 2; ++which) {
        for (const Case &k : cases) {
            BgRmvParm p = Defaults();
            int32_t *r = which == 1 ? &p.sample1X : &p.sample2X;
            r[0] = k.x;
            r[1] = k.y;
            r[2] = k.w;
            r[3] = k.h;
            const BgRmvParm before = p;
            Bytes out(kBytes, 0x5A);
            const SciStatus status = SciRemoveImageBackground(image.data(), out.data(), &p);
            const std::string what = "rectangle " + std::to_string(which) + ": " +
                                     std::to_string(k.x) + "," + std::to_string(k.y) + " " +
                                     std::to_string(k.w) + "x" + std::to_string(k.h);
            if (k.ok) {
                EXPECT_EQ(status, SCI_OK) << what;
                EXPECT_EQ(out, Bytes(kBytes, 0)) << what;
            } else {
                EXPECT_EQ(status, SCI_BAD_PARAMETER) << what;
                EXPECT_EQ(out, Bytes(kBytes, 0x5A)) << what << ": result touched";
                BgRmvParm estimated = p;
                EXPECT_EQ(tarnlink::EstimateBackground(image.data(), estimated), SCI_BAD_PARAMETER);
                EXPECT_EQ(std::memcmp(&estimated, &before, sizeof p), 0) << what;
            }
        }
    }
}

// A uniform background with a figure in front: the corners give the background
// as the key, the figure is kept whole.
TEST(BgRemoveEstimate, FigureInFrontOfAUniformBackgroundIsKept) {
    Bytes image = Uniform(40, 160, 70);
    Paint(image, 50, 20, 60, 90, 30, 60, 200);   // body
    Paint(image, 70, 10, 20, 12, 120, 140, 210); // head, light
    const Bytes original = image;
    BgRmvParm p = Defaults();
    ASSERT_EQ(tarnlink::EstimateBackground(image.data(), p), SCI_OK);
    const uint8_t key[3] = {40, 160, 70};
    for (int c = 0; c < 3; ++c) {
        EXPECT_EQ(p.keyColour[c], key[c]);
        EXPECT_EQ(p.keyTolerance[c], 20);
    }
    p = Defaults();
    p.fillColour[1] = 255;
    const Bytes out = Removed(image, &p);
    for (int y = 0; y < 120; ++y) {
        for (int x = 0; x < 160; ++x) {
            const int pixel = (119 - y) * 160 + (159 - x);
            const bool figure = (x >= 50 && x < 110 && y >= 20 && y < 110) ||
                                (x >= 70 && x < 90 && y >= 10 && y < 22);
            if (figure) {
                ASSERT_EQ(std::memcmp(&out[pixel * 3], &original[pixel * 3], 3), 0)
                    << x << "," << y;
            } else {
                ASSERT_TRUE(Filled(out, pixel, p)) << x << "," << y;
            }
        }
    }
}

// Green rising from left to right across the shown picture: the samples give
// 101 (left) and 138 (right), so the key is their middle and the tolerance
// their difference plus the margin, which still covers the whole gradient.
TEST(BgRemoveEstimate, GradientBackgroundWidensTheKeyBox) {
    Bytes image(kBytes);
    for (int y = 0; y < 120; ++y) {
        for (int x = 0; x < 160; ++x) {
            uint8_t *px = At(image, x, y);
            px[0] = 20;
            px[1] = static_cast<uint8_t>(100 + (159 - x) / 4);
            px[2] = 200;
        }
    }
    Paint(image, 60, 40, 40, 40, 200, 30, 20);  // figure
    Paint(image, 30, 90, 10, 10, 20, 119, 140); // green enough, but blue out of the box
    BgRmvParm p = Defaults();
    ASSERT_EQ(tarnlink::EstimateBackground(image.data(), p), SCI_OK);
    // Blue: |200 - 200| + 20; green: |138 - 101| + 20 = 57.
    const uint8_t key[3] = {20, 119, 200};
    for (int c = 0; c < 3; ++c) {
        EXPECT_EQ(p.keyColour[c], key[c]) << c;
        EXPECT_EQ(p.keyTolerance[c], 57) << c;
    }
    const Bytes out = Removed(image, nullptr);
    for (int y = 0; y < 120; ++y) {
        for (int x = 0; x < 160; ++x) {
            const int pixel = (119 - y) * 160 + (159 - x);
            const bool figure = (x >= 60 && x < 100 && y >= 40 && y < 80) ||
                                (x >= 30 && x < 40 && y >= 90 && y < 100);
            const bool black =
                out[pixel * 3] == 0 && out[pixel * 3 + 1] == 0 && out[pixel * 3 + 2] == 0;
            ASSERT_EQ(black, !figure) << x << "," << y;
        }
    }
}

// The tolerance is a byte. Limits beyond 0..255 give the nearest byte: 300
// must not wrap to 44, nor -10 to 246.
TEST(BgRemoveEstimate, EstimatedToleranceIsLimitedToAByte) {
    const Bytes image = Uniform(128, 128, 128);
    BgRmvParm p = Defaults();
    p.toleranceMargin = 300;
    p.maxTolerance = 400;
    ASSERT_EQ(tarnlink::EstimateBackground(image.data(), p), SCI_OK);
    EXPECT_EQ(p.keyTolerance[0], 255);
    p = Defaults();
    p.toleranceMargin = 300;
    p.maxTolerance = 400;
    Bytes picture = Uniform(128, 128, 128);
    Paint(picture, 0, 10, 160, 110, 254, 1, 200); // samples stay 128
    EXPECT_EQ(Removed(picture, &p), Bytes(kBytes, 0));

    p = Defaults();
    p.toleranceMargin = -50;
    p.minTolerance = -100;
    p.maxTolerance = -10;
    BgRmvParm estimated = p;
    ASSERT_EQ(tarnlink::EstimateBackground(image.data(), estimated), SCI_OK);
    EXPECT_EQ(estimated.keyTolerance[2], 0);
    EXPECT_EQ(Removed(image, &p), image); // an empty box keys nothing
}

TEST(BgRemoveReference, RandomPicturesAndParametersMatchTheLiteralVersion) {
    std::mt19937 rng(2024);
    std::uniform_int_distribution<int> byte(0, 255), coin(0, 3), tol(0, 80);
    int accepted = 0, refused = 0;
    long changed = 0;
    for (int round = 0; round < 60; ++round) {
        // Backgrounds near a random colour with noise, so that keying happens.
        const int base[3] = {byte(rng), byte(rng), byte(rng)};
        std::uniform_int_distribution<int> noise(-25, 25);
        Bytes image(kBytes);
        for (int i = 0; i < kBytes; ++i) {
            const int v = (coin(rng) == 0) ? byte(rng) : base[i % 3] + noise(rng);
            image[i] = static_cast<uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v));
        }
        BgRmvParm p = Defaults();
        p.autoKey = static_cast<uint8_t>(round % 3 == 0 ? 0 : (round % 7 == 0 ? 2 : 1));
        for (int c = 0; c < 3; ++c) {
            p.keyColour[c] = static_cast<uint8_t>(base[c]);
            p.keyTolerance[c] = static_cast<uint8_t>(tol(rng));
            p.fillColour[c] = static_cast<uint8_t>(byte(rng));
        }
        std::uniform_int_distribution<int> x(-2, 159), y(-2, 119), side(-1, 12);
        int32_t *rects = &p.sample1X;
        for (int i = 0; i < 8; i += 4) {
            rects[i] = x(rng);
            rects[i + 1] = y(rng);
            rects[i + 2] = side(rng);
            rects[i + 3] = side(rng);
        }
        p.minTolerance = tol(rng);
        p.maxTolerance = p.minTolerance + tol(rng);
        p.toleranceMargin = tol(rng) - 20;

        Bytes want(kBytes, 0x77), got(kBytes, 0x77);
        const bool ok = ref_bgremove::Remove(image.data(), want.data(), p);
        const SciStatus status = SciRemoveImageBackground(image.data(), got.data(), &p);
        ASSERT_EQ(status, ok ? SCI_OK : SCI_BAD_PARAMETER) << "round " << round;
        ASSERT_EQ(got, want) << "round " << round;
        (ok ? accepted : refused) += 1;
        if (ok)
            for (int i = 0; i < kBytes; ++i) changed += want[i] != image[i];
    }
    // The rounds must have covered both outcomes and really keyed pixels.
    EXPECT_GT(accepted, 10);
    EXPECT_GT(refused, 5);
    EXPECT_GT(changed, 100000);
}

} // namespace
