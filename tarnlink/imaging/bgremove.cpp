// Background removal by colour keying, with the key colour either given or
// estimated from two sample rectangles of the picture.
#include "imaging/bgremove.h"

#include <cstdint>

namespace tarnlink {
namespace {

constexpr int kRowBytes = kKeyWidth * 3;
// 16 pixels: the byte pattern of the key box repeats every 48 bytes, which is
// also a whole number of vector registers.
constexpr int kPeriod = 48;
static_assert(kRowBytes % kPeriod == 0, "rows hold whole periods");

struct Rectangle {
    int64_t x, y, width, height;
};

// Sample points count x from the right edge and y from the top of the shown
// picture. Sides must be positive: a rectangle of negative width and height
// would otherwise pass as having pixels and give a key estimated from nothing.
bool Fits(const Rectangle &r) {
    return r.width > 0 && r.height > 0 && r.x >= 0 && r.x + r.width < kKeyWidth && r.y >= 0 &&
           r.y + r.height < kKeyHeight;
}

void Means(const uint8_t *image, const Rectangle &r, int64_t mean[3]) {
    int64_t sum[3] = {0, 0, 0};
    for (int64_t y = r.y; y < r.y + r.height; ++y) {
        for (int64_t x = r.x; x < r.x + r.width; ++x) {
            const uint8_t *px =
                image + ((kKeyHeight - 1 - y) * kKeyWidth + (kKeyWidth - 1 - x)) * 3;
            for (int c = 0; c < 3; ++c) sum[c] += px[c];
        }
    }
    for (int c = 0; c < 3; ++c) mean[c] = sum[c] / (r.width * r.height);
}

// The key box as byte patterns over one period. A byte b is inside when
// (uint8)(b - base) < span, i.e. low < b < high.
struct KeyPattern {
    uint8_t base[kPeriod];
    uint8_t span[kPeriod];
    uint8_t fill[kPeriod];
    // 0xFF where a neighbour at -2, -1, +1, +2 belongs to another pixel and so
    // does not count for this byte's pixel.
    uint8_t skip[4][kPeriod];
};

void BuildPattern(const BgRmvParm &parm, KeyPattern &p) {
    uint8_t base[3], span[3];
    for (int c = 0; c < 3; ++c) {
        const int k = parm.keyColour[c], d = parm.keyTolerance[c];
        const int low = k > d ? k - d : 0;
        const int high = k < 255 - d ? k + d : 255;
        const int width = high - low - 1; // bytes strictly between low and high
        base[c] = static_cast<uint8_t>(low + 1);
        span[c] = static_cast<uint8_t>(width > 0 ? width : 0);
    }
    static constexpr int kOffsets[4] = {-2, -1, 1, 2};
    for (int i = 0; i < kPeriod; ++i) {
        const int c = i % 3;
        p.base[i] = base[c];
        p.span[i] = span[c];
        p.fill[i] = parm.fillColour[c];
        for (int n = 0; n < 4; ++n) {
            const int other = c + kOffsets[n];
            p.skip[n][i] = (other < 0 || other > 2) ? 0xFF : 0x00;
        }
    }
}

} // namespace

const BgRmvParm kDefaultBgRmvParm = {
    5, 5, 3, 3, 153, 4, 3, 3, 20, 255, 20, {95, 95, 95}, {0, 0, 0}, {20, 20, 20}, 1};

SciStatus EstimateBackground(const uint8_t *image, BgRmvParm &parm) {
    const Rectangle first = {parm.sample1X, parm.sample1Y, parm.sample1Width, parm.sample1Height};
    const Rectangle second = {parm.sample2X, parm.sample2Y, parm.sample2Width, parm.sample2Height};
    if (!Fits(first) || !Fits(second)) return SCI_BAD_PARAMETER;

    int64_t mean1[3], mean2[3];
    Means(image, first, mean1);
    Means(image, second, mean2);
    int64_t t = 0;
    for (int c = 0; c < 3; ++c) {
        int64_t tc = (mean1[c] > mean2[c] ? mean1[c] - mean2[c] : mean2[c] - mean1[c]) +
                     parm.toleranceMargin;
        if (tc < parm.minTolerance) tc = parm.minTolerance;
        if (tc > parm.maxTolerance) tc = parm.maxTolerance;
        if (c == 0 || tc > t) t = tc;
    }
    // The tolerance is a byte: limits set beyond 0..255 give the nearest byte
    // rather than a wrapped one (300 would otherwise become 44).
    t = t < 0 ? 0 : (t > 255 ? 255 : t);
    for (int c = 0; c < 3; ++c) {
        parm.keyTolerance[c] = static_cast<uint8_t>(t);
        parm.keyColour[c] = static_cast<uint8_t>((mean1[c] + mean2[c]) / 2);
    }
    return SCI_OK;
}

void ApplyColourKey(const uint8_t *image, uint8_t *result, const BgRmvParm &parm) {
    KeyPattern p;
    BuildPattern(parm, p);
    // inside[2 + i]: 0xFF when byte i of the row is inside its box. The two
    // bytes of margin on each side are only read where skip masks them.
    uint8_t inside[kRowBytes + 4] = {};
    for (int row = 0; row < kKeyHeight; ++row) {
        const uint8_t *src = image + row * kRowBytes;
        uint8_t *dst = result + row * kRowBytes;
        for (int start = 0; start < kRowBytes; start += kPeriod) {
            const uint8_t *s = src + start;
            uint8_t *in = inside + 2 + start;
            for (int i = 0; i < kPeriod; ++i)
                in[i] = static_cast<uint8_t>(s[i] - p.base[i]) < p.span[i] ? 0xFF : 0x00;
        }
        for (int start = 0; start < kRowBytes; start += kPeriod) {
            const uint8_t *s = src + start;
            const uint8_t *in = inside + 2 + start;
            uint8_t *d = dst + start;
            // A pixel is keyed when all three of its bytes are inside.
            for (int i = 0; i < kPeriod; ++i) {
                const uint8_t keyed = in[i] & (in[i - 2] | p.skip[0][i]) &
                                      (in[i - 1] | p.skip[1][i]) & (in[i + 1] | p.skip[2][i]) &
                                      (in[i + 2] | p.skip[3][i]);
                d[i] = static_cast<uint8_t>((s[i] & ~keyed) | (p.fill[i] & keyed));
            }
        }
    }
}

} // namespace tarnlink

extern "C" SCI_API SciStatus SCICALL SciInitBgRmvParm(BgRmvParm *parm) {
    if (parm == nullptr) return SCI_NULL_POINTER;
    *parm = tarnlink::kDefaultBgRmvParm;
    return SCI_OK;
}

extern "C" SCI_API SciStatus SCICALL SciRemoveImageBackground(const uint8_t *image, uint8_t *result,
                                                              const BgRmvParm *parm) {
    if (image == nullptr || result == nullptr) return SCI_IMAGE_NULL;
    // A private copy: estimated values never reach the caller's record.
    BgRmvParm own = parm != nullptr ? *parm : tarnlink::kDefaultBgRmvParm;
    if (own.autoKey == 1) {
        const SciStatus status = tarnlink::EstimateBackground(image, own);
        if (status != SCI_OK) return status;
    }
    tarnlink::ApplyColourKey(image, result, own);
    return SCI_OK;
}
