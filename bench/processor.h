// The processor's own name, as CPUID gives it, for the reports: the same
// answer natively and under Wine.
#pragma once

#include <cstring>
#include <string>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

namespace bench {

inline std::string ProcessorName() {
#if defined(__x86_64__) || defined(__i386__)
    unsigned words[12] = {};
    if (__get_cpuid_max(0x80000000, nullptr) < 0x80000004) return "unnamed x86 processor";
    for (unsigned leaf = 0; leaf < 3; ++leaf)
        __get_cpuid(0x80000002 + leaf, &words[4 * leaf], &words[4 * leaf + 1], &words[4 * leaf + 2],
                    &words[4 * leaf + 3]);
    char name[49] = {};
    std::memcpy(name, words, 48);
    std::string s(name);
    s.erase(0, s.find_first_not_of(' '));
    s.erase(s.find_last_not_of(' ') + 1);
    return s;
#else
    return "processor of unknown name";
#endif
}

} // namespace bench
