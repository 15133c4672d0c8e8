#pragma once

#include <cstddef>
#include <cstdint>

namespace tarnlink {

// A 160 x 120 colour picture in, 320 x 240 out, 3 bytes a pixel, rows in the
// same order as the source.
constexpr int kEnlargeInWidth = 160;
constexpr int kEnlargeInHeight = 120;
constexpr int kEnlargeOutWidth = 2 * kEnlargeInWidth;
constexpr int kEnlargeOutHeight = 2 * kEnlargeInHeight;
constexpr int kEnlargeInBytes = kEnlargeInWidth * kEnlargeInHeight * 3;
constexpr int kEnlargeOutBytes = kEnlargeOutWidth * kEnlargeOutHeight * 3;

// Where the working planes come from; tests put a failing source here.
struct PlaneMemory {
    void *(*obtain)(size_t bytes); // null when the memory cannot be had
    void (*release)(void *block);
};

// The heap.
extern const PlaneMemory kHeapPlaneMemory;

// Picture -> luma at full resolution (160 x 120) and the two chroma planes
// averaged over 2 x 2 blocks (80 x 60), chroma strengthened by 1.2.
void RgbToYcc420(const uint8_t *source, int16_t *luma, int16_t *cb, int16_t *cr);

// Doubles a w x h plane of samples within -8192..8191 to 2w x 2h by linear
// interpolation, first along the rows, then down the columns; edge samples
// are doubled against themselves. w at most 160.
void Upsample2x(const int16_t *plane, int w, int h, int16_t *doubled);

// Doubled planes (luma 320 x 240 within -16..239, chroma 160 x 120 within
// -128..127, as the steps above make them) -> 320 x 240 picture.
void YccToRgb(const int16_t *luma, const int16_t *cb, const int16_t *cr, uint8_t *result);

// Doubling and YccToRgb in one sweep, without whole doubled planes: planes as
// RgbToYcc420 makes them -> 320 x 240 picture, the same bytes as doubling each
// plane with Upsample2x and converting those.
void EnlargeYcc(const int16_t *luma, const int16_t *cb, const int16_t *cr, uint8_t *result);

// The whole enlargement. False, with the planes obtained so far released and
// the result incomplete, when a working plane cannot be had.
bool EnlargeImage(const uint8_t *source, uint8_t *result, const PlaneMemory &memory);

} // namespace tarnlink
