#pragma once

#include <cstdint>

#include "tarnlink.h"

namespace tarnlink {

// The pictures keyed: 160 x 120 pixels of 3 bytes, bottom row first.
constexpr int kKeyWidth = 160;
constexpr int kKeyHeight = 120;
constexpr int kKeyPixels = kKeyWidth * kKeyHeight;

// The values SciInitBgRmvParm writes.
extern const BgRmvParm kDefaultBgRmvParm;

// Sets keyColour and keyTolerance of `parm` from the means of its two sample
// rectangles. SCI_BAD_PARAMETER, with `parm` unchanged, for a rectangle that
// does not lie inside the sampled area or has no pixels.
SciStatus EstimateBackground(const uint8_t *image, BgRmvParm &parm);

// Every pixel whose three bytes all lie strictly inside the box around the key
// colour becomes the fill colour in `result`; the others are copied.
void ApplyColourKey(const uint8_t *image, uint8_t *result, const BgRmvParm &parm);

} // namespace tarnlink
