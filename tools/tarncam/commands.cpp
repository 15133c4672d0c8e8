// The subcommands. Each leaves the picture counter where it found it (except
// `counter` and `grab --slot`, whose point it is to move it) and the line in
// step, whatever happened, so that the next run starts clean.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "image_out.h"
#include "sheet.h"
#include "tarncam.h"

namespace tarncam {

bool ParseInt(const std::string &text, long low, long high, int &out) {
    // strtol alone would take " 5" and "+5" for 5.
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return false;
    errno = 0;
    const long v = std::strtol(text.c_str(), nullptr, 10);
    if (errno == ERANGE || v < low || v > high) return false;
    out = static_cast<int>(v);
    return true;
}

namespace {

constexpr int kGrabTries = 4; // a bad exposure is usually a moment's light; more means a problem
constexpr int kPictureWidth = 160;
constexpr int kPictureHeight = 120;

// "A,B,C" or "A,B,C,D" into numbers within [low, high].
bool ParseList(const std::string &text, size_t minCount, size_t maxCount, long low, long high,
               std::vector<int> &out) {
    out.clear();
    size_t start = 0;
    while (true) {
        const size_t comma = text.find(',', start);
        int v;
        if (!ParseInt(text.substr(start, comma - start), low, high, v)) return false;
        out.push_back(v);
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    return out.size() >= minCount && out.size() <= maxCount;
}

int UsageError(const std::string &message) {
    std::fprintf(stderr, "tarncam: %s (see tarncam --help)\n", message.c_str());
    return kExitUsage;
}

// A session: the camera open and in step, its counter noted to be put back.
struct Session {
    std::string port;
    uint8_t counter = 0;
    bool haveCounter = false;
    bool restoreCounter = true;
};

Exit Begin(const Globals &g, Session &s) {
    const Exit opened = OpenCamera(g, s.port);
    if (opened != kExitOk) return opened;
    s.haveCounter = Retry([&] { return SciGetImageIndex(&s.counter); }) == SCI_OK;
    return kExitOk;
}

int End(Session &s, int code) {
    // A camera that is gone takes no command; it would only cost time-outs.
    if (code != kExitCameraLost && s.restoreCounter && s.haveCounter)
        Retry([&] { return SciResetImageCounter(s.counter); });
    SciCloseCamera();
    return code;
}

// After a failed exchange. kExitOk means the camera is in step again and the
// run may go on; anything else ends it.
Exit Recover(SciStatus status, const std::string &what) {
    std::fprintf(stderr, "%s: %s\n", what.c_str(), StatusText(status).c_str());
    if (status == SCI_CAMERA_BUSY) {
        std::fprintf(stderr, "tarncam: the camera stays busy; try again later\n");
        return kExitBusy;
    }
    if (status == SCI_COMMS_SEND_NAK) return kExitOk; // refused whole: still in step
    if (!Resync()) {
        std::fprintf(stderr,
                     "tarncam: the camera no longer answers (unplugged or switched off?)\n");
        return kExitCameraLost;
    }
    return kExitOk;
}

// Points the counter at slot; on failure the exit code, else kExitOk.
Exit SelectSlot(int slot, bool &failed) {
    failed = false;
    const SciStatus status = Retry([&] { return SciResetImageCounter(slot); });
    if (status == SCI_OK) return kExitOk;
    failed = true;
    return Recover(status, "slot " + std::to_string(slot));
}

// Thumbnails of slots [0, limit): those that upload are the pictures.
struct Probe {
    std::vector<SheetEntry> found;
    int failed = 0;
};

Exit ProbeSlots(int limit, Probe &probe, bool showProgress) {
    std::vector<uint8_t> thumb(SCI_THUMBNAIL_BYTES);
    // A whole upload moves the camera's counter on to the next slot, so the
    // counter is set only at the start and after a slot that gave nothing.
    bool positioned = false;
    for (int slot = 0; slot < limit; ++slot) {
        if (g_interrupted) return kExitInterrupted;
        if (!positioned) {
            bool failed;
            Exit e = SelectSlot(slot, failed);
            if (e != kExitOk) return e;
            if (failed) {
                ++probe.failed;
                continue;
            }
        }
        positioned = false;
        Progress p;
        if (showProgress) ProgressBegin(p, "thumbnails", kThumbnailWireSeconds * limit);
        const SciStatus status = Retry([&] { return SciUploadThumbnail(thumb.data(), nullptr); });
        if (showProgress) ProgressUpdate(p, static_cast<double>(slot + 1) / limit);
        if (status == SCI_OK) {
            probe.found.push_back({slot, thumb});
            positioned = true;
            continue;
        }
        if (status == SCI_COMMS_SEND_NAK) continue; // empty slot
        ++probe.failed;
        const Exit e = Recover(status, "slot " + std::to_string(slot) + " thumbnail");
        if (e != kExitOk) return e;
    }
    if (showProgress && isatty(2)) std::fprintf(stderr, "\r\033[K");
    return kExitOk;
}

std::string SlotList(const std::vector<SheetEntry> &found) {
    std::string out;
    for (size_t i = 0; i < found.size();) {
        size_t j = i;
        while (j + 1 < found.size() && found[j + 1].slot == found[j].slot + 1) ++j;
        if (!out.empty()) out += ", ";
        out += std::to_string(found[i].slot);
        if (j > i) out += "-" + std::to_string(found[j].slot);
        i = j + 1;
    }
    return out.empty() ? "none" : out;
}

// One picture, colour, line by line so that the bar shows real progress.
// Gives the same bytes as SciUploadImage: the lines are the frame it colours.
SciStatus UploadColour(uint8_t *picture, Progress &p, bool &interrupted) {
    interrupted = false;
    int32_t lines = 0, length = 0;
    SciStatus status = Retry([&] { return SciBeginUploadImage(&lines, &length); });
    if (status != SCI_OK) return status;
    if (static_cast<int64_t>(lines) * length != SCI_RAW_FRAME_BYTES) {
        SciSyncCamera(); // drains the stream we will not read
        return SCI_COMMS_BAD_PACKET;
    }
    std::vector<uint8_t> frame(SCI_RAW_FRAME_BYTES);
    for (int32_t i = 0; i < lines; ++i) {
        if (g_interrupted) {
            // Reading stops here; the sync waits out the rest of the stream.
            interrupted = true;
            SciSyncCamera();
            return SCI_OK;
        }
        status = SciUploadImageLine(frame.data() + i * length, length);
        if (status != SCI_OK) return status;
        ProgressUpdate(p, static_cast<double>(i + 1) / lines);
    }
    SciImageInfo info;
    status = SciUploadImageInfo(&info);
    if (status != SCI_OK) return status;
    return SciColourizeImage(frame.data(), picture);
}

struct FetchOptions {
    int first = -1, last = -1; // -1: all slots holding pictures
    std::string outDir = ".";
    Format format = Format::kPng;
    bool grey = false, large = false, removeBackground = false;
    bool haveKey = false, haveSample = false;
    std::vector<int> key, sample;
};

int ParseFetch(const std::vector<std::string> &args, FetchOptions &o) {
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string &a = args[i];
        const bool hasValue = i + 1 < args.size();
        if (a == "--out" && hasValue) {
            o.outDir = args[++i];
        } else if (a == "--format" && hasValue) {
            const std::string f = args[++i];
            if (f == "png")
                o.format = Format::kPng;
            else if (f == "bmp")
                o.format = Format::kBmp;
            else
                return UsageError("--format is png or bmp, not '" + f + "'");
        } else if (a == "--grey" || a == "--gray") {
            o.grey = true;
        } else if (a == "--large") {
            o.large = true;
        } else if (a == "--remove-background") {
            o.removeBackground = true;
        } else if (a == "--key" && hasValue) {
            if (!ParseList(args[++i], 3, 4, 0, 255, o.key))
                return UsageError("--key is R,G,B or R,G,B,TOLERANCE, each 0 to 255");
            o.haveKey = true;
        } else if (a == "--sample" && hasValue) {
            if (!ParseList(args[++i], 4, 4, 0, 1000, o.sample))
                return UsageError("--sample is X,Y,WIDTH,HEIGHT");
            o.haveSample = true;
        } else if (a.size() > 0 && a[0] != '-' && o.first < 0) {
            if (a == "all") continue;
            const size_t dash = a.find('-');
            if (dash == std::string::npos) {
                if (!ParseInt(a, 0, 254, o.first)) return UsageError("bad slot '" + a + "'");
                o.last = o.first;
            } else if (!ParseInt(a.substr(0, dash), 0, 254, o.first) ||
                       !ParseInt(a.substr(dash + 1), 0, 254, o.last) || o.last < o.first) {
                return UsageError("bad slot range '" + a + "' (FIRST-LAST, e.g. 3-7)");
            }
        } else {
            return UsageError("fetch: unexpected '" + a + "'");
        }
    }
    if ((o.haveKey || o.haveSample) && !o.removeBackground)
        return UsageError("--key and --sample go with --remove-background");
    if (o.haveKey && o.haveSample) return UsageError("give --key or --sample, not both");
    if (o.grey && (o.large || o.removeBackground))
        return UsageError("--large and --remove-background work on colour pictures, not --grey");
    if (o.haveSample) {
        const int x = o.sample[0], y = o.sample[1], w = o.sample[2], h = o.sample[3];
        // The library needs the rectangle strictly inside the picture.
        if (w < 1 || h < 1 || x + w >= kPictureWidth || y + h >= kPictureHeight)
            return UsageError("--sample must lie inside the 160 x 120 picture, short of its right "
                              "and bottom edges");
    }
    return kExitOk;
}

std::string PicturePath(const FetchOptions &o, int slot) {
    char name[32];
    std::snprintf(name, sizeof name, "picture-%02d.%s", slot,
                  o.format == Format::kPng ? "png" : "bmp");
    return (std::filesystem::path(o.outDir) / name).string();
}

BgRmvParm BackgroundParameters(const FetchOptions &o) {
    BgRmvParm parm;
    SciInitBgRmvParm(&parm);
    if (o.haveKey) {
        parm.autoKey = 0;
        const int tolerance = o.key.size() > 3 ? o.key[3] : parm.keyTolerance[0];
        for (int c = 0; c < 3; ++c) {
            // The picture's bytes are blue, green, red.
            parm.keyColour[c] = static_cast<uint8_t>(o.key[2 - c]);
            parm.keyTolerance[c] = static_cast<uint8_t>(tolerance);
        }
    } else if (o.haveSample) {
        // Users count x from the left; the library counts from the right edge.
        const int x = kPictureWidth - o.sample[0] - o.sample[2];
        parm.sample1X = parm.sample2X = x;
        parm.sample1Y = parm.sample2Y = o.sample[1];
        parm.sample1Width = parm.sample2Width = o.sample[2];
        parm.sample1Height = parm.sample2Height = o.sample[3];
        parm.autoKey = 1;
    }
    return parm;
}

} // namespace

int RunInfo(const Globals &g, const std::vector<std::string> &args) {
    if (!args.empty()) return UsageError("info takes no arguments");
    Session s;
    const Exit begun = Begin(g, s);
    if (begun != kExitOk) return begun;
    char firmware[SCI_FIRMWARE_TEXT_BYTES] = {};
    const SciStatus fw = Retry([&] { return SciGetFirmwareVersion(firmware); });
    int32_t max = 0;
    SciGetMaxCameraImages(&max);
    const int limit = SlotLimit(g);
    std::printf("port:             %s\n", s.port.c_str());
    std::printf("firmware:         %s\n", fw == SCI_OK ? firmware : StatusText(fw).c_str());
    if (s.haveCounter)
        std::printf("picture counter:  %d\n", s.counter);
    else
        std::printf("picture counter:  unknown\n");
    std::printf("slots looked at:  %d (the library allows %d; --slots N for more)\n", limit, max);
    Probe probe;
    const Exit e = ProbeSlots(limit, probe, true);
    if (e == kExitInterrupted) std::fprintf(stderr, "tarncam: interrupted\n");
    if (e != kExitOk) return End(s, e);
    std::printf("pictures:         %zu, in slots %s\n", probe.found.size(),
                SlotList(probe.found).c_str());
    if (probe.failed > 0) std::printf("unreadable slots: %d\n", probe.failed);
    return End(s, probe.failed > 0 ? kExitCameraError : kExitOk);
}

int RunSheet(const Globals &g, const std::vector<std::string> &args) {
    if (args.size() != 1 || args[0].empty() || args[0][0] == '-')
        return UsageError("sheet needs one output file: tarncam sheet OUT.png");
    const std::string out = args[0];
    std::string refused;
    // Before the camera: probing the thumbnails would only be time lost.
    if (!TargetReplaceable(out, refused)) {
        std::fprintf(stderr, "tarncam: cannot write the sheet: %s\n", refused.c_str());
        return kExitWrite;
    }
    Session s;
    const Exit begun = Begin(g, s);
    if (begun != kExitOk) return begun;
    Probe probe;
    const double start = Now();
    const Exit e = ProbeSlots(SlotLimit(g), probe, true);
    if (e == kExitInterrupted) std::fprintf(stderr, "tarncam: interrupted; no sheet written\n");
    if (e != kExitOk) return End(s, e);
    const Sheet sheet = ComposeSheet(probe.found);
    std::string error;
    if (!WritePngTopDown(out, sheet.grey.data(), sheet.width, sheet.height, 1, error)) {
        std::fprintf(stderr, "tarncam: cannot write the sheet: %s\n", error.c_str());
        return End(s, kExitWrite);
    }
    std::printf("%s: %zu thumbnails (slots %s), %d x %d, in %.2f s\n", out.c_str(),
                probe.found.size(), SlotList(probe.found).c_str(), sheet.width, sheet.height,
                Now() - start);
    return End(s, probe.failed > 0 ? kExitCameraError : kExitOk);
}

int RunFetch(const Globals &g, const std::vector<std::string> &args) {
    FetchOptions o;
    const int parsed = ParseFetch(args, o);
    if (parsed != kExitOk) return parsed;
    const bool all = o.first < 0;
    if (!all && g.slots > 0 && o.last >= SlotLimit(g))
        return UsageError("fetch: slot " + std::to_string(o.last) +
                          " is past the slots looked at: 0 to " + std::to_string(SlotLimit(g) - 1) +
                          " (--slots " + std::to_string(g.slots) + ")");
    const int first = all ? 0 : o.first;
    const int last = all ? SlotLimit(g) - 1 : o.last;
    std::error_code ec;
    std::filesystem::create_directories(o.outDir, ec);
    if (ec || !std::filesystem::is_directory(o.outDir)) {
        std::fprintf(stderr, "tarncam: cannot make the folder %s: %s\n", o.outDir.c_str(),
                     ec ? ec.message().c_str() : "not a folder");
        return kExitWrite;
    }
    // Every file this run could write, before a picture is fetched for nothing.
    for (int slot = first; slot <= last; ++slot) {
        std::string refused;
        if (!TargetReplaceable(PicturePath(o, slot), refused)) {
            std::fprintf(stderr, "tarncam: cannot write %s\n", refused.c_str());
            return kExitWrite;
        }
    }
    Session s;
    const Exit begun = Begin(g, s);
    if (begun != kExitOk) return begun;

    const BgRmvParm parm = BackgroundParameters(o);
    std::vector<uint8_t> picture(SCI_PICTURE_BYTES), keyed(SCI_PICTURE_BYTES),
        large(SCI_ENLARGED_BYTES);
    int saved = 0, empty = 0, failed = 0;
    const double start = Now();
    Exit code = kExitOk;
    for (int slot = first; slot <= last && code == kExitOk; ++slot) {
        if (g_interrupted) {
            code = kExitInterrupted;
            break;
        }
        bool slotFailed;
        code = SelectSlot(slot, slotFailed);
        if (code != kExitOk) break;
        if (slotFailed) {
            ++failed;
            continue;
        }
        Progress p;
        ProgressBegin(p, "slot " + std::to_string(slot), kPictureWireSeconds);
        bool interrupted = false;
        SciStatus status;
        if (o.grey) {
            auto call = [&] {
                return Retry([&] { return SciUploadGreyImage(picture.data(), nullptr); });
            };
            status = RunWithProgress(
                p, [](void *c) { return (*static_cast<decltype(call) *>(c))(); }, &call);
            interrupted = g_interrupted;
        } else {
            status = UploadColour(picture.data(), p, interrupted);
        }
        if (interrupted) {
            ProgressEnd(p, "interrupted");
            code = kExitInterrupted;
            break;
        }
        if (status == SCI_COMMS_SEND_NAK) {
            // The camera refuses an upload of an empty slot.
            ++empty;
            if (!all) {
                ProgressEnd(p, "empty");
                ++failed;
            } else if (p.tty && p.drawn) {
                std::fprintf(stderr, "\r\033[K");
            }
            continue;
        }
        if (status != SCI_OK) {
            ProgressEnd(p, "failed");
            ++failed;
            code = Recover(status, "slot " + std::to_string(slot));
            continue;
        }
        Picture out = {picture.data(), kPictureWidth, kPictureHeight, o.grey ? 1 : 3};
        if (o.removeBackground) {
            status = SciRemoveImageBackground(out.pixels, keyed.data(), &parm);
            if (status != SCI_OK) {
                ProgressEnd(p, "background removal failed: " + StatusText(status));
                ++failed;
                continue;
            }
            out.pixels = keyed.data();
        }
        if (o.large) {
            status = SciEnlargeImage(out.pixels, large.data());
            if (status != SCI_OK) {
                ProgressEnd(p, "enlarging failed: " + StatusText(status));
                ++failed;
                continue;
            }
            out = {large.data(), 2 * kPictureWidth, 2 * kPictureHeight, 3};
        }
        const std::string path = PicturePath(o, slot);
        std::string error;
        if (!WritePicture(path, out, o.format, error)) {
            ProgressEnd(p, "not saved");
            std::fprintf(stderr, "tarncam: cannot write %s\n", error.c_str());
            code = kExitWrite;
            break;
        }
        ProgressEnd(p, path);
        ++saved;
    }
    if (code == kExitInterrupted) std::fprintf(stderr, "tarncam: interrupted\n");
    std::printf("%d picture(s) saved in %s", saved, o.outDir.c_str());
    if (empty > 0) std::printf(", %d empty slot(s)", empty);
    if (failed > 0) std::printf(", %d failed", failed);
    std::printf(" (%.1f s)\n", Now() - start);
    if (code == kExitOk && failed > 0) code = kExitCameraError;
    if (code == kExitOk && !all && saved == 0) code = kExitCameraError;
    return End(s, code);
}

int RunGrab(const Globals &g, const std::vector<std::string> &args) {
    int slot = -1;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--slot" && i + 1 < args.size()) {
            if (!ParseInt(args[++i], 0, 254, slot)) return UsageError("--slot is 0 to 254");
        } else {
            return UsageError("grab: unexpected '" + args[i] + "'");
        }
    }
    Session s;
    const Exit begun = Begin(g, s);
    if (begun != kExitOk) return begun;
    s.restoreCounter = false; // the grab goes where the counter points
    if (slot >= 0) {
        bool failed;
        const Exit e = SelectSlot(slot, failed);
        if (e != kExitOk || failed) return End(s, e != kExitOk ? e : kExitCameraError);
    } else {
        slot = s.counter;
    }
    SciStatus status = SCI_OK;
    int tries = 0;
    for (; tries < kGrabTries && !g_interrupted; ++tries) {
        status = Retry([] { return SciGrabImage(0, 0); });
        if (status == SCI_OK) status = Retry([] { return SciGrabResult(); });
        if (status != SCI_BAD_EXPOSURE) break;
    }
    if (g_interrupted && status != SCI_OK) {
        std::fprintf(stderr, "tarncam: interrupted\n");
        return End(s, kExitInterrupted);
    }
    if (status == SCI_OK) {
        std::printf("picture taken into slot %d\n", slot);
        return End(s, kExitOk);
    }
    if (status == SCI_BAD_EXPOSURE) {
        std::fprintf(stderr, "tarncam: bad exposure %d times: too dark or too bright?\n", tries);
        return End(s, kExitCameraError);
    }
    if (status == SCI_CAMERA_FULL) {
        std::fprintf(stderr, "tarncam: slot %d is past the camera's memory (camera full)\n", slot);
        return End(s, kExitCameraError);
    }
    const Exit e = Recover(status, "grab");
    return End(s, e != kExitOk ? e : kExitCameraError);
}

int RunCounter(const Globals &g, const std::vector<std::string> &args) {
    int value;
    if (args.size() != 1 || !ParseInt(args[0], 0, 254, value))
        return UsageError("counter needs one value, 0 to 254");
    Session s;
    const Exit begun = Begin(g, s);
    if (begun != kExitOk) return begun;
    s.restoreCounter = false;
    const SciStatus status = Retry([&] { return SciResetImageCounter(value); });
    if (status == SCI_BAD_PARAMETER) {
        int32_t max = 0;
        SciGetMaxCameraImages(&max);
        std::fprintf(stderr, "tarncam: the counter goes up to %d\n", max);
        return End(s, kExitUsage);
    }
    if (status != SCI_OK) {
        const Exit e = Recover(status, "counter");
        return End(s, e != kExitOk ? e : kExitCameraError);
    }
    std::printf("picture counter set to %d (was %d)\n", value, s.counter);
    return End(s, kExitOk);
}

} // namespace tarncam
