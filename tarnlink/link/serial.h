// The serial link: the only way the library reaches the camera. One port at a
// time, kept in g_lib.portHandle / g_lib.portOpen; the platform code lives in
// serial_win32.cpp and serial_posix.cpp.
#pragma once

#include <cstdint>

namespace tarnlink {

constexpr uint32_t kCameraBaudRate = 57600;
constexpr uint32_t kErrorMoreData = 234; // a read that ran out of time (ERROR_MORE_DATA)

// Opens and configures the port (closing any port left open first). False with
// the system's last error telling why; a port that opened but refused a setting
// stays open with portOpen 0 until the next CommOpen or CommClose.
bool CommOpen(const char *portName, uint32_t baudRate);
// Restores the settings found at open and closes the port; harmless when closed.
void CommClose();
// Writes the low 8 bits of b; true when the system accepted the write.
bool CommWriteByte(int b);
// Reads exactly n bytes within 1,000 + n ms. False otherwise, with the last
// error set (234 for a time-out); bytes that arrived stay in dest.
bool CommRead(uint8_t *dest, uint32_t n);
// Discards pending input: 256 bytes at a time until a read comes back short,
// fails, or 32,768 bytes have gone.
void CommDrain();

// The system's last error (GetLastError on Windows, the link's own record of
// errno on POSIX).
uint32_t CommLastError();
void CommSetLastError(uint32_t code);

} // namespace tarnlink
