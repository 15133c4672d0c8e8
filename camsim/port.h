// The simulator's end of the serial line: a pseudo-terminal or a real tty in raw mode, the
// optional symlink to it, and the writer that paces bytes at the line's real rate.
#pragma once

#include "camera.h"

#include <cstdint>
#include <deque>
#include <string>

namespace camsim {

struct Port {
    int fd = -1;      // the end the simulator reads and writes (pty master or tty)
    int slaveFd = -1; // held open so that a host closing its end does not hang up the pty
    std::string path; // what a host opens
    std::string link; // symlink to path, removed on close
};

bool open_pty_port(Port &port, std::string &error);
bool open_tty_port(Port &port, const std::string &device, std::string &error);
bool link_port(Port &port, const std::string &linkPath, std::string &error);
void close_port(Port &port);

// 57,600 baud with 10 bits per byte: 5,760 bytes a second.
constexpr int64_t kBytesPerSecond = 5760;
// Bytes that have fully crossed the line elapsedNs after the first one started.
int64_t paced_bytes_due(int64_t elapsedNs);
// Time from the start until count bytes have crossed the line.
int64_t paced_duration_ns(int64_t count);

int64_t monotonic_ns();

struct Transmitter {
    std::deque<Segment> queue;
    size_t offset = 0;    // bytes of the front segment already written
    bool started = false; // the front segment's run has begun
    int64_t readyAt = 0;  // when the front segment may start
    int64_t runStart = 0; // paced: when the front segment's first byte started
};

void transmitter_add(Transmitter &tx, std::vector<Segment> segments, int64_t now);
bool transmitter_idle(const Transmitter &tx);
void transmitter_clear(Transmitter &tx);
// Writes what is due. Returns when to call again (monotonic ns; INT64_MAX when idle);
// sets wantWritable when the line is full and the next call should wait for room.
int64_t transmitter_pump(Transmitter &tx, int fd, bool pace, int64_t now, bool &wantWritable);

} // namespace camsim
