// What the library itself makes of the camera's pictures, in the layout SANE
// hands over (top row first, red green blue), for the SANE tests to compare
// with. Each reference is made in a forked child, a fresh process as each
// SANE handle is a fresh session: the colour balance carries from picture to
// picture for the life of a session. The parent must not hold the port.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "link/camsim_client.h"
#include "tarnlink.h"

namespace sanetest {

using Bytes = std::vector<uint8_t>;

enum class Kind { kColour, kGrey, kThumbnail };

struct Recipe {
    Kind kind = Kind::kColour;
    bool enlarge = false;
    bool removeBackground = false;
    bool autoKey = true;
    int key[3] = {0, 0, 0}; // red, green, blue
    int tolerance = 20;
};

// Library layout (bottom row first; blue green red for colour) flipped and
// reordered, written here apart from the backend's own conversion.
inline Bytes AsSane(const uint8_t *lib, int width, int height, int channels) {
    Bytes out(static_cast<size_t>(width) * height * channels);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            for (int c = 0; c < channels; ++c)
                out[(static_cast<size_t>(y) * width + x) * channels + c] =
                    lib[(static_cast<size_t>(height - 1 - y) * width + x) * channels +
                        (channels == 3 ? 2 - c : 0)];
    return out;
}

inline Bytes OnePicture(int slot, const Recipe &r) {
    if (SciResetImageCounter(slot) != SCI_OK) return {};
    if (r.kind == Kind::kThumbnail) {
        Bytes thumb(SCI_THUMBNAIL_BYTES);
        if (SciUploadThumbnail(thumb.data(), nullptr) != SCI_OK) return {};
        return AsSane(thumb.data(), 40, 31, 1);
    }
    if (r.kind == Kind::kGrey) {
        Bytes grey(SCI_GREY_BYTES);
        if (SciUploadGreyImage(grey.data(), nullptr) != SCI_OK) return {};
        return AsSane(grey.data(), 160, 120, 1);
    }
    Bytes picture(SCI_PICTURE_BYTES), keyed(SCI_PICTURE_BYTES), large(SCI_ENLARGED_BYTES);
    if (SciUploadImage(picture.data(), nullptr) != SCI_OK) return {};
    const uint8_t *result = picture.data();
    if (r.removeBackground) {
        BgRmvParm parm;
        SciInitBgRmvParm(&parm);
        if (!r.autoKey) {
            parm.autoKey = 0;
            for (int c = 0; c < 3; ++c) {
                parm.keyColour[c] = static_cast<uint8_t>(r.key[2 - c]);
                parm.keyTolerance[c] = static_cast<uint8_t>(r.tolerance);
            }
        }
        if (SciRemoveImageBackground(result, keyed.data(), &parm) != SCI_OK) return {};
        result = keyed.data();
    }
    if (r.enlarge) {
        if (SciEnlargeImage(result, large.data()) != SCI_OK) return {};
        return AsSane(large.data(), 320, 240, 3);
    }
    return AsSane(result, 160, 120, 3);
}

// The pictures of slots in this order, in one fresh session on port.
inline Bytes Reference(const std::string &port, const std::vector<int> &slots,
                       const Recipe &r = Recipe()) {
    const std::string path = linktest::ScratchPath("reference");
    const pid_t pid = fork();
    if (pid == 0) {
        if (SciOpenCamera(port.c_str()) != SCI_OK || SciSyncCamera() != SCI_OK) _exit(3);
        Bytes all;
        for (int slot : slots) {
            const Bytes one = OnePicture(slot, r);
            if (one.empty()) _exit(4);
            all.insert(all.end(), one.begin(), one.end());
        }
        SciResetImageCounter(0);
        SciCloseCamera();
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char *>(all.data()),
                   static_cast<std::streamsize>(all.size()));
        _exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "reference session failed";
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

inline Bytes Reference(const std::string &port, int slot, const Recipe &r = Recipe()) {
    return Reference(port, std::vector<int>{slot}, r);
}

} // namespace sanetest
