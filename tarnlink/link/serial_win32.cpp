// Serial link on the Windows communications API, used synchronously: the read
// time-outs of the driver do all the waiting. A read cut short by a deadline
// gets time-outs of its own for that one call.
#include "link/serial.h"

#include <windows.h>

#include <cstring>

#include "link/state.h"

namespace tarnlink {
namespace {

DCB g_savedPortState;
int32_t g_savedPortStateValid = 0;
DCB g_cameraPortState;
COMMTIMEOUTS g_cameraTimeouts;  // as applied at open
COMMTIMEOUTS g_appliedTimeouts; // what the driver holds now

HANDLE Port() {
    return g_lib.portHandle == kInvalidPort ? INVALID_HANDLE_VALUE
                                            : reinterpret_cast<HANDLE>(g_lib.portHandle);
}

void BuildCameraState(DCB &dcb, uint32_t baudRate) {
    ZeroMemory(&dcb, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    dcb.BaudRate = baudRate;
    dcb.fBinary = 1;
    dcb.fDtrControl = DTR_CONTROL_DISABLE;
    dcb.fRtsControl = RTS_CONTROL_DISABLE;
    dcb.XonLim = 2048;
    dcb.XoffLim = 512;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
}

} // namespace

bool CommOpen(const char *portName, uint32_t baudRate) {
    CommClose();
    HANDLE h =
        CreateFileA(portName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    g_lib.portHandle = reinterpret_cast<PortHandle>(h);

    if (!SetupComm(h, 0x8000, 0x400)) return false;
    if (!GetCommState(h, &g_savedPortState)) return false;
    g_savedPortStateValid = 1;
    BuildCameraState(g_cameraPortState, baudRate);
    if (!SetCommState(h, &g_cameraPortState)) return false;

    COMMTIMEOUTS timeouts;
    if (!GetCommTimeouts(h, &timeouts)) return false;
    timeouts.ReadIntervalTimeout = 0;
    timeouts.ReadTotalTimeoutMultiplier = 1;
    timeouts.ReadTotalTimeoutConstant = 1000;
    timeouts.WriteTotalTimeoutMultiplier = 50;
    timeouts.WriteTotalTimeoutConstant = 50;
    if (!SetCommTimeouts(h, &timeouts)) return false;
    g_cameraTimeouts = timeouts;
    g_appliedTimeouts = timeouts;

    g_lib.portOpen = 1;
    return true;
}

void CommClose() {
    g_lib.portOpen = 0;
    HANDLE h = Port();
    if (h == INVALID_HANDLE_VALUE) return;
    DWORD errors = 0;
    COMSTAT status;
    ClearCommError(h, &errors, &status);
    if (g_savedPortStateValid) {
        SetCommState(h, &g_savedPortState);
        g_savedPortStateValid = 0;
    }
    CloseHandle(h);
    g_lib.portHandle = kInvalidPort;
}

bool CommWriteByte(int b) {
    HANDLE h = Port();
    if (h == INVALID_HANDLE_VALUE) return false;
    const BYTE byte = static_cast<BYTE>(b & 0xFF);
    DWORD written = 0;
    return WriteFile(h, &byte, 1, &written, nullptr) != 0;
}

uint32_t CommLastError() {
    return GetLastError();
}

void CommSetLastError(uint32_t code) {
    SetLastError(code);
}

namespace port {

int64_t NowMs() {
    // GetTickCount is too coarse under some systems (250 ms steps seen).
    LARGE_INTEGER frequency, now;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&now);
    const int64_t f = frequency.QuadPart, t = now.QuadPart;
    return t / f * 1000 + t % f * 1000 / f;
}

bool ReadUpTo(uint8_t *dest, uint32_t n, int64_t waitMs, uint32_t &got) {
    HANDLE h = Port();
    got = 0;
    if (h == INVALID_HANDLE_VALUE) return false;
    COMMTIMEOUTS wanted = g_cameraTimeouts;
    if (waitMs < 1000 + int64_t{n}) {
        wanted.ReadTotalTimeoutMultiplier = 0;
        wanted.ReadTotalTimeoutConstant = static_cast<DWORD>(waitMs);
        // All zero would mean no time-out at all; this returns what has arrived.
        if (waitMs <= 0) wanted.ReadIntervalTimeout = MAXDWORD;
    }
    if (std::memcmp(&wanted, &g_appliedTimeouts, sizeof wanted) != 0) {
        if (!SetCommTimeouts(h, &wanted)) return false;
        g_appliedTimeouts = wanted;
    }
    DWORD count = 0;
    const BOOL ok = ReadFile(h, dest, n, &count, nullptr);
    got = count;
    return ok != 0;
}

} // namespace port

} // namespace tarnlink
