// The backend as Python scripts drive it: Debian's python3-sane module, run by
// Debian's own interpreter, through the dll backend with a SANE_CONFIG_DIR of
// the test's own. The library's pictures are written here as raw references;
// python_module.py compares the module's pixels with them byte for byte.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "reference.h"

namespace fs = std::filesystem;

namespace {

using sanetest::Bytes;
using sanetest::Kind;
using sanetest::Recipe;
using Clock = std::chrono::steady_clock;

std::string g_link, g_root, g_backendDir, g_python, g_script, g_photos;

struct Outcome {
    int code = -1;
    std::string out;
};

std::string ReadFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string WriteReference(const std::string &name, const Bytes &pixels) {
    const std::string path = g_root + "/" + name + ".raw";
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char *>(pixels.data()),
               static_cast<std::streamsize>(pixels.size()));
    return path;
}

// The script under Debian's interpreter, isolated (-I) from PYTHONPATH, the
// user's site and the working folder, whose sane/ would shadow the module.
// Bounded: a hung front-end fails the test instead of the run.
Outcome RunScript(const std::vector<std::string> &args, double limit = 60) {
    const std::string config = g_root + "/config";
    fs::create_directories(config);
    std::ofstream(config + "/dll.conf") << "tarncam\n";
    std::ofstream(config + "/tarncam.conf") << g_link << "\n";
    const std::string log = linktest::ScratchPath("python");

    std::vector<std::string> argv = {g_python, "-I", g_script};
    argv.insert(argv.end(), args.begin(), args.end());
    const Clock::time_point started = Clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(out, 1);
        dup2(out, 2);
        setenv("SANE_CONFIG_DIR", config.c_str(), 1);
        setenv("LD_LIBRARY_PATH", g_backendDir.c_str(), 1);
        std::vector<char *> raw;
        for (const std::string &a : argv) raw.push_back(const_cast<char *>(a.c_str()));
        raw.push_back(nullptr);
        execv(raw[0], raw.data());
        _exit(127);
    }
    Outcome r;
    int status = 0;
    while (r.code < 0) {
        if (waitpid(pid, &status, WNOHANG) == pid) {
            r.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        } else if (std::chrono::duration<double>(Clock::now() - started).count() > limit) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            ADD_FAILURE() << "still running after " << limit << " s";
            r.code = 999;
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    r.out = ReadFile(log);
    return r;
}

// The simulator holds one picture per photo, from slot 0 on.
int PhotoCount() {
    int n = 0;
    for (const auto &e : fs::directory_iterator(g_photos)) n += e.path().extension() == ".png";
    return n;
}

class PythonSaneModule : public ::testing::Test {
  protected:
    void SetUp() override {
        linktest::ControlOk("clear");
        linktest::ControlOk("pace off");
    }
};

TEST_F(PythonSaneModule, ListsOpensAndSnapsTheLibrarysColourAndGreyPictures) {
    Recipe grey;
    grey.kind = Kind::kGrey;
    const std::string colour = WriteReference("colour-2", sanetest::Reference(g_link, 2));
    const std::string greyPicture = WriteReference("grey-5", sanetest::Reference(g_link, 5, grey));
    const Outcome r = RunScript({"pictures", g_link, "2", colour, "5", greyPicture});
    EXPECT_EQ(r.code, 0) << r.out;
    EXPECT_NE(r.out.find("all checks passed"), std::string::npos);
}

TEST_F(PythonSaneModule, RefusesAReadOnlyOptionAndBadValuesAndChangesNothing) {
    const std::string colour = WriteReference("colour-3", sanetest::Reference(g_link, 3));
    const Outcome r = RunScript({"refusals", g_link, "3", colour, std::to_string(PhotoCount())});
    EXPECT_EQ(r.code, 0) << r.out;
    EXPECT_NE(r.out.find("all checks passed"), std::string::npos);
}

} // namespace

int main(int argc, char **argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (argc != 7) {
        std::fprintf(stderr, "usage: sane_python_test CAMERA-LINK SCRATCH-ROOT BACKEND-DIR "
                             "PYTHON SCRIPT PHOTOS\n");
        return 2;
    }
    g_link = argv[1];
    g_root = argv[2];
    g_backendDir = argv[3];
    g_python = argv[4];
    g_script = argv[5];
    g_photos = argv[6];
    return RUN_ALL_TESTS();
}
