// What skipping unchanged pages saves: the page phase of a full upgrade, of a re-flash of the same
// firmware and of a firmware with 12 of its 120 pages changed, against a simulated KR960 that
// spends its time as a real one does (programming a page takes tens of milliseconds). One run of
// each, printed as ratios to the full upgrade.
//
// Needs the simulated bus: LD_PRELOAD=libumockdev-preload.so.0 ./bench_reflash
// (or `cmake --build <dir> --target run_bench_reflash`).

#include "bench_support.h"
#include "sim/simulated_bus.h"

#include <cstdio>
#include <vector>

namespace
{

constexpr int ChangedPages = 12;

// Every tenth page gets one byte changed, as a small fix changes code here and there.
QByteArray withChangedPages(QByteArray bytes)
{
    for (int n = 0; n < ChangedPages; ++n)
        bytes[n * 10 * int(Kr960::PageSize) + 100] ^= char(0x5A);
    return bytes;
}

void holdOnDevice(kr960sim::SimulatedKr960 &device, const QByteArray &area)
{
    device.setFlash(Kr960::ApplicationStart, std::vector<uint8_t>(area.begin(), area.end()));
}

void printPhase(const char *name, const PagePhase &phase, double full, const char *target)
{
    std::printf("  %-34s %6.2f s  written %3d  ratio %.3f%s%s\n", name, phase.seconds,
                phase.report.written, phase.seconds / full, *target ? "  target " : "", target);
}

void runScenarios(kr960sim::SimulatedKr960 &device, USBKR960 &usb, int transferUsPerKiB)
{
    giveRealBoardTiming(device, transferUsPerKiB);
    std::printf("page phase, 30 ms per page programmed, 2 ms latency, %d us per KiB:\n",
                transferUsPerKiB);
    const QByteArray current = pseudoRandomApplicationArea();
    const QByteArray fixed = withChangedPages(current);

    holdOnDevice(device, fixed);
    const PagePhase full = timePagePhase(usb, current);
    const PagePhase identical = timePagePhase(usb, current, PageWriteMode::ChangedOnly);
    const PagePhase changed = timePagePhase(usb, fixed, PageWriteMode::ChangedOnly);

    printPhase("full upgrade", full, full.seconds, "");
    printPhase("same firmware, --skip-unchanged", identical, full.seconds, "<= 0.100");
    printPhase("12 of 120 pages changed", changed, full.seconds, "<= 0.250");
}

} // namespace

int main()
{
    qInstallMessageHandler(dropDebug);
    if (!kr960sim::SimulatedBus::preloadActive()) {
        std::fprintf(stderr, "run under LD_PRELOAD=libumockdev-preload.so.0\n");
        return 1;
    }
    kr960sim::SimulatedBus bus;
    const auto device = bus.addDevice();
    USBKR960 usb;
    if (usb.connect() != 0) {
        std::fprintf(stderr, "the simulated KR960 does not connect\n");
        return 1;
    }
    runScenarios(*device, usb, 0);
    // The demo's timing also charges the data stage; a page must still be read to be compared.
    runScenarios(*device, usb, 1000);
    return 0;
}
