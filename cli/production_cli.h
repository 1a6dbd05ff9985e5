#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>

class Upgrader;

// The production line's upgrade modes.
struct ProductionUpgrade {
    // The upgrade command's own arguments without --all and --watch: each device's worker
    // process gets them as they are.
    QStringList workerArguments;
    QString upgradeFile;
    QString logFile; // empty: no log
};

// --all: every attached KR960 at once, one worker process each; a summary row per device.
// Exit 0 only when every run ended in "OK".
int upgradeAllAttached(const ProductionUpgrade &upgrade);

// --watch: programs each KR960 that shows up, once while it stays attached, until SIGINT or
// SIGTERM; then waits for the runs in progress. A board counts as unplugged (and is programmed
// again when it comes back) after `unpluggedAfterMs` off the bus: shorter absences are the
// board's own re-enumeration between application and bootloader.
int upgradeAsStation(const ProductionUpgrade &upgrade, int unpluggedAfterMs);

struct RunRecord;

// --log: fails the command before anything is programmed when the log cannot be appended to.
void requireWritableLog(const QString &logFile);
// Appends the record of one upgrade run (nothing without a log file); the error text when the log
// cannot be written, else empty.
QString logUpgradeRun(const QString &logFile, const QString &upgradeFile, const QByteArray &serial,
                      const QDateTime &started, const QString &result, const QString &lastLine,
                      int pagesWritten, int pagesVerified);
// Appends a record of another command (ext-write, boot-images); `ended` is now.
QString logRun(const QString &logFile, RunRecord record);
