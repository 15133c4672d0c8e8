// A slow, literal background removal written straight from the formulas, pixel
// by pixel, to check the library's fast code against.
#pragma once

#include <cstdint>
#include <cstdlib>

#include "tarnlink.h"

namespace ref_bgremove {

// Byte c of the pixel at sample point (x, y): x from the right edge, y from the
// top of the shown picture, which is stored bottom row first.
inline int SampleByte(const uint8_t *image, int x, int y, int c) {
    return image[((119 - y) * 160 + (159 - x)) * 3 + c];
}

inline bool RectangleOk(long long x, long long y, long long w, long long h) {
    return x >= 0 && x + w < 160 && y >= 0 && y + h < 120 && w > 0 && h > 0;
}

inline int Mean(const uint8_t *image, int x0, int y0, int w, int h, int c) {
    long long sum = 0;
    for (int y = y0; y <= y0 + h - 1; ++y)
        for (int x = x0; x <= x0 + w - 1; ++x) sum += SampleByte(image, x, y, c);
    return static_cast<int>(sum / (static_cast<long long>(w) * h));
}

// False for a refused rectangle. The tolerance is limited to 0..255.
inline bool Estimate(const uint8_t *image, BgRmvParm &p) {
    if (!RectangleOk(p.sample1X, p.sample1Y, p.sample1Width, p.sample1Height)) return false;
    if (!RectangleOk(p.sample2X, p.sample2Y, p.sample2Width, p.sample2Height)) return false;
    long long best = 0;
    int key[3];
    for (int c = 0; c < 3; ++c) {
        const int m1 = Mean(image, p.sample1X, p.sample1Y, p.sample1Width, p.sample1Height, c);
        const int m2 = Mean(image, p.sample2X, p.sample2Y, p.sample2Width, p.sample2Height, c);
        long long t = std::llabs(static_cast<long long>(m1) - m2) + p.toleranceMargin;
        if (t < p.minTolerance) t = p.minTolerance;
        if (t > p.maxTolerance) t = p.maxTolerance;
        if (c == 0 || t > best) best = t;
        key[c] = (m1 + m2) / 2;
    }
    if (best > 255) best = 255;
    if (best < 0) best = 0;
    for (int c = 0; c < 3; ++c) {
        p.keyColour[c] = static_cast<uint8_t>(key[c]);
        p.keyTolerance[c] = static_cast<uint8_t>(best);
    }
    return true;
}

inline void Key(const uint8_t *image, uint8_t *result, const BgRmvParm &p) {
    int low[3], high[3];
    for (int c = 0; c < 3; ++c) {
        const int k = p.keyColour[c], d = p.keyTolerance[c];
        low[c] = k > d ? k - d : 0;
        high[c] = k < 255 - d ? k + d : 255;
    }
    for (int i = 0; i < 19200; ++i) {
        bool inside = true;
        for (int c = 0; c < 3; ++c) {
            const int b = image[i * 3 + c];
            if (!(low[c] < b && b < high[c])) inside = false;
        }
        for (int c = 0; c < 3; ++c) result[i * 3 + c] = inside ? p.fillColour[c] : image[i * 3 + c];
    }
}

// The whole operation; false where a rectangle is refused.
inline bool Remove(const uint8_t *image, uint8_t *result, BgRmvParm p) {
    if (p.autoKey == 1 && !Estimate(image, p)) return false;
    Key(image, result, p);
    return true;
}

} // namespace ref_bgremove
