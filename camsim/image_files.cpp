#include "image_files.h"

#include <fcntl.h>
#include <png.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace camsim {

namespace {

constexpr int kMaxSide = kMaxPictureSide;

uint32_t le16(const uint8_t *p) {
    return static_cast<uint32_t>(p[0] | (p[1] << 8));
}
uint32_t le32(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

struct Channel {
    uint32_t mask = 0;
    int shift = 0;
    int bits = 0;
};

Channel channel_from_mask(uint32_t mask) {
    Channel c;
    c.mask = mask;
    if (mask == 0) return c;
    while (((mask >> c.shift) & 1u) == 0) ++c.shift;
    uint32_t m = mask >> c.shift;
    while (m & 1u) {
        ++c.bits;
        m >>= 1;
    }
    return c;
}

uint8_t channel_value(const Channel &c, uint32_t pixel) {
    if (c.bits == 0) return 0;
    uint32_t v = (pixel & c.mask) >> c.shift;
    if (c.bits >= 8) return static_cast<uint8_t>(v >> (c.bits - 8));
    return static_cast<uint8_t>(v * 255u / ((1u << c.bits) - 1u));
}

const char *file_kind(mode_t mode) {
    if (S_ISDIR(mode)) return "a directory";
    if (S_ISCHR(mode)) return "a character device";
    if (S_ISBLK(mode)) return "a block device";
    if (S_ISFIFO(mode)) return "a fifo";
    if (S_ISSOCK(mode)) return "a socket";
    return "not a regular file";
}

std::string too_large(const std::string &path, uint64_t size) {
    return path + ": too large for a picture (" + std::to_string(size) + " bytes, at most " +
           std::to_string(kMaxPictureFileBytes) + ")";
}

// Regular files only: a fifo would block start-up and a device such as /dev/zero never ends.
bool read_file(const std::string &path, std::vector<uint8_t> &bytes, std::string &error) {
    // Non-blocking, so that opening a fifo returns at once instead of waiting for a writer.
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    struct stat st;
    if (fstat(fd, &st) != 0) {
        error = path + ": " + std::strerror(errno);
        close(fd);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        error = path + ": " + file_kind(st.st_mode) + ", not a regular file";
        close(fd);
        return false;
    }
    if (static_cast<uint64_t>(st.st_size) > kMaxPictureFileBytes) {
        error = too_large(path, static_cast<uint64_t>(st.st_size));
        close(fd);
        return false;
    }
    bytes.reserve(static_cast<size_t>(st.st_size));
    uint8_t buffer[65536];
    bool ok = true;
    while (ok) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            error = path + ": " + std::strerror(errno);
            ok = false;
            break;
        }
        if (n == 0) break;
        bytes.insert(bytes.end(), buffer, buffer + n);
        if (bytes.size() > kMaxPictureFileBytes) { // it grew while being read
            error = too_large(path, bytes.size());
            ok = false;
        }
    }
    close(fd);
    return ok;
}

bool decode_png(const std::vector<uint8_t> &bytes, RgbImage &out, std::string &error) {
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&image, bytes.data(), bytes.size())) {
        error = std::string("bad PNG: ") + image.message;
        return false;
    }
    if (image.width == 0 || image.height == 0 || image.width > kMaxSide ||
        image.height > kMaxSide) {
        png_image_free(&image);
        error = "PNG size out of range";
        return false;
    }
    image.format = PNG_FORMAT_RGB;
    RgbImage decoded = make_image(static_cast<int>(image.width), static_cast<int>(image.height));
    png_color black = {0, 0, 0}; // transparent parts show as black
    if (!png_image_finish_read(&image, &black, decoded.rgb.data(), 0, nullptr)) {
        error = std::string("bad PNG: ") + image.message;
        png_image_free(&image);
        return false;
    }
    out = std::move(decoded);
    return true;
}

} // namespace

bool decode_bmp(const uint8_t *data, size_t size, RgbImage &out, std::string &error) {
    if (size < 54 || data[0] != 'B' || data[1] != 'M') {
        error = "not a BMP file";
        return false;
    }
    const uint32_t pixelOffset = le32(data + 10);
    const uint32_t headerSize = le32(data + 14);
    if (headerSize < 40 || 14ull + headerSize > size) {
        error = "unsupported BMP header (only Windows BMP version 3 and later)";
        return false;
    }
    const int32_t width = static_cast<int32_t>(le32(data + 18));
    const int32_t rawHeight = static_cast<int32_t>(le32(data + 22));
    const uint32_t bitCount = le16(data + 28);
    const uint32_t compression = le32(data + 30);
    uint32_t coloursUsed = le32(data + 46);
    if (width <= 0 || width > kMaxSide || rawHeight == 0 || rawHeight < -kMaxSide ||
        rawHeight > kMaxSide) {
        error = "BMP size out of range";
        return false;
    }
    const bool topDown = rawHeight < 0;
    const int height = topDown ? -rawHeight : rawHeight;

    Channel red, green, blue;
    size_t tableOffset = 14 + headerSize;
    if (compression == 3 && bitCount == 32) {
        const uint8_t *masks = data + 54; // inside the header from version 4 on, else after it
        if (headerSize == 40) {
            if (size < 66) {
                error = "truncated BMP bit fields";
                return false;
            }
            tableOffset += 12;
        }
        red = channel_from_mask(le32(masks));
        green = channel_from_mask(le32(masks + 4));
        blue = channel_from_mask(le32(masks + 8));
    } else if (compression == 0 && bitCount == 32) {
        red = channel_from_mask(0x00FF0000u);
        green = channel_from_mask(0x0000FF00u);
        blue = channel_from_mask(0x000000FFu);
    } else if (compression != 0 || (bitCount != 8 && bitCount != 24)) {
        error = "unsupported BMP format: " + std::to_string(bitCount) + "-bit, compression " +
                std::to_string(compression) + " (8, 24 and 32-bit uncompressed are read)";
        return false;
    }

    uint8_t palette[256][3] = {};
    if (bitCount == 8) {
        if (coloursUsed == 0) coloursUsed = 256;
        if (coloursUsed > 256 || tableOffset + 4ull * coloursUsed > size) {
            error = "bad BMP palette";
            return false;
        }
        for (uint32_t i = 0; i < coloursUsed; ++i) {
            const uint8_t *entry = data + tableOffset + 4 * i; // blue, green, red, reserved
            palette[i][0] = entry[2];
            palette[i][1] = entry[1];
            palette[i][2] = entry[0];
        }
    }

    const uint64_t stride = ((static_cast<uint64_t>(width) * bitCount + 31) / 32) * 4;
    if (pixelOffset > size || stride * height > size - pixelOffset) {
        error = "truncated BMP pixel data";
        return false;
    }

    RgbImage decoded = make_image(width, height);
    for (int row = 0; row < height; ++row) {
        const uint8_t *src = data + pixelOffset + stride * row;
        const int y = topDown ? row : height - 1 - row;
        for (int x = 0; x < width; ++x) {
            uint8_t *dst = pixel_at(decoded, x, y);
            if (bitCount == 8) {
                const uint32_t index = src[x];
                if (index >= coloursUsed) {
                    error = "BMP palette index out of range";
                    return false;
                }
                std::memcpy(dst, palette[index], 3);
            } else if (bitCount == 24) {
                dst[0] = src[3 * x + 2];
                dst[1] = src[3 * x + 1];
                dst[2] = src[3 * x];
            } else {
                const uint32_t pixel = le32(src + 4 * x);
                dst[0] = channel_value(red, pixel);
                dst[1] = channel_value(green, pixel);
                dst[2] = channel_value(blue, pixel);
            }
        }
    }
    out = std::move(decoded);
    return true;
}

bool load_image_file(const std::string &path, RgbImage &out, std::string &error) {
    std::vector<uint8_t> bytes;
    if (!read_file(path, bytes, error)) return false;
    bool ok;
    if (bytes.size() >= 8 && png_sig_cmp(bytes.data(), 0, 8) == 0) {
        ok = decode_png(bytes, out, error);
    } else if (bytes.size() >= 2 && bytes[0] == 'B' && bytes[1] == 'M') {
        ok = decode_bmp(bytes.data(), bytes.size(), out, error);
    } else {
        error = "not a PNG or BMP file";
        ok = false;
    }
    if (!ok) error = path + ": " + error;
    return ok;
}

RgbImage fit_to_sensor(const RgbImage &source) {
    RgbImage fitted = make_image(kSensorWidth, kSensorHeight);
    // Cover the sensor: the larger of the two scales, the excess cut equally from both sides.
    const double scale = std::max(static_cast<double>(kSensorWidth) / source.width,
                                  static_cast<double>(kSensorHeight) / source.height);
    const double offsetX = (source.width * scale - kSensorWidth) / 2.0;
    const double offsetY = (source.height * scale - kSensorHeight) / 2.0;
    auto span = [scale](int d, double offset, int limit, int &first, int &last) {
        first = static_cast<int>(std::floor((d + offset) / scale));
        last = static_cast<int>(std::floor((d + 1 + offset) / scale));
        if (first >= limit) first = limit - 1;
        if (first < 0) first = 0;
        if (last > limit) last = limit;
        if (last <= first) last = first + 1; // enlarging: the nearest pixel
    };
    for (int y = 0; y < kSensorHeight; ++y) {
        int y0, y1;
        span(y, offsetY, source.height, y0, y1);
        for (int x = 0; x < kSensorWidth; ++x) {
            int x0, x1;
            span(x, offsetX, source.width, x0, x1);
            uint32_t sum[3] = {0, 0, 0};
            for (int sy = y0; sy < y1; ++sy)
                for (int sx = x0; sx < x1; ++sx) {
                    const uint8_t *p = pixel_at(source, sx, sy);
                    sum[0] += p[0];
                    sum[1] += p[1];
                    sum[2] += p[2];
                }
            const uint32_t count = static_cast<uint32_t>((y1 - y0) * (x1 - x0));
            uint8_t *dst = pixel_at(fitted, x, y);
            for (int c = 0; c < 3; ++c) dst[c] = static_cast<uint8_t>((sum[c] + count / 2) / count);
        }
    }
    return fitted;
}

bool load_sensor_picture(const std::string &path, RgbImage &out, std::string &error) {
    RgbImage image;
    if (!load_image_file(path, image, error)) return false;
    out = fit_to_sensor(image);
    return true;
}

} // namespace camsim
