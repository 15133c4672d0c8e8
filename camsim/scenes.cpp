#include "scenes.h"

namespace camsim {

namespace {

void put(RgbImage &image, int x, int y, uint8_t r, uint8_t g, uint8_t b) {
    uint8_t *p = pixel_at(image, x, y);
    p[0] = r;
    p[1] = g;
    p[2] = b;
}

// Later variations rotate the channels, so that a bar or a figure changes its colour.
void rotate_channels(RgbImage &image, int turns) {
    for (size_t i = 0; i < image.rgb.size(); i += 3)
        for (int t = 0; t < turns % 3; ++t) {
            const uint8_t r = image.rgb[i];
            image.rgb[i] = image.rgb[i + 1];
            image.rgb[i + 1] = image.rgb[i + 2];
            image.rgb[i + 2] = r;
        }
}

void colour_bars(RgbImage &image, int) {
    static const uint8_t kBars[8][3] = {{255, 255, 255}, {255, 255, 0}, {0, 255, 255}, {0, 255, 0},
                                        {255, 0, 255},   {255, 0, 0},   {0, 0, 255},   {0, 0, 0}};
    for (int y = 0; y < kSensorHeight; ++y)
        for (int x = 0; x < kSensorWidth; ++x) {
            int bar = (x - 2) * 8 / 160; // eight bars over the 160 visible columns
            bar = bar < 0 ? 0 : (bar > 7 ? 7 : bar);
            put(image, x, y, kBars[bar][0], kBars[bar][1], kBars[bar][2]);
        }
}

void gradient(RgbImage &image, int) {
    for (int y = 0; y < kSensorHeight; ++y)
        for (int x = 0; x < kSensorWidth; ++x) {
            const int r = x * 255 / (kSensorWidth - 1);
            const int g = y * 255 / (kSensorHeight - 1);
            put(image, x, y, static_cast<uint8_t>(r), static_cast<uint8_t>(g),
                static_cast<uint8_t>(255 - r));
        }
}

void figure(RgbImage &image, int variation) {
    const int cx = 60 + (variation * 23) % 50, cy = 50 + (variation * 11) % 20;
    for (int y = 0; y < kSensorHeight; ++y)
        for (int x = 0; x < kSensorWidth; ++x) {
            if (y > 88)
                put(image, x, y, 40, 150, 50); // ground
            else
                put(image, x, y, 90, 150, static_cast<uint8_t>(200 + y / 2)); // sky
            const int dx = x - cx, dy = y - cy;
            if (dx * dx + dy * dy <= 28 * 28) put(image, x, y, 220, 40, 30); // the figure
            if (x >= 120 && x < 140 && y >= 20 && y < 40) put(image, x, y, 250, 230, 60);
        }
}

void checkerboard(RgbImage &image, int variation) {
    const int cell = 8 + 4 * (variation % 3);
    for (int y = 0; y < kSensorHeight; ++y)
        for (int x = 0; x < kSensorWidth; ++x) {
            if (((x / cell) + (y / cell)) & 1)
                put(image, x, y, 240, 140, 20);
            else
                put(image, x, y, 90, 30, 140);
        }
}

struct SceneKind {
    const char *name;
    void (*draw)(RgbImage &, int variation);
};

const SceneKind kSceneTable[kSceneKinds] = {
    {"bars", colour_bars},
    {"gradient", gradient},
    {"figure", figure},
    {"checkerboard", checkerboard},
};

} // namespace

RgbImage make_scene(int n) {
    RgbImage image = make_image(kSensorWidth, kSensorHeight);
    image.levels = Levels::SensorSamples; // test patterns go to the wire as they are drawn
    const int variation = n / kSceneKinds;
    kSceneTable[n % kSceneKinds].draw(image, variation);
    rotate_channels(image, variation);
    return image;
}

const char *scene_name(int n) {
    return kSceneTable[n % kSceneKinds].name;
}

} // namespace camsim
