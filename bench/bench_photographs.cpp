// The shipped photographs as the main job fetches them from the camera simulator, each
// against its photograph: PSNR, mean level and clipped pixels, for one simulator or for two
// (before and after a change to it), at the same alignment. Not a timing.
//
//   bench_photographs [--photos DIR] [--before CAMSIM] [--pair SLOT OUT.png] [CAMSIM]
//
// CAMSIM defaults to ../camsim/camsim beside this program, DIR to the project's photographs.
// --pair writes the photograph and its picture side by side, each doubled, as a PNG.
#include <png.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <string>
#include <vector>

#include "imaging/colour.h"
#include "simulator.h"
#include "tarnlink.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr int kSites = 164, kSiteRows = 124; // the photographs are made at the sensor's size
constexpr int kW = 160, kH = 120;
constexpr int kMaxShift = 4; // picture pixel (X, Y) against site (X + dx, Y + dy), dx, dy 0..4

struct Photo {
    std::string name;
    Bytes rgb; // kSites x kSiteRows, R G B, top row first
};

// A fetched picture turned the way the photograph is: top row first, R G B.
struct Picture {
    Bytes rgb;
    double gains[3] = {0, 0, 0}; // where the library's balance stood after it
    Bytes raw;                   // the rows it was made from, and their black level
    int blackLevel = 0;
};

Bytes TopDownRgb(const Bytes &lib) {
    Bytes rgb(kW * kH * 3);
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x)
            for (int c = 0; c < 3; ++c)
                rgb[(y * kW + x) * 3 + c] = lib[((kH - 1 - y) * kW + x) * 3 + 2 - c];
    return rgb;
}

bool ReadPng(const std::string &path, Bytes &rgb) {
    png_image png;
    std::memset(&png, 0, sizeof png);
    png.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&png, path.c_str())) return false;
    png.format = PNG_FORMAT_RGB;
    if (png.width != kSites || png.height != kSiteRows) {
        png_image_free(&png);
        return false;
    }
    rgb.resize(PNG_IMAGE_SIZE(png));
    return png_image_finish_read(&png, nullptr, rgb.data(), 0, nullptr) != 0;
}

bool WritePng(const std::string &path, const Bytes &rgb, int width, int height) {
    png_image png;
    std::memset(&png, 0, sizeof png);
    png.version = PNG_IMAGE_VERSION;
    png.width = static_cast<png_uint_32>(width);
    png.height = static_cast<png_uint_32>(height);
    png.format = PNG_FORMAT_RGB;
    return png_image_write_to_file(&png, path.c_str(), 0, rgb.data(), 0, nullptr) != 0;
}

std::vector<Photo> LoadPhotos(const std::string &dir) {
    std::vector<std::string> names;
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d)) {
            const std::string n = e->d_name;
            if (n.size() > 4 && n.compare(n.size() - 4, 4, ".png") == 0) names.push_back(n);
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end()); // the simulator fills its slots in this order
    std::vector<Photo> photos;
    for (const std::string &n : names) {
        Photo p;
        p.name = n.substr(0, n.size() - 4);
        if (!ReadPng(dir + "/" + n, p.rgb)) {
            std::fprintf(stderr, "bench_photographs: %s/%s is no %d x %d PNG\n", dir.c_str(),
                         n.c_str(), kSites, kSiteRows);
            std::exit(1);
        }
        photos.push_back(p);
    }
    return photos;
}

// As tarncam's fetch does it: one session, the slots in order, each picture read line by line
// and coloured, so the balance carries over from one picture to the next.
std::vector<Picture> Fetch(const std::string &camsim, const std::string &photos, int count) {
    benchsim::Simulator sim =
        benchsim::Start(camsim, {"--images", photos, "--slots", std::to_string(count), "--quiet"});
    if (sim.port.empty() || SciOpenCamera(sim.port.c_str()) != SCI_OK ||
        SciSyncCamera() != SCI_OK) {
        std::fprintf(stderr, "bench_photographs: no camera from %s\n", camsim.c_str());
        benchsim::Stop(sim);
        std::exit(1);
    }
    std::vector<Picture> pictures;
    Bytes raw(SCI_RAW_FRAME_BYTES), lib(SCI_PICTURE_BYTES);
    for (int slot = 0; slot < count; ++slot) {
        int32_t lines = 0, length = 0;
        SciImageInfo info;
        bool ok = SciResetImageCounter(static_cast<uint8_t>(slot)) == SCI_OK &&
                  SciBeginUploadImage(&lines, &length) == SCI_OK &&
                  lines * length == SCI_RAW_FRAME_BYTES;
        for (int i = 0; ok && i < lines; ++i)
            ok = SciUploadImageLine(raw.data() + i * length, length) == SCI_OK;
        ok = ok && SciUploadImageInfo(&info) == SCI_OK &&
             SciColourizeImage(raw.data(), lib.data()) == SCI_OK;
        if (!ok) {
            std::fprintf(stderr, "bench_photographs: slot %d did not come\n", slot);
            std::exit(1);
        }
        Picture p;
        p.rgb = TopDownRgb(lib);
        p.raw = raw;
        p.blackLevel = static_cast<int>(info.blackLevel);
        const tarnlink::ColourState *st = tarnlink::CurrentColourState();
        p.gains[0] = st->gainRed;
        p.gains[1] = st->gainGreen;
        p.gains[2] = st->gainBlue;
        pictures.push_back(p);
    }
    SciCloseCamera();
    benchsim::Stop(sim);
    return pictures;
}

// The same rows coloured with the balance held at gains of 1 (no pixel is bright enough to
// be measured), to show what the balance itself does.
Bytes Unbalanced(const Picture &p) {
    Bytes work(SCI_RAW_FRAME_BYTES), lib(SCI_PICTURE_BYTES);
    SciOpenColour();
    SciSetYAccThresh(255);
    SciReformat300(p.raw.data(), work.data(), p.blackLevel, 1);
    SciImageReformat(work.data(), lib.data());
    SciCloseColour();
    return TopDownRgb(lib);
}

// The photograph's part that the picture shows at a shift.
Bytes Region(const Photo &photo, int dx, int dy) {
    Bytes r(kW * kH * 3);
    for (int y = 0; y < kH; ++y)
        std::memcpy(&r[y * kW * 3], &photo.rgb[((y + dy) * kSites + dx) * 3], kW * 3);
    return r;
}

double MeanSquare(const Bytes &a, const Bytes &b) {
    double sum = 0;
    for (size_t i = 0; i < a.size(); ++i) {
        const double d = static_cast<double>(a[i]) - b[i];
        sum += d * d;
    }
    return sum / static_cast<double>(a.size());
}

double Psnr(double meanSquare) {
    return 10.0 * std::log10(255.0 * 255.0 / meanSquare);
}

double MeanLevel(const Bytes &rgb) {
    double sum = 0;
    for (uint8_t v : rgb) sum += v;
    return sum / static_cast<double>(rgb.size());
}

// Shares of pixels at pure white and at pure black.
void ClippedShares(const Bytes &rgb, double &white, double &black) {
    int w = 0, b = 0;
    for (size_t i = 0; i < rgb.size(); i += 3) {
        w += rgb[i] == 255 && rgb[i + 1] == 255 && rgb[i + 2] == 255;
        b += rgb[i] == 0 && rgb[i + 1] == 0 && rgb[i + 2] == 0;
    }
    white = w / static_cast<double>(kW * kH);
    black = b / static_cast<double>(kW * kH);
}

// The camera's tone table and, for each level, the middle of the linear span it stands for.
struct Tone {
    uint8_t table[256];
    double light[256];
};

Tone MakeTone() {
    Tone t{};
    SciOpenColour();
    std::memcpy(t.table, tarnlink::CurrentColourState()->gammaTable, 256);
    SciCloseColour();
    for (int v = 0; v < 256; ++v) {
        int lo = -1, hi = -1, nearest = 0;
        for (int i = 0; i < 256; ++i) {
            if (t.table[i] == v) hi = i, lo = lo < 0 ? i : lo;
            if (std::abs(t.table[i] - v) <= std::abs(t.table[nearest] - v)) nearest = i;
        }
        t.light[v] = lo >= 0 ? (lo + hi + 1) / 2.0 : nearest + 0.5;
    }
    return t;
}

// The photograph as the camera's balance shows it: each channel's light times its gain and a
// common exposure, the one that brings it nearest the picture.
Bytes Balanced(const Tone &tone, const Bytes &region, const Bytes &picture, const double gains[3]) {
    Bytes best, trial(region.size());
    double bestError = 1e300;
    for (double light = 0.2; light <= 2.0; light += 0.005) {
        for (size_t i = 0; i < region.size(); ++i) {
            const double v = light * gains[i % 3] * tone.light[region[i]];
            trial[i] = tone.table[v >= 255 ? 255 : static_cast<int>(v)];
        }
        const double e = MeanSquare(trial, picture);
        if (e < bestError) bestError = e, best = trial;
    }
    return best;
}

void WritePair(const std::string &path, const Bytes &region, const Bytes &picture) {
    constexpr int kScale = 2, kGap = 8;
    const int width = 2 * kW * kScale + kGap, height = kH * kScale;
    Bytes out(static_cast<size_t>(width * height * 3), 255);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < kW * kScale; ++x)
            for (int c = 0; c < 3; ++c) {
                const size_t from = ((y / kScale) * kW + x / kScale) * 3 + c;
                out[(y * width + x) * 3 + c] = region[from];
                out[(y * width + kW * kScale + kGap + x) * 3 + c] = picture[from];
            }
    if (!WritePng(path, out, width, height)) {
        std::fprintf(stderr, "bench_photographs: cannot write %s\n", path.c_str());
        std::exit(1);
    }
}

struct Scores {
    double psnr, mean, white, black;
};

Scores Score(const Bytes &picture, const Bytes &region) {
    Scores s;
    s.psnr = Psnr(MeanSquare(picture, region));
    s.mean = MeanLevel(picture);
    ClippedShares(picture, s.white, s.black);
    return s;
}

} // namespace

int main(int argc, char **argv) {
    const std::string self = argv[0];
    const std::string here = self.substr(0, self.find_last_of('/') + 1);
    std::string camsim = here + "../camsim/camsim", before, photosDir = TARN_PHOTOS_DIR, pairOut;
    int pairSlot = -1;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--photos" && i + 1 < argc)
            photosDir = argv[++i];
        else if (a == "--before" && i + 1 < argc)
            before = argv[++i];
        else if (a == "--pair" && i + 2 < argc) {
            pairSlot = std::atoi(argv[++i]);
            pairOut = argv[++i];
        } else if (a[0] != '-')
            camsim = a;
        else {
            std::fprintf(stderr, "usage: bench_photographs [--photos DIR] [--before CAMSIM] "
                                 "[--pair SLOT OUT.png] [CAMSIM]\n");
            return 2;
        }
    }
    const std::vector<Photo> photos = LoadPhotos(photosDir);
    const int n = static_cast<int>(photos.size());
    if (n == 0) {
        std::fprintf(stderr, "bench_photographs: no photographs in %s\n", photosDir.c_str());
        return 1;
    }
    const std::vector<Picture> after = Fetch(camsim, photosDir, n);
    const std::vector<Picture> old =
        before.empty() ? std::vector<Picture>() : Fetch(before, photosDir, n);
    const Tone tone = MakeTone();

    // The shift that fits each new picture best; the old one is scored at the same.
    std::vector<Bytes> regions;
    std::vector<int> shifts;
    for (int k = 0; k < n; ++k) {
        int best = 0;
        double bestError = 1e300;
        for (int shift = 0; shift < (kMaxShift + 1) * (kMaxShift + 1); ++shift) {
            const double e = MeanSquare(
                after[k].rgb, Region(photos[k], shift % (kMaxShift + 1), shift / (kMaxShift + 1)));
            if (e < bestError) bestError = e, best = shift;
        }
        shifts.push_back(best);
        regions.push_back(Region(photos[k], best % (kMaxShift + 1), best / (kMaxShift + 1)));
        if (k == pairSlot) WritePair(pairOut, regions.back(), after[k].rgb);
    }

    std::printf("| photograph | shift | PSNR before | PSNR after | mean level: photograph, before, "
                "after | clipped %% (white + black): photograph, before, after |\n");
    std::printf("|---|---|---|---|---|---|\n");
    double sumBefore = 0, sumAfter = 0, worstMeanGap = 0, worstClipGap = -100;
    for (int k = 0; k < n; ++k) {
        const Scores photo = Score(regions[k], regions[k]);
        const Scores a = Score(after[k].rgb, regions[k]);
        const bool haveOld = !old.empty();
        const Scores b = haveOld ? Score(old[k].rgb, regions[k]) : Scores{0, 0, 0, 0};
        sumAfter += a.psnr;
        sumBefore += b.psnr;
        worstMeanGap = std::max(worstMeanGap, std::fabs(a.mean - photo.mean) / photo.mean);
        worstClipGap =
            std::max(worstClipGap, 100 * (a.white + a.black - photo.white - photo.black));
        char psnrBefore[32] = "-", meanBefore[32] = "-", clipBefore[48] = "-";
        if (haveOld) {
            std::snprintf(psnrBefore, sizeof psnrBefore, "%.1f dB", b.psnr);
            std::snprintf(meanBefore, sizeof meanBefore, "%.0f", b.mean);
            std::snprintf(clipBefore, sizeof clipBefore, "%.1f + %.1f", 100 * b.white,
                          100 * b.black);
        }
        std::printf("| %s | %d,%d | %s | %.1f dB | %.0f, %s, %.0f | %.1f + %.1f, %s, %.1f + %.1f "
                    "|\n",
                    photos[k].name.c_str(), shifts[k] % (kMaxShift + 1),
                    shifts[k] / (kMaxShift + 1), psnrBefore, a.psnr, photo.mean, meanBefore, a.mean,
                    100 * photo.white, 100 * photo.black, clipBefore, 100 * a.white, 100 * a.black);
    }
    if (!old.empty()) std::printf("\nmean PSNR before: %.1f dB\n", sumBefore / n);
    std::printf("%smean PSNR after: %.1f dB\n", old.empty() ? "\n" : "", sumAfter / n);
    std::printf("largest gap of the mean level after: %.1f %%\n", 100 * worstMeanGap);
    std::printf("most clipped beyond the photograph after: %+.1f points\n", worstClipGap);

    // What the camera's balance does to the new pictures.
    std::printf("\n| photograph | gains (R G B) | PSNR against the balanced photograph | share of "
                "the error the balance explains | at gains 1: PSNR, mean level, clipped %% |\n");
    std::printf("|---|---|---|---|---|\n");
    for (int k = 0; k < n; ++k) {
        const Bytes balanced = Balanced(tone, regions[k], after[k].rgb, after[k].gains);
        const double total = MeanSquare(after[k].rgb, regions[k]);
        const double rest = MeanSquare(after[k].rgb, balanced);
        const Scores flat = Score(Unbalanced(after[k]), regions[k]);
        std::printf("| %s | %.2f %.2f %.2f | %.1f dB | %.0f %% | %.1f dB, %.0f, %.1f + %.1f |\n",
                    photos[k].name.c_str(), after[k].gains[0], after[k].gains[1], after[k].gains[2],
                    Psnr(rest), 100 * (1 - rest / total), flat.psnr, flat.mean, 100 * flat.white,
                    100 * flat.black);
    }
    return 0;
}
