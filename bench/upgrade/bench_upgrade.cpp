// What one upgrade costs the host: the page loop against a zero-latency simulated KR960 in its
// bootloader, beside the bare data work (scramble, unscramble, compare) on the same bytes.
//
// Needs the simulated bus: LD_PRELOAD=libumockdev-preload.so.0 ./bench_upgrade
// (or `cmake --build <dir> --target run_bench_upgrade`).

#include "bench_support.h"
#include "sim/simulated_bus.h"

#include <QByteArray>
#include <QtGlobal>

#include <benchmark/benchmark.h>

#include <cstring>
#include <ctime>
#include <memory>

namespace
{

double processCpuSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) * 1e-9;
}

void BM_PageLoop(benchmark::State &state)
{
    if (!kr960sim::SimulatedBus::preloadActive()) {
        state.SkipWithError("run under LD_PRELOAD=libumockdev-preload.so.0");
        return;
    }
    kr960sim::SimulatedBus bus;
    bus.addDevice();
    USBKR960 usb;
    if (usb.connect() != 0) {
        state.SkipWithError("the simulated KR960 does not connect");
        return;
    }
    const QByteArray area = pseudoRandomApplicationArea();
    const double cpuBefore = processCpuSeconds();
    for (auto _ : state) {
        // The worker's own page loop, without its thread and signals.
        if (!programApplicationArea(usb, area).allVerified()) {
            state.SkipWithError("a page did not verify");
            return;
        }
    }
    const double pages = double(state.iterations()) * Kr960::ApplicationPages;
    state.counters["pages_per_s"] = benchmark::Counter(pages, benchmark::Counter::kIsRate);
    // Process CPU takes in the simulator's own thread as well: the host's share is the CPU
    // column of this line divided by 120.
    state.counters["process_cpu_us_per_page"] = (processCpuSeconds() - cpuBefore) * 1e6 / pages;
    state.SetBytesProcessed(int64_t(state.iterations()) * Kr960::ApplicationSize);
}
BENCHMARK(BM_PageLoop)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_EncodeDecodeCompare(benchmark::State &state)
{
    const QByteArray area = pseudoRandomApplicationArea();
    unsigned char page[Kr960::PageSize];
    for (auto _ : state) {
        for (quint32 p = 0; p < Kr960::ApplicationPages; ++p) {
            const char *plain = area.constData() + p * Kr960::PageSize;
            std::memcpy(page, plain, Kr960::PageSize);
            EncodeWords(page, int(Kr960::PageSize));
            DecodeWords(page, int(Kr960::PageSize));
            benchmark::DoNotOptimize(std::memcmp(page, plain, Kr960::PageSize));
        }
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * Kr960::ApplicationSize);
}
BENCHMARK(BM_EncodeDecodeCompare)->Unit(benchmark::kMicrosecond);

} // namespace

int main(int argc, char **argv)
{
    qInstallMessageHandler(dropDebug);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
