#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <functional>

// How one device's run ended, as its worker process reported it.
struct WorkerResult {
    QByteArray serial;
    QString result; // upgradeOutcomeName of the worker's typed outcome, or "crashed"
    bool ok = false;
    int pagesWritten = 0;
    int pagesVerified = 0;
    double seconds = 0;
};

// One upgrade run in a process of its own: mv604-cli starts itself as
// `mv604-cli --serial S upgrade ARGS... --report`. A device that hangs, or a crash in one run,
// cannot stop the runs of the other devices, and each run has its own transport and its lock.
// The worker reports on stderr: "progress: N%" lines, then "result: NAME WRITTEN VERIFIED".
class UpgradeWorker
{
public:
    UpgradeWorker(const QByteArray &serial, const QStringList &upgradeArguments);

    std::function<void(int percent)> onProgress;
    std::function<void()> onEnded;

    void start();
    const WorkerResult &result() const { return outcome; }
    qint64 elapsedMs() const { return clock.elapsed(); }

private:
    void readReport();
    void takeReportLine(const QByteArray &line);
    void end(int exitCode, QProcess::ExitStatus status);

    QStringList arguments;
    QProcess process;
    QElapsedTimer clock;
    QByteArray pendingError;
    WorkerResult outcome;
    bool reported = false;
};

// The lines a worker writes for its parent (the hidden --report option of upgrade).
QString workerProgressLine(int percent);
QString workerResultLine(const QString &result, int pagesWritten, int pagesVerified);

// SIGINT and SIGTERM ask a production run to end after the runs in progress; workers ignore
// SIGINT, which a terminal sends to the whole process group.
void catchStopSignals();
bool stopRequested();
