// What the camera sends for a stored picture: the raw sensor stream of a 'u' reply and the
// grey thumbnail of an 'm' reply, both made from the picture's 164 x 124 RGB sites.
#pragma once

#include "frame.h"

namespace camsim {

// Shape of the picture stream: line length, leading lines, picture lines, trailer length.
constexpr int kLineLength = 164;
constexpr int kLeadingLines = 2;
constexpr int kPictureLines = 124;
constexpr int kTrailerLength = 16;
constexpr int kPicturePayload = kLineLength * (kLeadingLines + kPictureLines) + kTrailerLength;
constexpr int kBlackReferenceOffset = kLineLength + 8; // 148 bytes in leading line 1
constexpr int kBlackReferenceLength = 148;
constexpr int kPictureLinesOffset = kLineLength * kLeadingLines;

// Shape of the thumbnail stream: 31 lines of 40 grey bytes, then the trailer.
constexpr int kThumbWidth = 40;
constexpr int kThumbLines = 31;
constexpr int kThumbPayload = kThumbWidth * kThumbLines + kTrailerLength;

enum class SiteColour { Red, Green, Blue };

// The mosaic: green where x + y is even, red at odd x on even rows, blue at even x on odd rows.
SiteColour site_colour(int x, int y);

// Raw byte that the host's reformatting (subtract the black level, stretch by
// 255 / (255 - black), truncate) turns back into level; the smallest such byte, or the
// smallest one above it where the stretch skips the level. Never above 255.
uint8_t raw_from_level(uint8_t level, int blackLevel);

struct StreamSettings {
    int blackLevel = 16; // 0 to 255; the host accepts up to 128
    int blackNoise = 0;  // reference bytes vary by up to this much either way
    uint8_t slot = 0;    // goes into trailer byte 0
};

// Fills the 20,680-byte payload of a picture reply from a 164 x 124 picture.
void make_picture_payload(const RgbImage &sensor, const StreamSettings &settings, Rng &rng,
                          uint8_t *payload);

// Fills the 1,256-byte payload of a thumbnail reply: each byte is the mean luma of a 4 x 4
// block of sites (rows 4j to 4j + 3, columns 4i + 2 to 4i + 5), top line first.
void make_thumbnail_payload(const RgbImage &sensor, const StreamSettings &settings,
                            uint8_t *payload);

// Luma of one RGB value, (77 R + 150 G + 29 B + 128) / 256.
uint8_t luma(const uint8_t *rgb);

} // namespace camsim
