// The serial link: the only way the library reaches the camera. One port at a
// time, kept in g_lib.portHandle / g_lib.portOpen. The waiting rules live in
// serial.cpp; the platform calls in serial_win32.cpp and serial_posix.cpp.
#pragma once

#include <cstdint>

namespace tarnlink {

constexpr uint32_t kCameraBaudRate = 57600;
constexpr uint32_t kErrorMoreData = 234; // a read that ran out of time (ERROR_MORE_DATA)
constexpr uint32_t kDrainReadBytes = 256;
// A drain ends once the line has been quiet for one drain read (1,256 ms), or
// after this long in all: enough for a picture that a failed call abandoned
// (3.6 s on the wire) to finish and the line to fall quiet.
constexpr uint32_t kDrainCapMs = 6000;

// A point on the link's monotonic clock, in milliseconds.
using Deadline = int64_t;
constexpr Deadline kNoDeadline = INT64_MAX;
Deadline CommDeadline(uint32_t msFromNow);

// Opens and configures the port (closing any port left open first). False with
// the system's last error telling why; a port that opened but refused a setting
// stays open with portOpen 0 until the next CommOpen or CommClose.
bool CommOpen(const char *portName, uint32_t baudRate);
// Restores the settings found at open and closes the port; harmless when closed.
void CommClose();
// Writes the low 8 bits of b; true when the system accepted the write.
bool CommWriteByte(int b);
// Reads exactly n bytes within 1,000 + n ms, and never waits past `by` (bytes
// already received are still taken). False otherwise, with the last error set
// (234 for a time-out); bytes that arrived stay in dest.
bool CommRead(uint8_t *dest, uint32_t n, Deadline by = kNoDeadline);
// Discards pending input until the line has been quiet for a whole drain read,
// or for kDrainCapMs at most.
void CommDrain();

// The system's last error (GetLastError on Windows, the link's own record of
// errno on POSIX).
uint32_t CommLastError();
void CommSetLastError(uint32_t code);

// What each platform provides to the waiting rules above.
namespace port {
int64_t NowMs();
// Reads up to n bytes, waiting at most waitMs in all (0: only what has already
// arrived). False when the system call failed, with the last error set.
bool ReadUpTo(uint8_t *dest, uint32_t n, int64_t waitMs, uint32_t &got);
} // namespace port

} // namespace tarnlink
