#include "picture.h"

#include <cstddef>

namespace tarnsane {
namespace {

constexpr int kFrameWidth = 164; // bytes of a reformatted row

// Library layout (bottom row first, blue green red) to SANE's.
void ColourRows(const uint8_t *lib, int width, int height, std::vector<uint8_t> &out) {
    out.resize(static_cast<std::size_t>(width) * height * 3);
    for (int y = 0; y < height; ++y) {
        const uint8_t *in = lib + static_cast<std::size_t>(height - 1 - y) * width * 3;
        uint8_t *row = out.data() + static_cast<std::size_t>(y) * width * 3;
        for (int x = 0; x < width; ++x) {
            row[3 * x] = in[3 * x + 2];
            row[3 * x + 1] = in[3 * x + 1];
            row[3 * x + 2] = in[3 * x];
        }
    }
}

} // namespace

SciStatus MakePicture(const Settings &s, const uint8_t *raw, const SciImageInfo &info,
                      std::vector<uint8_t> &out) {
    if (s.grey) {
        // As SciUploadGreyImage: reformatted at the measured black level
        // without defect correction; a reformatted row holds the even columns
        // from byte 83 and the odd ones from byte 1, and the picture's top row
        // is frame row 2.
        std::vector<uint8_t> frame(SCI_RAW_FRAME_BYTES);
        const SciStatus status =
            SciReformat300(raw, frame.data(), static_cast<int32_t>(info.blackLevel), 0);
        if (status != SCI_OK) return status;
        out.resize(static_cast<std::size_t>(kWidth) * kHeight);
        for (int y = 0; y < kHeight; ++y) {
            const uint8_t *row = frame.data() + (y + 2) * kFrameWidth;
            uint8_t *line = out.data() + y * kWidth;
            for (int i = 0; i < kWidth / 2; ++i) {
                line[2 * i] = row[83 + i];
                line[2 * i + 1] = row[1 + i];
            }
        }
        return SCI_OK;
    }
    std::vector<uint8_t> picture(SCI_PICTURE_BYTES), keyed, large;
    SciStatus status = SciColourizeImage(raw, picture.data());
    if (status != SCI_OK) return status;
    const uint8_t *result = picture.data();
    if (s.removeBackground) {
        keyed.resize(SCI_PICTURE_BYTES);
        const BgRmvParm parm = BackgroundParameters(s);
        status = SciRemoveImageBackground(result, keyed.data(), &parm);
        if (status != SCI_OK) return status;
        result = keyed.data();
    }
    if (s.enlarge) {
        large.resize(SCI_ENLARGED_BYTES);
        status = SciEnlargeImage(result, large.data());
        if (status != SCI_OK) return status;
        ColourRows(large.data(), 2 * kWidth, 2 * kHeight, out);
    } else {
        ColourRows(result, kWidth, kHeight, out);
    }
    return SCI_OK;
}

void ThumbnailRows(const uint8_t *thumbnail, std::vector<uint8_t> &out) {
    out.resize(static_cast<std::size_t>(kThumbWidth) * kThumbHeight);
    for (int y = 0; y < kThumbHeight; ++y)
        for (int x = 0; x < kThumbWidth; ++x)
            out[y * kThumbWidth + x] = thumbnail[(kThumbHeight - 1 - y) * kThumbWidth + x];
}

} // namespace tarnsane
