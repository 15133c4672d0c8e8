#pragma once

#include <cstdint>

namespace tarnlink {

constexpr int kFrameWidth = 164;  // bytes of a raw or reformatted row
constexpr int kFrameHeight = 124; // picture rows
constexpr int kFrameBytes = kFrameWidth * kFrameHeight;

// Raw camera rows -> reformatted frame (black level removed and stretched, rows
// laid out as two column-parity halves, optional rank-filter defect correction).
// Fails, writing nothing, when blackLevel is outside 0..128.
bool ReformatFrame(const uint8_t *raw, uint8_t *frame, int32_t blackLevel,
                   int32_t defectCorrection);

} // namespace tarnlink
