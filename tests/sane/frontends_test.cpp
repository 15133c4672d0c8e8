// The backend as SANE's own front-ends drive it: Debian's scanimage through
// the dll backend with a SANE_CONFIG_DIR of the test's own, and the same over
// the network through saned (standalone, on a free loopback port) and the net
// backend. Every picture is compared with what the library makes of the slot.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <png.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "support/child_process.h"
#include "reference.h"

namespace fs = std::filesystem;

namespace {

using sanetest::Bytes;
using sanetest::Kind;
using sanetest::Recipe;
using tarn_test::Clock;
using tarn_test::Launch;
using tarn_test::Outcome;
using tarn_test::ReadFile;
using tarn_test::Wait;

std::string g_link, g_root, g_backendDir, g_shim, g_scanimage, g_saned;

void WriteFile(const std::string &path, const std::string &text) {
    std::ofstream(path, std::ios::binary) << text;
}

std::string Dir(const std::string &name) {
    const std::string d = g_root + "/" + name;
    fs::create_directories(d);
    return d;
}

// scanimage through the dll backend, which loads only tarncam.
std::map<std::string, std::string> LocalEnv() {
    const std::string config = Dir("local");
    WriteFile(config + "/dll.conf", "tarncam\n");
    WriteFile(config + "/tarncam.conf", g_link + "\n");
    return {{"SANE_CONFIG_DIR", config}, {"LD_LIBRARY_PATH", g_backendDir}};
}

Outcome RunScanimage(const std::vector<std::string> &args,
                     const std::map<std::string, std::string> &env, const std::string &cwd = "") {
    std::vector<std::string> argv = {g_scanimage};
    argv.insert(argv.end(), args.begin(), args.end());
    const std::string logs = linktest::ScratchPath("scanimage");
    const Clock::time_point started = Clock::now();
    return Wait(Launch(argv, env, logs, cwd), logs, started);
}

std::string PnmHeader(const char *magic, int width, int height) {
    return std::string(magic) + "\n# SANE data follows\n" + std::to_string(width) + " " +
           std::to_string(height) + "\n255\n";
}

std::string AsText(const Bytes &b) {
    return std::string(b.begin(), b.end());
}

// Pixels of a PNG as SANE delivered them (top row first, RGB or grey).
Bytes DecodePng(const std::string &data, int channels, int &width, int &height) {
    png_image png;
    std::memset(&png, 0, sizeof png);
    png.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&png, data.data(), data.size())) {
        ADD_FAILURE() << "not a PNG: " << png.message;
        return {};
    }
    png.format = channels == 3 ? PNG_FORMAT_RGB : PNG_FORMAT_GRAY;
    width = static_cast<int>(png.width);
    height = static_cast<int>(png.height);
    Bytes pixels(PNG_IMAGE_SIZE(png));
    if (!png_image_finish_read(&png, nullptr, pixels.data(), 0, nullptr))
        ADD_FAILURE() << png.message;
    return pixels;
}

class Scanimage : public ::testing::Test {
  protected:
    void SetUp() override {
        linktest::ControlOk("clear");
        linktest::ControlOk("pace off");
    }
    void TearDown() override { linktest::ControlOk("pace off"); }
};

TEST_F(Scanimage, ListsTheSimulatedCamera) {
    const Outcome r = RunScanimage({"-L"}, LocalEnv());
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("device `tarncam:" + g_link + "' is a Tessaly"), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("still camera"), std::string::npos) << r.out;
}

TEST_F(Scanimage, GivesTheLibrarysPictureAsPnmAndPng) {
    Recipe grey, large;
    grey.kind = Kind::kGrey;
    large.enlarge = true;
    const Bytes colour = sanetest::Reference(g_link, 2);
    const Bytes greyPicture = sanetest::Reference(g_link, 4, grey);
    const Bytes enlarged = sanetest::Reference(g_link, 7, large);
    const std::string device = "tarncam:" + g_link;

    Outcome r = RunScanimage({"-d", device, "--slot", "2", "--format=pnm"}, LocalEnv());
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_TRUE(r.out == PnmHeader("P6", 160, 120) + AsText(colour)) << "colour PNM differs";

    r = RunScanimage({"-d", device, "--slot", "4", "--mode", "Gray", "--format=pnm"}, LocalEnv());
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_TRUE(r.out == PnmHeader("P5", 160, 120) + AsText(greyPicture)) << "grey PNM differs";

    r = RunScanimage({"-d", device, "--slot", "7", "--enlarge=yes", "--format=png"}, LocalEnv());
    EXPECT_EQ(r.code, 0) << r.err;
    int width = 0, height = 0;
    EXPECT_TRUE(DecodePng(r.out, 3, width, height) == enlarged) << "enlarged PNG differs";
    EXPECT_EQ(width, 320);
    EXPECT_EQ(height, 240);

    r = RunScanimage({"-d", device, "--slot", "4", "--mode", "Gray", "--format=png"}, LocalEnv());
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_TRUE(DecodePng(r.out, 1, width, height) == greyPicture) << "grey PNG differs";
}

TEST_F(Scanimage, BatchesOverTheSlotsUpToTheFirstEmptyOne) {
    const Bytes want = sanetest::Reference(g_link, {5, 6, 7});
    const std::string out = Dir("batch");
    for (const auto &e : fs::directory_iterator(out)) fs::remove(e.path());
    const Outcome r = RunScanimage({"-d", "tarncam:" + g_link, "--slot", "5", "--format=pnm",
                                    "--batch=" + out + "/picture-%d.pnm"},
                                   LocalEnv());
    EXPECT_EQ(r.code, 0) << r.err;
    const size_t picture = 57600;
    for (int i = 0; i < 3; ++i) {
        const std::string file = ReadFile(out + "/picture-" + std::to_string(i + 1) + ".pnm");
        EXPECT_TRUE(file ==
                    PnmHeader("P6", 160, 120) +
                        AsText(Bytes(want.begin() + i * picture, want.begin() + (i + 1) * picture)))
            << "batch picture " << i + 1;
    }
    EXPECT_FALSE(fs::exists(out + "/picture-4.pnm"));
    EXPECT_NE(r.err.find("3 pages"), std::string::npos) << r.err;
}

TEST_F(Scanimage, ListsTheOptions) {
    const Outcome r = RunScanimage({"-d", "tarncam:" + g_link, "-A"}, LocalEnv());
    EXPECT_EQ(r.code, 0) << r.err;
    for (const char *line :
         {"--mode Color|Gray [Color]", "--preview[=(yes|no)] [no]",
          "--slot 0..254 (in steps of 1) [0]", "--pictures <int> [8] [read-only]",
          "--enlarge[=(yes|no)] [no]", "--remove-background[=(yes|no)] [no]",
          "--key-red 0..255 [inactive]", "--grab"})
        EXPECT_NE(r.out.find(line), std::string::npos) << line << " not in\n" << r.out;
}

TEST_F(Scanimage, ItsOwnBackendTestPasses) {
    const std::string dir = Dir("selftest");
    for (const std::vector<std::string> &extra :
         {std::vector<std::string>{},
          {"--mode", "Gray"},
          {"--preview=yes"},
          {"--enlarge=yes", "--remove-background=yes", "--auto-key=no"}}) {
        std::vector<std::string> args = {"-d", "tarncam:" + g_link, "-T"};
        args.insert(args.end(), extra.begin(), extra.end());
        const Outcome r = RunScanimage(args, LocalEnv(), dir);
        EXPECT_EQ(r.code, 0) << r.err;
        EXPECT_NE(r.err.find("PASS"), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("FAIL"), std::string::npos) << r.err;
    }
}

// saned on a loopback port of its own; the net backend finds it through the
// preloaded shim, which points its well-known port there.
class Network : public Scanimage {
  protected:
    void SetUp() override {
        Scanimage::SetUp();
        const int probe = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr = {};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        ASSERT_EQ(bind(probe, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
        ASSERT_EQ(getsockname(probe, reinterpret_cast<sockaddr *>(&addr), &len), 0);
        port_ = ntohs(addr.sin_port);
        close(probe);

        const std::string server = Dir("server");
        WriteFile(server + "/dll.conf", "tarncam\n");
        WriteFile(server + "/tarncam.conf", g_link + "\n");
        WriteFile(server + "/saned.conf", "# loopback clients are always let in\n");
        logs_ = linktest::ScratchPath("saned");
        saned_ = Launch({g_saned, "-l", "-b", "127.0.0.1", "-p", std::to_string(port_), "-e"},
                        {{"SANE_CONFIG_DIR", server}, {"LD_LIBRARY_PATH", g_backendDir}}, logs_);
        for (int i = 0; i < 250; ++i) {
            const int s = socket(AF_INET, SOCK_STREAM, 0);
            const bool up = connect(s, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0;
            close(s);
            if (up) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        FAIL() << "saned did not listen: " << ReadFile(logs_ + ".err");
    }
    void TearDown() override {
        if (saned_ > 0) {
            kill(saned_, SIGTERM);
            Wait(saned_, logs_, Clock::now(), 10);
        }
        Scanimage::TearDown();
    }
    std::map<std::string, std::string> ClientEnv() const {
        const std::string client = Dir("client");
        WriteFile(client + "/dll.conf", "net\n");
        WriteFile(client + "/net.conf", "connect_timeout = 5\n127.0.0.1\n");
        return {{"SANE_CONFIG_DIR", client},
                {"LD_PRELOAD", g_shim},
                {"TARN_SANED_PORT", std::to_string(port_)}};
    }
    std::string Device() const { return "net:127.0.0.1:tarncam:" + g_link; }
    int port_ = 0;
    pid_t saned_ = -1;
    std::string logs_;
};

TEST_F(Network, SanedSharesTheCameraByteForByte) {
    Recipe grey;
    grey.kind = Kind::kGrey;
    const Bytes colour = sanetest::Reference(g_link, 3);
    const Bytes greyPicture = sanetest::Reference(g_link, 6, grey);
    Outcome r = RunScanimage({"-L"}, ClientEnv());
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("device `" + Device() + "' is a Tessaly"), std::string::npos) << r.out;
    r = RunScanimage({"-d", Device(), "--slot", "3", "--format=pnm"}, ClientEnv());
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_TRUE(r.out == PnmHeader("P6", 160, 120) + AsText(colour)) << "colour differs";
    r = RunScanimage({"-d", Device(), "--slot", "6", "--mode", "Gray", "--format=pnm"},
                     ClientEnv());
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_TRUE(r.out == PnmHeader("P5", 160, 120) + AsText(greyPicture)) << "grey differs";
}

TEST_F(Network, ACancelOrAnUnplugEndsTheRemoteFrameAndTheNextIsWhole) {
    const Bytes want = sanetest::Reference(g_link, 1);
    for (const char *how : {"interrupt", "unplug"}) {
        SCOPED_TRACE(how);
        linktest::ControlOk("pace on");
        const std::string logs = linktest::ScratchPath("scanimage");
        const Clock::time_point started = Clock::now();
        const pid_t pid =
            Launch({g_scanimage, "-d", Device(), "--slot", "1", "--format=pnm"}, ClientEnv(), logs);
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        if (std::string(how) == "interrupt")
            kill(pid, SIGINT); // scanimage cancels the frame from its handler
        else
            linktest::ControlOk("unplug");
        const Outcome r = Wait(pid, logs, started, 30);
        EXPECT_NE(r.code, 0) << "a frame that did not end whole was reported done";
        EXPECT_LT(r.out.size(), PnmHeader("P6", 160, 120).size() + want.size());
        // Well inside the picture's 3.6 s on the wire plus one line's bound.
        EXPECT_LT(r.seconds, 1.5 + 3.0) << r.err;
        linktest::ControlOk("pace off");
        const Outcome next =
            RunScanimage({"-d", Device(), "--slot", "1", "--format=pnm"}, ClientEnv());
        EXPECT_EQ(next.code, 0) << next.err;
        EXPECT_TRUE(next.out == PnmHeader("P6", 160, 120) + AsText(want)) << "next differs";
    }
}

} // namespace

int main(int argc, char **argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (argc != 7) {
        std::fprintf(stderr, "usage: sane_frontends_test CAMERA-LINK SCRATCH-ROOT BACKEND-DIR "
                             "PORT-SHIM SCANIMAGE SANED\n");
        return 2;
    }
    g_link = argv[1];
    g_root = argv[2];
    g_backendDir = argv[3];
    g_shim = argv[4];
    g_scanimage = argv[5];
    g_saned = argv[6];
    return RUN_ALL_TESTS();
}
