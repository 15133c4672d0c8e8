// tarncam: the camera from the command line, on the tarnlink library.
//   tarncam [--port DEV | --scan] [--slots N] COMMAND [ARGS...]
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tarncam.h"

namespace {

using namespace tarncam;

struct Command {
    const char *name;
    int (*run)(const Globals &, const std::vector<std::string> &);
    const char *synopsis;
    const char *help;
};

constexpr Command kCommands[] = {
    {"info", RunInfo, "info",
     "Shows the firmware version, the picture counter, how many slots are looked at\n"
     "and which of them hold pictures (a slot whose thumbnail uploads holds one).\n"},
    {"sheet", RunSheet, "sheet OUT.png",
     "Writes a contact sheet: every thumbnail, twice its size, in rows of six,\n"
     "each labelled with its slot number, as one grey PNG.\n"},
    {"fetch", RunFetch,
     "fetch [SLOTS] [--out DIR] [--format png|bmp] [--grey] [--large]\n"
     "         [--remove-background [--key R,G,B[,TOL] | --sample X,Y,W,H]]",
     "Saves pictures as DIR/picture-NN.png (or .bmp). SLOTS is one slot (5), a range\n"
     "(3-7) or all (the default: every slot that holds a picture).\n"
     "  --out DIR            folder for the files (made if missing; default .)\n"
     "  --format png|bmp     file type (default png)\n"
     "  --grey               the grey picture instead of colour\n"
     "  --large              enlarged to 320 x 240\n"
     "  --remove-background  fill the background with black; its colour is estimated\n"
     "                       from two small patches near the top corners, or:\n"
     "  --key R,G,B[,TOL]    the background is this colour, give or take TOL (20)\n"
     "  --sample X,Y,W,H     the background colour is that of this rectangle\n"
     "                       (pixels from the top left of the 160 x 120 picture)\n"
     "A failed picture leaves no file: each is written as NAME.part and renamed.\n"},
    {"grab", RunGrab, "grab [--slot N]",
     "Takes a picture into slot N (default: where the counter points). A bad\n"
     "exposure is tried again, up to 4 times in all.\n"},
    {"counter", RunCounter, "counter N", "Sets the camera's picture counter to N (0 to 254).\n"},
};

constexpr const char *kExitText =
    "Exit codes:\n"
    "  0    done\n"
    "  1    the camera refused or failed a picture or command (others were done)\n"
    "  2    bad usage\n"
    "  3    no camera: no port given, the port cannot be opened, or nothing answers\n"
    "  4    the camera stays busy\n"
    "  5    the camera was lost mid-exchange (unplugged, switched off, line dead)\n"
    "  6    a file or folder cannot be written\n"
    "  130  interrupted (Ctrl-C); the camera is left ready for the next run\n";

void PrintHelp(FILE *to) {
    std::fprintf(to, "usage: tarncam [--port DEVICE | --scan] [--slots N] COMMAND [ARGS...]\n\n"
                     "The camera: --port DEVICE, else $TARNCAM_PORT, else none. --scan tries\n"
                     "/dev/ttyUSB*, /dev/ttyACM* and /dev/ttyS* and takes the first camera that\n"
                     "answers (it writes to each of them). --slots N looks at slots 0 to N-1\n"
                     "(default 24, at most what the library allows).\n\nCommands:\n");
    for (const Command &c : kCommands) std::fprintf(to, "  tarncam %s\n", c.synopsis);
    std::fprintf(to, "\n'tarncam COMMAND --help' tells more.\n\n%s", kExitText);
}

void PrintCommandHelp(const Command &c) {
    std::printf("usage: tarncam [--port DEVICE | --scan] %s\n\n%s\n%s", c.synopsis, c.help,
                kExitText);
}

} // namespace

int main(int argc, char **argv) {
    Globals g;
    const Command *command = nullptr;
    std::vector<std::string> rest;
    bool help = false;
    // Global options may stand before or after the command's name.
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--port") {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "tarncam: --port needs a device\n");
                return kExitUsage;
            }
            g.port = argv[++i];
        } else if (a == "--scan") {
            g.scan = true;
        } else if (a == "--slots") {
            if (i + 1 >= argc || !ParseInt(argv[i + 1], 1, kMaxSlots, g.slots)) {
                std::fprintf(stderr, "tarncam: --slots needs a number from 1 to %d\n", kMaxSlots);
                return kExitUsage;
            }
            ++i;
        } else if (a == "--help" || a == "-h") {
            help = true;
        } else if (command == nullptr && !a.empty() && a[0] != '-') {
            for (const Command &c : kCommands)
                if (a == c.name) command = &c;
            if (command == nullptr) {
                std::fprintf(stderr, "tarncam: no command '%s' (see tarncam --help)\n", a.c_str());
                return kExitUsage;
            }
        } else {
            rest.push_back(a);
        }
    }
    if (help) {
        if (command != nullptr)
            PrintCommandHelp(*command);
        else
            PrintHelp(stdout);
        return kExitOk;
    }
    if (command == nullptr) {
        PrintHelp(stderr);
        return kExitUsage;
    }
    if (!g.port.empty() && g.scan) {
        std::fprintf(stderr, "tarncam: give --port or --scan, not both\n");
        return kExitUsage;
    }
    InstallInterruptHandler();
    return command->run(g, rest);
}
