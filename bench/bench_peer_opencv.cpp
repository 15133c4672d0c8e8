// The library's image passes beside the fastest way OpenCV has to do the same
// job, on the same inputs, in one process: what a user without this library
// would write. Each of OpenCV's pipelines is timed on one thread and on its
// default count, and the fastest is the one compared against; the library is
// timed on every build of its loops this processor runs. The library's outputs
// are checked against the literal references first, on every build.
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "imaging/colour.h"
#include "imaging/enlarge.h"
#include "imaging/kernel_path.h"
#include "imaging/reformat.h"
#include "link/state.h"
#include "min_of_batches.h"
#include "processor.h"
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
using tarnlink::KernelPath;
constexpr int kPicture = 160 * 120 * 3, kEnlarged = 320 * 240 * 3;
const char *const kPathNames[] = {"plain", "AVX2", "AVX-512"};

int Paths() {
    return static_cast<int>(tarnlink::WidestKernelPath()) + 1;
}

void Require(bool ok, const char *what, int path) {
    if (ok) return;
    std::fprintf(stderr, "%s differs from the reference on the %s path\n", what, kPathNames[path]);
    std::exit(1);
}

// One of OpenCV's ways to do a pass's job.
struct Pipeline {
    const char *name;
    std::function<void()> run;
};

struct Timings {
    std::vector<double> ours;    // per path
    std::vector<double> peer[2]; // per pipeline: default threads, one thread
};

// Ours on every path and each pipeline, their batches in turn, once with
// OpenCV's default thread count and once with one thread; ours keeps its best.
Timings Measure(const std::function<void()> &ours, const std::vector<Pipeline> &pipelines) {
    std::vector<std::function<void()>> jobs;
    for (int p = 0; p < Paths(); ++p)
        jobs.push_back([p, &ours] {
            tarnlink::g_kernelPathCap = static_cast<KernelPath>(p);
            ours();
        });
    for (const Pipeline &pl : pipelines) jobs.push_back(pl.run);

    const int defaultThreads = cv::getNumThreads();
    Timings t;
    t.ours.assign(Paths(), 1e9);
    for (int round = 0; round < 2; ++round) {
        cv::setNumThreads(round == 0 ? defaultThreads : 1);
        const std::vector<double> best = bench::MinOfBatches(jobs);
        for (int p = 0; p < Paths(); ++p) t.ours[p] = std::min(t.ours[p], best[p]);
        t.peer[round].assign(best.begin() + Paths(), best.end());
    }
    cv::setNumThreads(defaultThreads);
    tarnlink::g_kernelPathCap = KernelPath::kAvx512;
    return t;
}

struct Row {
    const char *pass;
    std::vector<Pipeline> pipelines;
    Timings t;
};

// The colour pass from a reformatted frame (copied in each call, as the pass
// rearranges it in place). OpenCV's nearest job: demosaicing, a 3 x 3 colour
// matrix and a gamma table, giving the same 160 x 120 picture area.
Row ColourRow(const Bytes &raw) {
    Bytes reformatted;
    for (int p = 0; p < Paths(); ++p) {
        tarnlink::g_kernelPathCap = static_cast<KernelPath>(p);
        Require(bench::ColourPassMatches(raw, reformatted), "the colour pass", p);
        SciCloseColour();
    }
    // The mosaic in its natural order (green at x + y even, red on even rows).
    static Bytes mosaic;
    mosaic = reformatted;
    for (int y = 0; y < kFrameH; ++y) {
        uint8_t *row = mosaic.data() + y * kFrameW;
        const uint8_t *f = reformatted.data() + y * kFrameW;
        for (int k = 0; k < 82; ++k) {
            row[2 * k] = f[82 + k];
            row[2 * k + 1] = f[k];
        }
    }
    static const cv::Mat bayer(kFrameH, kFrameW, CV_8UC1, mosaic.data());
    static cv::Mat bgr, mixed, out;
    static const cv::Matx33f matrix(1.7f, -0.4f, -0.3f, -0.2f, 1.5f, -0.3f, -0.3f, -0.5f, 1.8f);
    static cv::Mat gamma(1, 256, CV_8UC1);
    const Bytes table = ref::GammaTable();
    std::memcpy(gamma.data, table.data(), 256);
    static const cv::Rect area(2, 2, 160, 120);

    static Bytes frame(kFrame), picture(kPicture);
    SciOpenColour();
    Row row{"colour pass",
            {{"demosaic, transform over the 160 x 120 region (row by row), LUT",
              [] {
                  cv::cvtColor(bayer, bgr, cv::COLOR_BayerGR2BGR);
                  cv::transform(bgr(area), mixed, matrix);
                  cv::LUT(mixed, gamma, out);
              }},
             {"demosaic, transform over the whole frame (continuous), LUT over the region",
              [] {
                  cv::cvtColor(bayer, bgr, cv::COLOR_BayerGR2BGR);
                  cv::transform(bgr, mixed, matrix);
                  cv::LUT(mixed(area), gamma, out);
              }},
             {"demosaic, transform in place over the whole frame, LUT over the region",
              [] {
                  cv::cvtColor(bayer, bgr, cv::COLOR_BayerGR2BGR);
                  cv::transform(bgr, bgr, matrix);
                  cv::LUT(bgr(area), gamma, out);
              }},
             {"demosaic, transform and LUT over the whole frame, the region as a view",
              [] {
                  cv::cvtColor(bayer, bgr, cv::COLOR_BayerGR2BGR);
                  cv::transform(bgr, mixed, matrix);
                  cv::LUT(mixed, gamma, out);
                  (void)out(area);
              }}},
            {}};
    const auto reformattedFrame = reformatted;
    row.t = Measure(
        [&] {
            frame = reformattedFrame;
            tarnlink::ColourPass(frame.data(), picture.data());
        },
        row.pipelines);
    SciCloseColour();
    return row;
}

// Black level and defect correction against a table and a 3 x 3 median.
Row ReformatRow(const Bytes &raw) {
    static Bytes ours(kFrame), expected(kFrame);
    ref::Reformat(raw.data(), expected.data(), 16, 1);
    for (int p = 0; p < Paths(); ++p) {
        tarnlink::g_kernelPathCap = static_cast<KernelPath>(p);
        tarnlink::ReformatFrame(raw.data(), ours.data(), 16, 1);
        Require(ours == expected, "reformatting", p);
    }
    static cv::Mat black(1, 256, CV_8UC1);
    for (int i = 0; i < 256; ++i)
        black.data[i] = static_cast<uint8_t>(std::min(255, std::max(0, i - 16) * 255 / 239));
    static const cv::Mat in(kFrameH, kFrameW, CV_8UC1, const_cast<uint8_t *>(raw.data()));
    static cv::Mat levelled, out;
    Row row{"reformatting",
            {{"LUT, 3 x 3 median",
              [] {
                  cv::LUT(in, black, levelled);
                  cv::medianBlur(levelled, out, 3);
              }},
             {"LUT, 3 x 3 median in place",
              [] {
                  cv::LUT(in, black, levelled);
                  cv::medianBlur(levelled, levelled, 3);
              }}},
            {}};
    const uint8_t *r = raw.data();
    row.t = Measure([r] { tarnlink::ReformatFrame(r, ours.data(), 16, 1); }, row.pipelines);
    return row;
}

Row EnlargeRow(const Bytes &picture) {
    static Bytes ours(kEnlarged), expected(kEnlarged);
    ref_enlarge::Enlarge(picture.data(), expected.data());
    for (int p = 0; p < Paths(); ++p) {
        tarnlink::g_kernelPathCap = static_cast<KernelPath>(p);
        Require(SciEnlargeImage(picture.data(), ours.data()) == SCI_OK && ours == expected,
                "the enlargement", p);
    }
    static const cv::Mat src(120, 160, CV_8UC3, const_cast<uint8_t *>(picture.data()));
    static cv::Mat dst;
    Row row{"enlargement",
            {{"resize, linear",
              [] { cv::resize(src, dst, cv::Size(320, 240), 0, 0, cv::INTER_LINEAR); }},
             {"resize, linear in fixed point (INTER_LINEAR_EXACT)",
              [] { cv::resize(src, dst, cv::Size(320, 240), 0, 0, cv::INTER_LINEAR_EXACT); }}},
            {}};
    const uint8_t *in = picture.data();
    row.t = Measure([in] { SciEnlargeImage(in, ours.data()); }, row.pipelines);
    return row;
}

// Background removal with the key estimated from the samples against a colour
// range test and a fill with a given key.
Row BackgroundRow(const Bytes &picture) {
    static Bytes ours(kPicture), expected(kPicture);
    BgRmvParm parm;
    SciInitBgRmvParm(&parm);
    const bool keyed = ref_bgremove::Remove(picture.data(), expected.data(), parm);
    for (int p = 0; p < Paths(); ++p) {
        tarnlink::g_kernelPathCap = static_cast<KernelPath>(p);
        Require(keyed && SciRemoveImageBackground(picture.data(), ours.data(), nullptr) == SCI_OK &&
                    ours == expected,
                "background removal", p);
    }
    static const cv::Mat src(120, 160, CV_8UC3, const_cast<uint8_t *>(picture.data()));
    static cv::Mat mask, out;
    Row row{"background removal",
            {{"inRange, copy, setTo",
              [] {
                  cv::inRange(src, cv::Scalar(65, 65, 65), cv::Scalar(125, 125, 125), mask);
                  src.copyTo(out);
                  out.setTo(cv::Scalar(255, 255, 255), mask);
              }}},
            {}};
    const uint8_t *in = picture.data();
    row.t = Measure([in] { SciRemoveImageBackground(in, ours.data(), nullptr); }, row.pipelines);
    return row;
}

} // namespace

int main() {
    static uint8_t work[20680];
    tarnlink::g_lib.workBuffer = work;

    const Bytes raw = bench::RawScene();
    // The picture the enlargement and background removal start from is the
    // colour pass's own.
    Bytes frame(kFrame), picture(kPicture);
    ref::Reformat(raw.data(), frame.data(), 16, 1);
    ref::ColourSettings st;
    ref::ColourPass(st, frame.data(), picture.data());

    const int threads = cv::getNumThreads();
    std::printf("%s; OpenCV %s (%d threads by default)\n\n", bench::ProcessorName().c_str(),
                CV_VERSION, threads);
    const Row rows[] = {ColourRow(raw), ReformatRow(raw), EnlargeRow(picture),
                        BackgroundRow(picture)};

    std::printf("| pass | OpenCV's fastest | time |");
    for (int p = 0; p < Paths(); ++p) std::printf(" ours, %s | ratio |", kPathNames[p]);
    std::printf("\n|---|---|---|");
    for (int p = 0; p < Paths(); ++p) std::printf("---|---|");
    std::printf("\n");
    for (const Row &row : rows) {
        size_t fastest = 0;
        int fastestRound = 0;
        for (int round = 0; round < 2; ++round)
            for (size_t i = 0; i < row.pipelines.size(); ++i)
                if (row.t.peer[round][i] < row.t.peer[fastestRound][fastest]) {
                    fastest = i;
                    fastestRound = round;
                }
        const double peer = row.t.peer[fastestRound][fastest];
        std::printf("| %s | %s, %d thread%s | %.1f µs |", row.pass, row.pipelines[fastest].name,
                    fastestRound == 0 ? threads : 1,
                    (fastestRound == 0 ? threads : 1) == 1 ? "" : "s", peer * 1e6);
        for (double ours : row.t.ours) std::printf(" %.1f µs | %.2f |", ours * 1e6, ours / peer);
        std::printf("\n");
    }

    std::printf("\nEvery OpenCV pipeline tried:\n\n| pass | pipeline | %d threads | 1 thread |\n"
                "|---|---|---|---|\n",
                threads);
    for (const Row &row : rows)
        for (size_t i = 0; i < row.pipelines.size(); ++i)
            std::printf("| %s | %s | %.1f µs | %.1f µs |\n", row.pass, row.pipelines[i].name,
                        row.t.peer[0][i] * 1e6, row.t.peer[1][i] * 1e6);
    return 0;
}
