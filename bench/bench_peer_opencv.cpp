// The library's image passes beside OpenCV's nearest equivalents, on the same
// inputs, in one process: what a user without this library would reach for.
// The library's outputs are checked against the literal references first.
//
//   bench_peer_opencv [--threads N] [--path P]
// N: OpenCV's thread count (default its own); P: the widest build of the
// library's loops to use (0 plain, 1 AVX2, 2 AVX-512; default the processor's).
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <vector>

#include "imaging/colour.h"
#include "imaging/enlarge.h"
#include "imaging/kernel_path.h"
#include "imaging/reformat.h"
#include "link/state.h"
#include "min_of_batches.h"
#include "scene.h"
#include "support/bgremove_reference.h"
#include "support/colour_reference.h"
#include "support/enlarge_reference.h"
#include "tarnlink.h"

namespace {

using Bytes = std::vector<uint8_t>;
using bench::kFrame;
using bench::kFrameH;
using bench::kFrameW;
constexpr int kPicture = 160 * 120 * 3, kEnlarged = 320 * 240 * 3;
const char *const kPathNames[] = {"plain", "AVX2", "AVX-512"};

void Require(bool ok, const char *what) {
    if (ok) return;
    std::fprintf(stderr, "%s differs from the reference\n", what);
    std::exit(1);
}

using Pair = bench::Pair;

void Report(const char *ours, const char *peer, Pair p) {
    std::printf("| %s | %.1f µs | %s | %.1f µs | %.2f |\n", ours, p.first * 1e6, peer,
                p.second * 1e6, p.first / p.second);
}

// Our colour pass from a reformatted frame (copied in each call, as the pass
// rearranges it in place) against demosaicing, a 3 x 3 matrix and a gamma
// table over the same 160 x 120 picture area.
Pair ColourPair(const Bytes &raw) {
    Bytes reformatted, frame(kFrame), picture(kPicture);
    Require(bench::ColourPassMatches(raw, reformatted), "the colour pass");

    // The mosaic in its natural order (green at x + y even, red on even rows).
    Bytes mosaic = reformatted;
    for (int y = 0; y < kFrameH; ++y) {
        uint8_t *row = mosaic.data() + y * kFrameW;
        const uint8_t *f = reformatted.data() + y * kFrameW;
        for (int k = 0; k < 82; ++k) {
            row[2 * k] = f[82 + k];
            row[2 * k + 1] = f[k];
        }
    }
    const cv::Mat bayer(kFrameH, kFrameW, CV_8UC1, mosaic.data());
    cv::Mat bgr, mixed, out;
    const cv::Matx33f matrix(1.7f, -0.4f, -0.3f, -0.2f, 1.5f, -0.3f, -0.3f, -0.5f, 1.8f);
    cv::Mat gamma(1, 256, CV_8UC1);
    const Bytes table = ref::GammaTable();
    std::memcpy(gamma.data, table.data(), 256);
    const cv::Rect area(2, 2, 160, 120);
    const Pair p = bench::MinOfBatches(
        [&] {
            frame = reformatted;
            tarnlink::ColourPass(frame.data(), picture.data());
        },
        [&] {
            cv::cvtColor(bayer, bgr, cv::COLOR_BayerGR2BGR);
            cv::transform(bgr(area), mixed, matrix);
            cv::LUT(mixed, gamma, out);
        });
    SciCloseColour();
    return p;
}

Pair EnlargePair(const Bytes &picture) {
    Bytes ours(kEnlarged), expected(kEnlarged);
    ref_enlarge::Enlarge(picture.data(), expected.data());
    Require(SciEnlargeImage(picture.data(), ours.data()) == SCI_OK && ours == expected,
            "the enlargement");
    const cv::Mat src(120, 160, CV_8UC3, const_cast<uint8_t *>(picture.data()));
    cv::Mat dst;
    return bench::MinOfBatches(
        [&] { SciEnlargeImage(picture.data(), ours.data()); },
        [&] { cv::resize(src, dst, cv::Size(320, 240), 0, 0, cv::INTER_LINEAR); });
}

// Black level and defect correction against a table and a 3 x 3 median.
Pair ReformatPair(const Bytes &raw) {
    Bytes ours(kFrame), expected(kFrame);
    ref::Reformat(raw.data(), expected.data(), 16, 1);
    tarnlink::ReformatFrame(raw.data(), ours.data(), 16, 1);
    Require(ours == expected, "reformatting");
    cv::Mat black(1, 256, CV_8UC1);
    for (int i = 0; i < 256; ++i)
        black.data[i] = static_cast<uint8_t>(std::min(255, std::max(0, i - 16) * 255 / 239));
    const cv::Mat in(kFrameH, kFrameW, CV_8UC1, const_cast<uint8_t *>(raw.data()));
    cv::Mat levelled, out;
    return bench::MinOfBatches([&] { tarnlink::ReformatFrame(raw.data(), ours.data(), 16, 1); },
                               [&] {
                                   cv::LUT(in, black, levelled);
                                   cv::medianBlur(levelled, out, 3);
                               });
}

// Background removal with the key estimated from the samples against a
// colour range test and a fill with a given key.
Pair BackgroundPair(const Bytes &picture) {
    Bytes ours(kPicture), expected(kPicture);
    BgRmvParm p;
    SciInitBgRmvParm(&p);
    Require(SciRemoveImageBackground(picture.data(), ours.data(), nullptr) == SCI_OK &&
                ref_bgremove::Remove(picture.data(), expected.data(), p) && ours == expected,
            "background removal");
    const cv::Mat src(120, 160, CV_8UC3, const_cast<uint8_t *>(picture.data()));
    cv::Mat mask, out;
    return bench::MinOfBatches(
        [&] { SciRemoveImageBackground(picture.data(), ours.data(), nullptr); },
        [&] {
            cv::inRange(src, cv::Scalar(65, 65, 65), cv::Scalar(125, 125, 125), mask);
            src.copyTo(out);
            out.setTo(cv::Scalar(255, 255, 255), mask);
        });
}

} // namespace

int main(int argc, char **argv) {
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--threads") == 0) {
            cv::setNumThreads(std::atoi(argv[i + 1]));
        } else if (std::strcmp(argv[i], "--path") == 0) {
            const int path = std::atoi(argv[i + 1]);
            if (path < 0 || path > 2) return 2;
            tarnlink::g_kernelPathCap = static_cast<tarnlink::KernelPath>(path);
        } else {
            return 2;
        }
    }
    static uint8_t work[20680];
    tarnlink::g_lib.workBuffer = work;

    const Bytes raw = bench::RawScene();
    // The picture the enlargement and background removal start from is the
    // colour pass's own.
    Bytes frame(kFrame), picture(kPicture);
    ref::Reformat(raw.data(), frame.data(), 16, 1);
    ref::ColourSettings st;
    ref::ColourPass(st, frame.data(), picture.data());

    std::printf("OpenCV %s, %d thread(s); library path: %s\n\n", CV_VERSION, cv::getNumThreads(),
                kPathNames[static_cast<int>(tarnlink::ChosenKernelPath())]);
    std::printf("| library | time | OpenCV | time | ratio |\n|---|---|---|---|---|\n");
    Report("colour pass", "Bayer to BGR + 3 x 3 transform + LUT", ColourPair(raw));
    Report("enlargement", "resize, linear", EnlargePair(picture));
    Report("reformatting", "LUT + 3 x 3 median", ReformatPair(raw));
    Report("background removal", "inRange + copy + setTo", BackgroundPair(picture));
    return 0;
}
