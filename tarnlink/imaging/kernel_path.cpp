#include "imaging/kernel_path.h"

#ifdef TARN_WIDE_PATH
#include <cpuid.h>
#endif

namespace tarnlink {

KernelPath g_kernelPathCap = KernelPath::kAvx512;

namespace {

#ifdef TARN_WIDE_PATH
// The features in the processor, and the system saving the registers they use
// (XCR0: SSE and AVX state; for AVX-512 also the mask and upper registers).
KernelPath FromCpu() {
    unsigned a, b, c, d;
    if (!__get_cpuid(1, &a, &b, &c, &d) || !(c & bit_OSXSAVE) || !(c & bit_AVX))
        return KernelPath::kPlain;
    unsigned xcr0, xcr0High;
    __asm__("xgetbv" : "=a"(xcr0), "=d"(xcr0High) : "c"(0));
    if ((xcr0 & 0x06) != 0x06 || !__get_cpuid_count(7, 0, &a, &b, &c, &d) || !(b & bit_AVX2))
        return KernelPath::kPlain;
    const unsigned avx512 = bit_AVX512F | bit_AVX512DQ | bit_AVX512BW | bit_AVX512VL;
    if ((xcr0 & 0xE6) == 0xE6 && (b & avx512) == avx512 && (c & bit_AVX512VBMI))
        return KernelPath::kAvx512;
    return KernelPath::kAvx2;
}
#endif

KernelPath Detect() {
#ifdef TARN_WIDE_PATH
    return FromCpu();
#else
    return KernelPath::kPlain;
#endif
}

} // namespace

KernelPath WidestKernelPath() {
    static const KernelPath widest = Detect();
    return widest;
}

} // namespace tarnlink
