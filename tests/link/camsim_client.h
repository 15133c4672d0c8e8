// What the link tests share: the ports of the camera simulator that the test's
// wrapper started, its control channel, and a few helpers.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace linktest {

// Device of the simulated camera (a pty path, or COMn under Wine).
const std::string &CameraPort();

// Sends one line on the simulator's control channel and returns its answer
// ("ok ..." or "error ..."), or "" when none came within two seconds.
std::string Control(const std::string &line);
// Control() that must answer "ok"; gtest failure otherwise.
std::string ControlOk(const std::string &line);
// The last command packet the simulator received, as bytes.
std::vector<uint8_t> LastPacket();

// A unique scratch path on the native file system, as both sides name it.
std::string ScratchPath(const std::string &name);

// Sets the MaxCameraImages setting (the registry under Windows, the environment
// elsewhere) to the given text; null removes it.
void SetMaxSetting(const char *decimal);
#if defined(_WIN32)
// Stores raw bytes as the setting's value (any type).
void SetMaxSettingBytes(const std::vector<uint8_t> &bytes);
#endif

// False under Wine, whose serial ports do not refuse a second opener; real
// Windows and the termios link do.
bool ExclusiveOpenEnforced();

// Holds the port open as another program would; false if that failed.
bool HoldPortElsewhere(const std::string &port);
void ReleaseHeldPort();

using Clock = std::chrono::steady_clock;
inline double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

} // namespace linktest
