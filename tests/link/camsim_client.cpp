#include "camsim_client.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>
#endif

namespace linktest {
namespace {

std::string Env(const char *name) {
    const char *v = std::getenv(name);
    return v ? v : "";
}

#if defined(_WIN32)
HANDLE g_control = INVALID_HANDLE_VALUE;
HANDLE g_held = INVALID_HANDLE_VALUE;

bool OpenControl() {
    if (g_control != INVALID_HANDLE_VALUE) return true;
    const std::string name = Env("TARN_CONTROL_PORT");
    g_control = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            0, nullptr);
    if (g_control == INVALID_HANDLE_VALUE) return false;
    DCB dcb;
    ZeroMemory(&dcb, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    dcb.BaudRate = 57600;
    dcb.fBinary = 1;
    dcb.ByteSize = 8;
    SetCommState(g_control, &dcb);
    COMMTIMEOUTS t = {};
    t.ReadTotalTimeoutConstant = 2000; // per byte read below
    t.WriteTotalTimeoutConstant = 1000;
    SetCommTimeouts(g_control, &t);
    return true;
}

void WriteControl(const std::string &text) {
    DWORD n = 0;
    WriteFile(g_control, text.data(), static_cast<DWORD>(text.size()), &n, nullptr);
}

bool ReadControlByte(char &c) {
    DWORD n = 0;
    return ReadFile(g_control, &c, 1, &n, nullptr) && n == 1;
}
#else
int g_control = -1;
int g_held = -1;

bool OpenControl() {
    if (g_control >= 0) return true;
    const std::string name = Env("TARN_CONTROL_PORT");
    g_control = open(name.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (g_control < 0) return false;
    termios t;
    if (tcgetattr(g_control, &t) == 0) {
        cfmakeraw(&t);
        tcsetattr(g_control, TCSANOW, &t);
    }
    return true;
}

void WriteControl(const std::string &text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(g_control, text.data() + done, text.size() - done);
        if (n <= 0) return;
        done += static_cast<size_t>(n);
    }
}

bool ReadControlByte(char &c) {
    pollfd p = {g_control, POLLIN, 0};
    if (poll(&p, 1, 2000) <= 0) return false;
    return read(g_control, &c, 1) == 1;
}
#endif

} // namespace

const std::string &CameraPort() {
    static const std::string port = Env("TARN_CAMERA_PORT");
    return port;
}

std::string Control(const std::string &line) {
    if (!OpenControl()) return "";
    WriteControl(line + "\n");
    std::string answer;
    char c;
    while (ReadControlByte(c)) {
        if (c == '\n') return answer;
        if (c != '\r') answer += c;
    }
    return "";
}

std::string ControlOk(const std::string &line) {
    const std::string answer = Control(line);
    EXPECT_EQ(answer.substr(0, 2), "ok") << "control '" << line << "' answered '" << answer << "'";
    return answer;
}

std::vector<uint8_t> LastPacket() {
    std::istringstream in(ControlOk("last"));
    std::string word;
    in >> word; // "ok"
    std::vector<uint8_t> bytes;
    while (in >> word) bytes.push_back(static_cast<uint8_t>(std::stoul(word, nullptr, 16)));
    return bytes;
}

std::string ScratchPath(const std::string &name) {
    static int serial = 0;
    std::ostringstream path;
    const std::string dir = Env("TARN_SCRATCH_DIR").empty() ? "/tmp" : Env("TARN_SCRATCH_DIR");
#if defined(_WIN32)
    path << dir << "/link-" << GetCurrentProcessId() << "-" << ++serial << "-" << name;
#else
    path << dir << "/link-" << getpid() << "-" << ++serial << "-" << name;
#endif
    return path.str();
}

#if defined(_WIN32)
void SetMaxSettingBytes(const std::vector<uint8_t> &bytes) {
    HKEY key;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Tessaly\\Merovane", 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegSetValueExA(key, "MaxCameraImages", 0, REG_BINARY, bytes.data(),
                   static_cast<DWORD>(bytes.size()));
    RegCloseKey(key);
}

void SetMaxSetting(const char *decimal) {
    if (decimal == nullptr) {
        HKEY key;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Tessaly\\Merovane", 0, KEY_ALL_ACCESS,
                          &key) == ERROR_SUCCESS) {
            RegDeleteValueA(key, "MaxCameraImages");
            RegCloseKey(key);
        }
        return;
    }
    const DWORD value = static_cast<DWORD>(std::strtoul(decimal, nullptr, 10));
    HKEY key;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Tessaly\\Merovane", 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegSetValueExA(key, "MaxCameraImages", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&value),
                   sizeof value);
    RegCloseKey(key);
}

bool ExclusiveOpenEnforced() {
    const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll == nullptr || GetProcAddress(ntdll, "wine_get_version") == nullptr;
}

bool HoldPortElsewhere(const std::string &port) {
    g_held = CreateFileA(port.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                         nullptr);
    return g_held != INVALID_HANDLE_VALUE;
}

void ReleaseHeldPort() {
    if (g_held != INVALID_HANDLE_VALUE) CloseHandle(g_held);
    g_held = INVALID_HANDLE_VALUE;
}
#else
void SetMaxSetting(const char *decimal) {
    if (decimal == nullptr)
        unsetenv("TARNLINK_MAX_CAMERA_IMAGES");
    else
        setenv("TARNLINK_MAX_CAMERA_IMAGES", decimal, 1);
}

bool ExclusiveOpenEnforced() {
    return true;
}

bool HoldPortElsewhere(const std::string &port) {
    // What another program using the port exclusively does.
    g_held = open(port.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (g_held < 0) return false;
    return flock(g_held, LOCK_EX | LOCK_NB) == 0;
}

void ReleaseHeldPort() {
    if (g_held >= 0) close(g_held);
    g_held = -1;
}
#endif

} // namespace linktest
