#pragma once

#include <cstddef>
#include <cstdint>

namespace tarnlink {

// The colour engine's green plane: locked movable global memory on Windows,
// the heap elsewhere. Null when it cannot be had.
uint8_t *AllocEnginePlane(size_t bytes);
void FreeEnginePlane(uint8_t *plane);

} // namespace tarnlink
