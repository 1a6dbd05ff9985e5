// What checking an upgrade file's signature adds to an upgrade: the page phase of a full upgrade
// against a simulated KR960 with a real board's timing (30 ms to program a page, 2 ms latency,
// 1 ms per KiB transferred), beside loading the trusted key and checking a minisign signature of
// a whole upgrade file, both kinds. The page phase is only part of an upgrade (the restart into
// the bootloader comes on top), so the share printed is an upper bound. One run of each.
//
// Needs the simulated bus and minisign: LD_PRELOAD=libumockdev-preload.so.0 ./bench_signature
// (or `cmake --build <dir> --target run_bench_signature`).

#include "bench_support.h"
#include "files/file_io.h"
#include "sim/simulated_bus.h"
#include "upgrade/trusted_keys.h"
#include "upgrade/upgrade_file.h"
#include "upgrade/upgrade_signature.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>

#include <cstdio>

namespace
{

constexpr int Checks = 50; // a check takes about a millisecond: the mean of many is the figure

bool minisign(const QTemporaryDir &dir, const QStringList &arguments)
{
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("HOME", dir.path()); // no user's keys
    process.setProcessEnvironment(environment);
    process.setWorkingDirectory(dir.path());
    process.start("minisign", arguments);
    return process.waitForFinished(30000) && process.exitStatus() == QProcess::NormalExit &&
           process.exitCode() == 0;
}

// Seconds for one check of `signatureKind` ("" current, "-l" legacy), key loading included.
double secondsPerCheck(const QTemporaryDir &dir, const QByteArray &file, const QString &kind)
{
    QStringList signing{"-S", "-s", "bench.key", "-m", "fw.upg", "-t", "KR960 app 1.4.2"};
    if (!kind.isEmpty())
        signing << kind;
    if (!minisign(dir, signing))
        return -1;
    QElapsedTimer timer;
    timer.start();
    int trusted = 0;
    for (int i = 0; i < Checks; ++i) {
        TrustedKeys keys;
        QString error;
        loadTrustedKeys({dir.filePath("bench.pub")}, false, &keys, &error);
        trusted += checkUpgradeFileSignature(file, dir.filePath("fw.upg"), keys).trusted();
    }
    const double seconds = double(timer.nsecsElapsed()) * 1e-9 / Checks;
    return trusted == Checks ? seconds : -1;
}

} // namespace

int main()
{
    qInstallMessageHandler(dropDebug);
    if (!kr960sim::SimulatedBus::preloadActive()) {
        std::fprintf(stderr, "run under LD_PRELOAD=libumockdev-preload.so.0\n");
        return 1;
    }
    QTemporaryDir dir;
    // An upgrade file's size of firmware-like bytes: the check's cost depends on nothing else.
    const QByteArray file =
        pseudoRandomApplicationArea().leftJustified(int(UpgradeFile::FileSize), char(0x5A), true);
    if (!writeFileAtomically(dir.filePath("fw.upg"), file) ||
        !minisign(dir, {"-G", "-W", "-p", "bench.pub", "-s", "bench.key"})) {
        std::fprintf(stderr, "minisign could not make a key (is it installed?)\n");
        return 1;
    }
    const double current = secondsPerCheck(dir, file, QString());
    const double legacy = secondsPerCheck(dir, file, "-l");
    if (current < 0 || legacy < 0) {
        std::fprintf(stderr, "a signature made by minisign did not verify\n");
        return 1;
    }

    kr960sim::SimulatedBus bus;
    const auto device = bus.addDevice();
    giveRealBoardTiming(*device);
    USBKR960 usb;
    if (usb.connect() != 0) {
        std::fprintf(stderr, "the simulated KR960 does not connect\n");
        return 1;
    }
    const double upgrade = timePagePhase(usb, pseudoRandomApplicationArea()).seconds;

    std::printf("page phase of a full upgrade, real board timing: %8.3f s\n", upgrade);
    std::printf("signature check (key loaded, BLAKE2b-512 + Ed25519): %8.3f ms  adds %.4f %%\n",
                current * 1e3, 100.0 * current / upgrade);
    std::printf("legacy signature check (Ed25519 over the file):      %8.3f ms  adds %.4f %%\n",
                legacy * 1e3, 100.0 * legacy / upgrade);
    std::printf("target: at most 1 %% of an upgrade\n");
    return 0;
}
