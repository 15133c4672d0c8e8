// The setting comes from the environment variable TARNLINK_MAX_CAMERA_IMAGES,
// a decimal number, read by the same rules as the Windows registry value.
#include "link/registry.h"

#include <cstdlib>

#include "link/state.h"

namespace tarnlink {

int32_t ReadMaxCameraImages() {
    const char *text = std::getenv("TARNLINK_MAX_CAMERA_IMAGES");
    if (text == nullptr || *text < '0' || *text > '9') return kDefaultMaxCameraImages;
    char *end = nullptr;
    const unsigned long long value = std::strtoull(text, &end, 10);
    if (*end != '\0' || value >= kDefaultMaxCameraImages) return kDefaultMaxCameraImages;
    return static_cast<int32_t>(value);
}

} // namespace tarnlink
