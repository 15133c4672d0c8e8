// Picture files. A file appears under its name only once it is whole and on
// disk: it is written as NAME.part, synced, then renamed.
#include "image_out.h"

#include <fcntl.h>
#include <png.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

namespace tarncam {

namespace {

void Put(std::vector<uint8_t> &out, uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

// The library's layout is a bottom-up BMP pixel array already; rows of 160 and
// 320 pixels need no padding at 1 or 3 bytes a pixel.
std::vector<uint8_t> EncodeBmp(const Picture &p) {
    const uint32_t palette = p.channels == 1 ? 256 * 4 : 0;
    const uint32_t offset = 54 + palette;
    const uint32_t size = static_cast<uint32_t>(p.width * p.height * p.channels);
    std::vector<uint8_t> file;
    Put(file, 'B' | ('M' << 8), 2);
    Put(file, offset + size, 4);
    Put(file, 0, 4);
    Put(file, offset, 4);
    Put(file, 40, 4);
    Put(file, static_cast<uint32_t>(p.width), 4);
    Put(file, static_cast<uint32_t>(p.height), 4); // positive: bottom-up
    Put(file, 1, 2);
    Put(file, static_cast<uint32_t>(p.channels * 8), 2);
    Put(file, 0, 4);
    Put(file, size, 4);
    Put(file, 2835, 4); // 72 dpi
    Put(file, 2835, 4);
    Put(file, p.channels == 1 ? 256 : 0, 4);
    Put(file, 0, 4);
    if (p.channels == 1)
        for (uint32_t i = 0; i < 256; ++i) Put(file, i | (i << 8) | (i << 16), 4);
    file.insert(file.end(), p.pixels, p.pixels + size);
    return file;
}

// Top row first, red green blue: what PNG stores.
std::vector<uint8_t> TopDown(const Picture &p) {
    const size_t row = static_cast<size_t>(p.width * p.channels);
    std::vector<uint8_t> out(row * static_cast<size_t>(p.height));
    for (int y = 0; y < p.height; ++y) {
        const uint8_t *src = p.pixels + static_cast<size_t>(p.height - 1 - y) * row;
        uint8_t *dst = out.data() + static_cast<size_t>(y) * row;
        if (p.channels == 1) {
            std::memcpy(dst, src, row);
            continue;
        }
        for (int x = 0; x < p.width; ++x) {
            dst[3 * x] = src[3 * x + 2];
            dst[3 * x + 1] = src[3 * x + 1];
            dst[3 * x + 2] = src[3 * x];
        }
    }
    return out;
}

bool Fail(const std::string &part, const std::string &what, std::string &error) {
    error = what;
    std::remove(part.c_str());
    return false;
}

// The .part file as a new regular file of our own. Whatever stood under its
// name is not ours: a link planted there would have its target overwritten,
// or be renamed into the picture's place. The name is removed (a link itself,
// never what it points to; a folder is not emptied but refused), and O_EXCL
// with O_NOFOLLOW refuses anything put back in between.
FILE *CreatePart(const std::string &part, std::string &error) {
    if (unlink(part.c_str()) != 0 && errno != ENOENT) {
        error = part + ": " + std::strerror(errno);
        return nullptr;
    }
    const int fd = open(part.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    FILE *f = fd < 0 ? nullptr : fdopen(fd, "wb");
    if (f == nullptr) {
        error = part + ": " + std::strerror(errno);
        if (fd >= 0) {
            close(fd);
            unlink(part.c_str());
        }
    }
    return f;
}

// Whatever encode writes to the open file must be complete and synced
// before the rename makes it visible.
template <typename Encode>
bool WriteVia(const std::string &path, Encode encode, std::string &error) {
    if (!TargetReplaceable(path, error)) return false;
    const std::string part = PartPath(path);
    FILE *f = CreatePart(part, error);
    if (f == nullptr) return false;
    std::string why;
    bool ok = encode(f, why);
    if (ok && std::fflush(f) != 0) {
        ok = false;
        why = std::strerror(errno);
    }
    if (ok && fsync(fileno(f)) != 0) {
        ok = false;
        why = std::strerror(errno);
    }
    if (std::fclose(f) != 0 && ok) {
        ok = false;
        why = std::strerror(errno);
    }
    if (!ok) return Fail(part, part + ": " + (why.empty() ? "write failed" : why), error);
    // Again at the last moment: the target may have appeared while encoding.
    if (!TargetReplaceable(path, error)) {
        std::remove(part.c_str());
        return false;
    }
    if (std::rename(part.c_str(), path.c_str()) != 0)
        return Fail(part, path + ": " + std::strerror(errno), error);
    return true;
}

bool PngTo(FILE *f, const uint8_t *rows, int width, int height, int channels, std::string &why) {
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    image.width = static_cast<png_uint_32>(width);
    image.height = static_cast<png_uint_32>(height);
    image.format = channels == 1 ? PNG_FORMAT_GRAY : PNG_FORMAT_RGB;
    const int ok = png_image_write_to_stdio(&image, f, 0, rows, 0, nullptr);
    if (!ok) why = image.message;
    png_image_free(&image);
    return ok != 0 && std::ferror(f) == 0;
}

} // namespace

std::string PartPath(const std::string &path) {
    return path + ".part";
}

bool TargetReplaceable(const std::string &path, std::string &error) {
    struct stat st;
    // stat, not lstat: a link to a regular file is replaced as before, a link
    // to /dev/null is not. Other failures are left to the write to report.
    if (stat(path.c_str(), &st) != 0 || S_ISREG(st.st_mode)) return true;
    const char *kind = S_ISDIR(st.st_mode)    ? "a folder"
                       : S_ISCHR(st.st_mode)  ? "a character device"
                       : S_ISBLK(st.st_mode)  ? "a block device"
                       : S_ISFIFO(st.st_mode) ? "a fifo"
                       : S_ISSOCK(st.st_mode) ? "a socket"
                                              : "not a file";
    error = path + ": exists and is " + kind +
            ", not a regular file; tarncam replaces only regular files";
    return false;
}

bool WritePngTopDown(const std::string &path, const uint8_t *pixels, int width, int height,
                     int channels, std::string &error) {
    return WriteVia(
        path,
        [&](FILE *f, std::string &why) { return PngTo(f, pixels, width, height, channels, why); },
        error);
}

bool WritePicture(const std::string &path, const Picture &picture, Format format,
                  std::string &error) {
    if (format == Format::kPng) {
        const std::vector<uint8_t> rows = TopDown(picture);
        return WritePngTopDown(path, rows.data(), picture.width, picture.height, picture.channels,
                               error);
    }
    const std::vector<uint8_t> file = EncodeBmp(picture);
    return WriteVia(
        path,
        [&](FILE *f, std::string &why) {
            const bool ok = std::fwrite(file.data(), 1, file.size(), f) == file.size();
            if (!ok) why = std::strerror(errno);
            return ok;
        },
        error);
}

} // namespace tarncam
