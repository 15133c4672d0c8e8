// Pictures as the simulator holds them: plain RGB rasters, top row first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace camsim {

// The sensor's sites: every stored picture is kept at this size, one RGB value per site.
constexpr int kSensorWidth = 164;
constexpr int kSensorHeight = 124;

// What a picture's levels stand for. A photograph holds light as a display shows it; the
// camera exposes it onto its sensor before sending it. A generated scene holds the sensor's
// own samples and is sent as it is.
enum class Levels { Photograph, SensorSamples };

struct RgbImage {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> rgb; // width * height * 3 bytes, R G B, top row first
    Levels levels = Levels::Photograph;
};

inline const uint8_t *pixel_at(const RgbImage &image, int x, int y) {
    return &image.rgb[(static_cast<size_t>(y) * image.width + x) * 3];
}

inline uint8_t *pixel_at(RgbImage &image, int x, int y) {
    return &image.rgb[(static_cast<size_t>(y) * image.width + x) * 3];
}

RgbImage make_image(int width, int height);

// Small deterministic generator (xorshift64*): the same seed gives the same faults and noise
// on every platform, which std::uniform_int_distribution does not promise.
struct Rng {
    uint64_t state = 0x9E3779B97F4A7C15ull;
};

void rng_seed(Rng &rng, uint64_t seed);
uint32_t rng_next(Rng &rng);
// Uniform in 0 .. bound - 1 (bound > 0).
uint32_t rng_below(Rng &rng, uint32_t bound);
// Uniform in [0, 1).
double rng_unit(Rng &rng);

} // namespace camsim
