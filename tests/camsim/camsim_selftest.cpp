// The simulator checked from the host's side of the wire: raw bytes over its pseudo-terminal,
// and its picture stream against values worked out by hand.
#include "camera.h"
#include "exposure.h"
#include "image_files.h"
#include "port.h"
#include "sensor.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

using namespace camsim;
using Bytes = std::vector<uint8_t>;

namespace {

std::string gCamsim; // path of the program, from the command line

int64_t now_ms() {
    return monotonic_ns() / 1000000;
}

// In a child about to run the simulator: a simulator that reads without limit fails within
// 4 GiB instead of taking the machine's memory with it. The sanitizers' shadow memory needs
// far more address space, so they go without.
void bound_memory() {
#if !defined(__SANITIZE_ADDRESS__)
    const rlimit limit = {4ull << 30, 4ull << 30};
    setrlimit(RLIMIT_AS, &limit);
#endif
}

// One running simulator, talked to over its camera line and its control line.
class Sim {
  public:
    explicit Sim(std::vector<std::string> args) {
        args.insert(args.begin(), {gCamsim, "--control", "--quiet", "--exit-on-stdin-eof"});
        int in[2], out[2];
        if (pipe(in) != 0 || pipe(out) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(in[0], STDIN_FILENO);
            dup2(out[1], STDOUT_FILENO);
            close(in[1]);
            close(out[0]);
            bound_memory();
            std::vector<char *> argv;
            for (std::string &a : args) argv.push_back(&a[0]);
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        stdin_ = in[1];
        stdout_ = out[0];
        camera_ = open_named("camera: ");
        control_ = open_named("control: ");
    }

    ~Sim() {
        if (camera_ >= 0) close(camera_);
        if (control_ >= 0) close(control_);
        if (stdin_ >= 0) close(stdin_); // the simulator exits when its stdin closes
        if (stdout_ >= 0) close(stdout_);
        if (pid_ > 0) {
            int status = 0;
            for (int i = 0; i < 200 && waitpid(pid_, &status, WNOHANG) == 0; ++i) usleep(10000);
            if (waitpid(pid_, &status, WNOHANG) == 0) {
                kill(pid_, SIGKILL);
                waitpid(pid_, &status, 0);
            }
        }
    }

    bool ok() const { return camera_ >= 0 && control_ >= 0; }

    void send(const Bytes &bytes) {
        ASSERT_EQ(write(camera_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }

    // Reads up to n bytes, waiting at most timeoutMs in all.
    Bytes read(size_t n, int timeoutMs = 2000) {
        Bytes got;
        const int64_t end = now_ms() + timeoutMs;
        while (got.size() < n) {
            const int64_t left = end - now_ms();
            if (left <= 0) break;
            pollfd p = {camera_, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left)) <= 0) break;
            uint8_t buf[8192];
            const ssize_t k = ::read(camera_, buf, std::min(sizeof buf, n - got.size()));
            if (k <= 0) break;
            got.insert(got.end(), buf, buf + k);
        }
        return got;
    }

    // One exchange: the command, and exactly the expected number of bytes back.
    Bytes exchange(const Bytes &command, size_t expected) {
        send(command);
        return read(expected);
    }

    std::string control(const std::string &line) {
        const std::string text = line + "\n";
        if (write(control_, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
            return "";
        std::string answer;
        const int64_t end = now_ms() + 2000;
        while (answer.empty() || answer.back() != '\n') {
            pollfd p = {control_, POLLIN, 0};
            if (now_ms() >= end || poll(&p, 1, static_cast<int>(end - now_ms())) <= 0) break;
            char c;
            if (::read(control_, &c, 1) != 1) break;
            answer += c;
        }
        if (!answer.empty() && answer.back() == '\n') answer.pop_back();
        return answer;
    }

  private:
    int open_named(const std::string &prefix) {
        std::string line;
        char c;
        while (::read(stdout_, &c, 1) == 1 && c != '\n') line += c;
        if (line.compare(0, prefix.size(), prefix) != 0) return -1;
        const int fd = open(line.substr(prefix.size()).c_str(), O_RDWR | O_NOCTTY);
        if (fd >= 0) {
            termios t;
            tcgetattr(fd, &t);
            cfmakeraw(&t);
            tcsetattr(fd, TCSANOW, &t);
        }
        return fd;
    }

    pid_t pid_ = -1;
    int stdin_ = -1, stdout_ = -1, camera_ = -1, control_ = -1;
};

Bytes cmd(uint8_t letter, uint8_t arg = 0) {
    return {0x02, letter, arg, 0x03};
}
Bytes cmd2(uint8_t letter, uint8_t a, uint8_t b) {
    return {0x02, letter, a, b, 0x03};
}

// Writes a 24-bit bottom-up BMP of one colour.
std::string write_uniform_bmp(const std::string &name, int w, int h, uint8_t r, uint8_t g,
                              uint8_t b) {
    const int stride = (w * 3 + 3) / 4 * 4;
    Bytes f(54 + static_cast<size_t>(stride) * h, 0);
    auto put32 = [&](size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i) f[at + i] = static_cast<uint8_t>(v >> (8 * i));
    };
    f[0] = 'B';
    f[1] = 'M';
    put32(2, static_cast<uint32_t>(f.size()));
    put32(10, 54);
    put32(14, 40);
    put32(18, static_cast<uint32_t>(w));
    put32(22, static_cast<uint32_t>(h));
    f[26] = 1;
    f[28] = 24;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            uint8_t *p = &f[54 + static_cast<size_t>(y) * stride + 3 * x];
            p[0] = b;
            p[1] = g;
            p[2] = r;
        }
    char dir[] = "/tmp/camsim_selftest_XXXXXX";
    const std::string path = std::string(mkdtemp(dir)) + "/" + name;
    FILE *file = std::fopen(path.c_str(), "wb");
    std::fwrite(f.data(), 1, f.size(), file);
    std::fclose(file);
    return path;
}

// Files that are no picture to read: a fifo alone in its folder, a link to /dev/zero, and a
// sparse regular file one byte over the limit (it takes no disk).
struct NotPictures {
    std::string dir, folder, fifo, zero, huge;
    NotPictures() {
        char name[] = "/tmp/camsim_selftest_XXXXXX";
        dir = mkdtemp(name);
        folder = dir + "/folder";
        mkdir(folder.c_str(), 0755);
        fifo = folder + "/x.png";
        zero = dir + "/zero.png";
        huge = dir + "/huge.bmp";
        mkfifo(fifo.c_str(), 0644);
        symlink("/dev/zero", zero.c_str());
        const int fd = open(huge.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd >= 0) {
            if (ftruncate(fd, static_cast<off_t>(kMaxPictureFileBytes + 1)) != 0) huge.clear();
            close(fd);
        }
    }
    ~NotPictures() {
        for (const std::string &f : {fifo, zero, huge}) unlink(f.c_str());
        rmdir(folder.c_str());
        rmdir(dir.c_str());
    }
};

struct Exited {
    int code = -1; // exit code, or -1 when it had to be killed
    std::string err;
};

// Runs the simulator until it exits, for at most timeoutMs; its standard error comes back.
Exited run_camsim(std::vector<std::string> args, int timeoutMs) {
    args.insert(args.begin(), gCamsim);
    int err[2];
    Exited r;
    if (pipe(err) != 0) return r;
    const pid_t pid = fork();
    if (pid == 0) {
        const int null = open("/dev/null", O_RDWR);
        dup2(null, STDIN_FILENO);
        dup2(null, STDOUT_FILENO);
        dup2(err[1], STDERR_FILENO);
        close(err[0]);
        bound_memory();
        std::vector<char *> argv;
        for (std::string &a : args) argv.push_back(&a[0]);
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(err[1]);
    const int64_t end = now_ms() + timeoutMs;
    for (;;) {
        pollfd p = {err[0], POLLIN, 0};
        const int64_t left = end - now_ms();
        if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) break;
        char buf[512];
        const ssize_t n = ::read(err[0], buf, sizeof buf);
        if (n <= 0) break; // closed: the simulator has exited
        r.err.append(buf, static_cast<size_t>(n));
    }
    close(err[0]);
    int status = 0;
    for (int i = 0; i < 100 && waitpid(pid, &status, WNOHANG) == 0; ++i) usleep(10000);
    if (waitpid(pid, &status, WNOHANG) == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        return r;
    }
    r.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return r;
}

// The host's reformatting of one raw byte, as the wire format defines it.
int host_level(int raw, int black) {
    const double f = 255.0 / (255 - black);
    const int v = raw - black < 0 ? 0 : static_cast<int>((raw - black) * f);
    return v > 255 ? 255 : v;
}

} // namespace

// ---- the picture stream, without the wire ----

TEST(PictureStream, UniformColourGivesMosaicLevelsBlackReferenceAndTrailer) {
    RgbImage frame = make_image(kSensorWidth, kSensorHeight);
    for (size_t i = 0; i < frame.rgb.size(); i += 3) {
        frame.rgb[i] = 200;
        frame.rgb[i + 1] = 100;
        frame.rgb[i + 2] = 50;
    }
    StreamSettings settings;
    settings.blackLevel = 16;
    settings.slot = 7;
    Rng rng;
    Bytes payload(kPicturePayload);
    make_picture_payload(frame, settings, rng, payload.data());

    // Black 16 stretches by 255/239: red 200 -> 16 + ceil(200*239/255) = 204, green 100 -> 110,
    // blue 50 -> 63.
    for (int i = 0; i < 2 * 164; ++i) ASSERT_EQ(payload[i], 16) << "leading byte " << i;
    for (int y = 0; y < 124; ++y) {
        const uint8_t *row = &payload[328 + 164 * y];
        // Odd columns (bytes 0-80): red on even rows, green on odd rows.
        // Even columns (bytes 83-163): green on even rows, blue on odd rows.
        const uint8_t odd = (y % 2 == 0) ? 204 : 110, even = (y % 2 == 0) ? 110 : 63;
        for (int i = 0; i <= 80; ++i) ASSERT_EQ(row[i], odd) << "row " << y << " byte " << i;
        for (int i = 83; i <= 163; ++i) ASSERT_EQ(row[i], even) << "row " << y << " byte " << i;
    }
    const uint8_t *trailer = &payload[20664];
    EXPECT_EQ(trailer[0], 7);
    EXPECT_EQ(trailer[1], 16);
    EXPECT_EQ(trailer[2], 0x3F);
    EXPECT_EQ(trailer[3], 0x01);
    EXPECT_EQ(trailer[15], (7 + 16 + 0x3F + 1) & 0xFF);
}

TEST(PictureStream, RowsCarryOddColumnsThenEvenColumns) {
    RgbImage frame = make_image(kSensorWidth, kSensorHeight);
    for (int y = 0; y < kSensorHeight; ++y)
        for (int x = 0; x < kSensorWidth; ++x)
            for (int c = 0; c < 3; ++c) {
                pixel_at(frame, x, y)[c] = static_cast<uint8_t>(x + 2 * y);
            }
    StreamSettings settings;
    settings.blackLevel = 0; // levels pass unchanged
    Rng rng;
    Bytes payload(kPicturePayload);
    make_picture_payload(frame, settings, rng, payload.data());
    const uint8_t *row5 = &payload[328 + 5 * 164];
    EXPECT_EQ(row5[0], 3 + 10);     // column 3
    EXPECT_EQ(row5[80], 163 + 10);  // column 163
    EXPECT_EQ(row5[83], 0 + 10);    // column 0
    EXPECT_EQ(row5[163], 160 + 10); // column 160
    EXPECT_EQ(row5[81], 1 + 10);    // the spare bytes: columns 1 and 162
    EXPECT_EQ(row5[82], 162 + 10);
}

TEST(PictureStream, RawBytesReformatBackToTheirLevel) {
    for (int black : {0, 16, 100, 128})
        for (int level = 0; level < 256; ++level) {
            const int raw = raw_from_level(static_cast<uint8_t>(level), black);
            // The smallest raw byte that reaches the level (the stretch skips some levels).
            ASSERT_GE(host_level(raw, black), level) << "black " << black << " level " << level;
            if (raw > black) {
                ASSERT_LT(host_level(raw - 1, black), level) << "black " << black;
            }
        }
}

TEST(PictureStream, BlackNoiseStaysWithinItsSpread) {
    RgbImage frame = make_image(kSensorWidth, kSensorHeight);
    StreamSettings settings;
    settings.blackLevel = 20;
    settings.blackNoise = 2;
    Rng rng;
    rng_seed(rng, 5);
    Bytes payload(kPicturePayload);
    make_picture_payload(frame, settings, rng, payload.data());
    bool varied = false;
    for (int i = 172; i < 320; ++i) {
        ASSERT_GE(payload[i], 18);
        ASSERT_LE(payload[i], 22);
        varied |= payload[i] != 20;
    }
    EXPECT_TRUE(varied);
}

TEST(ThumbnailStream, LumaOfFourByFourBlocksTopLineFirst) {
    RgbImage frame = make_image(kSensorWidth, kSensorHeight);
    // Left of column 82 white, right of it dark; the bottom row band a mid grey.
    for (int y = 0; y < kSensorHeight; ++y)
        for (int x = 0; x < kSensorWidth; ++x) {
            uint8_t *p = pixel_at(frame, x, y);
            const uint8_t band[3] = {128, 128, 128}, white[3] = {255, 255, 255},
                          dark[3] = {200, 100, 50};
            std::memcpy(p, y >= 120 ? band : (x < 82 ? white : dark), 3);
        }
    StreamSettings settings;
    settings.slot = 3;
    Bytes payload(kThumbPayload);
    make_thumbnail_payload(frame, settings, payload.data());
    // Thumbnail column i covers sites 4i+2 .. 4i+5: column 19 ends at 81, column 20 starts at 82.
    EXPECT_EQ(payload[0 * 40 + 19], 255);
    EXPECT_EQ(payload[0 * 40 + 20], 124); // (77*200 + 150*100 + 29*50 + 128) >> 8
    EXPECT_EQ(payload[30 * 40 + 0], 128); // line 30 is sensor rows 120-123
    EXPECT_EQ(payload[1240], 3);          // trailer byte 0: the slot
}

// ---- picture files ----

TEST(PictureFiles, BmpLayoutsDecodeToTheSamePixels) {
    // 3 x 2 pixels: top row red, green, blue; bottom row white, black, grey.
    const uint8_t expect[2][3][3] = {{{255, 0, 0}, {0, 255, 0}, {0, 0, 255}},
                                     {{255, 255, 255}, {0, 0, 0}, {128, 128, 128}}};
    auto header = [](int bits, int height, uint32_t offset, uint32_t colours, uint32_t stride) {
        Bytes f(offset + stride * 2, 0);
        auto put32 = [&](size_t at, uint32_t v) {
            for (int i = 0; i < 4; ++i) f[at + i] = static_cast<uint8_t>(v >> (8 * i));
        };
        f[0] = 'B';
        f[1] = 'M';
        put32(10, offset);
        put32(14, 40);
        put32(18, 3);
        put32(22, static_cast<uint32_t>(height));
        f[26] = 1;
        f[28] = static_cast<uint8_t>(bits);
        put32(46, colours);
        return f;
    };
    // 24-bit bottom-up, rows padded to 12 bytes.
    Bytes b24 = header(24, 2, 54, 0, 12);
    for (int row = 0; row < 2; ++row)
        for (int x = 0; x < 3; ++x)
            for (int c = 0; c < 3; ++c) b24[54 + 12 * row + 3 * x + c] = expect[1 - row][x][2 - c];
    // 8-bit top-down with a 6-colour palette.
    Bytes b8 = header(8, -2, 54 + 24, 6, 4);
    for (int i = 0; i < 6; ++i)
        for (int c = 0; c < 3; ++c) b8[54 + 4 * i + c] = expect[i / 3][i % 3][2 - c];
    for (int row = 0; row < 2; ++row)
        for (int x = 0; x < 3; ++x) b8[78 + 4 * row + x] = static_cast<uint8_t>(3 * row + x);
    // 32-bit bottom-up, blue green red unused.
    Bytes b32 = header(32, 2, 54, 0, 12);
    for (int row = 0; row < 2; ++row)
        for (int x = 0; x < 3; ++x)
            for (int c = 0; c < 3; ++c) b32[54 + 12 * row + 4 * x + c] = expect[1 - row][x][2 - c];

    for (const Bytes *file : {&b24, &b8, &b32}) {
        RgbImage image;
        std::string error;
        ASSERT_TRUE(decode_bmp(file->data(), file->size(), image, error)) << error;
        ASSERT_EQ(image.width, 3);
        ASSERT_EQ(image.height, 2);
        for (int y = 0; y < 2; ++y)
            for (int x = 0; x < 3; ++x)
                for (int c = 0; c < 3; ++c)
                    EXPECT_EQ(pixel_at(image, x, y)[c], expect[y][x][c]) << x << "," << y;
    }

    // Damaged files are refused with a reason, never read past their end.
    RgbImage image;
    std::string error;
    Bytes cut(b24.begin(), b24.end() - 1);
    EXPECT_FALSE(decode_bmp(cut.data(), cut.size(), image, error));
    EXPECT_NE(error.find("truncated"), std::string::npos);
    Bytes badIndex = b8;
    badIndex[78] = 9; // palette has 6 entries
    EXPECT_FALSE(decode_bmp(badIndex.data(), badIndex.size(), image, error));
}

TEST(PictureFiles, FitCoversTheSensorAndAveragesWhatItShrinks) {
    // 328 x 248 is exactly twice the sensor: each site is the mean of a 2 x 2 block.
    RgbImage big = make_image(328, 248);
    for (int y = 0; y < 248; ++y)
        for (int x = 0; x < 328; ++x) pixel_at(big, x, y)[0] = ((x + y) % 2) ? 200 : 100;
    RgbImage fitted = fit_to_sensor(big);
    ASSERT_EQ(fitted.width, 164);
    ASSERT_EQ(fitted.height, 124);
    EXPECT_EQ(pixel_at(fitted, 0, 0)[0], 150);
    EXPECT_EQ(pixel_at(fitted, 163, 123)[0], 150);
}

TEST(PictureFiles, OnlyRegularFilesUpToThePictureLimitStopStartUpWithTheirReason) {
    NotPictures files;
    ASSERT_FALSE(files.huge.empty()) << "no sparse file";
    // A fifo among the pictures blocked start-up for good; /dev/zero never ends.
    Exited r = run_camsim({"--images", files.folder, "--quiet"}, 5000);
    EXPECT_NE(r.code, -1) << "start-up still waits on the fifo";
    EXPECT_NE(r.code, 0);
    EXPECT_NE(r.err.find(files.fifo + ": a fifo, not a regular file"), std::string::npos) << r.err;
    r = run_camsim({"--image", "0=" + files.zero, "--quiet"}, 5000);
    EXPECT_NE(r.code, 0);
    EXPECT_NE(r.err.find(files.zero + ": a character device, not a regular file"),
              std::string::npos)
        << r.err;
    r = run_camsim({"--grab-image", files.huge, "--quiet"}, 5000);
    EXPECT_NE(r.code, 0);
    EXPECT_NE(r.err.find(files.huge + ": too large for a picture (" +
                         std::to_string(kMaxPictureFileBytes + 1) + " bytes, at most " +
                         std::to_string(kMaxPictureFileBytes) + ")"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(r.err.find("bad_alloc"), std::string::npos) << r.err;
}

// ---- pacing ----

TEST(Pacing, PictureReplyTakesItsTimeOnTheLine) {
    // ACK-less 'u' reply: 7 framing bytes and 20,680 payload bytes at 5,760 bytes a second.
    const int64_t ns = paced_duration_ns(20687);
    EXPECT_NEAR(static_cast<double>(ns) / 1e9, 3.5915, 0.0005);
    EXPECT_EQ(paced_bytes_due(ns), 20687);
    EXPECT_EQ(paced_bytes_due(ns - 1), 20686);
    EXPECT_EQ(paced_bytes_due(1000000000), 5760);
    EXPECT_EQ(paced_bytes_due(173611), 0); // a byte takes 173.6 us to cross
    EXPECT_EQ(paced_bytes_due(173612), 1);
}

// ---- over the wire ----

TEST(Wire, ControlCommandsAnsweredByteForByte) {
    Sim sim({"--scenes", "2"});
    ASSERT_TRUE(sim.ok());
    EXPECT_EQ(sim.exchange(cmd('I'), 5), (Bytes{0x06, 0x02, 0x69, 0x00, 0x03}));
    EXPECT_EQ(sim.exchange(cmd('A', 5), 5), (Bytes{0x06, 0x02, 0x61, 0x05, 0x03}));
    EXPECT_EQ(sim.exchange(cmd('I'), 5), (Bytes{0x06, 0x02, 0x69, 0x05, 0x03}));
    EXPECT_EQ(sim.exchange(cmd('V'), 9), (Bytes{0x06, 0x02, 0x76, 0x04, 'S', 'I', 'M', '1', 0x03}));
    EXPECT_EQ(sim.exchange(cmd('E', 0x03), 5), (Bytes{0x06, 0x02, 0x65, 0x03, 0x03}));
    EXPECT_EQ(sim.exchange(cmd2('W', 0x2C, 0x11), 5), (Bytes{0x06, 0x02, 0x77, 0x11, 0x03}));
    EXPECT_EQ(sim.exchange(cmd('R', 0x2C), 5), (Bytes{0x06, 0x02, 0x72, 0x11, 0x03}));
    EXPECT_EQ(sim.exchange(cmd2('T', 0x13, 0x02), 5), (Bytes{0x06, 0x02, 0x74, 0x00, 0x03}));
    EXPECT_EQ(sim.exchange(cmd('X'), 6), (Bytes{0x06, 0x02, 0x78, 0x13, 0x02, 0x03}));
    // 'J' adds the 15-bit value to the counter (5 + 0x0003) and answers old and new.
    EXPECT_EQ(sim.exchange(cmd2('J', 0x03, 0x00), 6), (Bytes{0x06, 0x02, 0x6A, 0x05, 0x08, 0x03}));
    EXPECT_EQ(sim.exchange(cmd2('J', 0x34, 0x12), 6), (Bytes{0x06, 0x02, 0x6A, 0x08, 0xFE, 0x03}));
    EXPECT_EQ(sim.exchange(cmd2('B', 1, 2), 5), (Bytes{0x06, 0x02, 0x62, 0x00, 0x03}));
    EXPECT_EQ(sim.exchange(cmd('A', 255), 1), (Bytes{0x15})); // the counter stops at 254
    EXPECT_EQ(sim.control("last"), "ok 02 41 FF 03");
}

TEST(Wire, RefusesUnknownAndMalformedPacketsAndResynchronises) {
    Sim sim({"--scenes", "1"});
    ASSERT_TRUE(sim.ok());
    EXPECT_EQ(sim.exchange(cmd('C'), 1), (Bytes{0x15}));                 // unknown letter
    EXPECT_EQ(sim.exchange({0x02, 0x49, 0x00, 0x04}, 1), (Bytes{0x15})); // no ETX
    // Garbage, including flow-control and ETX bytes, is skipped up to the next STX.
    EXPECT_EQ(sim.exchange({0x11, 0x13, 0x0D, 0x03, 0x02, 0x49, 0x00, 0x03}, 5),
              (Bytes{0x06, 0x02, 0x69, 0x00, 0x03}));
    // A 'B' sent short runs into the next packet: refused, and the next packet is still read.
    EXPECT_EQ(sim.exchange({0x02, 0x42, 0x01, 0x03, 0x02, 0x49, 0x00, 0x03}, 6),
              (Bytes{0x15, 0x06, 0x02, 0x69, 0x00, 0x03}));
    EXPECT_EQ(sim.control("last"), "ok 02 49 00 03");
}

TEST(Wire, PictureAndThumbnailUploadsFromAFile) {
    const std::string file = write_uniform_bmp("grey.bmp", 80, 60, 120, 120, 120);
    Sim sim({"--scenes", "0", "--image", "2=" + file, "--grab-image", file, "--black-level", "20"});
    unlink(file.c_str()); // read at start-up
    rmdir(file.substr(0, file.rfind('/')).c_str());
    ASSERT_TRUE(sim.ok());
    EXPECT_EQ(sim.exchange(cmd('U'), 1), (Bytes{0x15})); // slot 0 is empty
    sim.exchange(cmd('A', 2), 5);
    Bytes u = sim.exchange(cmd('U'), 1 + 6 + 20680 + 1);
    ASSERT_EQ(u.size(), 20688u);
    EXPECT_EQ((Bytes(u.begin(), u.begin() + 7)), (Bytes{0x06, 0x02, 0x75, 0xA4, 0x02, 0x7C, 0x10}));
    EXPECT_EQ(u.back(), 0x03);
    const uint8_t *payload = &u[7];
    for (int i = 172; i < 320; ++i) ASSERT_EQ(payload[i], 20);
    // A photograph is exposed onto the sensor: grey 120 gives one level for each colour of
    // the mosaic, blue the lowest (the camera's correction lifts blue most), each sent as the
    // raw byte that reformats to it at black 20.
    RgbImage grey = make_image(kSensorWidth, kSensorHeight);
    std::fill(grey.rgb.begin(), grey.rgb.end(), 120);
    const Exposure e = expose_photograph(grey);
    const uint8_t *level = pixel_at(e.samples, 80, 60);
    EXPECT_LT(level[2], level[0]);
    EXPECT_LT(level[2], level[1]);
    for (int y = 0; y < 124; ++y) {
        const uint8_t *row = payload + 328 + 164 * y;
        // Odd columns (bytes 0-80): red on even rows, green on odd rows; even columns
        // (bytes 83-163): green on even rows, blue on odd rows.
        const int odd = y % 2 == 0 ? level[0] : level[1], even = y % 2 == 0 ? level[1] : level[2];
        for (int i = 0; i <= 80; ++i) ASSERT_EQ(host_level(row[i], 20), odd) << y << "," << i;
        for (int i = 83; i <= 163; ++i) ASSERT_EQ(host_level(row[i], 20), even) << y << "," << i;
    }
    EXPECT_EQ(payload[20664], 2); // trailer: the slot
    // A whole upload moves the counter to the next slot, which is empty.
    EXPECT_EQ(sim.exchange(cmd('I'), 5), (Bytes{0x06, 0x02, 0x69, 0x03, 0x03}));
    EXPECT_EQ(sim.exchange(cmd('M'), 1), (Bytes{0x15}));
    sim.exchange(cmd('A', 2), 5);
    Bytes m = sim.exchange(cmd('M'), 1 + 6 + 1256 + 1);
    ASSERT_EQ(m.size(), 1264u);
    EXPECT_EQ((Bytes(m.begin(), m.begin() + 7)), (Bytes{0x06, 0x02, 0x6D, 0x28, 0x00, 0x1F, 0x10}));
    // The thumbnail shows the grey the camera makes of those levels: the photograph's.
    EXPECT_NEAR(m[7], 120, 2);
    EXPECT_NEAR(m[7 + 1239], 120, 2);
    EXPECT_EQ(m.back(), 0x03);
    // A grab of the same file stores the same exposure.
    sim.exchange(cmd('A', 0), 5);
    EXPECT_EQ(sim.exchange(cmd('G', 0), 5), (Bytes{0x06, 0x02, 0x67, 0x00, 0x03}));
    Bytes g = sim.exchange(cmd('U'), 20688);
    ASSERT_EQ(g.size(), 20688u);
    EXPECT_TRUE(std::equal(g.begin() + 7 + 328, g.begin() + 7 + 20664, u.begin() + 7 + 328));
}

TEST(Wire, LoadOfWhatIsNoPictureIsAnErrorAndTheCameraServesOn) {
    NotPictures files;
    ASSERT_FALSE(files.huge.empty()) << "no sparse file";
    const std::string grey = write_uniform_bmp("grey.bmp", 8, 6, 120, 120, 120);
    Sim sim({"--scenes", "1"});
    ASSERT_TRUE(sim.ok());
    EXPECT_EQ(sim.control("load 0 " + files.zero),
              "error " + files.zero + ": a character device, not a regular file");
    EXPECT_EQ(sim.control("load 0 " + files.fifo),
              "error " + files.fifo + ": a fifo, not a regular file");
    EXPECT_EQ(sim.control("load 0 " + files.huge)
                  .rfind("error " + files.huge + ": too large for a picture (", 0),
              0u);
    EXPECT_EQ(sim.control("load 0 " + files.folder),
              "error " + files.folder + ": a directory, not a regular file");
    // Slot 0 keeps its scene, and a real picture still loads.
    EXPECT_EQ(sim.control("status").rfind("ok counter=0 pictures=1 ", 0), 0u);
    EXPECT_EQ(sim.control("load 1 " + grey), "ok");
    EXPECT_EQ(sim.control("status").rfind("ok counter=0 pictures=2 ", 0), 0u);
    EXPECT_EQ(sim.exchange(cmd('I'), 5), (Bytes{0x06, 0x02, 0x69, 0x00, 0x03}));
    unlink(grey.c_str());
    rmdir(grey.substr(0, grey.rfind('/')).c_str());
}

TEST(Wire, GrabFillsTheCurrentSlotAndReportsFullAndBadExposure) {
    Sim sim({"--scenes", "0", "--slots", "4"});
    ASSERT_TRUE(sim.ok());
    sim.exchange(cmd('A', 1), 5);
    EXPECT_EQ(sim.exchange(cmd('G', 0x2F), 5), (Bytes{0x06, 0x02, 0x67, 0x00, 0x03}));
    EXPECT_EQ(sim.exchange(cmd('Y'), 5), (Bytes{0x06, 0x02, 0x79, 0x00, 0x03}));
    EXPECT_EQ(sim.exchange(cmd('I'), 5), (Bytes{0x06, 0x02, 0x69, 0x01, 0x03})); // grab stays
    EXPECT_EQ(sim.exchange(cmd('U'), 20688).size(), 20688u);
    EXPECT_EQ(sim.control("badexposure 1"), "ok");
    sim.exchange(cmd('G'), 5);
    EXPECT_EQ(sim.exchange(cmd('Y'), 5), (Bytes{0x06, 0x02, 0x79, 0x81, 0x03}));
    sim.exchange(cmd('A', 4), 5); // past the last of 4 slots
    sim.exchange(cmd('G'), 5);
    EXPECT_EQ(sim.exchange(cmd('Y'), 5), (Bytes{0x06, 0x02, 0x79, 0x80, 0x03}));
    EXPECT_EQ(sim.control("status").rfind("ok counter=4 pictures=1 slots=4 grabs=1", 0), 0u);
}

TEST(Wire, InjectedFaults) {
    Sim sim({"--scenes", "1", "--fault", "E:nak:always"});
    ASSERT_TRUE(sim.ok());
    EXPECT_EQ(sim.exchange(cmd('E', 1), 1), (Bytes{0x15}));
    EXPECT_EQ(sim.exchange(cmd('E', 1), 1), (Bytes{0x15}));

    ASSERT_EQ(sim.control("fault I busy 2"), "ok");
    EXPECT_EQ(sim.exchange(cmd('I'), 5), (Bytes{0x06, 0x02, 0x21, 0x01, 0x03}));
    EXPECT_EQ(sim.exchange(cmd('I'), 5), (Bytes{0x06, 0x02, 0x21, 0x01, 0x03}));
    EXPECT_EQ(sim.exchange(cmd('I'), 5), (Bytes{0x06, 0x02, 0x69, 0x00, 0x03}));

    ASSERT_EQ(sim.control("fault I badtype"), "ok");
    EXPECT_EQ(sim.exchange(cmd('I'), 5), (Bytes{0x06, 0x02, 0x49, 0x00, 0x03}));
    ASSERT_EQ(sim.control("fault I wrongtype"), "ok");
    EXPECT_EQ(sim.exchange(cmd('I'), 6), (Bytes{0x06, 0x02, 0x78, 0x10, 0x80, 0x03}));
    ASSERT_EQ(sim.control("fault I noetx"), "ok");
    EXPECT_EQ(sim.exchange(cmd('I'), 5), (Bytes{0x06, 0x02, 0x69, 0x00, 0x04}));
    ASSERT_EQ(sim.control("fault V oversize"), "ok");
    Bytes v = sim.exchange(cmd('V'), 22);
    EXPECT_EQ((Bytes(v.begin(), v.begin() + 4)), (Bytes{0x06, 0x02, 0x76, 17}));
    ASSERT_EQ(sim.control("fault U oversize"), "ok");
    Bytes u = sim.exchange(cmd('U'), 1 + 6 + 164 * 127 + 16 + 1);
    EXPECT_EQ((Bytes(u.begin(), u.begin() + 7)), (Bytes{0x06, 0x02, 0x75, 0xA4, 0x03, 0x7C, 0x10}));
    EXPECT_EQ(u.size(), 1u + 6 + 164 * 127 + 16 + 1);

    // Noise: bytes before the STX, none of them an STX; the reply itself is intact.
    ASSERT_EQ(sim.control("fault I noise"), "ok");
    sim.send(cmd('I'));
    Bytes noisy = sim.read(64, 300);
    ASSERT_GE(noisy.size(), 6u);
    EXPECT_EQ(noisy[0], 0x06);
    EXPECT_NE(noisy[1], 0x02);
    EXPECT_EQ((Bytes(noisy.end() - 4, noisy.end())), (Bytes{0x02, 0x69, 0x00, 0x03}));

    // Silent: nothing at all; silent-reply: the ACK only. The next command is served again.
    ASSERT_EQ(sim.control("fault I silent"), "ok");
    sim.send(cmd('I'));
    EXPECT_TRUE(sim.read(1, 200).empty());
    ASSERT_EQ(sim.control("fault I silent-reply"), "ok");
    sim.send(cmd('I'));
    EXPECT_EQ(sim.read(8, 200), (Bytes{0x06}));

    // A picture that stops part-way, then the camera answers the next command.
    ASSERT_EQ(sim.control("counter 0"), "ok");
    ASSERT_EQ(sim.control("fault U stopmid"), "ok");
    sim.send(cmd('U'));
    Bytes part = sim.read(20688, 300);
    EXPECT_GT(part.size(), 7u);
    EXPECT_LT(part.size(), 20688u);
    EXPECT_EQ(sim.exchange(cmd('I'), 5), (Bytes{0x06, 0x02, 0x69, 0x00, 0x03})); // not advanced

    EXPECT_EQ(sim.control("fault Q sideways"), "error unknown fault kind 'sideways'");
}

TEST(Wire, FaultsThatHoldTheLine) {
    Sim sim({"--scenes", "1"});
    ASSERT_TRUE(sim.ok());
    // Late: nothing within the host's 1,001 ms, then the ACK and the whole reply.
    ASSERT_EQ(sim.control("fault I late"), "ok");
    sim.send(cmd('I'));
    EXPECT_TRUE(sim.read(1, 1100).empty());
    EXPECT_EQ(sim.read(5, 600), (Bytes{0x06, 0x02, 0x69, 0x00, 0x03}));

    // Trickle: the ACK, then a byte (never STX) every 900 ms; clear stops it.
    ASSERT_EQ(sim.control("fault I trickle"), "ok");
    sim.send(cmd('I'));
    EXPECT_EQ(sim.read(1, 200), (Bytes{0x06}));
    const Bytes trickle = sim.read(8, 2300);
    ASSERT_EQ(trickle.size(), 2u);
    EXPECT_NE(trickle[0], 0x02);
    EXPECT_NE(trickle[1], 0x02);
    ASSERT_EQ(sim.control("clear"), "ok");
    EXPECT_TRUE(sim.read(1, 1000).empty());
    EXPECT_EQ(sim.exchange(cmd('I'), 5), (Bytes{0x06, 0x02, 0x69, 0x00, 0x03}));

    // Flood: the ACK and 96 KiB without an STX, then the camera serves again.
    ASSERT_EQ(sim.control("fault I flood"), "ok");
    sim.send(cmd('I'));
    const Bytes flood = sim.read(1 + 96 * 1024 + 1, 3000);
    ASSERT_EQ(flood.size(), 1u + 96 * 1024);
    EXPECT_EQ(flood[0], 0x06);
    EXPECT_EQ(std::count(flood.begin() + 1, flood.end(), 0x02), 0);
    EXPECT_EQ(sim.exchange(cmd('I'), 5), (Bytes{0x06, 0x02, 0x69, 0x00, 0x03}));
}

TEST(Wire, ScriptedReplyAndDelays) {
    Sim sim({"--scenes", "1"});
    ASSERT_TRUE(sim.ok());
    ASSERT_EQ(sim.control("raw 06 02 69 05 03 99"), "ok");
    EXPECT_EQ(sim.exchange(cmd('I'), 6), (Bytes{0x06, 0x02, 0x69, 0x05, 0x03, 0x99}));
    EXPECT_EQ(sim.exchange(cmd('I'), 5), (Bytes{0x06, 0x02, 0x69, 0x00, 0x03})); // once only

    ASSERT_EQ(sim.control("slowack 300"), "ok");
    sim.send(cmd('I'));
    EXPECT_TRUE(sim.read(1, 150).empty()); // still waiting to acknowledge
    EXPECT_EQ(sim.read(5, 1000), (Bytes{0x06, 0x02, 0x69, 0x00, 0x03}));
    ASSERT_EQ(sim.control("clear"), "ok");
    EXPECT_EQ(sim.exchange(cmd('I'), 5), (Bytes{0x06, 0x02, 0x69, 0x00, 0x03}));
}

TEST(Wire, StalledPacketIsDroppedAndRandomFaultsLeaveTheCameraServing) {
    Sim sim({"--scenes", "1", "--random-faults", "1", "--seed", "3"});
    ASSERT_TRUE(sim.ok());
    // Every command meets a fault of some kind; whatever comes back, the camera lives on.
    for (int i = 0; i < 8; ++i) {
        sim.send(cmd('I'));
        sim.read(64, 60);
    }
    std::string status;
    for (int wait = 0; wait < 40; ++wait) { // the last command may still be on its way
        status = sim.control("status");
        if (status.find(" commands=8 ") != std::string::npos) break;
        usleep(50000);
    }
    EXPECT_NE(status.find(" commands=8 refused=0 injected=8 "), std::string::npos) << status;
    ASSERT_EQ(sim.control("clear"), "ok");
    sim.read(64, 100); // whatever a late fault left on the line

    // Half a packet, then nothing for longer than 500 ms: forgotten, not joined to what follows.
    sim.send({0x02, 0x49});
    usleep(650000);
    EXPECT_EQ(sim.exchange({0x00, 0x03, 0x02, 0x49, 0x00, 0x03}, 5),
              (Bytes{0x06, 0x02, 0x69, 0x00, 0x03}));
}

int main(int argc, char **argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: camsim_selftest PATH-TO-CAMSIM\n");
        return 2;
    }
    gCamsim = argv[1];
    return RUN_ALL_TESTS();
}
