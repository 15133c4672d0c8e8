// Loads the built shared library by path, as a client would, and checks that it
// exports every listed name and starts from its initial state.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tarnlink.h"

#if defined(_WIN32)
#include <windows.h>
using Module = HMODULE;
static Module OpenModule(const char *path) {
    return LoadLibraryA(path);
}
static void *Symbol(Module m, const char *name) {
    return reinterpret_cast<void *>(GetProcAddress(m, name));
}
#else
#include <dlfcn.h>
using Module = void *;
static Module OpenModule(const char *path) {
    return dlopen(path, RTLD_NOW | RTLD_LOCAL);
}
static void *Symbol(Module m, const char *name) {
    return dlsym(m, name);
}
#endif

static const char *g_libraryPath;
static const char *g_exportList;

class LoadedLibrary : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { module_ = OpenModule(g_libraryPath); }
    template <typename F> F Get(const char *name) {
        return reinterpret_cast<F>(Symbol(module_, name));
    }
    static Module module_;
};
Module LoadedLibrary::module_;

TEST_F(LoadedLibrary, ExportsEveryListedName) {
    ASSERT_NE(module_, nullptr) << g_libraryPath;
    std::ifstream list(g_exportList);
    ASSERT_TRUE(list) << g_exportList;
    std::string line;
    int count = 0;
    while (std::getline(list, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::string name;
        std::istringstream(line) >> name;
        EXPECT_NE(Symbol(module_, name.c_str()), nullptr) << name;
        ++count;
    }
    EXPECT_EQ(count, 42);
}

TEST_F(LoadedLibrary, StartsClosedWithItsVersionAndDefaults) {
    ASSERT_NE(module_, nullptr);
    using VersionFn = SciStatus(SCICALL *)(char *);
    using CountFn = SciStatus(SCICALL *)(int32_t *);
    using VoidFn = SciStatus(SCICALL *)();
    using ByteFn = SciStatus(SCICALL *)(uint8_t *);

    char version[8];
    std::memset(version, 'x', sizeof version);
    ASSERT_EQ(Get<VersionFn>("SciGetDLLVersion")(version), SCI_OK);
    EXPECT_STREQ(version, "1.05");
    EXPECT_EQ(version[5], 'x') << "exactly five bytes are written";

    uint8_t index = 0xAA;
    EXPECT_EQ(Get<ByteFn>("SciGetImageIndex")(&index), SCI_COMMS_NOT_OPEN);
    EXPECT_EQ(index, 0) << "the output is cleared before the port check";
    EXPECT_EQ(Get<VoidFn>("SciSyncCamera")(), SCI_COMMS_NOT_OPEN);
    EXPECT_EQ(Get<VoidFn>("SciCloseCamera")(), SCI_OK);
    EXPECT_EQ(Get<VoidFn>("SciCloseCamera")(), SCI_OK);

    int32_t count = -5;
    EXPECT_EQ(Get<CountFn>("SciGetMaxCameraImages")(nullptr), SCI_NULL_POINTER);
    EXPECT_EQ(Get<CountFn>("SciGetMaxCameraImages")(&count), SCI_OK);
    EXPECT_GE(count, 0);
    EXPECT_LE(count, 254);
}

int main(int argc, char **argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (argc < 3) {
        std::fprintf(stderr, "usage: library_load LIBRARY EXPORT_LIST\n");
        return 2;
    }
    g_libraryPath = argv[1];
    g_exportList = argv[2];
    return RUN_ALL_TESTS();
}
