// What a station costs per board: the wall time of `mv604-cli upgrade --all` on 1, 4 and 16
// simulated KR960s in their bootloader, at a real board's timing (2 ms a request, 1 ms per KiB
// of data, 30 ms to program a page), as the ratio to one board. Boards on the simulated bus are
// independent and every board has its own worker process, so the ratio stays near 1 (target:
// 16 boards in at most 1.15 times the time of one).
//
//   bench_production [LATENCY_MS [REPEATS]]     (defaults: 2 ms, 3 runs; the median counts)

#include "bench_support.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>

#include <cstdio>

namespace
{

// Seconds for one `upgrade --all` run, or a negative value when it did not end in "OK".
double secondsForAll(int devices, int latencyMs, const QString &upgradeFile)
{
    QProcess process;
    process.setStandardErrorFile(QProcess::nullDevice()); // the progress lines
    QElapsedTimer clock;
    clock.start();
    process.start(MV604_SIM,
                  {"--devices", QString::number(devices), "--latency", QString::number(latencyMs),
                   "--transfer-us-per-kib", "1000", "--page-program-ms", "30", "--", MV604_CLI,
                   "upgrade", "--all", upgradeFile});
    process.setStandardOutputFile(QProcess::nullDevice());
    if (!process.waitForFinished(300000) || process.exitCode() != 0)
        return -1;
    return clock.elapsed() / 1000.0;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    qInstallMessageHandler(dropDebug);
    const int latencyMs = argc > 1 ? std::max(0, atoi(argv[1])) : 2;
    const int repeats = argc > 2 ? std::max(1, atoi(argv[2])) : 3;
    QTemporaryDir work;
    const QString upgradeFile = work.filePath("bench.upg");
    if (!work.isValid() || !writeSampleUpgradeFile(upgradeFile)) {
        fprintf(stderr, "cannot write the sample upgrade file\n");
        return 1;
    }

    printf("upgrade --all, %d pages per board, %d ms per request, 1 ms per KiB, 30 ms per page, "
           "median of %d runs\n",
           int(Kr960::ApplicationPages), latencyMs, repeats);
    printf("%8s %10s %14s\n", "devices", "seconds", "ratio to one");
    double one = 0;
    for (int devices : {1, 4, 16}) {
        std::vector<double> runs;
        for (int i = 0; i < repeats; ++i) {
            const double seconds = secondsForAll(devices, latencyMs, upgradeFile);
            if (seconds < 0) {
                fprintf(stderr, "the run with %d devices failed\n", devices);
                return 1;
            }
            runs.push_back(seconds);
        }
        const double seconds = median(runs);
        if (devices == 1)
            one = seconds;
        printf("%8d %10.2f %13.2fx\n", devices, seconds, seconds / one);
        fflush(stdout);
    }
    return 0;
}
