#include "cli/production_cli.h"

#include "cli/cli_support.h"
#include "cli/device_selection.h"
#include "cli/fleet_progress.h"
#include "cli/upgrade_workers.h"

#include "device/board_identity.h"
#include "device/kr960_memory_map.h"
#include "production/run_log.h"
#include "production/run_record.h"
#include "upgrade/upgrade_file.h"
#include "usb/device_list.h"

#include <QEventLoop>
#include <QFileInfo>
#include <QHash>
#include <QMap>
#include <QSet>
#include <QTimer>

#include <cstdio>
#include <memory>
#include <unistd.h>

namespace
{

constexpr int PollIntervalMs = 200; // how often a station looks at the bus

QString summaryHeader()
{
    return QString("%1 %2 %3 %4")
        .arg("serial", -10)
        .arg("result", -14)
        .arg("pages", 7)
        .arg("seconds", 8);
}

QString summaryRow(const WorkerResult &result)
{
    return QString("%1 %2 %3 %4")
        .arg(QString::fromLatin1(result.serial), -10)
        .arg(result.ok ? QString("OK") : result.result, -14)
        .arg(result.pagesWritten, 7)
        .arg(result.seconds, 8, 'f', 1);
}

// A worker that ended without reporting (it crashed or hung up) wrote no record of its own.
void logCrashedRun(const ProductionUpgrade &upgrade, const WorkerResult &result,
                   const QDateTime &started)
{
    if (result.result != "crashed")
        return;
    const QString error = logUpgradeRun(upgrade.logFile, upgrade.upgradeFile, result.serial,
                                        started, result.result, QString(), 0, 0);
    if (!error.isEmpty())
        fprintf(stderr, "mv604-cli: %s\n", qPrintable(error));
}

// The devices' runs in progress, shown in one FleetProgress.
class WorkerPool
{
public:
    explicit WorkerPool(const ProductionUpgrade &upgrade)
        : upgrade(upgrade), display(isatty(fileno(stderr)))
    {
    }

    std::function<void(const WorkerResult &)> onEnded;

    void start(const QByteArray &serial)
    {
        auto worker = std::make_shared<UpgradeWorker>(serial, upgrade.workerArguments);
        const QDateTime started = QDateTime::currentDateTimeUtc();
        UpgradeWorker *raw = worker.get();
        raw->onProgress = [this, raw, serial](int percent) {
            display.show(serial, percent, raw->elapsedMs());
        };
        raw->onEnded = [this, serial, started] {
            const auto worker = running.take(serial);
            display.remove(serial);
            logCrashedRun(upgrade, worker->result(), started);
            // Deleting the worker inside its own signal would pull QProcess from under it.
            QTimer::singleShot(0, [worker] {});
            if (onEnded)
                onEnded(worker->result());
        };
        running.insert(serial, worker);
        display.show(serial, 0, 0);
        raw->start();
    }

    bool isRunning(const QByteArray &serial) const { return running.contains(serial); }
    bool idle() const { return running.isEmpty(); }
    void printLine(const QString &line) { display.printLine(line); }

private:
    ProductionUpgrade upgrade;
    FleetProgress display;
    QMap<QByteArray, std::shared_ptr<UpgradeWorker>> running;
};

QList<AttachedDevice> attachedKr960s()
{
    return listAttachedDevices(Kr960::VendorId, Kr960::ProductId);
}

// Programmed boards, until they have been off the bus long enough to count as unplugged.
class ProgrammedBoards
{
public:
    explicit ProgrammedBoards(int unpluggedAfterMs) : unpluggedAfterMs(unpluggedAfterMs) {}

    void add(const QByteArray &serial)
    {
        programmed.insert(serial);
        away.remove(serial);
    }
    bool contains(const QByteArray &serial) const { return programmed.contains(serial); }

    // Called with the serials on the bus now.
    void look(const QSet<QByteArray> &present)
    {
        for (const QByteArray &serial : QSet<QByteArray>(programmed)) {
            if (present.contains(serial)) {
                away.remove(serial);
            } else if (!away.contains(serial)) {
                away[serial].start();
            } else if (away[serial].elapsed() >= unpluggedAfterMs) {
                programmed.remove(serial);
                away.remove(serial);
            }
        }
    }

private:
    int unpluggedAfterMs;
    QSet<QByteArray> programmed;
    QHash<QByteArray, QElapsedTimer> away;
};

} // namespace

int upgradeAllAttached(const ProductionUpgrade &upgrade)
{
    QList<QByteArray> serials;
    QList<WorkerResult> results;
    for (const AttachedDevice &device : attachedKr960s()) {
        const QByteArray serial = BoardSerial::production(BoardSerial::reported(device.serial));
        if (!device.opened)
            failOperation(QString("the KR960 on bus %1 device %2 cannot be opened: %3")
                              .arg(device.bus)
                              .arg(device.deviceNumber)
                              .arg(device.openError));
        if (!serials.contains(serial))
            serials.append(serial);
    }
    if (serials.isEmpty())
        failOperation("no KR960 attached");

    catchStopSignals(); // every run is in progress: a stop request waits for them all
    QEventLoop loop;
    WorkerPool pool(upgrade);
    pool.onEnded = [&](const WorkerResult &result) {
        results.append(result);
        if (pool.idle())
            loop.quit();
    };
    for (const QByteArray &serial : serials)
        pool.start(serial);
    if (!pool.idle())
        loop.exec();

    printLine(summaryHeader());
    bool allOk = true;
    for (const QByteArray &serial : serials) {
        for (const WorkerResult &result : results) {
            if (result.serial == serial) {
                printLine(summaryRow(result));
                allOk = allOk && result.ok;
            }
        }
    }
    return allOk ? ExitOk : ExitFailed;
}

int upgradeAsStation(const ProductionUpgrade &upgrade, int unpluggedAfterMs)
{
    catchStopSignals();
    QEventLoop loop;
    WorkerPool pool(upgrade);
    ProgrammedBoards programmed(unpluggedAfterMs);
    int passed = 0;
    int failed = 0;
    pool.onEnded = [&](const WorkerResult &result) {
        programmed.add(result.serial);
        (result.ok ? passed : failed) += 1;
        pool.printLine(summaryRow(result));
    };

    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (stopRequested()) {
            if (pool.idle())
                loop.quit();
            return;
        }
        QSet<QByteArray> present;
        for (const AttachedDevice &device : attachedKr960s())
            if (device.opened)
                present.insert(BoardSerial::production(BoardSerial::reported(device.serial)));
        programmed.look(present);
        for (const QByteArray &serial : present)
            if (!programmed.contains(serial) && !pool.isRunning(serial))
                pool.start(serial);
    });
    pool.printLine("waiting for KR960s (Ctrl-C to stop)");
    poll.start(PollIntervalMs);
    loop.exec();
    pool.printLine(QString("station stopped: %1 passed, %2 failed").arg(passed).arg(failed));
    return failed == 0 ? ExitOk : ExitFailed;
}

void requireWritableLog(const QString &logFile)
{
    if (logFile.isEmpty())
        return;
    QFile file(logFile);
    if (!file.open(QIODevice::Append))
        failOperation(QString("cannot write the log %1: %2").arg(logFile, file.errorString()));
}

QString logUpgradeRun(const QString &logFile, const QString &upgradeFile, const QByteArray &serial,
                      const QDateTime &started, const QString &result, const QString &lastLine,
                      int pagesWritten, int pagesVerified)
{
    if (logFile.isEmpty())
        return QString();
    RunRecord record = newRunRecord("upgrade", started);
    record.ended = QDateTime::currentDateTimeUtc();
    record.serial = QString::fromLatin1(serial);
    const UpgradeFileFacts facts = loadUpgradeFile(upgradeFile).facts;
    record.fileName = facts.fileName;
    record.fileSha256 = facts.sha256;
    record.applicationChecksum = facts.applicationChecksum;
    record.upperChecksum = facts.upperChecksum;
    record.result = result;
    record.logText = lastLine;
    record.pagesWritten = pagesWritten;
    record.pagesVerified = pagesVerified;
    QString error;
    if (!appendRunRecord(logFile, record, &error))
        return QString("cannot write the log %1: %2").arg(logFile, error);
    return QString();
}

QString logRun(const QString &logFile, RunRecord record)
{
    if (logFile.isEmpty())
        return QString();
    record.ended = QDateTime::currentDateTimeUtc();
    QString error;
    if (!appendRunRecord(logFile, record, &error))
        return QString("cannot write the log %1: %2").arg(logFile, error);
    return QString();
}
