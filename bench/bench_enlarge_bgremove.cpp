// Enlargement and background removal: time per output pixel of the library's
// code and of the literal references, in the same run, after checking that
// both give the same bytes. The library's enlargement runs once per build of
// its loops (plain, AVX2) that the processor has.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "imaging/bgremove.h"
#include "imaging/enlarge.h"
#include "imaging/kernel_path.h"
#include "support/bgremove_reference.h"
#include "support/enlarge_reference.h"
#include "tarnlink.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr int kInBytes = 57600, kOutBytes = 230400;
constexpr int kEnlargedPixels = 320 * 240, kKeyedPixels = 160 * 120;

Bytes Picture() {
    std::mt19937 rng(42);
    std::uniform_int_distribution<int> noise(-30, 30), any(0, 255);
    Bytes b(kInBytes);
    // A grey background with noise and a random figure over a third of it.
    for (int i = 0; i < kInBytes; ++i) {
        const bool figure = (i / 3) % 160 > 50 && (i / 3) % 160 < 110;
        b[i] = static_cast<uint8_t>(figure ? any(rng) : 95 + noise(rng));
    }
    return b;
}

void PerPixel(benchmark::State &state, int pixels) {
    state.counters["per_px"] = benchmark::Counter(static_cast<double>(pixels),
                                                  benchmark::Counter::kIsIterationInvariantRate |
                                                      benchmark::Counter::kInvert);
}

using tarnlink::KernelPath;

// Forces one build of the loops for the life of the object; a processor
// without it skips the benchmark.
class OnPath {
  public:
    OnPath(benchmark::State &state, KernelPath path) : saved_(tarnlink::g_kernelPathCap) {
        ok_ = tarnlink::WidestKernelPath() >= path;
        if (ok_)
            tarnlink::g_kernelPathCap = path;
        else
            state.SkipWithError("the processor lacks this path");
    }
    ~OnPath() { tarnlink::g_kernelPathCap = saved_; }
    bool ok() const { return ok_; }

  private:
    KernelPath saved_;
    bool ok_;
};

bool SameEnlargement(const Bytes &src) {
    Bytes fast(kOutBytes), slow(kOutBytes);
    return SciEnlargeImage(src.data(), fast.data()) == SCI_OK &&
           (ref_enlarge::Enlarge(src.data(), slow.data()), fast == slow);
}

void BM_Enlarge(benchmark::State &state, KernelPath path) {
    const OnPath on(state, path);
    if (!on.ok()) return;
    const Bytes src = Picture();
    if (!SameEnlargement(src)) state.SkipWithError("differs from the reference");
    Bytes out(kOutBytes);
    for (auto _ : state) {
        SciEnlargeImage(src.data(), out.data());
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    PerPixel(state, kEnlargedPixels);
}

void BM_EnlargeReference(benchmark::State &state) {
    const Bytes src = Picture();
    Bytes out(kOutBytes);
    for (auto _ : state) {
        ref_enlarge::Enlarge(src.data(), out.data());
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    PerPixel(state, kEnlargedPixels);
}

// The stages alone, per pixel of what each stage writes.
void BM_EnlargeStageRgbToYcc420(benchmark::State &state, KernelPath path) {
    const OnPath on(state, path);
    if (!on.ok()) return;
    const Bytes src = Picture();
    std::vector<int16_t> y(160 * 120), cb(80 * 60), cr(80 * 60);
    for (auto _ : state) {
        tarnlink::RgbToYcc420(src.data(), y.data(), cb.data(), cr.data());
        benchmark::DoNotOptimize(y.data());
        benchmark::ClobberMemory();
    }
    PerPixel(state, 160 * 120);
}

void BM_EnlargeStageUpsample2xLuma(benchmark::State &state, KernelPath path) {
    const OnPath on(state, path);
    if (!on.ok()) return;
    std::vector<int16_t> y(160 * 120), big(320 * 240);
    for (size_t i = 0; i < y.size(); ++i) y[i] = static_cast<int16_t>(i * 37 % 256 - 16);
    for (auto _ : state) {
        tarnlink::Upsample2x(y.data(), 160, 120, big.data());
        benchmark::DoNotOptimize(big.data());
        benchmark::ClobberMemory();
    }
    PerPixel(state, kEnlargedPixels);
}

void BM_EnlargeStageYccToRgb(benchmark::State &state, KernelPath path) {
    const OnPath on(state, path);
    if (!on.ok()) return;
    std::vector<int16_t> y(320 * 240), cb(160 * 120), cr(160 * 120);
    for (size_t i = 0; i < y.size(); ++i) y[i] = static_cast<int16_t>(i * 37 % 256 - 16);
    for (size_t i = 0; i < cb.size(); ++i) {
        cb[i] = static_cast<int16_t>(i * 11 % 256 - 128);
        cr[i] = static_cast<int16_t>(i * 13 % 256 - 128);
    }
    Bytes out(kOutBytes);
    for (auto _ : state) {
        tarnlink::YccToRgb(y.data(), cb.data(), cr.data(), out.data());
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    PerPixel(state, kEnlargedPixels);
}

// What SciEnlargeImage does after RgbToYcc420: the two doublings of the planes
// and YccToRgb in one sweep.
void BM_EnlargeStageDoubleAndConvert(benchmark::State &state, KernelPath path) {
    const OnPath on(state, path);
    if (!on.ok()) return;
    const Bytes src = Picture();
    std::vector<int16_t> y(160 * 120), cb(80 * 60), cr(80 * 60);
    tarnlink::RgbToYcc420(src.data(), y.data(), cb.data(), cr.data());
    Bytes out(kOutBytes);
    for (auto _ : state) {
        tarnlink::EnlargeYcc(y.data(), cb.data(), cr.data(), out.data());
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    PerPixel(state, kEnlargedPixels);
}

// Default parameters: the key is estimated from the corners, then applied.
void BM_RemoveBackground(benchmark::State &state) {
    const Bytes src = Picture();
    Bytes out(kInBytes), want(kInBytes);
    BgRmvParm p;
    SciInitBgRmvParm(&p);
    if (SciRemoveImageBackground(src.data(), out.data(), nullptr) != SCI_OK ||
        !ref_bgremove::Remove(src.data(), want.data(), p) || out != want)
        state.SkipWithError("differs from the reference");
    for (auto _ : state) {
        SciRemoveImageBackground(src.data(), out.data(), nullptr);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    PerPixel(state, kKeyedPixels);
}

void BM_RemoveBackgroundReference(benchmark::State &state) {
    const Bytes src = Picture();
    Bytes out(kInBytes);
    BgRmvParm p;
    SciInitBgRmvParm(&p);
    for (auto _ : state) {
        ref_bgremove::Remove(src.data(), out.data(), p);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    PerPixel(state, kKeyedPixels);
}

// The machine is shared: the fastest of the repetitions is the least disturbed.
void Fastest(benchmark::internal::Benchmark *b) {
    b->ComputeStatistics(
        "min", [](const std::vector<double> &v) { return *std::min_element(v.begin(), v.end()); });
}

#define TARN_ON_EVERY_PATH(fn)                                                                     \
    BENCHMARK_CAPTURE(fn, plain, KernelPath::kPlain)->Apply(Fastest);                              \
    BENCHMARK_CAPTURE(fn, avx2, KernelPath::kAvx2)->Apply(Fastest)

TARN_ON_EVERY_PATH(BM_Enlarge);
BENCHMARK(BM_EnlargeReference)->Apply(Fastest);
TARN_ON_EVERY_PATH(BM_EnlargeStageRgbToYcc420);
TARN_ON_EVERY_PATH(BM_EnlargeStageUpsample2xLuma);
TARN_ON_EVERY_PATH(BM_EnlargeStageYccToRgb);
TARN_ON_EVERY_PATH(BM_EnlargeStageDoubleAndConvert);
BENCHMARK(BM_RemoveBackground)->Apply(Fastest);
BENCHMARK(BM_RemoveBackgroundReference)->Apply(Fastest);

} // namespace

BENCHMARK_MAIN();
