#include "cli/upgrade_workers.h"

#include "upgrade/upgrader.h"

#include <QCoreApplication>

#include <csignal>

namespace
{

volatile std::sig_atomic_t stopSignalled = 0;

void noteStop(int)
{
    stopSignalled = 1;
}

const QByteArray ProgressPrefix = "progress: ";
const QByteArray ResultPrefix = "result: ";

} // namespace

UpgradeWorker::UpgradeWorker(const QByteArray &serial, const QStringList &upgradeArguments)
{
    outcome.serial = serial;
    outcome.result = "crashed";
    arguments << "--serial" << QString::fromLatin1(serial) << "upgrade" << upgradeArguments
              << "--report";
    process.setProgram(QCoreApplication::applicationFilePath());
    process.setArguments(arguments);
    process.setStandardOutputFile(QProcess::nullDevice()); // the log is the worker's own
    process.setChildProcessModifier([] { std::signal(SIGINT, SIG_IGN); });
    QObject::connect(&process, &QProcess::readyReadStandardError, [this] { readReport(); });
    QObject::connect(&process, qOverload<int, QProcess::ExitStatus>(&QProcess::finished),
                     [this](int exitCode, QProcess::ExitStatus status) { end(exitCode, status); });
}

void UpgradeWorker::start()
{
    clock.start();
    process.start();
    if (!process.waitForStarted())
        end(-1, QProcess::CrashExit);
}

void UpgradeWorker::readReport()
{
    pendingError += process.readAllStandardError();
    for (int newline = pendingError.indexOf('\n'); newline >= 0;
         newline = pendingError.indexOf('\n')) {
        takeReportLine(pendingError.left(newline));
        pendingError.remove(0, newline + 1);
    }
}

void UpgradeWorker::takeReportLine(const QByteArray &line)
{
    if (line.startsWith(ProgressPrefix)) {
        const int percent = line.mid(ProgressPrefix.size()).chopped(1).toInt();
        if (onProgress)
            onProgress(percent);
    } else if (line.startsWith(ResultPrefix)) {
        const QList<QByteArray> words = line.mid(ResultPrefix.size()).split(' ');
        outcome.result = QString::fromLatin1(words.value(0));
        outcome.pagesWritten = words.value(1).toInt();
        outcome.pagesVerified = words.value(2).toInt();
        reported = true;
    }
}

// Only a run that reported the typed outcome Ok and exited 0 passed.
void UpgradeWorker::end(int exitCode, QProcess::ExitStatus status)
{
    if (status == QProcess::NormalExit)
        readReport();
    outcome.seconds = clock.elapsed() / 1000.0;
    outcome.ok = reported && status == QProcess::NormalExit && exitCode == 0 &&
                 outcome.result == upgradeOutcomeName(UpgradeOutcome::Ok);
    if (onEnded)
        onEnded();
}

QString workerProgressLine(int percent)
{
    return QString("%1%2%").arg(QString::fromLatin1(ProgressPrefix)).arg(percent);
}

QString workerResultLine(const QString &result, int pagesWritten, int pagesVerified)
{
    return QString("%1%2 %3 %4")
        .arg(QString::fromLatin1(ResultPrefix), result)
        .arg(pagesWritten)
        .arg(pagesVerified);
}

void catchStopSignals()
{
    struct sigaction action = {};
    action.sa_handler = noteStop;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

bool stopRequested()
{
    return stopSignalled != 0;
}
