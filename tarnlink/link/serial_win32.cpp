// Serial link on the Windows communications API, used synchronously: the read
// time-outs of the driver do all the waiting.
#include "link/serial.h"

#include <windows.h>

#include "link/state.h"

namespace tarnlink {
namespace {

DCB g_savedPortState;
int32_t g_savedPortStateValid = 0;
DCB g_cameraPortState;
uint8_t g_drainScratch[256];

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

bool CommRead(uint8_t *dest, uint32_t n) {
    HANDLE h = Port();
    if (h == INVALID_HANDLE_VALUE) return false;
    if (n == 0) return true;
    DWORD got = 0;
    if (!ReadFile(h, dest, n, &got, nullptr)) return false;
    if (got == n) return true;
    SetLastError(kErrorMoreData);
    return false;
}

void CommDrain() {
    if (Port() == INVALID_HANDLE_VALUE) return;
    for (int i = 0; i < 128; ++i)
        if (!CommRead(g_drainScratch, sizeof g_drainScratch)) return;
}

uint32_t CommLastError() {
    return GetLastError();
}

void CommSetLastError(uint32_t code) {
    SetLastError(code);
}

} // namespace tarnlink
