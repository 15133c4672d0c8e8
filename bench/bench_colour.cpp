// Reformatting and colour passes, each beside the literal reference in the same
// run; results are checked bit for bit before timing.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "imaging/colour.h"
#include "imaging/reformat.h"
#include "link/state.h"
#include "support/colour_reference.h"
#include "tarnlink.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr int kFrame = 164 * 124, kPicture = 57600, kPixels = 160 * 120;

// A noisy scene with a blue cast too strong for the gains to take out: blue
// sites (odd rows, second half) bright, the rest dim.
Bytes Scene() {
    std::mt19937 rng(7);
    std::uniform_int_distribution<int> noise(0, 30);
    Bytes raw(kFrame);
    for (int y = 0; y < 124; ++y)
        for (int b = 0; b < 164; ++b) {
            const bool blue = (y & 1) != 0 && b >= 83;
            raw[164 * y + b] = static_cast<uint8_t>((blue ? 200 : 30) + noise(rng));
        }
    return raw;
}

const Bytes &Raw() {
    static const Bytes raw = Scene();
    return raw;
}

void Check(bool ok, const char *what) {
    if (!ok) {
        std::fprintf(stderr, "%s differs from the reference\n", what);
        std::abort();
    }
}

void PerPixel(benchmark::State &state, int passes = 1) {
    state.counters["ns_per_pixel"] = benchmark::Counter(
        static_cast<double>(kPixels) * passes,
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void BM_Reformat(benchmark::State &state) {
    const int defect = static_cast<int>(state.range(0));
    Bytes frame(kFrame), expected(kFrame);
    ref::Reformat(Raw().data(), expected.data(), 16, defect);
    tarnlink::ReformatFrame(Raw().data(), frame.data(), 16, defect);
    Check(frame == expected, "ReformatFrame");
    for (auto _ : state) {
        tarnlink::ReformatFrame(Raw().data(), frame.data(), 16, defect);
        benchmark::DoNotOptimize(frame.data());
    }
    PerPixel(state);
}
BENCHMARK(BM_Reformat)->ArgName("defect")->Arg(0)->Arg(1);

void BM_ReformatReference(benchmark::State &state) {
    const int defect = static_cast<int>(state.range(0));
    Bytes frame(kFrame);
    for (auto _ : state) {
        ref::Reformat(Raw().data(), frame.data(), 16, defect);
        benchmark::DoNotOptimize(frame.data());
    }
    PerPixel(state);
}
BENCHMARK(BM_ReformatReference)->ArgName("defect")->Arg(0)->Arg(1);

// One pass from a reformatted frame (the copy in is part of every iteration).
void BM_ColourPass(benchmark::State &state) {
    SciOpenColour();
    Bytes reformatted(kFrame), frame(kFrame), picture(kPicture), expected(kPicture);
    tarnlink::ReformatFrame(Raw().data(), reformatted.data(), 16, 1);
    ref::ColourSettings st;
    frame = reformatted;
    ref::ColourPass(st, frame.data(), expected.data());
    frame = reformatted;
    tarnlink::ColourPass(frame.data(), picture.data());
    Check(picture == expected, "ColourPass");
    for (auto _ : state) {
        frame = reformatted;
        benchmark::DoNotOptimize(tarnlink::ColourPass(frame.data(), picture.data()));
    }
    SciCloseColour();
    PerPixel(state);
}
BENCHMARK(BM_ColourPass);

void BM_ColourPassReference(benchmark::State &state) {
    Bytes reformatted(kFrame), frame(kFrame), picture(kPicture);
    tarnlink::ReformatFrame(Raw().data(), reformatted.data(), 16, 1);
    for (auto _ : state) {
        ref::ColourSettings st;
        frame = reformatted;
        benchmark::DoNotOptimize(ref::ColourPass(st, frame.data(), picture.data()));
    }
    PerPixel(state);
}
BENCHMARK(BM_ColourPassReference);

// The whole colourising loop, held to 50 passes by a luma threshold of 0 and a
// strong cast that never settles.
void BM_ColourizeLoop50(benchmark::State &state) {
    Bytes work(20680), picture(kPicture), expected(kPicture);
    tarnlink::g_lib.workBuffer = work.data();
    SciOpenColour();
    ref::ColourSettings st;
    st.yAccThresh = 0;
    for (int pass = 0; pass < 50; ++pass) {
        Bytes frame(kFrame);
        ref::Reformat(Raw().data(), frame.data(), 16, 1);
        Check(ref::ColourPass(st, frame.data(), expected.data()) == 0, "a pass settled early");
    }
    SciSetYAccThresh(0);
    tarnlink::ColourizeLoop(Raw().data(), picture.data(), 16);
    Check(picture == expected, "ColourizeLoop");
    for (auto _ : state) {
        SciCloseColour();
        SciOpenColour();
        SciSetYAccThresh(0);
        tarnlink::ColourizeLoop(Raw().data(), picture.data(), 16);
        benchmark::DoNotOptimize(picture.data());
    }
    SciCloseColour();
    tarnlink::g_lib.workBuffer = nullptr;
    PerPixel(state, 50);
}
BENCHMARK(BM_ColourizeLoop50)->Unit(benchmark::kMicrosecond);

void BM_ColourizeLoop50Reference(benchmark::State &state) {
    Bytes frame(kFrame), picture(kPicture);
    for (auto _ : state) {
        ref::ColourSettings st;
        st.yAccThresh = 0;
        for (int pass = 0; pass < 50; ++pass) {
            ref::Reformat(Raw().data(), frame.data(), 16, 1);
            ref::ColourPass(st, frame.data(), picture.data());
        }
        benchmark::DoNotOptimize(picture.data());
    }
    PerPixel(state, 50);
}
BENCHMARK(BM_ColourizeLoop50Reference)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
