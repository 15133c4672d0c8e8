#include "frame.h"

namespace camsim {

RgbImage make_image(int width, int height) {
    RgbImage image;
    image.width = width;
    image.height = height;
    image.rgb.assign(static_cast<size_t>(width) * height * 3, 0);
    return image;
}

void rng_seed(Rng &rng, uint64_t seed) {
    // Mix the seed so that 0, 1, 2 ... give unrelated streams; the state must never be 0.
    uint64_t z = seed + 0x9E3779B97F4A7C15ull;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z ^= z >> 31;
    rng.state = z != 0 ? z : 0x9E3779B97F4A7C15ull;
}

uint32_t rng_next(Rng &rng) {
    uint64_t x = rng.state;
    x ^= x >> 12;
    x ^= x << 25;
    x ^= x >> 27;
    rng.state = x;
    return static_cast<uint32_t>((x * 0x2545F4914F6CDD1Dull) >> 32);
}

uint32_t rng_below(Rng &rng, uint32_t bound) {
    return static_cast<uint32_t>((static_cast<uint64_t>(rng_next(rng)) * bound) >> 32);
}

double rng_unit(Rng &rng) {
    return rng_next(rng) / 4294967296.0;
}

} // namespace camsim
