#pragma once

// Which build of the imaging loops runs. Each loop is written once and built
// plain (the compiler's loops for the baseline instruction set) and, on x86,
// again for AVX2 and for AVX-512; all give the same bytes, and the processor
// picks the widest it has.
// A loop body, forced into each build that uses it.
#define TARN_KERNEL inline __attribute__((always_inline))

#if (defined(__x86_64__) || defined(__i386__)) && defined(__GNUC__)
#define TARN_WIDE_PATH 1
#define TARN_AVX2_FN __attribute__((target("avx2")))
#define TARN_AVX2_INLINE __attribute__((target("avx2"), always_inline)) inline
// Byte shuffles across a whole register (VBMI) make a 256-entry table lookup
// three instructions.
#define TARN_AVX512_FEATURES "avx512f,avx512bw,avx512vl,avx512dq,avx512vbmi"
#define TARN_AVX512_FN __attribute__((target(TARN_AVX512_FEATURES)))
#define TARN_AVX512_INLINE __attribute__((target(TARN_AVX512_FEATURES), always_inline)) inline
#endif

namespace tarnlink {

enum class KernelPath { kPlain, kAvx2, kAvx512 };

// The widest path this processor and its system can run, asked on first use
// rather than at load.
KernelPath WidestKernelPath();

// Tests lower this to check every build against the reference in turn.
extern KernelPath g_kernelPathCap;

inline KernelPath ChosenKernelPath() {
    const KernelPath widest = WidestKernelPath();
    return widest < g_kernelPathCap ? widest : g_kernelPathCap;
}

} // namespace tarnlink
