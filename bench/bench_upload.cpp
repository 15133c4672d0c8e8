// SciUploadImage against the camera simulator: paced at 57,600 baud the upload
// should take the wire time of its bytes and hardly more; unpaced (and with
// the colour step alone) it shows the processing time.
//   bench_upload [CAMSIM] [benchmark options]   (default: ../camsim/camsim beside this program)
#include <benchmark/benchmark.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "simulator.h"
#include "tarnlink.h"

namespace {

// Bytes the camera sends for one picture: ACK, STX, type, four header bytes,
// 20,680 payload bytes, ETX; ten bits each on the wire.
constexpr double kWireBytes = 20687;
constexpr double kWireSeconds = kWireBytes * 10.0 / 57600.0;

std::string g_camsim;

benchsim::Simulator StartSimulator(bool pace) {
    return benchsim::Start(g_camsim, {"--scenes", "2", pace ? "--pace" : "--quiet"});
}

void Upload(benchmark::State &state, bool pace) {
    benchsim::Simulator sim = StartSimulator(pace);
    if (sim.port.empty() || SciOpenCamera(sim.port.c_str()) != SCI_OK ||
        SciSyncCamera() != SCI_OK) {
        state.SkipWithError("no camera simulator");
        benchsim::Stop(sim);
        return;
    }
    std::vector<uint8_t> picture(SCI_PICTURE_BYTES);
    double seconds = 0;
    for (auto _ : state) {
        state.PauseTiming();
        SciResetImageCounter(0);
        state.ResumeTiming();
        const auto start = std::chrono::steady_clock::now();
        if (SciUploadImage(picture.data(), nullptr) != SCI_OK) state.SkipWithError("upload failed");
        seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    if (state.iterations() > 0)
        state.counters["ratio_to_wire"] =
            seconds / static_cast<double>(state.iterations()) / kWireSeconds;
    SciCloseCamera();
    benchsim::Stop(sim);
}

void BM_UploadPaced(benchmark::State &state) {
    Upload(state, true);
}

void BM_UploadUnpaced(benchmark::State &state) {
    Upload(state, false);
    state.counters.erase("ratio_to_wire");
}

// The colour step alone on raw rows: reformatting and the balance passes.
void BM_ColourizeOnly(benchmark::State &state) {
    benchsim::Simulator sim = StartSimulator(false);
    if (sim.port.empty() || SciOpenCamera(sim.port.c_str()) != SCI_OK) {
        state.SkipWithError("no camera simulator");
        benchsim::Stop(sim);
        return;
    }
    int32_t lines = 0, length = 0;
    std::vector<uint8_t> raw(SCI_RAW_FRAME_BYTES), picture(SCI_PICTURE_BYTES);
    SciResetImageCounter(0);
    if (SciBeginUploadImage(&lines, &length) == SCI_OK) {
        for (int i = 0; i < lines; ++i) SciUploadImageLine(raw.data() + i * length, length);
        SciImageInfo info;
        SciUploadImageInfo(&info);
    }
    for (auto _ : state) benchmark::DoNotOptimize(SciColourizeImage(raw.data(), picture.data()));
    SciCloseCamera();
    benchsim::Stop(sim);
}

} // namespace

BENCHMARK(BM_UploadPaced)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_UploadUnpaced)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(1.0);
BENCHMARK(BM_ColourizeOnly)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(1.0);

int main(int argc, char **argv) {
    std::string self = argv[0];
    g_camsim = self.substr(0, self.find_last_of('/') + 1) + "../camsim/camsim";
    if (argc > 1 && argv[1][0] != '-') {
        g_camsim = argv[1];
        argv[1] = argv[0];
        ++argv;
        --argc;
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
