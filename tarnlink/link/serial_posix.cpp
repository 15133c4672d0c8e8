// Serial link on termios, behaving as the Windows driver does for the library:
// exclusive open, raw 8N1 without flow control, DTR and RTS off, reads that
// wait as long as they are told, settings restored at close.
#include "link/serial.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include "link/state.h"

namespace tarnlink {
namespace {

struct BaudRow {
    uint32_t rate;
    speed_t speed;
};
constexpr BaudRow kBaudRates[] = {
    {9600, B9600}, {19200, B19200}, {38400, B38400}, {57600, B57600}, {115200, B115200},
};

constexpr int kWriteTimeoutMs = 100; // 50 ms per byte plus 50 ms

termios g_savedPortState;
int32_t g_savedPortStateValid = 0;
uint32_t g_lastError = 0;

int Fd() {
    return static_cast<int>(g_lib.portHandle);
}

bool Fail() {
    g_lastError = static_cast<uint32_t>(errno);
    return false;
}

// Waits for the port to become ready for events, at most until the deadline.
// 1 ready, 0 out of time, -1 failed with errno set.
int WaitReady(short events, int64_t deadline) {
    for (;;) {
        const int64_t left = deadline - port::NowMs();
        if (left <= 0) return 0;
        pollfd p = {Fd(), events, 0};
        const int r = poll(&p, 1, static_cast<int>(left));
        if (r > 0) return 1;
        if (r == 0) return 0;
        if (errno != EINTR) return -1;
    }
}

bool SpeedFor(uint32_t rate, speed_t &speed) {
    for (const BaudRow &row : kBaudRates)
        if (row.rate == rate) {
            speed = row.speed;
            return true;
        }
    errno = EINVAL;
    return false;
}

} // namespace

bool CommOpen(const char *portName, uint32_t baudRate) {
    CommClose();
    const int fd = open(portName, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return Fail();
    // TIOCEXCL does not stop root; the lock keeps out every other program that
    // opens ports the same way.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;
        close(fd);
        errno = err;
        return Fail();
    }
    g_lib.portHandle = fd;
    ioctl(fd, TIOCEXCL);

    if (tcgetattr(fd, &g_savedPortState) != 0) return Fail();
    g_savedPortStateValid = 1;

    speed_t speed;
    if (!SpeedFor(baudRate, speed)) return Fail();
    termios camera = g_savedPortState;
    cfmakeraw(&camera);
    camera.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY | INPCK | PARMRK);
    camera.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS | HUPCL);
    camera.c_cflag |= CS8 | CREAD | CLOCAL;
    // With the descriptor non-blocking this makes an empty line answer EAGAIN
    // (VMIN 0 would answer 0, which looks like a hang-up).
    camera.c_cc[VMIN] = 1;
    camera.c_cc[VTIME] = 0;
    if (cfsetispeed(&camera, speed) != 0 || cfsetospeed(&camera, speed) != 0) return Fail();
    if (tcsetattr(fd, TCSANOW, &camera) != 0) return Fail();

    // Modem lines off; a pseudo-terminal has none, so a refusal is no failure.
    const int lines = TIOCM_DTR | TIOCM_RTS;
    ioctl(fd, TIOCMBIC, &lines);

    g_lib.portOpen = 1;
    return true;
}

void CommClose() {
    g_lib.portOpen = 0;
    if (g_lib.portHandle == kInvalidPort) return;
    const int fd = Fd();
    if (g_savedPortStateValid) {
        tcsetattr(fd, TCSANOW, &g_savedPortState);
        g_savedPortStateValid = 0;
    }
    ioctl(fd, TIOCNXCL);
    close(fd); // releases the lock too
    g_lib.portHandle = kInvalidPort;
}

bool CommWriteByte(int b) {
    if (g_lib.portHandle == kInvalidPort) return false;
    const uint8_t byte = static_cast<uint8_t>(b & 0xFF);
    const int64_t deadline = port::NowMs() + kWriteTimeoutMs;
    for (;;) {
        if (write(Fd(), &byte, 1) >= 0) return true;
        if (errno == EINTR) continue;
        if (errno != EAGAIN) return Fail();
        const int r = WaitReady(POLLOUT, deadline);
        if (r < 0) return Fail();
        if (r == 0) return true; // as on Windows: a write that timed out counts as done
    }
}

uint32_t CommLastError() {
    return g_lastError;
}

void CommSetLastError(uint32_t code) {
    g_lastError = code;
}

namespace port {

int64_t NowMs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

bool ReadUpTo(uint8_t *dest, uint32_t n, int64_t waitMs, uint32_t &got) {
    const int64_t deadline = NowMs() + waitMs;
    got = 0;
    while (got < n) {
        const ssize_t r = read(Fd(), dest + got, n - got);
        if (r > 0) {
            got += static_cast<uint32_t>(r);
            continue;
        }
        if (r == 0) break; // hang-up or end of file: nothing more will come
        if (errno == EINTR) continue;
        if (errno != EAGAIN) return Fail();
        const int w = WaitReady(POLLIN, deadline);
        if (w < 0) return Fail();
        if (w == 0) break;
    }
    return true;
}

} // namespace port

} // namespace tarnlink
