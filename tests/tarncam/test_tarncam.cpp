// tarncam as a user runs it, against the simulator: every file it writes is
// compared pixel for pixel with what the library makes of the same pictures,
// and every failure must end in its documented exit code with no file left
// half written. References are computed in a forked child, a fresh process as
// each tarncam run is: the colour balance carries from picture to picture for
// the life of a process.
#include <gtest/gtest.h>
#include <png.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "link/camsim_client.h"
#include "sheet.h"
#include "support/child_process.h"
#include "tarnlink.h"

namespace fs = std::filesystem;

namespace {

std::string g_tool, g_port, g_photos, g_camsim;
constexpr int kSlots = 8; // the simulator's, all holding photographs

using Bytes = std::vector<uint8_t>;

using tarn_test::Outcome;
using tarn_test::ReadFile;

// Starts tarncam; stdout and stderr go to files read back by Finish.
pid_t Start(const std::vector<std::string> &args, const std::string &logs,
            rlim_t fileSizeLimit = RLIM_INFINITY) {
    std::vector<std::string> argv{g_tool};
    argv.insert(argv.end(), args.begin(), args.end());
    return tarn_test::Launch(argv, {}, logs, "", fileSizeLimit);
}

// Bounded: a hung tool fails the test rather than the whole run.
Outcome Finish(pid_t pid, const std::string &logs) {
    return tarn_test::Wait(pid, logs, tarn_test::Clock::now(), 60);
}

Outcome Tool(const std::vector<std::string> &args, rlim_t fileSizeLimit = RLIM_INFINITY) {
    const std::string logs = linktest::ScratchPath("run");
    return Finish(Start(args, logs, fileSizeLimit), logs);
}

std::vector<std::string> WithPort(std::vector<std::string> args) {
    args.insert(args.begin(), {"--port", g_port, "--slots", std::to_string(kSlots)});
    return args;
}

// Runs fn in a fresh process with the camera open; its bytes come back.
Bytes Fresh(const std::function<Bytes()> &fn) {
    const std::string path = linktest::ScratchPath("reference");
    const pid_t pid = fork();
    if (pid == 0) {
        if (SciOpenCamera(g_port.c_str()) != SCI_OK || SciSyncCamera() != SCI_OK) _exit(3);
        const Bytes bytes = fn();
        SciResetImageCounter(0);
        SciCloseCamera();
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char *>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
        _exit(bytes.empty() ? 4 : 0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "reference session failed";
    const std::string text = ReadFile(path);
    return Bytes(text.begin(), text.end());
}

// Pictures of slots in this order, each through call (the library's upload).
Bytes Uploads(const std::vector<int> &slots, SciStatus (*call)(uint8_t *, SciImageInfo *),
              size_t size) {
    return Fresh([=] {
        Bytes all;
        Bytes one(size);
        for (int slot : slots) {
            if (SciResetImageCounter(slot) != SCI_OK || call(one.data(), nullptr) != SCI_OK)
                return Bytes();
            all.insert(all.end(), one.begin(), one.end());
        }
        return all;
    });
}

struct Image {
    int width = 0, height = 0, channels = 0;
    Bytes pixels; // top row first, RGB or grey
};

Image DecodePng(const std::string &path, int channels) {
    Image img;
    png_image png;
    std::memset(&png, 0, sizeof png);
    png.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&png, path.c_str())) {
        ADD_FAILURE() << path << ": " << png.message;
        return img;
    }
    EXPECT_EQ(png.format & PNG_FORMAT_FLAG_COLOR, channels == 3 ? PNG_FORMAT_FLAG_COLOR : 0u)
        << path << " is stored in the wrong colour type";
    png.format = channels == 3 ? PNG_FORMAT_RGB : PNG_FORMAT_GRAY;
    img.width = static_cast<int>(png.width);
    img.height = static_cast<int>(png.height);
    img.channels = channels;
    img.pixels.resize(PNG_IMAGE_SIZE(png));
    if (!png_image_finish_read(&png, nullptr, img.pixels.data(), 0, nullptr))
        ADD_FAILURE() << path << ": " << png.message;
    return img;
}

// The library's layout (bottom row first, blue green red) as PNG holds it.
Bytes AsShown(const uint8_t *lib, int width, int height, int channels) {
    Bytes out(static_cast<size_t>(width * height * channels));
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            for (int c = 0; c < channels; ++c)
                out[static_cast<size_t>((y * width + x) * channels + c)] =
                    lib[((height - 1 - y) * width + x) * channels + (channels == 3 ? 2 - c : 0)];
    return out;
}

void ExpectPngIs(const std::string &path, const uint8_t *lib, int width, int height, int channels) {
    const Image img = DecodePng(path, channels);
    ASSERT_EQ(img.width, width) << path;
    ASSERT_EQ(img.height, height) << path;
    EXPECT_TRUE(img.pixels == AsShown(lib, width, height, channels)) << path << " differs";
}

std::string Dir(const std::string &name) {
    const std::string d = linktest::ScratchPath(name);
    fs::create_directories(d);
    return d;
}

std::vector<std::string> Listing(const std::string &dir) {
    std::vector<std::string> names;
    for (const auto &e : fs::directory_iterator(dir)) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

std::string Status(const std::string &key) {
    const std::string s = linktest::Control("status");
    const size_t at = s.find(" " + key + "=");
    if (at == std::string::npos) return "";
    const size_t start = at + key.size() + 2;
    return s.substr(start, s.find(' ', start) - start);
}

std::string Photo(int slot) {
    std::vector<std::string> files;
    for (const auto &e : fs::directory_iterator(g_photos))
        if (e.path().extension() == ".png") files.push_back(e.path());
    std::sort(files.begin(), files.end());
    return files.at(static_cast<size_t>(slot));
}

class Tarncam : public ::testing::Test {
  protected:
    void SetUp() override {
        linktest::ControlOk("clear");
        linktest::ControlOk("pace off");
        linktest::ControlOk("counter 0");
    }
};

TEST_F(Tarncam, FetchAllColourIsTheLibrarysPictureAndKeepsTheCounter) {
    linktest::ControlOk("counter 6");
    const std::string dir = Dir("colour");
    const Outcome r = Tool(WithPort({"fetch", "--out", dir}));
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("8 picture(s) saved"), std::string::npos) << r.out;
    EXPECT_EQ(Status("counter"), "6") << "the counter is put back";
    ASSERT_EQ(Listing(dir).size(), 8u);
    // The tool reads line by line; the reference is the whole-picture upload.
    const Bytes ref = Uploads({0, 1, 2, 3, 4, 5, 6, 7}, SciUploadImage, SCI_PICTURE_BYTES);
    ASSERT_EQ(ref.size(), 8u * SCI_PICTURE_BYTES);
    for (int slot = 0; slot < 8; ++slot)
        ExpectPngIs(dir + "/picture-0" + std::to_string(slot) + ".png",
                    ref.data() + slot * SCI_PICTURE_BYTES, 160, 120, 3);
}

TEST_F(Tarncam, FetchRangeGreyBmpAndLargeKeyedPng) {
    const std::string dir = Dir("grey");
    Outcome r = Tool(WithPort({"fetch", "2-3", "--grey", "--format", "bmp", "--out", dir}));
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(Listing(dir), (std::vector<std::string>{"picture-02.bmp", "picture-03.bmp"}));
    const Bytes grey = Uploads({2, 3}, SciUploadGreyImage, SCI_GREY_BYTES);
    ASSERT_EQ(grey.size(), 2u * SCI_GREY_BYTES);
    for (int i = 0; i < 2; ++i) {
        const std::string file = ReadFile(dir + "/picture-0" + std::to_string(2 + i) + ".bmp");
        // 14 + 40 bytes of headers and a 256-entry grey palette, then the rows bottom up.
        ASSERT_EQ(file.size(), 54u + 1024u + SCI_GREY_BYTES);
        EXPECT_EQ(file.substr(0, 2), "BM");
        EXPECT_EQ(static_cast<uint8_t>(file[28]), 8) << "bits per pixel";
        EXPECT_EQ(static_cast<uint8_t>(file[54 + 4 * 200 + 1]), 200) << "grey palette";
        const Bytes rows(file.begin() + 1078, file.end());
        EXPECT_TRUE(std::equal(rows.begin(), rows.end(), grey.begin() + i * SCI_GREY_BYTES))
            << "picture-0" << 2 + i << ".bmp differs";
    }

    // Background removal by the library's own estimate, then enlarged.
    r = Tool(WithPort({"fetch", "5", "--large", "--remove-background", "--out", dir}));
    ASSERT_EQ(r.code, 0) << r.err;
    const Bytes large = Fresh([] {
        Bytes pic(SCI_PICTURE_BYTES), keyed(SCI_PICTURE_BYTES), big(SCI_ENLARGED_BYTES);
        BgRmvParm parm;
        SciInitBgRmvParm(&parm);
        if (SciResetImageCounter(5) || SciUploadImage(pic.data(), nullptr) ||
            SciRemoveImageBackground(pic.data(), keyed.data(), &parm) ||
            SciEnlargeImage(keyed.data(), big.data()))
            return Bytes();
        return big;
    });
    ASSERT_EQ(large.size(), size_t{SCI_ENLARGED_BYTES});
    ExpectPngIs(dir + "/picture-05.png", large.data(), 320, 240, 3);
}

TEST_F(Tarncam, BackgroundKeyAndSampleReachTheLibraryAsGiven) {
    const std::string dir = Dir("key");
    // The grey-violet of the water in slot 0, as a user reads it off a viewer: R,G,B.
    Outcome r = Tool(
        WithPort({"fetch", "0", "--remove-background", "--key", "135,108,115,30", "--out", dir}));
    ASSERT_EQ(r.code, 0) << r.err;
    const Bytes keyed = Fresh([] {
        Bytes pic(SCI_PICTURE_BYTES), out(SCI_PICTURE_BYTES);
        BgRmvParm parm;
        SciInitBgRmvParm(&parm);
        parm.autoKey = 0;
        const uint8_t bgr[3] = {115, 108, 135};
        for (int c = 0; c < 3; ++c) {
            parm.keyColour[c] = bgr[c];
            parm.keyTolerance[c] = 30;
        }
        if (SciResetImageCounter(0) || SciUploadImage(pic.data(), nullptr) ||
            SciRemoveImageBackground(pic.data(), out.data(), &parm))
            return Bytes();
        // The key must have hit something, or this test proves nothing.
        if (pic == out) return Bytes();
        return out;
    });
    ASSERT_EQ(keyed.size(), size_t{SCI_PICTURE_BYTES});
    ExpectPngIs(dir + "/picture-00.png", keyed.data(), 160, 120, 3);

    // 10 from the left is 144 from the right, where the library counts.
    r = Tool(
        WithPort({"fetch", "4", "--remove-background", "--sample", "10,20,6,5", "--out", dir}));
    ASSERT_EQ(r.code, 0) << r.err;
    const Bytes sampled = Fresh([] {
        Bytes pic(SCI_PICTURE_BYTES), out(SCI_PICTURE_BYTES);
        BgRmvParm parm;
        SciInitBgRmvParm(&parm);
        parm.sample1X = parm.sample2X = 144;
        parm.sample1Y = parm.sample2Y = 20;
        parm.sample1Width = parm.sample2Width = 6;
        parm.sample1Height = parm.sample2Height = 5;
        if (SciResetImageCounter(4) || SciUploadImage(pic.data(), nullptr) ||
            SciRemoveImageBackground(pic.data(), out.data(), &parm) || pic == out)
            return Bytes();
        return out;
    });
    ASSERT_EQ(sampled.size(), size_t{SCI_PICTURE_BYTES});
    ExpectPngIs(dir + "/picture-04.png", sampled.data(), 160, 120, 3);

    EXPECT_EQ(Tool(WithPort({"fetch", "--key", "1,2,3"})).code, 2) << "--key alone";
    EXPECT_EQ(Tool(WithPort({"fetch", "--remove-background", "--sample", "150,0,10,4"})).code, 2)
        << "a sample past the edge";
    EXPECT_EQ(Tool(WithPort({"fetch", "--grey", "--large"})).code, 2);
    EXPECT_EQ(Tool(WithPort({"fetch", "7-3"})).code, 2);
    EXPECT_EQ(Tool(WithPort({"fetch", "--format", "gif"})).code, 2);
}

TEST_F(Tarncam, SheetAndInfoShowEachPictureUnderItsSlot) {
    linktest::ControlOk("erase 2");
    const std::string dir = Dir("sheet");
    const Outcome info = Tool(WithPort({"info"}));
    const Outcome r = Tool(WithPort({"sheet", dir + "/sheet.png"}));
    const Bytes thumbs = Fresh([] {
        Bytes all, one(SCI_THUMBNAIL_BYTES);
        for (int slot : {0, 1, 3, 4, 5, 6, 7}) {
            if (SciResetImageCounter(slot) || SciUploadThumbnail(one.data(), nullptr))
                return Bytes();
            all.insert(all.end(), one.begin(), one.end());
        }
        return all;
    });
    linktest::ControlOk("load 2 " + Photo(2));
    ASSERT_EQ(info.code, 0) << info.err;
    EXPECT_NE(info.out.find("firmware:         SIM1"), std::string::npos) << info.out;
    EXPECT_NE(info.out.find("pictures:         7, in slots 0-1, 3-7"), std::string::npos)
        << info.out;
    ASSERT_EQ(r.code, 0) << r.err;
    ASSERT_EQ(thumbs.size(), 7u * SCI_THUMBNAIL_BYTES);

    const Image sheet = DecodePng(dir + "/sheet.png", 1);
    using namespace tarncam;
    ASSERT_EQ(sheet.width, kSheetMargin + 6 * (kCellWidth + kSheetMargin));
    ASSERT_EQ(sheet.height, kSheetMargin + 2 * (kCellHeight + kSheetMargin));
    for (int i = 0; i < 7; ++i) {
        const uint8_t *t = thumbs.data() + i * SCI_THUMBNAIL_BYTES;
        int wrong = 0, ink = 0;
        for (int y = 0; y < 62; ++y)
            for (int x = 0; x < 80; ++x) {
                const uint8_t want = t[(30 - y / 2) * 40 + x / 2];
                wrong +=
                    sheet
                        .pixels[static_cast<size_t>((CellY(i) + y) * sheet.width + CellX(i) + x)] !=
                    want;
            }
        // The label: dark digits on white under the thumbnail.
        for (int y = CellY(i) + 62; y < CellY(i) + kCellHeight; ++y)
            for (int x = CellX(i); x < CellX(i) + kCellWidth; ++x)
                ink += sheet.pixels[static_cast<size_t>(y * sheet.width + x)] == kLabelInk;
        EXPECT_EQ(wrong, 0) << "thumbnail " << i;
        EXPECT_GT(ink, 10) << "label " << i;
    }
    // Slots 0 and 1 differ in label only by their digit: "0" has more ink than "1".
    auto inkOf = [&](int i) {
        int n = 0;
        for (int y = CellY(i) + 62; y < CellY(i) + kCellHeight; ++y)
            for (int x = CellX(i); x < CellX(i) + kCellWidth; ++x)
                n += sheet.pixels[static_cast<size_t>(y * sheet.width + x)] == kLabelInk;
        return n;
    };
    EXPECT_EQ(inkOf(0), 12 * 4) << "'0' is 12 font pixels at scale 2";
    EXPECT_EQ(inkOf(1), 8 * 4) << "'1' is 8 font pixels";
    EXPECT_EQ(inkOf(2), 11 * 4) << "the third cell is slot 3, 11 font pixels";
}

TEST_F(Tarncam, CounterAndGrabRetryingBadExposures) {
    Outcome r = Tool(WithPort({"counter", "5"}));
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(Status("counter"), "5");
    EXPECT_EQ(Tool(WithPort({"counter", "255"})).code, 2);
    EXPECT_EQ(Status("counter"), "5");

    // Three bad exposures and the fourth try succeeds; four and it gives up,
    // so tries are exactly four.
    const int grabs = std::stoi(Status("grabs"));
    linktest::ControlOk("badexposure 3");
    r = Tool(WithPort({"grab", "--slot", "3"}));
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("picture taken into slot 3"), std::string::npos) << r.out;
    EXPECT_EQ(std::stoi(Status("grabs")), grabs + 1);
    EXPECT_EQ(Status("counter"), "3");

    linktest::ControlOk("badexposure 4");
    r = Tool(WithPort({"grab"}));
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("bad exposure 4 times"), std::string::npos) << r.err;
    EXPECT_EQ(std::stoi(Status("grabs")), grabs + 1);
    r = Tool(WithPort({"grab"}));
    EXPECT_EQ(r.code, 0) << "all four were used up: " << r.err;
    EXPECT_EQ(std::stoi(Status("grabs")), grabs + 2);
    linktest::ControlOk("clear");
    linktest::ControlOk("load 3 " + Photo(3));
}

TEST_F(Tarncam, NoCameraIsTold) {
    // Nothing named: no device is touched.
    const char *old = getenv("TARNCAM_PORT");
    unsetenv("TARNCAM_PORT");
    Outcome r = Tool({"info"});
    EXPECT_EQ(r.code, 3);
    EXPECT_NE(r.err.find("no camera port given"), std::string::npos) << r.err;
    r = Tool({"--port", "/dev/tarncam-none", "info"});
    EXPECT_EQ(r.code, 3);
    EXPECT_NE(r.err.find("cannot open /dev/tarncam-none"), std::string::npos) << r.err;

    // A line with nothing on it: a pseudo-terminal whose far end stays silent.
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    const std::string silent = ptsname(master);
    r = Tool({"--port", silent, "fetch"});
    EXPECT_EQ(r.code, 3);
    EXPECT_NE(r.err.find("no camera answers on " + silent), std::string::npos) << r.err;
    close(master);

    // A device that is no serial line: the system's words for it, not its error number.
    r = Tool({"--port", "/dev/null", "info"});
    EXPECT_EQ(r.code, 3);
    EXPECT_NE(r.err.find(std::string("cannot open /dev/null: ") + std::strerror(ENOTTY)),
              std::string::npos)
        << r.err;

    // The environment names the camera when --port does not.
    setenv("TARNCAM_PORT", g_port.c_str(), 1);
    r = Tool({"--slots", "1", "info"});
    EXPECT_EQ(r.code, 0) << r.err;
    if (old)
        setenv("TARNCAM_PORT", old, 1);
    else
        unsetenv("TARNCAM_PORT");
    EXPECT_EQ(Tool({"frobnicate"}).code, 2);
    EXPECT_EQ(Tool({"--scan", "--port", g_port, "info"}).code, 2);
}

TEST_F(Tarncam, BusyCameraEndsWithItsCodeAndNoFile) {
    linktest::ControlOk("fault U busy always");
    const std::string dir = Dir("busy");
    const Outcome r = Tool(WithPort({"fetch", "1", "--out", dir}));
    linktest::ControlOk("clear");
    EXPECT_EQ(r.code, 4) << r.err;
    EXPECT_NE(r.err.find("busy"), std::string::npos) << r.err;
    EXPECT_TRUE(Listing(dir).empty());
    EXPECT_EQ(Status("counter"), "0") << "the camera is left as found";
}

TEST_F(Tarncam, UnwritableOutputEndsWithItsCodeAndNoFile) {
    const std::string dir = Dir("unwritable");
    std::ofstream(dir + "/plain-file") << "x";
    Outcome r = Tool(WithPort({"fetch", "0", "--out", dir + "/plain-file/sub"}));
    EXPECT_EQ(r.code, 6) << r.err;
    EXPECT_NE(r.err.find("cannot make the folder"), std::string::npos) << r.err;

    // A full disk: the .part file fills up a kilobyte in, well before a picture
    // of tens of kilobytes is whole; nothing may be left under either name.
    r = Tool(WithPort({"fetch", "0-1", "--out", dir}), 1024);
    EXPECT_EQ(r.code, 6) << r.err;
    EXPECT_NE(r.err.find("cannot write " + dir + "/picture-00.png.part: "), std::string::npos)
        << r.err;
    EXPECT_EQ(r.err.find("picture-01"), std::string::npos) << "the fetch stops at the first";
    EXPECT_EQ(Listing(dir), (std::vector<std::string>{"plain-file"}));
    EXPECT_EQ(Status("counter"), "0");
    // The same picture without the limit: it was the size that failed.
    r = Tool(WithPort({"fetch", "0", "--out", dir}));
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_GT(fs::file_size(dir + "/picture-00.png"), 1024u);
    fs::remove(dir + "/picture-00.png");

    r = Tool(WithPort({"sheet", dir + "/plain-file/sheet.png"}));
    EXPECT_EQ(r.code, 6) << r.err;
}

// Writing is a rename over the target: a device node, a fifo or a folder in its place would
// be replaced by a picture (as root, /dev/full itself). They are refused and left as they are;
// a link to a regular file is replaced, as it always was.
TEST_F(Tarncam, OutputThatIsNoRegularFileIsRefusedAndLeftAsItIs) {
    const std::string dir = Dir("not-regular");
    std::vector<std::string> names = {"fifo.png", "folder.png", "null.png"};
    ASSERT_EQ(mkfifo((dir + "/fifo.png").c_str(), 0644), 0);
    fs::create_directory(dir + "/folder.png");
    fs::create_symlink("/dev/null", dir + "/null.png");
    // /dev/full's own numbers; making a device node takes root.
    if (mknod((dir + "/full").c_str(), S_IFCHR | 0644, makedev(1, 7)) == 0)
        names.push_back("full");
    else
        std::printf("no device node case: mknod: %s\n", std::strerror(errno));
    for (const std::string &name : names) {
        const std::string path = dir + "/" + name;
        struct stat before = {}, after = {};
        ASSERT_EQ(lstat(path.c_str(), &before), 0);
        const Outcome r = Tool(WithPort({"sheet", path}));
        EXPECT_EQ(r.code, 6) << name << ": " << r.err;
        EXPECT_NE(r.err.find(path + ": exists and is "), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("not a regular file"), std::string::npos) << r.err;
        ASSERT_EQ(lstat(path.c_str(), &after), 0);
        EXPECT_EQ(after.st_ino, before.st_ino) << name << " was replaced";
        EXPECT_EQ(after.st_mode, before.st_mode) << name;
        EXPECT_EQ(after.st_rdev, before.st_rdev) << name;
    }
    std::vector<std::string> expected = names;
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(Listing(dir), expected) << "no .part left";

    // fetch looks at every file it could write before fetching any picture.
    ASSERT_EQ(mkfifo((dir + "/picture-01.png").c_str(), 0644), 0);
    expected.insert(std::lower_bound(expected.begin(), expected.end(), "picture-01.png"),
                    "picture-01.png");
    for (const std::vector<std::string> &slots :
         {std::vector<std::string>{"0-1"}, std::vector<std::string>{}}) {
        std::vector<std::string> args = {"fetch", "--out", dir};
        args.insert(args.begin() + 1, slots.begin(), slots.end());
        const Outcome r = Tool(WithPort(args));
        EXPECT_EQ(r.code, 6) << r.err;
        EXPECT_NE(r.err.find(dir + "/picture-01.png: exists and is a fifo"), std::string::npos)
            << r.err;
        EXPECT_EQ(Listing(dir), expected) << "slot 0 is not saved either";
    }
    EXPECT_EQ(Status("counter"), "0");

    std::ofstream(dir + "/kept") << "kept";
    fs::create_symlink(dir + "/kept", dir + "/link.png");
    const Outcome r = Tool(WithPort({"sheet", dir + "/link.png"}));
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(dir + "/link.png")));
    EXPECT_EQ(DecodePng(dir + "/link.png", 1).height,
              tarncam::kSheetMargin + 2 * (tarncam::kCellHeight + tarncam::kSheetMargin));
    EXPECT_EQ(ReadFile(dir + "/kept"), "kept") << "what the link pointed to is untouched";
}

// Whatever stands under NAME.part before a run is not tarncam's: written through, a link there
// would have had its target overwritten (as root, /etc/shadow), a link to /dev/null renamed
// into the picture's place, a dangling link a file made wherever it points.
TEST_F(Tarncam, PlantedPartLinksAreNotWrittenThroughAndThePicturesComeOutWhole) {
    const std::string dir = Dir("planted");
    const std::string outside = Dir("planted-outside");
    std::ofstream(outside + "/kept") << "kept";
    fs::create_symlink(outside + "/kept", dir + "/picture-00.png.part");
    fs::create_symlink("/dev/null", dir + "/picture-01.png.part");
    fs::create_symlink(outside + "/made", dir + "/picture-02.png.part");
    const Outcome r = Tool(WithPort({"fetch", "0-2", "--out", dir}));
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(ReadFile(outside + "/kept"), "kept") << "the link's target was written";
    EXPECT_EQ(Listing(outside), (std::vector<std::string>{"kept"}))
        << "a file was made where the dangling link points";
    const std::vector<std::string> pictures = {"picture-00.png", "picture-01.png",
                                               "picture-02.png"};
    EXPECT_EQ(Listing(dir), pictures) << "no .part left";
    const Bytes ref = Uploads({0, 1, 2}, SciUploadImage, SCI_PICTURE_BYTES);
    ASSERT_EQ(ref.size(), 3u * SCI_PICTURE_BYTES);
    for (int slot = 0; slot < 3; ++slot) {
        const std::string path = dir + "/" + pictures[static_cast<size_t>(slot)];
        EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(path)))
            << path << " is not tarncam's own file";
        ExpectPngIs(path, ref.data() + slot * SCI_PICTURE_BYTES, 160, 120, 3);
    }

    // A folder there is not tarncam's to empty: the picture is refused, the folder kept.
    const std::string folder = dir + "/picture-03.png.part";
    fs::create_directory(folder);
    std::ofstream(folder + "/inside") << "inside";
    const Outcome refused = Tool(WithPort({"fetch", "3", "--out", dir}));
    EXPECT_EQ(refused.code, 6) << refused.err;
    EXPECT_NE(refused.err.find("cannot write " + folder + ": "), std::string::npos) << refused.err;
    EXPECT_EQ(ReadFile(folder + "/inside"), "inside");
    EXPECT_FALSE(fs::exists(fs::symlink_status(dir + "/picture-03.png")));
}

TEST_F(Tarncam, NumbersAreDigitsAndSlotsStayWithinThoseLookedAt) {
    // 254 slots at most, as the library allows; 255 was taken.
    Outcome r = Tool({"--port", g_port, "--slots", "255", "counter", "0"});
    EXPECT_EQ(r.code, 2);
    EXPECT_NE(r.err.find("--slots needs a number from 1 to 254"), std::string::npos) << r.err;
    r = Tool({"--port", g_port, "--slots", "254", "counter", "4"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(Status("counter"), "4");

    // A space or a sign is no digit: " 5" was taken for 5.
    const std::string dir = Dir("numbers");
    const std::string grabs = Status("grabs");
    for (const std::vector<std::string> &args : std::vector<std::vector<std::string>>{
             {"--port", g_port, "--slots", " 2", "counter", "0"},
             {"--port", g_port, "counter", " 5"},
             {"--port", g_port, "counter", "+5"},
             {"--port", g_port, "grab", "--slot", " 3"},
             {"--port", g_port, "fetch", " 3", "--out", dir},
             {"--port", g_port, "fetch", "2- 3", "--out", dir},
             {"--port", g_port, "fetch", "--remove-background", "--key", "1, 2,3", "--out", dir}}) {
        r = Tool(args);
        std::string line;
        for (size_t i = 2; i < args.size(); ++i) line += " '" + args[i] + "'";
        EXPECT_EQ(r.code, 2) << line << ": " << r.err;
    }
    EXPECT_EQ(Status("counter"), "4");
    EXPECT_EQ(Status("grabs"), grabs);
    EXPECT_TRUE(Listing(dir).empty());

    // Leading zeros are digits still.
    r = Tool(WithPort({"fetch", "03", "--out", dir}));
    EXPECT_EQ(r.code, 0) << r.err;

    // An explicit slot range stays within --slots like "all" does.
    r = Tool({"--port", g_port, "--slots", "4", "fetch", "5-6", "--out", dir});
    EXPECT_EQ(r.code, 2);
    EXPECT_NE(r.err.find("slot 6 is past the slots looked at: 0 to 3 (--slots 4)"),
              std::string::npos)
        << r.err;
    r = Tool({"--port", g_port, "--slots", "4", "fetch", "2-3", "--out", dir});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(Listing(dir), (std::vector<std::string>{"picture-02.png", "picture-03.png"}));
    linktest::ControlOk("load 3 " + Photo(3)); // should a grab have gone through
}

TEST_F(Tarncam, InterruptedFetchLeavesNoFileAndTheCameraInStep) {
    linktest::ControlOk("pace on");
    const std::string dir = Dir("interrupted");
    const std::string logs = linktest::ScratchPath("sigint");
    const pid_t pid = Start(WithPort({"fetch", "--out", dir}), logs);
    std::this_thread::sleep_for(std::chrono::milliseconds(1500)); // inside the first picture
    kill(pid, SIGINT);
    Outcome r = Finish(pid, logs);
    EXPECT_EQ(r.code, 130) << r.err;
    EXPECT_NE(r.err.find("interrupted"), std::string::npos) << r.err;
    EXPECT_TRUE(Listing(dir).empty()) << "no picture, no .part";
    EXPECT_EQ(Status("counter"), "0");
    linktest::ControlOk("pace off");

    r = Tool(WithPort({"fetch", "0", "--out", dir}));
    ASSERT_EQ(r.code, 0) << r.err;
    const Bytes ref = Uploads({0}, SciUploadImage, SCI_PICTURE_BYTES);
    ASSERT_EQ(ref.size(), size_t{SCI_PICTURE_BYTES});
    ExpectPngIs(dir + "/picture-00.png", ref.data(), 160, 120, 3);
}

// A simulator of its own, killed while a picture crosses the wire: the line
// goes away under the tool, as when the camera's process or power dies.
TEST_F(Tarncam, SimulatorKilledMidPictureEndsWithItsCodeAndNoFile) {
    const std::string dir = Dir("killed");
    const std::string simOut = linktest::ScratchPath("killed-camsim.out");
    const pid_t sim = fork();
    if (sim == 0) {
        const int out = open(simOut.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(out, 1);
        execl(g_camsim.c_str(), g_camsim.c_str(), "--scenes", "2", "--pace", "--quiet",
              static_cast<char *>(nullptr));
        _exit(127);
    }
    std::string port;
    for (int i = 0; i < 100 && port.empty(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        const std::string text = ReadFile(simOut);
        const size_t at = text.find("camera: ");
        if (at != std::string::npos && text.find('\n', at) != std::string::npos)
            port = text.substr(at + 8, text.find('\n', at) - at - 8);
    }
    ASSERT_FALSE(port.empty()) << "the second simulator did not start";

    const std::string logs = linktest::ScratchPath("killed");
    const pid_t pid = Start({"--port", port, "--slots", "2", "fetch", "--out", dir}, logs);
    std::this_thread::sleep_for(std::chrono::milliseconds(1500)); // inside the first picture
    kill(sim, SIGKILL);
    waitpid(sim, nullptr, 0);
    const Outcome r = Finish(pid, logs);
    EXPECT_EQ(r.code, 5) << r.err;
    EXPECT_NE(r.err.find("no longer answers"), std::string::npos) << r.err;
    EXPECT_TRUE(Listing(dir).empty()) << "no picture, no .part";
}

// Last: the unplugged line is replaced, under the same link.
TEST_F(Tarncam, UnpluggedMidPictureEndsWithItsCodeAndNoFile) {
    linktest::ControlOk("pace on");
    const std::string dir = Dir("unplugged");
    const std::string logs = linktest::ScratchPath("unplug");
    const pid_t pid = Start(WithPort({"fetch", "--out", dir}), logs);
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    linktest::ControlOk("unplug");
    Outcome r = Finish(pid, logs);
    EXPECT_EQ(r.code, 5) << r.err;
    EXPECT_NE(r.err.find("no longer answers"), std::string::npos) << r.err;
    EXPECT_TRUE(Listing(dir).empty());
    linktest::ControlOk("pace off");
    // Plugged in again: the next run works.
    r = Tool(WithPort({"fetch", "7", "--out", dir}));
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(Listing(dir), (std::vector<std::string>{"picture-07.png"}));
}

} // namespace

int main(int argc, char **argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (argc != 5) {
        std::fprintf(stderr, "usage: tarncam_tests TARNCAM CAMERA-LINK PHOTOS-DIR CAMSIM\n");
        return 2;
    }
    g_tool = argv[1];
    g_port = argv[2];
    g_photos = argv[3];
    g_camsim = argv[4];
    return RUN_ALL_TESTS();
}
