// Pictures made for tests.
#pragma once

#include <cstdint>
#include <vector>

namespace testpic {

// A 160 x 120 picture of one colour, bytes c0, c1, c2 per pixel.
inline std::vector<uint8_t> Uniform(uint8_t c0, uint8_t c1, uint8_t c2) {
    std::vector<uint8_t> b(57600);
    for (size_t i = 0; i < b.size(); i += 3) {
        b[i] = c0;
        b[i + 1] = c1;
        b[i + 2] = c2;
    }
    return b;
}

} // namespace testpic
