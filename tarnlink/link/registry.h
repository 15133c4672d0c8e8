// The one setting of the library: the highest picture counter a client may set.
#pragma once

#include <cstdint>

namespace tarnlink {

// Missing, unreadable, or 254 and above all give 254.
int32_t ReadMaxCameraImages();

} // namespace tarnlink
