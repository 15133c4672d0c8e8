// Runs a test suite once on each build of the imaging loops the processor has.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "imaging/kernel_path.h"

namespace tarn_test {

using tarnlink::KernelPath;

// Forces one build of the loops, where the processor has it.
inline bool ForcePath(KernelPath path) {
    if (tarnlink::WidestKernelPath() < path) return false;
    tarnlink::g_kernelPathCap = path;
    return true;
}

// Runs each test of a suite on one build of the loops.
class OnEveryPath : public ::testing::TestWithParam<KernelPath> {
  protected:
    void SetUp() override {
        saved_ = tarnlink::g_kernelPathCap;
        if (!ForcePath(GetParam())) GTEST_SKIP() << "the processor lacks this path";
    }
    void TearDown() override { tarnlink::g_kernelPathCap = saved_; }

  private:
    KernelPath saved_ = KernelPath::kAvx512;
};

inline std::string PathName(const ::testing::TestParamInfo<KernelPath> &info) {
    switch (info.param) {
    case KernelPath::kPlain:
        return "plain";
    case KernelPath::kAvx2:
        return "avx2";
    case KernelPath::kAvx512:
        return "avx512";
    }
    return "unknown";
}

} // namespace tarn_test

// The suite on each of the given paths.
#define TARN_ON_PATHS(suite, ...)                                                                  \
    INSTANTIATE_TEST_SUITE_P(EveryPath, suite, ::testing::Values(__VA_ARGS__), tarn_test::PathName)
