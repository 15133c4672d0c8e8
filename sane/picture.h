// What the library makes of a frame, in the layout SANE hands over: rows top
// first, red green blue. The same library calls as SciUploadImage and
// SciUploadGreyImage, so the bytes are the library's own.
#pragma once

#include <cstdint>
#include <vector>

#include "options.h"
#include "tarnlink.h"

namespace tarnsane {

// A colour or grey picture from the 124 raw lines of a line-by-line upload and
// the info its trailer gave. Returns the library's status.
SciStatus MakePicture(const Settings &s, const uint8_t *raw, const SciImageInfo &info,
                      std::vector<uint8_t> &out);

// The thumbnail as the library returns it (bottom row first), turned top first.
void ThumbnailRows(const uint8_t *thumbnail, std::vector<uint8_t> &out);

} // namespace tarnsane
