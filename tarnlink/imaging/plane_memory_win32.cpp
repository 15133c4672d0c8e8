#include "imaging/plane_memory.h"

#include <windows.h>

namespace tarnlink {

uint8_t *AllocEnginePlane(size_t bytes) {
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE | GMEM_DDESHARE, bytes);
    if (block == nullptr) return nullptr;
    void *locked = GlobalLock(block);
    if (locked == nullptr) GlobalFree(block);
    return static_cast<uint8_t *>(locked);
}

void FreeEnginePlane(uint8_t *plane) {
    if (plane == nullptr) return;
    HGLOBAL block = GlobalHandle(plane);
    GlobalUnlock(block);
    GlobalFree(block);
}

} // namespace tarnlink
