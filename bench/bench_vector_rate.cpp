// How fast this processor runs the double-precision instructions of the
// colour conversion, without the rest of the pass: the instruction mix of one
// step of the AVX2 loop (four pixels) and of the AVX-512 loop (eight pixels),
// each instruction on its own register so that nothing waits for a result;
// and the most vector instructions a second the processor issues at all.
// With the pass's pixel count this gives the least time the conversion's
// exact double arithmetic can take on each build.
#include <chrono>
#include <cstdio>

#include "processor.h"

namespace {

// One step of the conversion's arithmetic, as the compiler emits it: the three
// rows of the matrix (9 multiplies, 6 adds), three truncations, the luma test
// and the two masked sums (a compare, two ands, two adds), the back conversion
// (5 multiplies, 4 adds), three conversions to integers and three from bytes.
#define TARN_STEP(R, D)                                                                            \
    "vmulpd %%" R "12, %%" R "0, %%" R "0\n\t"                                                     \
    "vmulpd %%" R "13, %%" R "1, %%" R "1\n\t"                                                     \
    "vmulpd %%" R "14, %%" R "2, %%" R "2\n\t"                                                     \
    "vaddpd %%" R "12, %%" R "3, %%" R "3\n\t"                                                     \
    "vmulpd %%" R "15, %%" R "4, %%" R "4\n\t"                                                     \
    "vaddpd %%" R "13, %%" R "5, %%" R "5\n\t"                                                     \
    "vmulpd %%" R "12, %%" R "6, %%" R "6\n\t"                                                     \
    "vaddpd %%" R "14, %%" R "7, %%" R "7\n\t"                                                     \
    "vmulpd %%" R "13, %%" R "8, %%" R "8\n\t"                                                     \
    "vaddpd %%" R "15, %%" R "9, %%" R "9\n\t"                                                     \
    "vmulpd %%" R "14, %%" R "10, %%" R "10\n\t"                                                   \
    "vaddpd %%" R "12, %%" R "11, %%" R "11\n\t"                                                   \
    "vmulpd %%" R "15, %%" R "0, %%" R "0\n\t"                                                     \
    "vaddpd %%" R "13, %%" R "1, %%" R "1\n\t"                                                     \
    "vmulpd %%" R "12, %%" R "2, %%" R "2\n\t"                                                     \
    "vaddpd %%" R "14, %%" R "3, %%" R "3\n\t"                                                     \
    "vmulpd %%" R "13, %%" R "4, %%" R "4\n\t"                                                     \
    "vaddpd %%" R "15, %%" R "5, %%" R "5\n\t"                                                     \
    "vmulpd %%" R "14, %%" R "6, %%" R "6\n\t"                                                     \
    "vaddpd %%" R "12, %%" R "7, %%" R "7\n\t"                                                     \
    "vmulpd %%" R "15, %%" R "8, %%" R "8\n\t"                                                     \
    "vaddpd %%" R "13, %%" R "9, %%" R "9\n\t"                                                     \
    "vmulpd %%" R "12, %%" R "10, %%" R "10\n\t"                                                   \
    "vaddpd %%" R "14, %%" R "11, %%" R "11\n\t"                                                   \
    "vmulpd %%" R "13, %%" R "0, %%" R "0\n\t"                                                     \
    "vaddpd %%" R "15, %%" R "1, %%" R "1\n\t" D "vandpd %%" R "13, %%" R "5, %%" R "5\n\t"        \
    "vandpd %%" R "14, %%" R "6, %%" R "6\n\t"

// The truncations, the compare and the conversions, on the AVX2 registers.
#define TARN_AVX2_REST                                                                             \
    "vroundpd $11, %%ymm12, %%ymm4\n\t"                                                            \
    "vroundpd $11, %%ymm13, %%ymm7\n\t"                                                            \
    "vroundpd $11, %%ymm14, %%ymm8\n\t"                                                            \
    "vcmppd $13, %%ymm15, %%ymm9, %%ymm9\n\t"                                                      \
    "vcvttpd2dq %%ymm12, %%xmm10\n\t"                                                              \
    "vcvttpd2dq %%ymm13, %%xmm11\n\t"                                                              \
    "vcvttpd2dq %%ymm14, %%xmm0\n\t"                                                               \
    "vcvtdq2pd %%xmm15, %%ymm1\n\t"                                                                \
    "vcvtdq2pd %%xmm12, %%ymm2\n\t"                                                                \
    "vcvtdq2pd %%xmm13, %%ymm3\n\t"
#define TARN_AVX512_REST                                                                           \
    "vrndscalepd $11, %%zmm12, %%zmm4\n\t"                                                         \
    "vrndscalepd $11, %%zmm13, %%zmm7\n\t"                                                         \
    "vrndscalepd $11, %%zmm14, %%zmm8\n\t"                                                         \
    "vcmppd $13, %%zmm15, %%zmm9, %%k1\n\t"                                                        \
    "vcvttpd2dq %%zmm12, %%ymm10\n\t"                                                              \
    "vcvttpd2dq %%zmm13, %%ymm11\n\t"                                                              \
    "vcvttpd2dq %%zmm14, %%ymm0\n\t"                                                               \
    "vcvtdq2pd %%ymm15, %%zmm1\n\t"                                                                \
    "vcvtdq2pd %%ymm12, %%zmm2\n\t"                                                                \
    "vcvtdq2pd %%ymm13, %%zmm3\n\t"
constexpr int kStepInstructions = 38;

#define TARN_CLOBBERS                                                                              \
    "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7", "xmm8", "xmm9", "xmm10", "xmm11"

__attribute__((target("avx2"))) void Avx2Steps(long n) {
    for (long i = 0; i < n; ++i)
        __asm__ volatile(TARN_STEP("ymm", TARN_AVX2_REST)::: TARN_CLOBBERS);
}

__attribute__((target("avx512f"))) void Avx512Steps(long n) {
    for (long i = 0; i < n; ++i)
        __asm__ volatile(TARN_STEP("zmm", TARN_AVX512_REST)::: TARN_CLOBBERS, "k1");
}

// Twelve independent 16-bit adds: as many vector instructions a second as the
// processor issues at all, whatever the mix.
__attribute__((target("avx2"))) void AddSteps(long n) {
    for (long i = 0; i < n; ++i)
        __asm__ volatile("vpaddw %%ymm15, %%ymm0, %%ymm0\n\t"
                         "vpaddw %%ymm15, %%ymm1, %%ymm1\n\t"
                         "vpaddw %%ymm15, %%ymm2, %%ymm2\n\t"
                         "vpaddw %%ymm15, %%ymm3, %%ymm3\n\t"
                         "vpaddw %%ymm15, %%ymm4, %%ymm4\n\t"
                         "vpaddw %%ymm15, %%ymm5, %%ymm5\n\t"
                         "vpaddw %%ymm15, %%ymm6, %%ymm6\n\t"
                         "vpaddw %%ymm15, %%ymm7, %%ymm7\n\t"
                         "vpaddw %%ymm15, %%ymm8, %%ymm8\n\t"
                         "vpaddw %%ymm15, %%ymm9, %%ymm9\n\t"
                         "vpaddw %%ymm15, %%ymm10, %%ymm10\n\t"
                         "vpaddw %%ymm15, %%ymm11, %%ymm11\n\t" ::
                             : TARN_CLOBBERS);
}
constexpr int kAddStepInstructions = 12;

// Steps per second, the best of nine runs of about 50 ms.
double StepsPerSecond(void (*steps)(long)) {
    constexpr long kSteps = 2000000;
    double best = 0;
    for (int run = 0; run < 9; ++run) {
        const auto t0 = std::chrono::steady_clock::now();
        steps(kSteps);
        const double s =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        if (kSteps / s > best) best = kSteps / s;
    }
    return best;
}

} // namespace

int main() {
    constexpr int kPixels = 160 * 120;
    std::printf("%s\n\n| build | pixels a step | instructions a step | steps per µs | "
                "conversion's arithmetic, least time a picture |\n|---|---|---|---|---|\n",
                bench::ProcessorName().c_str());
    __builtin_cpu_init();
    const struct {
        const char *name;
        int pixels;
        bool present;
        void (*steps)(long);
    } builds[] = {{"AVX2", 4, __builtin_cpu_supports("avx2") != 0, Avx2Steps},
                  {"AVX-512", 8, __builtin_cpu_supports("avx512f") != 0, Avx512Steps}};
    for (const auto &b : builds) {
        if (!b.present) {
            std::printf("| %s | %d | %d | (not in this processor) | |\n", b.name, b.pixels,
                        kStepInstructions);
            continue;
        }
        const double rate = StepsPerSecond(b.steps);
        std::printf("| %s | %d | %d | %.0f | %.1f µs |\n", b.name, b.pixels, kStepInstructions,
                    rate / 1e6, kPixels / b.pixels / rate * 1e6);
    }
    if (__builtin_cpu_supports("avx2"))
        std::printf("\nAny vector instructions (independent 16-bit adds): %.1f G a second\n",
                    StepsPerSecond(AddSteps) * kAddStepInstructions / 1e9);
    return 0;
}
