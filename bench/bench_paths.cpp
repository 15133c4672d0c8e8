// The colour pass, a whole picture's colourising, reformatting, the enlargement
// and background removal on every build of the loops this processor runs,
// checked against the literal references first. Built for every platform, so
// that the Windows builds are measured under Wine beside the native one.
#include <cstdio>
#include <cstdlib>
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
using tarnlink::KernelPath;
constexpr int kPicture = 160 * 120 * 3, kEnlarged = 320 * 240 * 3;
const char *const kPathNames[] = {"plain", "AVX2", "AVX-512"};

void Require(bool ok, const char *what, KernelPath path) {
    if (ok) return;
    std::fprintf(stderr, "%s differs from the reference on the %s path\n", what,
                 kPathNames[static_cast<int>(path)]);
    std::exit(1);
}

// One pass from a reformatted frame, copied in each call as the pass
// rearranges it in place.
double ColourPass(const Bytes &raw, KernelPath path) {
    Bytes reformatted, frame(bench::kFrame), picture(kPicture);
    Require(bench::ColourPassMatches(raw, reformatted), "the colour pass", path);
    const double t = bench::MinOfBatches([&] {
        frame = reformatted;
        tarnlink::ColourPass(frame.data(), picture.data());
    });
    SciCloseColour();
    return t;
}

// Raw rows to the finished picture, the passes repeated until the balance
// settles, from a freshly opened engine each time.
int g_passes = 0;

double Colourise(const Bytes &raw, KernelPath path) {
    Bytes picture(kPicture), expected(kPicture), frame(bench::kFrame);
    ref::ColourSettings st;
    for (g_passes = 1; g_passes <= tarnlink::kMaxColourPasses; ++g_passes) {
        ref::Reformat(raw.data(), frame.data(), 16, 1);
        if (ref::ColourPass(st, frame.data(), expected.data()) == 1) break;
    }
    SciOpenColour();
    tarnlink::ColourizeLoop(raw.data(), picture.data(), 16);
    Require(picture == expected, "colourising", path);
    const double t = bench::MinOfBatches([&] {
        SciCloseColour();
        SciOpenColour();
        tarnlink::ColourizeLoop(raw.data(), picture.data(), 16);
    });
    SciCloseColour();
    return t;
}

double Enlarge(const Bytes &picture, KernelPath path) {
    Bytes out(kEnlarged), expected(kEnlarged);
    ref_enlarge::Enlarge(picture.data(), expected.data());
    Require(SciEnlargeImage(picture.data(), out.data()) == SCI_OK && out == expected,
            "the enlargement", path);
    return bench::MinOfBatches([&] { SciEnlargeImage(picture.data(), out.data()); });
}

double Reformat(const Bytes &raw, KernelPath path) {
    Bytes out(bench::kFrame), expected(bench::kFrame);
    ref::Reformat(raw.data(), expected.data(), 16, 1);
    tarnlink::ReformatFrame(raw.data(), out.data(), 16, 1);
    Require(out == expected, "reformatting", path);
    return bench::MinOfBatches([&] { tarnlink::ReformatFrame(raw.data(), out.data(), 16, 1); });
}

double RemoveBackground(const Bytes &picture, KernelPath path) {
    Bytes out(kPicture), expected(kPicture);
    BgRmvParm parm;
    SciInitBgRmvParm(&parm);
    Require(ref_bgremove::Remove(picture.data(), expected.data(), parm) &&
                SciRemoveImageBackground(picture.data(), out.data(), nullptr) == SCI_OK &&
                out == expected,
            "background removal", path);
    return bench::MinOfBatches(
        [&] { SciRemoveImageBackground(picture.data(), out.data(), nullptr); });
}

} // namespace

int main() {
    static uint8_t work[20680];
    tarnlink::g_lib.workBuffer = work;
    const Bytes raw = bench::RawScene();
    Bytes frame(bench::kFrame), picture(kPicture);
    ref::Reformat(raw.data(), frame.data(), 16, 1);
    ref::ColourSettings st;
    ref::ColourPass(st, frame.data(), picture.data());

    std::printf("%s\n\n", bench::ProcessorName().c_str());
    std::printf(
        "| path | colour pass | colourising | reformatting | enlargement | background removal "
        "|\n|---|---|---|---|---|---|\n");
    const int widest = static_cast<int>(tarnlink::WidestKernelPath());
    for (int p = 0; p <= widest; ++p) {
        const KernelPath path = static_cast<KernelPath>(p);
        tarnlink::g_kernelPathCap = path;
        const double pass = ColourPass(raw, path), whole = Colourise(raw, path),
                     reformat = Reformat(raw, path), enlarge = Enlarge(picture, path),
                     background = RemoveBackground(picture, path);
        std::printf("| %s | %.1f µs | %.1f µs | %.1f µs | %.1f µs | %.1f µs |\n", kPathNames[p],
                    pass * 1e6, whole * 1e6, reformat * 1e6, enlarge * 1e6, background * 1e6);
    }
    std::printf("\ncolourising: %d passes until the balance settles\n", g_passes);
    return 0;
}
