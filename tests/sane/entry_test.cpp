// The backend's entry points called directly, as a front-end calls them,
// against the simulator: descriptors, option rules, pictures against the
// library's own, cancels at every stage, non-blocking reads, one handle at a
// time, and a camera unplugged mid-picture.
#include <gtest/gtest.h>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sane/sane.h>
#include <stdlib.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "reference.h"

extern "C" {
SANE_Status sane_tarncam_init(SANE_Int *, SANE_Auth_Callback);
void sane_tarncam_exit(void);
SANE_Status sane_tarncam_get_devices(const SANE_Device ***, SANE_Bool);
SANE_Status sane_tarncam_open(SANE_String_Const, SANE_Handle *);
void sane_tarncam_close(SANE_Handle);
const SANE_Option_Descriptor *sane_tarncam_get_option_descriptor(SANE_Handle, SANE_Int);
SANE_Status sane_tarncam_control_option(SANE_Handle, SANE_Int, SANE_Action, void *, SANE_Int *);
SANE_Status sane_tarncam_get_parameters(SANE_Handle, SANE_Parameters *);
SANE_Status sane_tarncam_start(SANE_Handle);
SANE_Status sane_tarncam_read(SANE_Handle, SANE_Byte *, SANE_Int, SANE_Int *);
void sane_tarncam_cancel(SANE_Handle);
SANE_Status sane_tarncam_set_io_mode(SANE_Handle, SANE_Bool);
SANE_Status sane_tarncam_get_select_fd(SANE_Handle, SANE_Int *);
}

namespace {

using sanetest::Bytes;
using sanetest::Kind;
using sanetest::Recipe;
using Clock = std::chrono::steady_clock;

std::string g_link;      // the simulator's camera, under a name that outlives an unplug
std::string g_configDir; // this test's own SANE_CONFIG_DIR
constexpr int kPictures = 8;

std::string Canonical(const std::string &path) {
    char *real = realpath(path.c_str(), nullptr);
    const std::string out = real != nullptr ? real : "";
    std::free(real);
    return out;
}

// The pseudo-terminal the link points at now: an unplug makes a new one.
std::string CurrentPty() {
    return Canonical(g_link);
}

double Since(Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
}

// An option's index by name; -1 if there is none.
int Find(SANE_Handle h, const char *name) {
    for (int i = 1;; ++i) {
        const SANE_Option_Descriptor *d = sane_tarncam_get_option_descriptor(h, i);
        if (d == nullptr) return -1;
        if (d->name != nullptr && std::strcmp(d->name, name) == 0) return i;
    }
}

SANE_Status SetWord(SANE_Handle h, const char *name, SANE_Word value, SANE_Int *info = nullptr) {
    const int i = Find(h, name);
    EXPECT_GE(i, 0) << name;
    return sane_tarncam_control_option(h, i, SANE_ACTION_SET_VALUE, &value, info);
}

SANE_Word GetWord(SANE_Handle h, const char *name) {
    SANE_Word value = -12345;
    EXPECT_EQ(sane_tarncam_control_option(h, Find(h, name), SANE_ACTION_GET_VALUE, &value, nullptr),
              SANE_STATUS_GOOD)
        << name;
    return value;
}

SANE_Status SetMode(SANE_Handle h, const char *mode, SANE_Int *info = nullptr) {
    char buffer[64] = {};
    std::strncpy(buffer, mode, sizeof buffer - 1);
    return sane_tarncam_control_option(h, Find(h, "mode"), SANE_ACTION_SET_VALUE, buffer, info);
}

// Reads the frame to its end in blocking mode; the final status in *last.
Bytes ReadAll(SANE_Handle h, SANE_Status *last, SANE_Int chunk = 4096) {
    Bytes out;
    std::vector<SANE_Byte> buffer(static_cast<size_t>(chunk));
    const Clock::time_point start = Clock::now();
    for (;;) {
        SANE_Int n = -1;
        const SANE_Status s = sane_tarncam_read(h, buffer.data(), chunk, &n);
        if (s != SANE_STATUS_GOOD) {
            EXPECT_EQ(n, 0);
            *last = s;
            return out;
        }
        out.insert(out.end(), buffer.begin(), buffer.begin() + n);
        if (Since(start) > 30) {
            ADD_FAILURE() << "the frame did not end in 30 s";
            *last = SANE_STATUS_IO_ERROR;
            return out;
        }
    }
}

Bytes Scan(SANE_Handle h) {
    EXPECT_EQ(sane_tarncam_start(h), SANE_STATUS_GOOD);
    SANE_Status last;
    Bytes out = ReadAll(h, &last);
    EXPECT_EQ(last, SANE_STATUS_EOF);
    return out;
}

class Backend : public ::testing::Test {
  protected:
    void SetUp() override {
        linktest::ControlOk("clear");
        linktest::ControlOk("pace off");
        // The backend opens only configured ports: the simulator's, by its link.
        std::ofstream(g_configDir + "/tarncam.conf") << "\n";
        setenv("SANE_CONFIG_DIR", g_configDir.c_str(), 1);
        setenv("TARNCAM_PORT", g_link.c_str(), 1);
        ASSERT_EQ(sane_tarncam_init(nullptr, nullptr), SANE_STATUS_GOOD);
    }
    void TearDown() override {
        if (handle_ != nullptr) sane_tarncam_close(handle_);
        handle_ = nullptr;
        sane_tarncam_exit();
        linktest::ControlOk("pace off");
    }
    SANE_Handle Open() {
        EXPECT_EQ(sane_tarncam_open(g_link.c_str(), &handle_), SANE_STATUS_GOOD);
        return handle_;
    }
    void Close() {
        sane_tarncam_close(handle_);
        handle_ = nullptr;
    }
    SANE_Handle handle_ = nullptr;
};

TEST_F(Backend, DescriptorsAreWellFormedAndTheFirstCountsThem) {
    SANE_Handle h = Open();
    ASSERT_NE(h, nullptr);
    const SANE_Option_Descriptor *first = sane_tarncam_get_option_descriptor(h, 0);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->type, SANE_TYPE_INT);
    EXPECT_EQ(first->size, static_cast<SANE_Int>(sizeof(SANE_Word)));
    EXPECT_FALSE(SANE_OPTION_IS_SETTABLE(first->cap));
    SANE_Word count = 0;
    ASSERT_EQ(sane_tarncam_control_option(h, 0, SANE_ACTION_GET_VALUE, &count, nullptr),
              SANE_STATUS_GOOD);
    EXPECT_EQ(sane_tarncam_get_option_descriptor(h, count), nullptr);
    EXPECT_EQ(sane_tarncam_get_option_descriptor(h, -1), nullptr);
    std::vector<std::string> names;
    for (int i = 1; i < count; ++i) {
        const SANE_Option_Descriptor *d = sane_tarncam_get_option_descriptor(h, i);
        ASSERT_NE(d, nullptr) << i;
        ASSERT_NE(d->title, nullptr) << i;
        if (d->type == SANE_TYPE_GROUP) {
            EXPECT_EQ(d->size, 0) << d->title;
            continue;
        }
        ASSERT_NE(d->name, nullptr) << i;
        for (const std::string &n : names) EXPECT_NE(n, d->name) << "two options named " << n;
        names.push_back(d->name);
        // Names as front-ends take them on a command line.
        for (const char *c = d->name; *c; ++c)
            EXPECT_TRUE((*c >= 'a' && *c <= 'z') || (*c >= '0' && *c <= '9') || *c == '-')
                << d->name;
        EXPECT_NE(d->desc, nullptr) << d->name;
        EXPECT_FALSE(SANE_OPTION_IS_SETTABLE(d->cap) && (d->cap & SANE_CAP_HARD_SELECT)) << d->name;
        EXPECT_TRUE((d->cap & SANE_CAP_SOFT_DETECT) || d->type == SANE_TYPE_BUTTON) << d->name;
        switch (d->type) {
        case SANE_TYPE_BOOL:
            EXPECT_EQ(d->size, static_cast<SANE_Int>(sizeof(SANE_Word))) << d->name;
            EXPECT_EQ(d->constraint_type, SANE_CONSTRAINT_NONE) << d->name;
            break;
        case SANE_TYPE_INT:
            EXPECT_EQ(d->size, static_cast<SANE_Int>(sizeof(SANE_Word))) << d->name;
            if (d->constraint_type == SANE_CONSTRAINT_RANGE) {
                EXPECT_LE(d->constraint.range->min, d->constraint.range->max) << d->name;
            }
            break;
        case SANE_TYPE_STRING: {
            ASSERT_EQ(d->constraint_type, SANE_CONSTRAINT_STRING_LIST) << d->name;
            for (const SANE_String_Const *s = d->constraint.string_list; *s; ++s)
                EXPECT_LT(static_cast<SANE_Int>(std::strlen(*s)), d->size) << *s;
            break;
        }
        case SANE_TYPE_BUTTON:
            EXPECT_EQ(d->size, 0) << d->name;
            break;
        default:
            ADD_FAILURE() << d->name << " has an unexpected type";
        }
    }
    for (const char *wanted :
         {"mode", "preview", "slot", "pictures", "enlarge", "remove-background", "auto-key",
          "key-red", "key-green", "key-blue", "key-tolerance", "grab"})
        EXPECT_GE(Find(h, wanted), 0) << wanted;
    const SANE_Option_Descriptor *slot = sane_tarncam_get_option_descriptor(h, Find(h, "slot"));
    ASSERT_EQ(slot->constraint_type, SANE_CONSTRAINT_RANGE);
    EXPECT_EQ(slot->constraint.range->min, 0);
    EXPECT_EQ(slot->constraint.range->max, 254); // the library's highest counter
    EXPECT_FALSE(
        SANE_OPTION_IS_SETTABLE(sane_tarncam_get_option_descriptor(h, Find(h, "pictures"))->cap));
    EXPECT_EQ(GetWord(h, "pictures"), kPictures);
}

TEST_F(Backend, OptionsKeepWhatIsSetAndRefuseWhatIsNot) {
    SANE_Handle h = Open();
    ASSERT_NE(h, nullptr);
    SANE_Int info = -1;
    EXPECT_EQ(SetWord(h, "slot", 5, &info), SANE_STATUS_GOOD);
    EXPECT_EQ(info, 0);
    EXPECT_EQ(GetWord(h, "slot"), 5);
    for (SANE_Word bad : {-1, 255, 100000}) {
        EXPECT_EQ(SetWord(h, "slot", bad), SANE_STATUS_INVAL) << bad;
        EXPECT_EQ(GetWord(h, "slot"), 5);
    }
    EXPECT_EQ(SetWord(h, "preview", 2), SANE_STATUS_INVAL);
    EXPECT_EQ(GetWord(h, "preview"), SANE_FALSE);
    EXPECT_EQ(SetWord(h, "preview", SANE_TRUE, &info), SANE_STATUS_GOOD);
    EXPECT_TRUE(info & SANE_INFO_RELOAD_PARAMS);
    EXPECT_EQ(SetWord(h, "preview", SANE_FALSE), SANE_STATUS_GOOD);

    // Read-only and inactive options refuse, and keep their values.
    const int pictures = GetWord(h, "pictures");
    EXPECT_EQ(SetWord(h, "pictures", 3), SANE_STATUS_INVAL);
    EXPECT_EQ(GetWord(h, "pictures"), pictures);
    const int red = Find(h, "key-red");
    EXPECT_FALSE(SANE_OPTION_IS_ACTIVE(sane_tarncam_get_option_descriptor(h, red)->cap));
    const SANE_Word redBefore = GetWord(h, "key-red");
    EXPECT_EQ(SetWord(h, "key-red", 7), SANE_STATUS_INVAL);
    EXPECT_EQ(GetWord(h, "key-red"), redBefore);

    // Background removal wakes its key, which wakes the colour.
    EXPECT_EQ(SetWord(h, "remove-background", SANE_TRUE, &info), SANE_STATUS_GOOD);
    EXPECT_TRUE(info & SANE_INFO_RELOAD_OPTIONS);
    EXPECT_TRUE(
        SANE_OPTION_IS_ACTIVE(sane_tarncam_get_option_descriptor(h, Find(h, "auto-key"))->cap));
    EXPECT_FALSE(SANE_OPTION_IS_ACTIVE(sane_tarncam_get_option_descriptor(h, red)->cap));
    EXPECT_EQ(SetWord(h, "auto-key", SANE_FALSE), SANE_STATUS_GOOD);
    EXPECT_TRUE(SANE_OPTION_IS_ACTIVE(sane_tarncam_get_option_descriptor(h, red)->cap));
    EXPECT_EQ(SetWord(h, "key-red", 7), SANE_STATUS_GOOD);
    EXPECT_EQ(GetWord(h, "key-red"), 7);
    EXPECT_EQ(SetWord(h, "key-red", 256), SANE_STATUS_INVAL);
    EXPECT_EQ(GetWord(h, "key-red"), 7);

    // Grey leaves the colour-only options inactive and refusing.
    EXPECT_EQ(SetMode(h, "Grey"), SANE_STATUS_INVAL); // not one of the list
    EXPECT_EQ(SetMode(h, ""), SANE_STATUS_INVAL);
    char mode[32] = {};
    ASSERT_EQ(sane_tarncam_control_option(h, Find(h, "mode"), SANE_ACTION_GET_VALUE, mode, nullptr),
              SANE_STATUS_GOOD);
    EXPECT_STREQ(mode, "Color");
    // A string longer than the option's size, unterminated within it.
    char longer[64];
    std::memset(longer, 'C', sizeof longer - 1);
    longer[sizeof longer - 1] = '\0';
    EXPECT_EQ(
        sane_tarncam_control_option(h, Find(h, "mode"), SANE_ACTION_SET_VALUE, longer, nullptr),
        SANE_STATUS_INVAL);
    EXPECT_EQ(SetMode(h, "Gray", &info), SANE_STATUS_GOOD);
    EXPECT_TRUE(info & SANE_INFO_RELOAD_OPTIONS);
    EXPECT_TRUE(info & SANE_INFO_RELOAD_PARAMS);
    for (const char *colourOnly : {"enlarge", "remove-background", "key-red"}) {
        EXPECT_FALSE(
            SANE_OPTION_IS_ACTIVE(sane_tarncam_get_option_descriptor(h, Find(h, colourOnly))->cap))
            << colourOnly;
        EXPECT_EQ(SetWord(h, colourOnly, 1), SANE_STATUS_INVAL) << colourOnly;
    }
    ASSERT_EQ(sane_tarncam_control_option(h, Find(h, "mode"), SANE_ACTION_GET_VALUE, mode, nullptr),
              SANE_STATUS_GOOD);
    EXPECT_STREQ(mode, "Gray");

    // Nothing is automatic; groups and the count are not set; no index out of range.
    SANE_Word any = 1;
    EXPECT_EQ(
        sane_tarncam_control_option(h, Find(h, "slot"), SANE_ACTION_SET_AUTO, nullptr, nullptr),
        SANE_STATUS_INVAL);
    EXPECT_EQ(sane_tarncam_control_option(h, 0, SANE_ACTION_SET_VALUE, &any, nullptr),
              SANE_STATUS_INVAL);
    EXPECT_EQ(sane_tarncam_control_option(h, 1, SANE_ACTION_SET_VALUE, &any, nullptr),
              SANE_STATUS_INVAL);
    EXPECT_EQ(sane_tarncam_control_option(h, 1000, SANE_ACTION_GET_VALUE, &any, nullptr),
              SANE_STATUS_INVAL);
    EXPECT_EQ(
        sane_tarncam_control_option(h, Find(h, "slot"), SANE_ACTION_SET_VALUE, nullptr, nullptr),
        SANE_STATUS_INVAL);
    EXPECT_EQ(GetWord(h, "slot"), 5);
}

TEST_F(Backend, ParametersFollowTheOptionsAndHoldThroughTheFrame) {
    SANE_Handle h = Open();
    ASSERT_NE(h, nullptr);
    SANE_Parameters p;
    ASSERT_EQ(sane_tarncam_get_parameters(h, &p), SANE_STATUS_GOOD);
    EXPECT_EQ(p.format, SANE_FRAME_RGB);
    EXPECT_EQ(p.pixels_per_line, 160);
    EXPECT_EQ(p.bytes_per_line, 480);
    EXPECT_EQ(p.lines, 120);
    EXPECT_EQ(p.depth, 8);
    EXPECT_TRUE(p.last_frame);
    ASSERT_EQ(SetWord(h, "enlarge", SANE_TRUE), SANE_STATUS_GOOD);
    ASSERT_EQ(sane_tarncam_get_parameters(h, &p), SANE_STATUS_GOOD);
    EXPECT_EQ(p.bytes_per_line, 960);
    EXPECT_EQ(p.lines, 240);
    ASSERT_EQ(SetWord(h, "preview", SANE_TRUE), SANE_STATUS_GOOD);
    ASSERT_EQ(sane_tarncam_get_parameters(h, &p), SANE_STATUS_GOOD);
    EXPECT_EQ(p.format, SANE_FRAME_GRAY);
    EXPECT_EQ(p.pixels_per_line, 40);
    EXPECT_EQ(p.lines, 31);
    ASSERT_EQ(SetWord(h, "preview", SANE_FALSE), SANE_STATUS_GOOD);
    ASSERT_EQ(SetMode(h, "Gray"), SANE_STATUS_GOOD);
    ASSERT_EQ(sane_tarncam_get_parameters(h, &p), SANE_STATUS_GOOD);
    EXPECT_EQ(p.format, SANE_FRAME_GRAY);
    EXPECT_EQ(p.bytes_per_line, 160);
    EXPECT_EQ(p.lines, 120);

    // During a frame: the frame's, and options wait for its end.
    ASSERT_EQ(SetMode(h, "Color"), SANE_STATUS_GOOD);
    linktest::ControlOk("pace on");
    ASSERT_EQ(sane_tarncam_start(h), SANE_STATUS_GOOD);
    EXPECT_EQ(SetWord(h, "enlarge", SANE_FALSE), SANE_STATUS_DEVICE_BUSY);
    EXPECT_EQ(GetWord(h, "enlarge"), SANE_TRUE);
    ASSERT_EQ(sane_tarncam_get_parameters(h, &p), SANE_STATUS_GOOD);
    EXPECT_EQ(p.format, SANE_FRAME_RGB);
    EXPECT_EQ(p.bytes_per_line, 960);
    EXPECT_EQ(p.lines, 240);
    SANE_Status last;
    const Bytes frame = ReadAll(h, &last);
    EXPECT_EQ(last, SANE_STATUS_EOF);
    EXPECT_EQ(frame.size(), static_cast<size_t>(p.bytes_per_line) * p.lines);
}

TEST_F(Backend, PicturesAreTheLibrarysInEveryModeAndSize) {
    struct Case {
        const char *what;
        Recipe recipe;
        int slot;
    };
    Recipe grey, thumb, large, keyed, key;
    grey.kind = Kind::kGrey;
    thumb.kind = Kind::kThumbnail;
    large.enlarge = true;
    keyed.removeBackground = true;
    keyed.enlarge = true;
    key.removeBackground = true;
    key.autoKey = false;
    key.key[0] = 40, key.key[1] = 90, key.key[2] = 160, key.tolerance = 60;
    const Case cases[] = {{"colour", Recipe(), 1},
                          {"grey", grey, 2},
                          {"preview", thumb, 3},
                          {"enlarged", large, 4},
                          {"keyed and enlarged", keyed, 5},
                          {"given key", key, 6}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const Bytes want = sanetest::Reference(g_link, c.slot, c.recipe);
        ASSERT_FALSE(want.empty());
        SANE_Handle h = Open();
        ASSERT_NE(h, nullptr);
        ASSERT_EQ(SetWord(h, "slot", c.slot), SANE_STATUS_GOOD);
        if (c.recipe.kind == Kind::kGrey) {
            ASSERT_EQ(SetMode(h, "Gray"), SANE_STATUS_GOOD);
        }
        if (c.recipe.kind == Kind::kThumbnail) {
            ASSERT_EQ(SetWord(h, "preview", SANE_TRUE), SANE_STATUS_GOOD);
        }
        if (c.recipe.enlarge) {
            ASSERT_EQ(SetWord(h, "enlarge", SANE_TRUE), SANE_STATUS_GOOD);
        }
        if (c.recipe.removeBackground) {
            ASSERT_EQ(SetWord(h, "remove-background", SANE_TRUE), SANE_STATUS_GOOD);
            if (!c.recipe.autoKey) {
                ASSERT_EQ(SetWord(h, "auto-key", SANE_FALSE), SANE_STATUS_GOOD);
                ASSERT_EQ(SetWord(h, "key-red", c.recipe.key[0]), SANE_STATUS_GOOD);
                ASSERT_EQ(SetWord(h, "key-green", c.recipe.key[1]), SANE_STATUS_GOOD);
                ASSERT_EQ(SetWord(h, "key-blue", c.recipe.key[2]), SANE_STATUS_GOOD);
                ASSERT_EQ(SetWord(h, "key-tolerance", c.recipe.tolerance), SANE_STATUS_GOOD);
            }
        }
        SANE_Parameters p;
        ASSERT_EQ(sane_tarncam_get_parameters(h, &p), SANE_STATUS_GOOD);
        const Bytes got = Scan(h);
        EXPECT_EQ(got.size(), static_cast<size_t>(p.bytes_per_line) * p.lines);
        EXPECT_TRUE(got == want) << "differs from the library's picture";
        Close();
    }
}

TEST_F(Backend, ABatchWalksTheSlotsUntilTheFirstEmptyOne) {
    const Bytes want = sanetest::Reference(g_link, {6, 7});
    const Bytes again = sanetest::Reference(g_link, {6, 7, 6});
    SANE_Handle h = Open();
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(SetWord(h, "slot", 6), SANE_STATUS_GOOD);
    Bytes got = Scan(h);
    const Bytes second = Scan(h); // no cancel between: the next slot
    got.insert(got.end(), second.begin(), second.end());
    EXPECT_TRUE(got == want);
    EXPECT_EQ(sane_tarncam_start(h), SANE_STATUS_NO_DOCS); // slot 8 is empty
    // A cancel ends the batch: the slot option's picture again.
    sane_tarncam_cancel(h);
    const Bytes third = Scan(h);
    EXPECT_TRUE(third == Bytes(again.begin() + 2 * 57600, again.end()));
    EXPECT_EQ(GetWord(h, "slot"), 6);
    // An empty slot asked for alone.
    ASSERT_EQ(SetWord(h, "slot", 10), SANE_STATUS_GOOD);
    EXPECT_EQ(sane_tarncam_start(h), SANE_STATUS_NO_DOCS);
}

// Grey pictures carry no balance from one to the next, so each stage's
// aftermath can be checked against the same reference.
TEST_F(Backend, ACancelAtAnyStageEndsTheFrameAndLeavesTheLinkInStep) {
    Recipe grey;
    grey.kind = Kind::kGrey;
    const Bytes want = sanetest::Reference(g_link, 2, grey);
    SANE_Handle h = Open();
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(SetMode(h, "Gray"), SANE_STATUS_GOOD);
    ASSERT_EQ(SetWord(h, "slot", 2), SANE_STATUS_GOOD);
    SANE_Byte buffer[1000];
    SANE_Int n = -1;

    sane_tarncam_cancel(h); // before any frame: nothing to end
    EXPECT_TRUE(Scan(h) == want);
    sane_tarncam_cancel(h);

    enum Stage { kAtStart, kMidFrame, kReadyUnread, kPartlyRead, kAfterEnd };
    for (Stage stage : {kAtStart, kMidFrame, kReadyUnread, kPartlyRead, kAfterEnd}) {
        SCOPED_TRACE(stage);
        linktest::ControlOk(stage <= kMidFrame ? "pace on" : "pace off");
        ASSERT_EQ(sane_tarncam_start(h), SANE_STATUS_GOOD);
        if (stage == kMidFrame) std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        if (stage == kReadyUnread) std::this_thread::sleep_for(std::chrono::milliseconds(300));
        if (stage == kPartlyRead) {
            ASSERT_EQ(sane_tarncam_read(h, buffer, sizeof buffer, &n), SANE_STATUS_GOOD);
        }
        if (stage == kAfterEnd) {
            SANE_Status last;
            EXPECT_TRUE(ReadAll(h, &last) == want);
            EXPECT_EQ(last, SANE_STATUS_EOF);
        }
        const Clock::time_point cancelled = Clock::now();
        sane_tarncam_cancel(h);
        EXPECT_EQ(sane_tarncam_read(h, buffer, sizeof buffer, &n), SANE_STATUS_CANCELLED);
        EXPECT_EQ(n, 0);
        EXPECT_EQ(sane_tarncam_read(h, buffer, sizeof buffer, &n), SANE_STATUS_CANCELLED);
        EXPECT_LT(Since(cancelled), 0.5) << "a cancelled read must not wait for the camera";
        SANE_Int fd;
        EXPECT_EQ(sane_tarncam_get_select_fd(h, &fd), SANE_STATUS_INVAL);
        // The next picture whole, whatever the stream left on the line; a
        // cancel after it, as front-ends end a scan (else a batch goes on).
        linktest::ControlOk("pace off");
        const Clock::time_point next = Clock::now();
        EXPECT_TRUE(Scan(h) == want);
        sane_tarncam_cancel(h);
        // The drain waits for a quiet line: 6 s at most, by the library's bound.
        EXPECT_LT(Since(next), 8.0);
    }
}

TEST_F(Backend, NonBlockingReadsWaitOnTheSelectFd) {
    const Bytes want = sanetest::Reference(g_link, 3);
    SANE_Handle h = Open();
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(SetWord(h, "slot", 3), SANE_STATUS_GOOD);
    SANE_Int fd = -1;
    EXPECT_EQ(sane_tarncam_get_select_fd(h, &fd), SANE_STATUS_INVAL); // no frame yet
    EXPECT_EQ(sane_tarncam_set_io_mode(h, SANE_TRUE), SANE_STATUS_INVAL);
    linktest::ControlOk("pace on");
    const Clock::time_point start = Clock::now();
    ASSERT_EQ(sane_tarncam_start(h), SANE_STATUS_GOOD);
    ASSERT_EQ(sane_tarncam_set_io_mode(h, SANE_TRUE), SANE_STATUS_GOOD);
    ASSERT_EQ(sane_tarncam_get_select_fd(h, &fd), SANE_STATUS_GOOD);
    ASSERT_GE(fd, 0);
    SANE_Byte buffer[7000];
    SANE_Int n = -1;
    // While the lines cross the wire: nothing yet, at once.
    EXPECT_EQ(sane_tarncam_read(h, buffer, sizeof buffer, &n), SANE_STATUS_GOOD);
    EXPECT_EQ(n, 0);
    pollfd p = {fd, POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 1000), 0) << "readable long before the frame is in";
    p.revents = 0;
    ASSERT_EQ(poll(&p, 1, 10000), 1) << "never readable";
    EXPECT_GT(Since(start), 3.0); // the paced frame's wire time
    Bytes got;
    for (int i = 0; i < 1000; ++i) {
        const SANE_Status s = sane_tarncam_read(h, buffer, sizeof buffer, &n);
        if (s == SANE_STATUS_EOF) break;
        ASSERT_EQ(s, SANE_STATUS_GOOD);
        got.insert(got.end(), buffer, buffer + n);
    }
    EXPECT_TRUE(got == want);
}

TEST_F(Backend, OneHandleAtATime) {
    SANE_Handle h = Open();
    ASSERT_NE(h, nullptr);
    SANE_Handle other = nullptr;
    EXPECT_EQ(sane_tarncam_open(g_link.c_str(), &other), SANE_STATUS_DEVICE_BUSY);
    // The same device under its own name, and any other: the library drives
    // one camera a process.
    EXPECT_EQ(sane_tarncam_open(CurrentPty().c_str(), &other), SANE_STATUS_DEVICE_BUSY);
    EXPECT_EQ(sane_tarncam_open("/dev/null", &other), SANE_STATUS_DEVICE_BUSY);
    EXPECT_EQ(other, nullptr);
    // The open handle goes on working.
    ASSERT_EQ(SetWord(h, "preview", SANE_TRUE), SANE_STATUS_GOOD);
    EXPECT_EQ(Scan(h).size(), 40u * 31u);
    Close();

    EXPECT_EQ(sane_tarncam_open("/nonexistent/tty", &other), SANE_STATUS_INVAL);
    ASSERT_TRUE(linktest::HoldPortElsewhere(g_link));
    EXPECT_EQ(sane_tarncam_open(g_link.c_str(), &other), SANE_STATUS_DEVICE_BUSY);
    linktest::ReleaseHeldPort();
    ASSERT_EQ(sane_tarncam_open(g_link.c_str(), &other), SANE_STATUS_GOOD);
    sane_tarncam_close(other);
}

TEST_F(Backend, ACameraUnpluggedMidPictureFailsTheFrameAndIsFoundAgain) {
    const Bytes want = sanetest::Reference(g_link, 1);
    SANE_Handle h = Open();
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(SetWord(h, "slot", 1), SANE_STATUS_GOOD);
    linktest::ControlOk("pace on");
    ASSERT_EQ(sane_tarncam_start(h), SANE_STATUS_GOOD);
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    linktest::ControlOk("unplug");
    const Clock::time_point unplugged = Clock::now();
    SANE_Status last;
    const Bytes partial = ReadAll(h, &last);
    EXPECT_EQ(last, SANE_STATUS_IO_ERROR);
    EXPECT_TRUE(partial.empty()) << "bytes of a frame that failed";
    // One line's read, 1.2 s at most by the library's bound.
    EXPECT_LT(Since(unplugged), 1.5);
    SANE_Byte buffer[16];
    SANE_Int n = -1;
    EXPECT_EQ(sane_tarncam_read(h, buffer, sizeof buffer, &n), SANE_STATUS_IO_ERROR);
    // Plugged in again (a new device under the same name): the next frame opens it.
    linktest::ControlOk("pace off");
    EXPECT_TRUE(Scan(h) == want);
}

TEST_F(Backend, DevicesAreTheConfiguredPortsWhereACameraAnswers) {
    std::ofstream(g_configDir + "/tarncam.conf")
        << "# the simulated camera\n\n  " << g_link << "   # under its link\n/nonexistent/tty\n";
    setenv("SANE_CONFIG_DIR", g_configDir.c_str(), 1);
    unsetenv("TARNCAM_PORT");
    const SANE_Device **list = nullptr;
    ASSERT_EQ(sane_tarncam_get_devices(&list, SANE_FALSE), SANE_STATUS_GOOD);
    ASSERT_NE(list, nullptr);
    ASSERT_NE(list[0], nullptr);
    EXPECT_EQ(list[1], nullptr);
    EXPECT_STREQ(list[0]->name, g_link.c_str());
    EXPECT_STREQ(list[0]->vendor, "Tessaly");
    EXPECT_STREQ(list[0]->type, "still camera");
    EXPECT_NE(list[0]->model, nullptr);

    // TARNCAM_PORT adds its port; "" opens the first that answers.
    std::ofstream(g_configDir + "/tarncam.conf") << "/nonexistent/tty\n";
    setenv("TARNCAM_PORT", CurrentPty().c_str(), 1);
    ASSERT_EQ(sane_tarncam_get_devices(&list, SANE_FALSE), SANE_STATUS_GOOD);
    ASSERT_NE(list[0], nullptr);
    EXPECT_STREQ(list[0]->name, CurrentPty().c_str());
    EXPECT_EQ(list[1], nullptr);
    ASSERT_EQ(sane_tarncam_open("", &handle_), SANE_STATUS_GOOD);
    // While it is open it is still listed, without a probe of its line.
    ASSERT_EQ(sane_tarncam_get_devices(&list, SANE_FALSE), SANE_STATUS_GOOD);
    ASSERT_NE(list[0], nullptr);
    EXPECT_STREQ(list[0]->name, CurrentPty().c_str());
    EXPECT_EQ(list[1], nullptr);
    unsetenv("TARNCAM_PORT");
    Close();
    std::ofstream(g_configDir + "/tarncam.conf") << "\n";
    ASSERT_EQ(sane_tarncam_get_devices(&list, SANE_FALSE), SANE_STATUS_GOOD);
    EXPECT_EQ(list[0], nullptr);
    EXPECT_EQ(sane_tarncam_open("", &handle_), SANE_STATUS_INVAL);
}

// Whether this process holds a descriptor to the file.
bool HoldsDescriptorTo(const std::string &path) {
    const std::string real = Canonical(path);
    DIR *dir = opendir("/proc/self/fd");
    if (dir == nullptr) return true;
    bool found = false;
    while (const dirent *e = readdir(dir)) {
        char target[4096];
        const std::string link = std::string("/proc/self/fd/") + e->d_name;
        const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
        if (n > 0 && std::string(target, static_cast<size_t>(n)) == real) found = true;
    }
    closedir(dir);
    return found;
}

// Whether another program could take the port's lock now.
bool Lockable(const std::string &path) {
    const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) return false;
    const bool locked = flock(fd, LOCK_EX | LOCK_NB) == 0;
    close(fd);
    return locked;
}

TEST_F(Backend, APortThatIsNoTerminalIsLeftClosedAndUnlocked) {
    const std::string file = g_configDir + "/not-a-terminal";
    std::ofstream(file) << "plain\n";
    std::ofstream(g_configDir + "/tarncam.conf") << file << "\n";
    SANE_Handle other = nullptr;
    EXPECT_EQ(sane_tarncam_open(file.c_str(), &other), SANE_STATUS_IO_ERROR);
    EXPECT_EQ(other, nullptr);
    EXPECT_FALSE(HoldsDescriptorTo(file));
    EXPECT_TRUE(Lockable(file));
    // Listing probes it the same way, and leaves it the same.
    const SANE_Device **list = nullptr;
    ASSERT_EQ(sane_tarncam_get_devices(&list, SANE_FALSE), SANE_STATUS_GOOD);
    ASSERT_NE(list[0], nullptr);
    EXPECT_STREQ(list[0]->name, g_link.c_str());
    EXPECT_EQ(list[1], nullptr);
    EXPECT_FALSE(HoldsDescriptorTo(file));
    EXPECT_TRUE(Lockable(file));
    // The camera still opens after it.
    EXPECT_NE(Open(), nullptr);
}

TEST_F(Backend, APortNotConfiguredIsRefusedAndNeverTouched) {
    // A terminal no one configured: had it been opened, its settings would
    // change and the camera's query would arrive at its other end.
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    const std::string terminal = ptsname(master);
    termios before = {};
    ASSERT_EQ(tcgetattr(master, &before), 0);
    SANE_Handle other = nullptr;
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(sane_tarncam_open(terminal.c_str(), &other), SANE_STATUS_INVAL);
    EXPECT_EQ(other, nullptr);
    EXPECT_LT(Since(start), 0.5);
    char byte;
    EXPECT_LT(read(master, &byte, 1), 0) << "a byte was sent to a port not configured";
    termios after = {};
    ASSERT_EQ(tcgetattr(master, &after), 0);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(after.c_iflag, before.c_iflag);
    EXPECT_TRUE(Lockable(terminal));
    close(master);

    // The configured camera under its own device name is the same port.
    ASSERT_EQ(sane_tarncam_open(CurrentPty().c_str(), &handle_), SANE_STATUS_GOOD);
    Close();
    unsetenv("TARNCAM_PORT");
    EXPECT_EQ(sane_tarncam_open(g_link.c_str(), &other), SANE_STATUS_INVAL);
    EXPECT_EQ(other, nullptr);
}

TEST_F(Backend, ReadingTheCountKeepsAFailedFramesErrorAndSelectFd) {
    SANE_Handle h = Open();
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(SetWord(h, "slot", 1), SANE_STATUS_GOOD);
    linktest::ControlOk("pace on");
    ASSERT_EQ(sane_tarncam_start(h), SANE_STATUS_GOOD);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    linktest::ControlOk("unplug");
    std::this_thread::sleep_for(std::chrono::milliseconds(2000)); // the worker's failure
    // A front-end may still choose its reads after a frame that failed fast.
    SANE_Int fd = -1;
    EXPECT_EQ(sane_tarncam_get_select_fd(h, &fd), SANE_STATUS_GOOD);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(sane_tarncam_set_io_mode(h, SANE_TRUE), SANE_STATUS_GOOD);
    // The count, not counted yet, asked for before the failure is read: an
    // answer at once, without a word to the camera or an end to the frame.
    const Clock::time_point asked = Clock::now();
    GetWord(h, "pictures");
    EXPECT_LT(Since(asked), 0.2);
    SANE_Byte buffer[16];
    SANE_Int n = -1;
    EXPECT_EQ(sane_tarncam_read(h, buffer, sizeof buffer, &n), SANE_STATUS_IO_ERROR);
    EXPECT_EQ(n, 0);
    linktest::ControlOk("pace off");
    // Counted once the next frame is read to its end.
    EXPECT_EQ(Scan(h).size(), 57600u);
    EXPECT_EQ(GetWord(h, "pictures"), kPictures);
    sane_tarncam_cancel(h);
}

TEST_F(Backend, GrabTakesAPictureIntoTheChosenSlot) {
    SANE_Handle h = Open();
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(GetWord(h, "pictures"), kPictures);
    ASSERT_EQ(SetWord(h, "slot", kPictures), SANE_STATUS_GOOD);
    EXPECT_EQ(sane_tarncam_start(h), SANE_STATUS_NO_DOCS);
    SANE_Int info = 0;
    ASSERT_EQ(
        sane_tarncam_control_option(h, Find(h, "grab"), SANE_ACTION_SET_VALUE, nullptr, &info),
        SANE_STATUS_GOOD);
    EXPECT_TRUE(info & SANE_INFO_RELOAD_OPTIONS);
    EXPECT_EQ(GetWord(h, "pictures"), kPictures + 1);
    EXPECT_EQ(Scan(h).size(), 57600u);
    // Past the camera's memory (its 12 slots): refused, as the camera does.
    ASSERT_EQ(SetWord(h, "slot", 20), SANE_STATUS_GOOD);
    EXPECT_EQ(
        sane_tarncam_control_option(h, Find(h, "grab"), SANE_ACTION_SET_VALUE, nullptr, nullptr),
        SANE_STATUS_INVAL);
    Close();
    linktest::ControlOk("erase " + std::to_string(kPictures));
}

} // namespace

int main(int argc, char **argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: sane_entry_test CAMERA-LINK CONFIG-DIR\n");
        return 2;
    }
    g_link = argv[1];
    g_configDir = argv[2];
    return RUN_ALL_TESTS();
}
