// The simulator's sensor model against the camera's documented processing, worked out here on
// its own: what the host makes of the samples of a photograph must be the photograph.
#include "camera.h"
#include "exposure.h"
#include "scenes.h"
#include "sensor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>

using namespace camsim;

namespace {

// The camera's tone table as its documentation gives it.
int tone(int i) {
    i = i < 0 ? 0 : (i > 255 ? 255 : i);
    const int curve = static_cast<int>(255.0 * std::pow(i / 255.0, 0.625));
    const int toe = static_cast<int>(4.5 * i);
    const int e = curve < toe ? curve : toe;
    return e > 255 ? 255 : e;
}

// What the host shows for one site of a flat area: raw scale 0.6 x to-YCbCr x gains x the
// compensation matrix, each of Y, Cb, Cr truncated, back to red, green, blue, truncated,
// through the tone table.
void host_shows(const uint8_t s[3], const double gains[3], int out[3]) {
    const double comp[3][3] = {{3.0, -1.0, -0.25}, {-0.75, 3.0, -0.4}, {-1.08, -1.5, 6.0}};
    const double ycc[3][3] = {
        {0.2568, 0.5041, 0.09791}, {-0.1482, -0.291, 0.4392}, {0.4392, -0.3678, -0.0714}};
    double corrected[3];
    for (int k = 0; k < 3; ++k)
        corrected[k] = gains[k] * (comp[k][0] * s[0] + comp[k][1] * s[1] + comp[k][2] * s[2]);
    int v[3];
    for (int i = 0; i < 3; ++i)
        v[i] = static_cast<int>(
            0.6 * (ycc[i][0] * corrected[0] + ycc[i][1] * corrected[1] + ycc[i][2] * corrected[2]));
    out[0] = tone(static_cast<int>(1.1644 * v[0] + 1.596 * v[2]));
    out[1] = tone(static_cast<int>(1.1644 * v[0] - 0.3942 * v[1] - 0.813 * v[2]));
    out[2] = tone(static_cast<int>(1.1644 * v[0] + 2.017 * v[1]));
}

RgbImage filled(uint8_t r, uint8_t g, uint8_t b) {
    RgbImage image = make_image(kSensorWidth, kSensorHeight);
    for (size_t i = 0; i < image.rgb.size(); i += 3) {
        image.rgb[i] = r;
        image.rgb[i + 1] = g;
        image.rgb[i + 2] = b;
    }
    return image;
}

void paint(RgbImage &image, int x0, int y0, int size, const uint8_t rgb[3]) {
    for (int y = y0; y < y0 + size; ++y)
        for (int x = x0; x < x0 + size; ++x)
            for (int c = 0; c < 3; ++c) pixel_at(image, x, y)[c] = rgb[c];
}

double mean_level(const RgbImage &image) {
    double sum = 0;
    for (int y = 2; y < 122; ++y)
        for (int x = 2; x < 162; ++x)
            for (int c = 0; c < 3; ++c) sum += pixel_at(image, x, y)[c];
    return sum / (160 * 120 * 3);
}

} // namespace

TEST(SensorModel, ToneTableIsTheCamerasOwnAndEveryLevelsLightComesBackAsIt) {
    const uint8_t *table = camera_tone_table();
    for (int i = 0; i < 256; ++i) ASSERT_EQ(table[i], tone(i)) << "entry " << i;
    // The documented entries: the straight toe up to 4, then the curve.
    EXPECT_EQ((std::vector<int>{table[0], table[1], table[2], table[3], table[4], table[5]}),
              (std::vector<int>{0, 4, 9, 13, 18, 21}));
    EXPECT_EQ(table[10], 33);
    EXPECT_EQ(table[64], 107);
    EXPECT_EQ(table[128], 165);
    EXPECT_EQ(table[254], 254);

    bool shown[256] = {};
    for (int i = 0; i < 256; ++i) shown[tone(i)] = true;
    for (int level = 0; level < 256; ++level) {
        // The host truncates the corrected level before the lookup.
        const int got = tone(static_cast<int>(light_for_level(level)));
        if (shown[level]) {
            EXPECT_EQ(got, level);
            continue;
        }
        // A level the table skips: the nearest it has, the brighter of two as near.
        int below = level, above = level;
        while (!shown[below]) --below;
        while (above < 255 && !shown[above]) ++above;
        EXPECT_EQ(got, level - below < above - level ? below : above) << "level " << level;
    }
}

TEST(SensorModel, ColoursOfAPhotographComeBackThroughTheCamerasCorrection) {
    // Patches on a grey ground, whose colours about cancel: the balance has nothing to do.
    RgbImage photo = filled(128, 128, 128);
    const uint8_t patches[6][3] = {{224, 172, 140}, {96, 144, 208},  {72, 136, 56},
                                   {90, 60, 40},    {232, 232, 232}, {40, 40, 40}};
    for (int i = 0; i < 6; ++i) paint(photo, 10 + 25 * i, 50, 20, patches[i]);
    const Exposure e = expose_photograph(photo);
    EXPECT_NEAR(e.light, 1.0, 0.03);
    for (double g : e.gains) EXPECT_LT(g, 1.05);

    const double ones[3] = {1.0, 1.0, 1.0};
    int out[3];
    for (int i = 0; i < 6; ++i) {
        host_shows(pixel_at(e.samples, 20 + 25 * i, 60), ones, out);
        for (int c = 0; c < 3; ++c)
            EXPECT_NEAR(out[c], patches[i][c], 5) << "patch " << i << " channel " << c;
    }
    host_shows(pixel_at(e.samples, 80, 20), ones, out);
    for (int c = 0; c < 3; ++c) EXPECT_NEAR(out[c], 128, 3);
    // Blue needs the least light: the camera's correction lifts it most.
    const uint8_t *grey = pixel_at(e.samples, 80, 20);
    EXPECT_LT(grey[2], grey[0]);
    EXPECT_LT(grey[2], grey[1]);
    // What the thumbnail is made from is what the host shows.
    int shown[3];
    host_shows(pixel_at(e.samples, 45, 60), e.gains, shown);
    for (int c = 0; c < 3; ++c) EXPECT_EQ(pixel_at(e.shown, 45, 60)[c], shown[c]);
}

TEST(SensorModel, ExposureAllowsForTheGainsTheBalanceWillRaise) {
    // A meadow, green, lit more towards the bottom, with a little texture. The host's grey
    // world raises blue and red, which brightens it.
    RgbImage meadow = filled(0, 0, 0);
    for (int y = 0; y < kSensorHeight; ++y)
        for (int x = 0; x < kSensorWidth; ++x) {
            const double f = 0.7 + 0.6 * y / 123.0 + 0.05 * ((x * 7 + y * 13) % 5);
            uint8_t *p = pixel_at(meadow, x, y);
            p[0] = static_cast<uint8_t>(std::min(255.0, 90 * f));
            p[1] = static_cast<uint8_t>(std::min(255.0, 170 * f));
            p[2] = static_cast<uint8_t>(std::min(255.0, 50 * f));
        }
    const Exposure e = expose_photograph(meadow);
    EXPECT_GT(e.gains[2], 2.0) << "blue";
    EXPECT_GT(e.gains[0], 1.5) << "red";
    EXPECT_LT(e.light, 0.8);
    // So less light is let in, and the picture is about as bright as the photograph.
    EXPECT_NEAR(mean_level(e.shown), mean_level(meadow), 0.1 * mean_level(meadow));

    // A grey scene is taken at the photograph's own light.
    RgbImage grey = filled(60, 60, 60);
    for (int y = 0; y < kSensorHeight; ++y)
        for (int x = 0; x < kSensorWidth; ++x)
            for (int c = 0; c < 3; ++c)
                pixel_at(grey, x, y)[c] = static_cast<uint8_t>(x < 60 ? 60 : (x < 110 ? 120 : 200));
    const Exposure n = expose_photograph(grey);
    EXPECT_NEAR(n.light, 1.0, 0.03);
    for (double g : n.gains) EXPECT_LT(g, 1.05);
    EXPECT_NEAR(mean_level(n.shown), mean_level(grey), 1.5);
}

TEST(SensorModel, WhiteStaysWhiteAndNoMoreBlowsOutThanTheSceneHas) {
    // A white page: any light that shows it white will do, and more light clips at the
    // sensor's full level instead of wrapping round to dark.
    const Exposure white = expose_photograph(filled(255, 255, 255));
    for (uint8_t v : white.shown.rgb) ASSERT_EQ(v, 255);
    // A dark scene with a white sun: the metering keeps the ground, the sun stays white and
    // no more than a fraction of a point beyond it blows out.
    RgbImage sun = filled(60, 60, 60);
    const uint8_t full[3] = {255, 255, 255};
    paint(sun, 70, 50, 24, full);
    const Exposure e = expose_photograph(sun);
    int whiteSites = 0;
    for (int y = 2; y < 122; ++y)
        for (int x = 2; x < 162; ++x) {
            const uint8_t *p = pixel_at(e.shown, x, y);
            whiteSites += p[0] == 255 && p[1] == 255 && p[2] == 255;
        }
    EXPECT_LE(whiteSites, 24 * 24 + 96);
    EXPECT_NEAR(pixel_at(e.shown, 20, 20)[1], 60, 3);
}

TEST(SensorModel, CameraExposesPhotographsAndSendsScenesAsDrawn) {
    Camera cam;
    camera_init(cam, 3);
    const uint8_t skin[3] = {224, 172, 140};
    RgbImage photo = filled(128, 128, 128);
    paint(photo, 60, 40, 40, skin);
    ASSERT_TRUE(camera_store(cam, 0, photo, "photo"));
    ASSERT_TRUE(camera_store(cam, 1, make_scene(2), "scene 2"));
    EXPECT_FALSE(camera_store(cam, 3, photo, "past the last slot"));

    const Exposure e = expose_photograph(photo);
    EXPECT_EQ(cam.slots[0].picture.rgb, e.samples.rgb);
    EXPECT_EQ(cam.slots[0].shown.rgb, e.shown.rgb);
    // Its thumbnail is the picture's luma: grey 128 and the skin's, not the samples'.
    uint8_t thumb[kThumbPayload];
    StreamSettings settings;
    make_thumbnail_payload(cam.slots[0].shown, settings, thumb);
    EXPECT_NEAR(thumb[0], 128, 2);
    EXPECT_NEAR(thumb[13 * kThumbWidth + 19], luma(skin), 6);

    // A scene is the sensor's samples already: stream and thumbnail as before.
    const RgbImage scene = make_scene(2);
    EXPECT_EQ(cam.slots[1].picture.rgb, scene.rgb);
    EXPECT_EQ(cam.slots[1].shown.rgb, scene.rgb);
}
