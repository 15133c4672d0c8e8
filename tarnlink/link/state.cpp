#include "link/state.h"

namespace tarnlink {

LibraryState g_lib = {
    kInvalidPort, 0, 0, nullptr, nullptr, nullptr, kDefaultMaxCameraImages, 16, 16, 0, 0,
};

const char kVersionText[5] = "1.05";

} // namespace tarnlink
