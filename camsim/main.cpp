// camsim: stands in for the camera on a pseudo-terminal (or a real serial line), so that the
// library, the data source and their tests can run without the hardware.
#include "camera.h"
#include "control.h"
#include "image_files.h"
#include "port.h"
#include "scenes.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <poll.h>
#include <string>
#include <unistd.h>
#include <vector>

using namespace camsim;

namespace {

const char kHelp[] =
    "Usage: camsim [OPTIONS]\n"
    "Simulates the serial camera: answers its command protocol on a pseudo-terminal (or on\n"
    "a serial device) exactly as the camera does, with pictures from files or generated\n"
    "scenes. Prints 'camera: PATH' (and 'control: PATH') on stdout, then serves until\n"
    "SIGTERM or SIGINT.\n"
    "\n"
    "Line\n"
    "  --device TTY          serve on this serial device instead of a new pseudo-terminal\n"
    "  --link PATH           also make PATH a symlink to the camera's line (e.g. a Wine\n"
    "                        dosdevices/com5); removed on exit\n"
    "  --pace                send at the real 57,600 baud (5,760 bytes/s; a picture takes\n"
    "                        about 3.6 s); default is full speed\n"
    "\n"
    "Pictures (the camera has SLOTS numbered slots, 0 first)\n"
    "  --slots N             number of picture slots, 1 to 255 (default 24)\n"
    "  --images DIR          fill slots 0, 1, ... with the .png/.bmp files in DIR, by name\n"
    "  --scenes N            fill the first N slots still empty with generated scenes\n"
    "                        (bars, gradient, figure, checkerboard, then variations)\n"
    "  --image SLOT=FILE     put FILE in SLOT (repeatable; applied last)\n"
    "                        Without any of these three the camera holds 4 scenes.\n"
    "  --grab-image FILE     the picture a grab ('G') takes; default a new scene each grab\n"
    "  --counter N           picture counter at start, 0 to 254 (default 0)\n"
    "  --no-advance          uploads leave the counter where it is (default: a whole 'U' or\n"
    "                        'M' reply moves it to the next slot)\n"
    "  --black-level N       sensor black level added to every raw byte, 0 to 255 (default\n"
    "                        16; the library accepts up to 128)\n"
    "  --black-noise N       black reference bytes vary by up to N either way (default 0)\n"
    "  --bad-exposure N      the next N grabs report a bad exposure (0x81)\n"
    "  --firmware TEXT       text of the 'V' reply, up to 255 bytes (default SIM1)\n"
    "\n"
    "Faults\n"
    "  --fault L:KIND[:N]    inject KIND on command letter L (or * for any) the next N\n"
    "                        times (default 1; 'always' for every time). Repeatable. KIND:\n"
    "                        busy silent silent-reply noise nak truncate wrongtype badtype\n"
    "                        noetx oversize stopmid trickle late flood (see README.md)\n"
    "  --random-faults P     a random fault kind on each command with probability P (0-1)\n"
    "  --seed N              seed for random faults and noise (default 1)\n"
    "\n"
    "Control and output\n"
    "  --control             open a second pseudo-terminal for control lines (fault, clear,\n"
    "                        last, raw, slowack, delay, load, scene, erase, counter, pace,\n"
    "                        badexposure, status, help); each is answered 'ok ...' or\n"
    "                        'error ...'\n"
    "  --control-link PATH   symlink PATH to the control line (implies --control)\n"
    "  --exit-on-stdin-eof   exit when standard input closes\n"
    "  --verbose             log every command and its answer on stderr\n"
    "  --quiet               no messages on stderr except errors\n"
    "  --help                this text\n";

volatile sig_atomic_t gStop = 0;

void on_signal(int) {
    gStop = 1;
}

struct Options {
    std::string device;
    std::string link;
    bool pace = false;
    int slots = kDefaultSlots;
    std::string imagesDir;
    int scenes = -1; // -1: not given
    std::vector<std::pair<int, std::string>> images;
    std::string grabImage;
    int counter = 0;
    bool noAdvance = false;
    int blackLevel = 16;
    int blackNoise = 0;
    int badExposure = 0;
    std::string firmware = "SIM1";
    std::vector<FaultRule> faults;
    double randomFaults = 0;
    uint64_t seed = 1;
    bool control = false;
    std::string controlLink;
    bool exitOnStdinEof = false;
    bool verbose = false;
    bool quiet = false;
};

[[noreturn]] void usage_error(const std::string &message) {
    std::fprintf(stderr, "camsim: %s (see --help)\n", message.c_str());
    std::exit(2);
}

long int_arg(const std::string &option, const std::string &text, long low, long high) {
    char *end = nullptr;
    errno = 0;
    const long v = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno != 0 || v < low || v > high)
        usage_error(option + " wants a number from " + std::to_string(low) + " to " +
                    std::to_string(high) + ", not '" + text + "'");
    return v;
}

Options parse_options(int argc, char **argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) usage_error(a + " needs a value");
            return argv[++i];
        };
        if (a == "--help" || a == "-h") {
            std::fputs(kHelp, stdout);
            std::exit(0);
        } else if (a == "--device")
            o.device = value();
        else if (a == "--link")
            o.link = value();
        else if (a == "--pace")
            o.pace = true;
        else if (a == "--slots")
            o.slots = static_cast<int>(int_arg(a, value(), 1, 255));
        else if (a == "--images")
            o.imagesDir = value();
        else if (a == "--scenes")
            o.scenes = static_cast<int>(int_arg(a, value(), 0, 255));
        else if (a == "--image") {
            const std::string v = value();
            const size_t eq = v.find('=');
            if (eq == std::string::npos) usage_error("--image wants SLOT=FILE");
            o.images.emplace_back(static_cast<int>(int_arg(a, v.substr(0, eq), 0, 254)),
                                  v.substr(eq + 1));
        } else if (a == "--grab-image")
            o.grabImage = value();
        else if (a == "--counter")
            o.counter = static_cast<int>(int_arg(a, value(), 0, kMaxCounter));
        else if (a == "--no-advance")
            o.noAdvance = true;
        else if (a == "--black-level")
            o.blackLevel = static_cast<int>(int_arg(a, value(), 0, 255));
        else if (a == "--black-noise")
            o.blackNoise = static_cast<int>(int_arg(a, value(), 0, 64));
        else if (a == "--bad-exposure")
            o.badExposure = static_cast<int>(int_arg(a, value(), 0, 1000000));
        else if (a == "--firmware") {
            o.firmware = value();
            if (o.firmware.size() > 255) usage_error("--firmware text is longer than 255 bytes");
        } else if (a == "--fault") {
            const std::string v = value();
            const size_t c1 = v.find(':');
            if (c1 == std::string::npos) usage_error("--fault wants LETTER:KIND[:COUNT]");
            const size_t c2 = v.find(':', c1 + 1);
            FaultRule rule;
            std::string error;
            const std::string kind =
                v.substr(c1 + 1, c2 == std::string::npos ? std::string::npos : c2 - c1 - 1);
            const std::string count = c2 == std::string::npos ? "" : v.substr(c2 + 1);
            if (!parse_fault_rule(v.substr(0, c1), kind, count, rule, error)) usage_error(error);
            o.faults.push_back(rule);
        } else if (a == "--random-faults") {
            const std::string v = value();
            char *end = nullptr;
            o.randomFaults = std::strtod(v.c_str(), &end);
            if (v.empty() || *end != '\0' || !(o.randomFaults >= 0 && o.randomFaults <= 1))
                usage_error("--random-faults wants a probability from 0 to 1");
        } else if (a == "--seed")
            o.seed = static_cast<uint64_t>(int_arg(a, value(), 0, LONG_MAX));
        else if (a == "--control")
            o.control = true;
        else if (a == "--control-link") {
            o.controlLink = value();
            o.control = true;
        } else if (a == "--exit-on-stdin-eof")
            o.exitOnStdinEof = true;
        else if (a == "--verbose")
            o.verbose = true;
        else if (a == "--quiet")
            o.quiet = true;
        else
            usage_error("unknown option '" + a + "'");
    }
    return o;
}

bool has_picture_extension(const std::string &name) {
    if (name.size() < 5) return false;
    std::string ext = name.substr(name.size() - 4);
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return ext == ".png" || ext == ".bmp";
}

// Fills the slots: the folder first, then scenes into the slots still empty, then the
// single files, which win over both.
bool fill_slots(Camera &cam, const Options &o, std::string &error) {
    int next = 0;
    if (!o.imagesDir.empty()) {
        DIR *dir = opendir(o.imagesDir.c_str());
        if (!dir) {
            error = o.imagesDir + ": " + std::strerror(errno);
            return false;
        }
        std::vector<std::string> names;
        while (dirent *e = readdir(dir))
            if (has_picture_extension(e->d_name)) names.push_back(e->d_name);
        closedir(dir);
        std::sort(names.begin(), names.end());
        for (const std::string &name : names) {
            if (next >= static_cast<int>(cam.slots.size())) {
                if (!o.quiet)
                    std::fprintf(stderr, "camsim: camera full, %s and later files left out\n",
                                 name.c_str());
                break;
            }
            RgbImage picture;
            const std::string path = o.imagesDir + "/" + name;
            if (!load_sensor_picture(path, picture, error)) return false;
            camera_store(cam, next++, std::move(picture), path);
        }
    }
    int scenes = o.scenes;
    if (scenes < 0) scenes = (o.imagesDir.empty() && o.images.empty()) ? 4 : 0;
    for (int n = 0, slot = 0; n < scenes && slot < static_cast<int>(cam.slots.size()); ++slot) {
        if (cam.slots[slot].filled) continue;
        camera_store(cam, slot, make_scene(n), std::string("scene ") + scene_name(n));
        ++n;
    }
    for (const auto &entry : o.images) {
        if (entry.first >= static_cast<int>(cam.slots.size())) {
            error = "--image slot " + std::to_string(entry.first) + " is past the last slot " +
                    std::to_string(cam.slots.size() - 1);
            return false;
        }
        RgbImage picture;
        if (!load_sensor_picture(entry.second, picture, error)) return false;
        camera_store(cam, entry.first, std::move(picture), entry.second);
    }
    if (!o.grabImage.empty()) {
        if (!load_sensor_picture(o.grabImage, cam.grabPicture, error)) return false;
        cam.hasGrabPicture = true;
        cam.grabOrigin = o.grabImage;
    }
    return true;
}

struct ControlLine {
    Port port;
    std::string pending;
};

void serve_control(Camera &cam, ControlLine &control) {
    char buf[512];
    for (;;) {
        const ssize_t n = read(control.port.fd, buf, sizeof buf);
        if (n <= 0) break;
        control.pending.append(buf, static_cast<size_t>(n));
    }
    size_t nl;
    while ((nl = control.pending.find_first_of("\r\n")) != std::string::npos) {
        const std::string line = control.pending.substr(0, nl);
        control.pending.erase(0, nl + 1);
        if (line.find_first_not_of(" \t") == std::string::npos) continue; // \r\n, blank lines
        const std::string answer = control_execute(cam, line) + "\n";
        if (cam.log)
            std::fprintf(cam.log, "camsim: control '%s' -> %s", line.c_str(), answer.c_str());
        size_t done = 0;
        while (done < answer.size()) {
            const ssize_t w = write(control.port.fd, answer.data() + done, answer.size() - done);
            if (w < 0 && errno == EAGAIN) {
                pollfd p = {control.port.fd, POLLOUT, 0};
                poll(&p, 1, 100);
                continue;
            }
            if (w <= 0) break;
            done += static_cast<size_t>(w);
        }
    }
    if (control.pending.size() > 65536) control.pending.clear(); // no line end in sight
}

constexpr int64_t kPartialPacketNs = 500 * 1000000LL; // a packet stalled this long is dropped

} // namespace

int main(int argc, char **argv) {
    const Options o = parse_options(argc, argv);

    Camera cam;
    camera_init(cam, o.slots);
    cam.counter = o.counter;
    cam.advanceOnUpload = !o.noAdvance;
    cam.blackLevel = o.blackLevel;
    cam.blackNoise = o.blackNoise;
    cam.badExposures = o.badExposure;
    cam.firmware = o.firmware;
    cam.faults = o.faults;
    cam.randomFaults = o.randomFaults;
    cam.pace = o.pace;
    rng_seed(cam.rng, o.seed);
    if (o.verbose && !o.quiet) cam.log = stderr;

    std::string error;
    if (!fill_slots(cam, o, error)) {
        std::fprintf(stderr, "camsim: %s\n", error.c_str());
        return 1;
    }

    Port line;
    ControlLine control;
    const bool opened =
        o.device.empty() ? open_pty_port(line, error) : open_tty_port(line, o.device, error);
    if (!opened || (!o.link.empty() && !link_port(line, o.link, error)) ||
        (o.control && !open_pty_port(control.port, error)) ||
        (!o.controlLink.empty() && !link_port(control.port, o.controlLink, error))) {
        std::fprintf(stderr, "camsim: %s\n", error.c_str());
        close_port(line);
        close_port(control.port);
        return 1;
    }

    // Signals are only let through while waiting in ppoll, so none is missed between checks.
    sigset_t blocked, waiting;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGTERM);
    sigaddset(&blocked, SIGINT);
    sigaddset(&blocked, SIGHUP);
    sigprocmask(SIG_BLOCK, &blocked, &waiting);
    sigdelset(&waiting, SIGTERM);
    sigdelset(&waiting, SIGINT);
    sigdelset(&waiting, SIGHUP);
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_signal;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    std::printf("camera: %s\n", line.path.c_str());
    if (o.control) std::printf("control: %s\n", control.port.path.c_str());
    std::fflush(stdout);
    if (!o.quiet)
        std::fprintf(stderr, "camsim: %d of %d slots hold pictures, counter %d%s\n",
                     camera_pictures(cam), o.slots, cam.counter,
                     cam.pace ? ", paced at 57,600 baud" : "");

    Transmitter tx;
    std::vector<uint8_t> input;
    size_t inputPos = 0;
    int64_t lastArrival = monotonic_ns();
    bool stdinOpen = o.exitOnStdinEof;

    while (!gStop) {
        int64_t now = monotonic_ns();
        if (cam.hush) {
            transmitter_clear(tx);
            cam.hush = false;
        }
        if (cam.unplug && o.device.empty()) {
            // The host's end dies with the old pseudo-terminal; the link then names a
            // fresh one, as a camera plugged in again would be a new device.
            cam.unplug = false;
            transmitter_clear(tx);
            input.clear();
            inputPos = 0;
            camera_drop_partial(cam);
            close_port(line);
            if (!open_pty_port(line, error) ||
                (!o.link.empty() && !link_port(line, o.link, error))) {
                std::fprintf(stderr, "camsim: %s\n", error.c_str());
                break;
            }
            if (!o.quiet) std::fprintf(stderr, "camsim: unplugged; now on %s\n", line.path.c_str());
        }
        // Commands are taken one at a time: the next is read only once the answer is out.
        while (transmitter_idle(tx) && inputPos < input.size()) {
            std::vector<Segment> out;
            if (camera_receive(cam, input[inputPos++], out))
                transmitter_add(tx, std::move(out), now);
        }
        if (inputPos == input.size()) {
            input.clear();
            inputPos = 0;
        }
        if (camera_mid_packet(cam) && input.empty() && now - lastArrival >= kPartialPacketNs)
            camera_drop_partial(cam);

        bool wantWritable = false;
        int64_t wake = transmitter_pump(tx, line.fd, cam.pace, now, wantWritable);
        if (camera_mid_packet(cam) && input.empty())
            wake = std::min(wake, lastArrival + kPartialPacketNs);
        if (transmitter_idle(tx) && inputPos < input.size()) continue; // the next command

        pollfd fds[3];
        nfds_t count = 0;
        fds[count++] = {line.fd, static_cast<short>(POLLIN | (wantWritable ? POLLOUT : 0)), 0};
        const nfds_t controlIndex = count;
        if (control.port.fd >= 0) fds[count++] = {control.port.fd, POLLIN, 0};
        const nfds_t stdinIndex = count;
        if (stdinOpen) fds[count++] = {STDIN_FILENO, POLLIN, 0};

        timespec timeout;
        timespec *timeoutPtr = nullptr;
        if (wake != INT64_MAX) {
            const int64_t wait = std::max<int64_t>(0, wake - monotonic_ns());
            timeout.tv_sec = static_cast<time_t>(wait / 1000000000);
            timeout.tv_nsec = static_cast<long>(wait % 1000000000);
            timeoutPtr = &timeout;
        }
        const int ready = ppoll(fds, count, timeoutPtr, &waiting);
        if (ready < 0) {
            if (errno == EINTR) continue;
            std::fprintf(stderr, "camsim: poll: %s\n", std::strerror(errno));
            break;
        }
        if (fds[0].revents & POLLIN) {
            uint8_t buf[4096];
            const ssize_t n = read(line.fd, buf, sizeof buf);
            if (n > 0) {
                input.insert(input.end(), buf, buf + n);
                lastArrival = monotonic_ns();
            }
        } else if (fds[0].revents & (POLLHUP | POLLERR)) {
            usleep(20000); // a real tty without its peer: wait for it to come back
        }
        if (control.port.fd >= 0 && (fds[controlIndex].revents & (POLLIN | POLLHUP | POLLERR)))
            serve_control(cam, control);
        if (stdinOpen && (fds[stdinIndex].revents & (POLLIN | POLLHUP | POLLERR))) {
            char buf[256];
            const ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
            if (n <= 0) break; // the parent is gone
        }
    }

    close_port(line);
    close_port(control.port);
    if (!o.quiet)
        std::fprintf(stderr, "camsim: stopped after %llu commands\n",
                     static_cast<unsigned long long>(cam.commands));
    return 0;
}
