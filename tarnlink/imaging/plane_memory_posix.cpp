#include "imaging/plane_memory.h"

#include <cstdlib>

namespace tarnlink {

uint8_t *AllocEnginePlane(size_t bytes) {
    return static_cast<uint8_t *>(std::malloc(bytes));
}

void FreeEnginePlane(uint8_t *plane) {
    std::free(plane);
}

} // namespace tarnlink
