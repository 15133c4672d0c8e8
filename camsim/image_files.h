// Reading picture files (PNG and BMP) and fitting them to the sensor.
#pragma once

#include "frame.h"

#include <cstddef>
#include <string>

namespace camsim {

// Decodes a BMP held in memory: 8-bit (palette), 24-bit and 32-bit, bottom-up or top-down,
// uncompressed (32-bit also with bit fields). False with a reason in error otherwise.
bool decode_bmp(const uint8_t *data, size_t size, RgbImage &out, std::string &error);

// Reads a PNG or BMP file (chosen by its first bytes, not its name).
bool load_image_file(const std::string &path, RgbImage &out, std::string &error);

// Scales a picture of any size to cover the 164 x 124 sites, keeping its aspect and cutting
// the excess equally from both sides; each site is the mean of the source pixels it covers.
RgbImage fit_to_sensor(const RgbImage &source);

// load_image_file followed by fit_to_sensor.
bool load_sensor_picture(const std::string &path, RgbImage &out, std::string &error);

} // namespace camsim
