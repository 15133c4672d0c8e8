// The backend as Python scripts drive it: Debian's python3-sane module, run by
// Debian's own interpreter, through the dll backend with a SANE_CONFIG_DIR of
// the test's own. The library's pictures are written here as raw references;
// python_module.py compares the module's pixels with them byte for byte.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support/child_process.h"
#include "reference.h"

namespace fs = std::filesystem;

namespace {

using sanetest::Bytes;
using sanetest::Kind;
using sanetest::Recipe;

std::string g_link, g_root, g_backendDir, g_python, g_script, g_photos;

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
tarn_test::Outcome RunScript(const std::vector<std::string> &args, double limit = 60) {
    const std::string config = g_root + "/config";
    fs::create_directories(config);
    std::ofstream(config + "/dll.conf") << "tarncam\n";
    std::ofstream(config + "/tarncam.conf") << g_link << "\n";
    const std::string log = linktest::ScratchPath("python");

    std::vector<std::string> argv = {g_python, "-I", g_script};
    argv.insert(argv.end(), args.begin(), args.end());
    const tarn_test::Clock::time_point started = tarn_test::Clock::now();
    const pid_t pid = tarn_test::Launch(
        argv, {{"SANE_CONFIG_DIR", config}, {"LD_LIBRARY_PATH", g_backendDir}}, log);
    return tarn_test::Wait(pid, log, started, limit);
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
    const tarn_test::Outcome r = RunScript({"pictures", g_link, "2", colour, "5", greyPicture});
    EXPECT_EQ(r.code, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("all checks passed"), std::string::npos);
}

TEST_F(PythonSaneModule, RefusesAReadOnlyOptionAndBadValuesAndChangesNothing) {
    const std::string colour = WriteReference("colour-3", sanetest::Reference(g_link, 3));
    const tarn_test::Outcome r =
        RunScript({"refusals", g_link, "3", colour, std::to_string(PhotoCount())});
    EXPECT_EQ(r.code, 0) << r.out << r.err;
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
