// The raw frame the imaging benchmarks start from (a lit gradient, a bright
// patch and sensor noise, so that every colour reaches a range of levels) and
// the check they make before timing the colour pass.
#pragma once

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "imaging/colour.h"
#include "imaging/reformat.h"
#include "support/colour_reference.h"
#include "tarnlink.h"

namespace bench {

constexpr int kFrameW = 164, kFrameH = 124, kFrame = kFrameW * kFrameH;

inline std::vector<uint8_t> RawScene() {
    std::mt19937 rng(11);
    std::uniform_int_distribution<int> noise(-12, 12);
    std::vector<uint8_t> raw(kFrame);
    for (int y = 0; y < kFrameH; ++y)
        for (int x = 0; x < kFrameW; ++x) {
            const bool patch = x > 40 && x < 90 && y > 30 && y < 80;
            const int v = (patch ? 200 : 40 + x / 2 + y / 3) + noise(rng);
            raw[kFrameW * y + x] = static_cast<uint8_t>(std::clamp(v, 0, 255));
        }
    return raw;
}

// The frame reformatted into `reformatted`, and whether one colour pass over
// it gives the literal reference's picture. Leaves the colour engine open.
inline bool ColourPassMatches(const std::vector<uint8_t> &raw, std::vector<uint8_t> &reformatted) {
    std::vector<uint8_t> frame(kFrame), picture(160 * 120 * 3), expected(picture.size());
    reformatted.resize(kFrame);
    tarnlink::ReformatFrame(raw.data(), reformatted.data(), 16, 1);
    ref::ColourSettings st;
    frame = reformatted;
    ref::ColourPass(st, frame.data(), expected.data());
    SciOpenColour();
    frame = reformatted;
    tarnlink::ColourPass(frame.data(), picture.data());
    return picture == expected;
}

} // namespace bench
