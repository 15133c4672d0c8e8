#include "port.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace camsim {

namespace {

// Raw 8N1 at 57,600 baud: no byte is translated (0x03, 0x0D, 0x11, 0x13 pass untouched).
bool make_raw(int fd) {
    termios t;
    if (tcgetattr(fd, &t) != 0) return false;
    cfmakeraw(&t);
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
    t.c_cflag |= CS8 | CREAD | CLOCAL;
    t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    cfsetispeed(&t, B57600);
    cfsetospeed(&t, B57600);
    return tcsetattr(fd, TCSANOW, &t) == 0;
}

bool set_nonblocking(int fd) {
    const int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

std::string system_error(const std::string &what) {
    return what + ": " + std::strerror(errno);
}

} // namespace

bool open_pty_port(Port &port, std::string &error) {
    port.fd = posix_openpt(O_RDWR | O_NOCTTY);
    if (port.fd < 0) {
        error = system_error("posix_openpt");
        return false;
    }
    if (grantpt(port.fd) != 0 || unlockpt(port.fd) != 0) {
        error = system_error("grantpt/unlockpt");
        close_port(port);
        return false;
    }
    const char *name = ptsname(port.fd);
    if (!name) {
        error = system_error("ptsname");
        close_port(port);
        return false;
    }
    port.path = name;
    // Set the slave raw before any host opens it, and keep it open: a host that closes its
    // end then leaves the line up (no EIO on the master) and its raw settings in place.
    port.slaveFd = open(name, O_RDWR | O_NOCTTY);
    if (port.slaveFd < 0 || !make_raw(port.slaveFd)) {
        error = system_error(std::string("setting up ") + name);
        close_port(port);
        return false;
    }
    make_raw(port.fd); // the master's own settings do not translate, but keep them plain
    if (!set_nonblocking(port.fd)) {
        error = system_error("fcntl");
        close_port(port);
        return false;
    }
    return true;
}

bool open_tty_port(Port &port, const std::string &device, std::string &error) {
    port.fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (port.fd < 0) {
        error = system_error(device);
        return false;
    }
    if (!make_raw(port.fd)) {
        error = system_error("setting up " + device);
        close_port(port);
        return false;
    }
    port.path = device;
    return true;
}

bool link_port(Port &port, const std::string &linkPath, std::string &error) {
    struct stat st;
    if (lstat(linkPath.c_str(), &st) == 0) {
        // Replace a stale symlink from an earlier run; never anything else.
        if (!S_ISLNK(st.st_mode)) {
            error = linkPath + " exists and is not a symlink";
            return false;
        }
        unlink(linkPath.c_str());
    }
    if (symlink(port.path.c_str(), linkPath.c_str()) != 0) {
        error = system_error("symlink " + linkPath);
        return false;
    }
    port.link = linkPath;
    return true;
}

void close_port(Port &port) {
    if (!port.link.empty()) {
        unlink(port.link.c_str());
        port.link.clear();
    }
    if (port.slaveFd >= 0) close(port.slaveFd);
    if (port.fd >= 0) close(port.fd);
    port.slaveFd = -1;
    port.fd = -1;
}

int64_t paced_bytes_due(int64_t elapsedNs) {
    return elapsedNs <= 0 ? 0 : elapsedNs * kBytesPerSecond / 1000000000;
}

int64_t paced_duration_ns(int64_t count) {
    return (count * 1000000000 + kBytesPerSecond - 1) / kBytesPerSecond;
}

int64_t monotonic_ns() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

void transmitter_add(Transmitter &tx, std::vector<Segment> segments, int64_t now) {
    const bool wasIdle = tx.queue.empty();
    for (Segment &s : segments) tx.queue.push_back(std::move(s));
    if (wasIdle && !tx.queue.empty()) {
        tx.offset = 0;
        tx.started = false;
        tx.readyAt = now + static_cast<int64_t>(tx.queue.front().delayMs) * 1000000;
    }
}

bool transmitter_idle(const Transmitter &tx) {
    return tx.queue.empty();
}

void transmitter_clear(Transmitter &tx) {
    tx.queue.clear();
    tx.offset = 0;
    tx.started = false;
}

int64_t transmitter_pump(Transmitter &tx, int fd, bool pace, int64_t now, bool &wantWritable) {
    wantWritable = false;
    while (!tx.queue.empty()) {
        if (now < tx.readyAt) return tx.readyAt;
        Segment &seg = tx.queue.front();
        if (!tx.started) {
            tx.started = true;
            tx.runStart = tx.readyAt; // keeps the average rate exact even when woken late
        }
        size_t want = seg.bytes.size() - tx.offset;
        if (pace) {
            const int64_t due =
                paced_bytes_due(now - tx.runStart) - static_cast<int64_t>(tx.offset);
            if (due <= 0)
                return tx.runStart + paced_duration_ns(static_cast<int64_t>(tx.offset) + 1);
            if (static_cast<int64_t>(want) > due) want = static_cast<size_t>(due);
        }
        if (want > 0) {
            const ssize_t n = write(fd, seg.bytes.data() + tx.offset, want);
            if (n < 0) {
                if (errno == EAGAIN || errno == EINTR) {
                    wantWritable = true;
                    return INT64_MAX;
                }
                // The line is gone (a tty unplugged): drop what was queued.
                transmitter_clear(tx);
                return INT64_MAX;
            }
            tx.offset += static_cast<size_t>(n);
            if (static_cast<size_t>(n) < want) {
                wantWritable = true;
                return INT64_MAX;
            }
        }
        if (tx.offset < seg.bytes.size()) continue; // paced: more falls due later
        // Segment done: the next one starts its delay when this one has crossed the line.
        const int64_t end =
            pace ? tx.runStart + paced_duration_ns(static_cast<int64_t>(seg.bytes.size())) : now;
        tx.queue.pop_front();
        tx.offset = 0;
        tx.started = false;
        if (!tx.queue.empty()) {
            int64_t ready = end + static_cast<int64_t>(tx.queue.front().delayMs) * 1000000;
            tx.readyAt = ready;
        }
    }
    return INT64_MAX;
}

} // namespace camsim
