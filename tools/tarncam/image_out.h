// Writing pictures: PNG through libpng, or BMP, never leaving a partial file.
#pragma once

#include <cstdint>
#include <string>

namespace tarncam {

enum class Format { kPng, kBmp };

// Pixels as the library gives them: bottom row first, blue green red for
// three channels, one byte for grey.
struct Picture {
    const uint8_t *pixels;
    int width;
    int height;
    int channels; // 3 or 1
};

// Writes path via path.part (fsync, then rename); path.part is always a new
// file made here, whatever stood under that name is removed first, never
// written through. False with the reason in error; no file is left behind then.
bool WritePicture(const std::string &path, const Picture &picture, Format format,
                  std::string &error);
// A grey or RGB image already top row first, as PNG.
bool WritePngTopDown(const std::string &path, const uint8_t *pixels, int width, int height,
                     int channels, std::string &error);
// The .part file a write in progress uses; removed when interrupted.
std::string PartPath(const std::string &path);
// False, with the reason in error, when path exists and is not a regular file
// (a symlink to one counts as one): the rename would put the picture in place
// of a device node, a fifo or a folder. A missing path is fine.
bool TargetReplaceable(const std::string &path, std::string &error);

} // namespace tarncam
