#include "imaging/kernel_path.h"

#ifdef TARN_WIDE_PATH
#include <cpuid.h>
#endif

namespace tarnlink {

KernelPath g_kernelPathCap = KernelPath::kAvx2;

namespace {

#ifdef TARN_WIDE_PATH
// AVX2 in the processor, and the system saving the wide registers.
bool CpuHasAvx2() {
    unsigned a, b, c, d;
    if (!__get_cpuid(1, &a, &b, &c, &d) || !(c & bit_OSXSAVE) || !(c & bit_AVX)) return false;
    unsigned xcr0Low, xcr0High;
    __asm__("xgetbv" : "=a"(xcr0Low), "=d"(xcr0High) : "c"(0));
    if ((xcr0Low & 6) != 6) return false;
    return __get_cpuid_count(7, 0, &a, &b, &c, &d) && (b & bit_AVX2);
}
#endif

KernelPath Detect() {
#ifdef TARN_WIDE_PATH
    if (CpuHasAvx2()) return KernelPath::kAvx2;
#endif
    return KernelPath::kPlain;
}

} // namespace

KernelPath WidestKernelPath() {
    static const KernelPath widest = Detect();
    return widest;
}

} // namespace tarnlink
