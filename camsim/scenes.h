// Generated test scenes, for a camera without picture files.
#pragma once

#include "frame.h"

namespace camsim {

constexpr int kSceneKinds = 4;

// Scene n at the sensor's size: n % 4 picks colour bars, a colour gradient, a figure on a
// background or a checkerboard; n / 4 varies the colours and positions, so every n differs.
RgbImage make_scene(int n);

// Short name of scene n's kind, for logs and the status line.
const char *scene_name(int n);

} // namespace camsim
