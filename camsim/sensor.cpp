#include "sensor.h"

#include <cstring>

namespace camsim {

namespace {

// The trailer carries the slot (byte 0) and the black level (byte 1); bytes 2 and 3 a fixed
// exposure and scale code, byte 15 a sum of the others, so a host can see which slot it got.
void make_trailer(const StreamSettings &settings, uint8_t *trailer) {
    std::memset(trailer, 0, kTrailerLength);
    trailer[0] = settings.slot;
    trailer[1] = static_cast<uint8_t>(settings.blackLevel);
    trailer[2] = 0x3F;
    trailer[3] = 0x01;
    unsigned sum = 0;
    for (int i = 0; i < kTrailerLength - 1; ++i) sum += trailer[i];
    trailer[kTrailerLength - 1] = static_cast<uint8_t>(sum);
}

uint8_t site_level(const RgbImage &sensor, int x, int y) {
    const uint8_t *p = pixel_at(sensor, x, y);
    switch (site_colour(x, y)) {
    case SiteColour::Red:
        return p[0];
    case SiteColour::Green:
        return p[1];
    default:
        return p[2];
    }
}

} // namespace

SiteColour site_colour(int x, int y) {
    if (((x + y) & 1) == 0) return SiteColour::Green;
    return (x & 1) ? SiteColour::Red : SiteColour::Blue;
}

uint8_t raw_from_level(uint8_t level, int blackLevel) {
    if (blackLevel <= 0) return level;
    if (blackLevel >= 255) return 255;
    const int span = 255 - blackLevel;
    const int raw = blackLevel + (level * span + 254) / 255; // ceil(level * span / 255)
    return static_cast<uint8_t>(raw > 255 ? 255 : raw);
}

void make_picture_payload(const RgbImage &sensor, const StreamSettings &settings, Rng &rng,
                          uint8_t *payload) {
    const uint8_t black = static_cast<uint8_t>(settings.blackLevel);
    // Both leading lines read as black; line 1 bytes 8 to 155 are the host's black reference.
    std::memset(payload, black, kPictureLinesOffset);
    if (settings.blackNoise > 0) {
        const uint32_t spread = static_cast<uint32_t>(2 * settings.blackNoise + 1);
        for (int i = 0; i < kBlackReferenceLength; ++i) {
            int v = settings.blackLevel + static_cast<int>(rng_below(rng, spread)) -
                    settings.blackNoise;
            payload[kBlackReferenceOffset + i] =
                static_cast<uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v));
        }
    }
    for (int y = 0; y < kPictureLines; ++y) {
        uint8_t *row = payload + kPictureLinesOffset + y * kLineLength;
        // Bytes 0-80: odd columns 3 ... 163; 83-163: even columns 0 ... 160. The two spare
        // bytes 81 and 82 carry the columns that are left over, 1 and 162.
        for (int i = 0; i < 81; ++i) {
            row[i] = raw_from_level(site_level(sensor, 2 * i + 3, y), settings.blackLevel);
            row[83 + i] = raw_from_level(site_level(sensor, 2 * i, y), settings.blackLevel);
        }
        row[81] = raw_from_level(site_level(sensor, 1, y), settings.blackLevel);
        row[82] = raw_from_level(site_level(sensor, 162, y), settings.blackLevel);
    }
    make_trailer(settings, payload + kPicturePayload - kTrailerLength);
}

uint8_t luma(const uint8_t *rgb) {
    return static_cast<uint8_t>((77u * rgb[0] + 150u * rgb[1] + 29u * rgb[2] + 128u) >> 8);
}

void make_thumbnail_payload(const RgbImage &sensor, const StreamSettings &settings,
                            uint8_t *payload) {
    for (int j = 0; j < kThumbLines; ++j)
        for (int i = 0; i < kThumbWidth; ++i) {
            unsigned sum = 0;
            for (int dy = 0; dy < 4; ++dy)
                for (int dx = 0; dx < 4; ++dx)
                    sum += luma(pixel_at(sensor, 4 * i + 2 + dx, 4 * j + dy));
            payload[j * kThumbWidth + i] = static_cast<uint8_t>((sum + 8) / 16);
        }
    make_trailer(settings, payload + kThumbPayload - kTrailerLength);
}

} // namespace camsim
