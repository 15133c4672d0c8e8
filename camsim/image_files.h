// Reading picture files (PNG and BMP) and fitting them to the sensor.
#pragma once

#include "frame.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace camsim {

// The longest side a picture file may have; guards the allocation against absurd headers.
constexpr int kMaxPictureSide = 16384;
// The largest file that can hold a picture of that size: 8 bytes a pixel (a 16-bit RGBA PNG
// stored without compression; a BMP takes at most 4) plus 64 MiB for PNG filter bytes, block
// and chunk headers and metadata. A larger file is no picture the simulator could take, and
// reading it whole would only exhaust memory.
constexpr uint64_t kMaxPictureFileBytes = 8ull * kMaxPictureSide * kMaxPictureSide + (64ull << 20);

// Decodes a BMP held in memory: 8-bit (palette), 24-bit and 32-bit, bottom-up or top-down,
// uncompressed (32-bit also with bit fields). False with a reason in error otherwise.
bool decode_bmp(const uint8_t *data, size_t size, RgbImage &out, std::string &error);

// Reads a PNG or BMP file (chosen by its first bytes, not its name). Only a regular file of at
// most kMaxPictureFileBytes is read; anything else is refused with "FILE: reason".
bool load_image_file(const std::string &path, RgbImage &out, std::string &error);

// Scales a picture of any size to cover the 164 x 124 sites, keeping its aspect and cutting
// the excess equally from both sides; each site is the mean of the source pixels it covers.
RgbImage fit_to_sensor(const RgbImage &source);

// load_image_file followed by fit_to_sensor.
bool load_sensor_picture(const std::string &path, RgbImage &out, std::string &error);

} // namespace camsim
