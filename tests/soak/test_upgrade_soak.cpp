// Hundreds of upgrades and external-flash writes in a row against a simulated KR960 that times
// out, stalls, answers short, lies on read-back, vanishes and restarts, in seeded random order.
// Every run must end, end with one of the known last lines, never claim success for a device that
// does not hold the file, and leave the device fit for a fault-free run that succeeds.
//
// MV604_SOAK_RUNS and MV604_SOAK_SEED make a longer or a different soak; the seed is printed so
// that any failure replays.

#include "../upgrade/upgrade_fixtures.h"
#include "soak_scenario.h"

#include "device/usbkr960.h"
#include "image/word_scrambler.h"
#include "service/external_flash_jobs.h"
#include "sim/simulated_bus.h"
#include "upgrade/upgrader.h"

#include <QElapsedTimer>
#include <QMap>
#include <QMutex>
#include <QRandomGenerator>
#include <QSet>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <cerrno>
#include <functional>
#include <memory>

using kr960sim::Mode;
using kr960sim::SimulatedBus;
using kr960sim::SimulatedKr960;
using soak::Scenario;

namespace
{

constexpr int DefaultRuns = 200;
constexpr quint32 DefaultSeed = 604;
constexpr int RunLimitMs = 20000; // only a hung run comes near it
constexpr int PollMs = 2;
constexpr quint32 ApplicationStart = 0x08004000;
constexpr int MaximumBinLength = 4096;

constexpr int FreshBusAfterDeviceNumber = 8;

const QString Hang = QStringLiteral("(hang)");

int environmentNumber(const char *name, int fallback)
{
    bool ok = false;
    const int value = qEnvironmentVariableIntValue(name, &ok);
    return ok ? value : fallback;
}

QtMessageHandler testHandler = nullptr;

// The product's trace is thousands of lines a run; the soak reports its own figures.
void dropDebugTrace(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type != QtDebugMsg && testHandler)
        testHandler(type, context, message);
}

bool isEnding(const QString &line)
{
    static const QStringList endings{"OK",
                                     "ERROR",
                                     "Verify ERROR",
                                     "USB Timeout\nCheck USB Cable",
                                     "USB timout\nCheck USB cable",
                                     "Bootloader Version Read Error"};
    return endings.contains(line) || line.startsWith("Serial:");
}

QByteArray bytesOf(const std::vector<uint8_t> &bytes)
{
    return QByteArray(reinterpret_cast<const char *>(bytes.data()), int(bytes.size()));
}

QByteArray decoded(QByteArray bytes)
{
    DecodeWords(bytes.data(), int(bytes.size()));
    return bytes;
}

} // namespace

class TestUpgradeSoak : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void upgradesSurviveRandomFaults();
    void externalFlashWritesSurviveRandomFaults();

private:
    void freshBusWhenCrowded();
    void plugFreshDevice();
    void unplugForGood();
    void prepare(const Scenario &scenario);
    bool finishes(QThread &thread, const Scenario &scenario);
    void settle();
    QString upgrade(const Scenario &scenario);
    void checkUpgradeRun(const Scenario &scenario, const QByteArray &application,
                         const QString &context);
    BinWriteResult writeBin(const Scenario &scenario, const QByteArray &bytes, bool *hung);
    void checkBinRun(const Scenario &scenario, const QByteArray &bytes, const QString &context);
    void runSoak(const char *what, const std::function<void(int run)> &oneRun);
    void tally(const Scenario &scenario);
    void report(const char *what, const QMap<QString, int> &outcomes, qint64 elapsedMs) const;

    int runs = DefaultRuns;
    quint32 seed = DefaultSeed;
    QTemporaryDir dir;
    QString upgradeFile;
    std::unique_ptr<SimulatedBus> bus;
    std::shared_ptr<SimulatedKr960> device;
    std::unique_ptr<USBKR960> usb;
    std::unique_ptr<Upgrader> upgrader;
    std::atomic<bool> vanished{false};
    bool replugged = false;

    QMutex linesLock;
    QStringList lines;
    QMap<QString, int> outcomes;
    QMap<QString, int> troubles;
    int recoveries = 0;
};

void TestUpgradeSoak::initTestCase()
{
    QVERIFY2(SimulatedBus::preloadActive(), "run under LD_PRELOAD=libumockdev-preload.so.0");
    QVERIFY(dir.isValid());
    testHandler = qInstallMessageHandler(dropDebugTrace);
    runs = environmentNumber("MV604_SOAK_RUNS", DefaultRuns);
    seed = quint32(environmentNumber("MV604_SOAK_SEED", int(DefaultSeed)));
    qInfo("soak: %d runs, seed %u (MV604_SOAK_RUNS, MV604_SOAK_SEED)", runs, seed);
    upgradeFile = dir.filePath("soak.upg");

    usb = std::make_unique<USBKR960>();
    plugFreshDevice();
    upgrader = std::make_unique<Upgrader>(usb.get());
    upgrader->setTiming(fixtures::fastTiming(5, 300));
    connect(
        upgrader.get(), &Upgrader::sendText, this,
        [this](const QString &line) {
            QMutexLocker locker(&linesLock);
            lines.append(line);
        },
        Qt::DirectConnection);
}

void TestUpgradeSoak::cleanupTestCase()
{
    if (upgrader)
        upgrader->stop();
    upgrader.reset();
    usb.reset();
    unplugForGood();
    qInstallMessageHandler(testHandler);
}

// Every device number used leaves a dead node on the simulated bus that each bus walk opens, so
// after a few dozen restarts and replugs every connection costs tens of milliseconds. A real bus
// forgets unplugged devices; between runs, a fresh simulated one does the same.
void TestUpgradeSoak::freshBusWhenCrowded()
{
    if (bus->deviceNumber(device) >= FreshBusAfterDeviceNumber)
        plugFreshDevice();
}

void TestUpgradeSoak::plugFreshDevice()
{
    unplugForGood();
    bus = std::make_unique<SimulatedBus>();
    device = bus->addDevice();
    // A vanish is the only fault that answers ENODEV; the run watches for it to plug back in.
    device->setRequestListener([this](const kr960sim::RequestRecord &record) {
        if (record.result == -ENODEV)
            vanished = true;
    });
}

void TestUpgradeSoak::unplugForGood()
{
    if (usb)
        usb->disconnect();
    if (device)
        device->setRequestListener(nullptr);
    device.reset();
    bus.reset();
}

void TestUpgradeSoak::prepare(const Scenario &scenario)
{
    device->clearFaults();
    device->clearRequests();
    device->setMode(scenario.mode);
    device->setRestartDelayMs(scenario.restartDelayMs);
    device->setStaysInApplication(scenario.staysInApplication);
    device->setComesBackAfterRestart(scenario.comesBackAfterRestart);
    device->setLatencyMs(scenario.latencyMs);
    for (const kr960sim::FaultRule &rule : scenario.faults)
        device->addFault(rule);
    for (quint32 page : scenario.corruptPages)
        device->corruptReadBack(page);
    vanished = false;
    replugged = false;
}

// Waits for the thread, plugging a vanished device back in when the scenario says so. False
// when the thread is still running at the limit.
bool TestUpgradeSoak::finishes(QThread &thread, const Scenario &scenario)
{
    QElapsedTimer clock;
    clock.start();
    qint64 vanishedAt = -1;
    while (!thread.wait(PollMs)) {
        if (clock.elapsed() > RunLimitMs)
            return false;
        if (scenario.replugAfterMs < 0 || replugged || !vanished)
            continue;
        if (vanishedAt < 0)
            vanishedAt = clock.elapsed();
        if (clock.elapsed() - vanishedAt >= scenario.replugAfterMs) {
            bus->replug(device);
            replugged = true;
        }
    }
    return true;
}

// Takes every fault away and brings the device back onto the bus, in whatever mode it is.
void TestUpgradeSoak::settle()
{
    device->clearFaults();
    device->setLatencyMs(0);
    device->setComesBackAfterRestart(true);
    device->setStaysInApplication(false);
    device->clearRequests();
    // A vanished device is unplugged by the bus's own thread a moment later; plugging it in by
    // hand cancels that, so the next run cannot start against a device about to leave.
    if ((vanished && !replugged) || !device->waitUntilPlugged(200))
        bus->replug(device);
    vanished = false;
    replugged = false;
}

QString TestUpgradeSoak::upgrade(const Scenario &scenario)
{
    {
        QMutexLocker locker(&linesLock);
        lines.clear();
    }
    upgrader->slotSetFileName(upgradeFile);
    upgrader->start(QThread::InheritPriority);
    if (!finishes(*upgrader, scenario)) {
        upgrader->requestInterruption();
        upgrader->wait(RunLimitMs);
        return Hang;
    }
    QMutexLocker locker(&linesLock);
    return lines.isEmpty() ? QString() : lines.last();
}

void TestUpgradeSoak::checkUpgradeRun(const Scenario &scenario, const QByteArray &application,
                                      const QString &context)
{
    prepare(scenario);
    tally(scenario);
    const QString ending = upgrade(scenario);
    QStringList runLines;
    {
        QMutexLocker locker(&linesLock);
        runLines = lines;
    }
    const QString detail = context + " [" + scenario.describe() + "] log: " + runLines.join(" | ");
    QVERIFY2(ending != Hang, qPrintable("hung: " + detail));
    QVERIFY2(isEnding(ending), qPrintable("unknown last line: " + detail));
    ++outcomes[ending];
    QVERIFY2(ending != "Verify ERROR" || runLines.contains("ERROR"),
             qPrintable("Verify ERROR without a page that failed: " + detail));

    if (ending == "OK") {
        QVERIFY2(!runLines.contains("ERROR"), qPrintable("OK after ERROR: " + detail));
        QVERIFY2(bytesOf(device->flash(ApplicationStart, quint32(application.size()))) ==
                     application,
                 qPrintable("OK, but the flash differs: " + detail));
        return;
    }

    settle();
    const Scenario clean;
    ++recoveries;
    const QString retried = upgrade(clean);
    const QString retryDetail = detail + " || retry log: " + lines.join(" | ");
    QVERIFY2(retried == "OK", qPrintable("fault-free retry failed: " + retryDetail));
    QVERIFY2(bytesOf(device->flash(ApplicationStart, quint32(application.size()))) == application,
             qPrintable("retry OK, but the flash differs: " + retryDetail));
}

void TestUpgradeSoak::upgradesSurviveRandomFaults()
{
    QRandomGenerator random(seed);
    runSoak("upgrade", [&](int run) {
        // A new firmware every run: a flash left over from the run before cannot pass for it.
        const QByteArray application =
            fixtures::firmwareBytes(UpgradeFile::ApplicationSize, random.generate());
        QVERIFY(fixtures::writeFile(upgradeFile, fixtures::upgradeFileBytes(application)));
        const Scenario scenario = soak::randomUpgradeScenario(random);
        checkUpgradeRun(scenario, application,
                        QString("upgrade run %1 of seed %2").arg(run).arg(seed));
    });
}

BinWriteResult TestUpgradeSoak::writeBin(const Scenario &scenario, const QByteArray &bytes,
                                         bool *hung)
{
    BinWriteResult result = BinWriteResult::WriteFailed;
    USBKR960 *device = usb.get();
    std::unique_ptr<QThread> job(
        QThread::create([&result, device, bytes] { result = writeAndVerifyBin(*device, bytes); }));
    job->start();
    *hung = !finishes(*job, scenario);
    if (*hung)
        job->wait(RunLimitMs);
    return result;
}

void TestUpgradeSoak::checkBinRun(const Scenario &scenario, const QByteArray &bytes,
                                  const QString &context)
{
    static const char *const names[] = {"WriteOk", "LengthNotAligned", "WriteFailed", "ReadFailed",
                                        "Mismatch"};
    // Erased around the file, so a write that strays past its end shows too.
    device->setExternalFlash(0, std::vector<uint8_t>(MaximumBinLength + 512, 0xFF));
    usb->disconnect(); // each run proves the device again, so identity faults have a chance
    prepare(scenario);
    tally(scenario);
    const QString detail =
        context + QString(" [%1 bytes; ").arg(bytes.size()) + scenario.describe() + "]";
    bool hung = false;
    const BinWriteResult result = writeBin(scenario, bytes, &hung);
    QVERIFY2(!hung, qPrintable("hung: " + detail));
    ++outcomes[names[int(result)]];
    const auto stored = [&] {
        return decoded(bytesOf(device->externalFlash(0, quint32(bytes.size()))));
    };
    const QByteArray beyond(512, char(0xFF));

    if (result == BinWriteResult::WriteOk) {
        QVERIFY2(stored() == bytes, qPrintable("WriteOk, but the flash differs: " + detail));
        QVERIFY2(bytesOf(device->externalFlash(quint32(bytes.size()), 512)) == beyond,
                 qPrintable("WriteOk, but bytes after the file changed: " + detail));
        return;
    }
    QVERIFY2(result != BinWriteResult::LengthNotAligned, qPrintable(detail));

    settle();
    ++recoveries;
    const Scenario clean;
    const BinWriteResult retried = writeBin(clean, bytes, &hung);
    QVERIFY2(!hung, qPrintable("retry hung: " + detail));
    QVERIFY2(retried == BinWriteResult::WriteOk,
             qPrintable(QString("fault-free retry gave %1: ").arg(names[int(retried)]) + detail));
    QVERIFY2(stored() == bytes, qPrintable("retry WriteOk, but the flash differs: " + detail));
}

void TestUpgradeSoak::externalFlashWritesSurviveRandomFaults()
{
    QRandomGenerator random(seed ^ 0x5EED);
    runSoak("external flash", [&](int run) {
        const int length = 4 * (1 + random.bounded(MaximumBinLength / 4));
        const QByteArray bytes = fixtures::firmwareBytes(length, random.generate());
        const Scenario scenario = soak::randomExternalFlashScenario(random, length);
        checkBinRun(scenario, bytes, QString("bin run %1 of seed %2").arg(run).arg(seed));
    });
}

// Each run starts on a settled bus; the first failing run ends the soak.
void TestUpgradeSoak::runSoak(const char *what, const std::function<void(int run)> &oneRun)
{
    outcomes.clear();
    troubles.clear();
    recoveries = 0;
    QElapsedTimer clock;
    clock.start();
    for (int run = 0; run < runs; ++run) {
        oneRun(run);
        if (QTest::currentTestFailed())
            return;
        settle();
        freshBusWhenCrowded();
    }
    report(what, outcomes, clock.elapsed());
}

// What the runs were put through, so the figures show that every kind of trouble came up.
void TestUpgradeSoak::tally(const Scenario &scenario)
{
    static const char *const faultNames[] = {"timeouts", "stalls", "short replies", "vanishes"};
    QSet<QString> kinds;
    for (const kr960sim::FaultRule &rule : scenario.faults)
        kinds << faultNames[int(rule.fault)];
    if (scenario.faults.empty())
        kinds << "no fault";
    if (scenario.vanishes())
        kinds << (scenario.replugAfterMs < 0 ? "vanished for good" : "replugged");
    if (scenario.mode == Mode::Application)
        kinds << "restarts";
    if (!scenario.corruptPages.empty())
        kinds << "lying read-backs";
    if (scenario.latencyMs > 0)
        kinds << "latency";
    for (const QString &kind : kinds)
        ++troubles[kind];
}

void TestUpgradeSoak::report(const char *what, const QMap<QString, int> &counts,
                             qint64 elapsedMs) const
{
    QStringList parts;
    for (auto it = counts.begin(); it != counts.end(); ++it)
        parts << QString("%1: %2").arg(QString(it.key()).replace('\n', ' ')).arg(it.value());
    QStringList kinds;
    for (auto it = troubles.begin(); it != troubles.end(); ++it)
        kinds << QString("%1: %2").arg(it.key()).arg(it.value());
    qInfo(
        "soak %s: %d runs, seed %u, %lld ms; endings %s; %d fault-free retries, all OK; runs with "
        "%s",
        what, runs, seed, elapsedMs, qPrintable(parts.join(", ")), recoveries,
        qPrintable(kinds.join(", ")));
}

QTEST_GUILESS_MAIN(TestUpgradeSoak)
#include "test_upgrade_soak.moc"
