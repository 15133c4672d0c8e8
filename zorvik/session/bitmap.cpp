// The one rule for every bitmap header and grey palette the data source makes.
#include <cstring>

#include "session/twcam.h"

namespace zorvik {

void FillBitmapHeader(BITMAPINFOHEADER &h, int width, int height, int bitCount) {
    std::memset(&h, 0, sizeof h);
    h.biSize = sizeof(BITMAPINFOHEADER);
    h.biWidth = width;
    h.biHeight = height;
    h.biPlanes = 1;
    h.biBitCount = static_cast<WORD>(bitCount);
    h.biCompression = BI_RGB;
    h.biSizeImage = static_cast<DWORD>(height * (bitCount / 8) * width);
    h.biClrUsed = bitCount == 8 ? 256 : 0;
}

void FillGreyPalette(uint8_t *palette) {
    for (int i = 0; i < 256; ++i) {
        palette[4 * i] = static_cast<uint8_t>(i);
        palette[4 * i + 1] = static_cast<uint8_t>(i);
        palette[4 * i + 2] = static_cast<uint8_t>(i);
        palette[4 * i + 3] = 0;
    }
}

} // namespace zorvik
