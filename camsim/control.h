// The control channel: one text line in, one line out ("ok ..." or "error ..."), so that a
// test can set faults, script exchanges and inspect the camera before it makes a call.
#pragma once

#include "camera.h"

#include <string>

namespace camsim {

// Runs one command line (without its line end) and returns the answer line (without one).
std::string control_execute(Camera &camera, const std::string &line);

// Parses "HEX HEX ..." (spaces optional between pairs) into bytes.
bool parse_hex_bytes(const std::string &text, std::vector<uint8_t> &bytes);

} // namespace camsim
