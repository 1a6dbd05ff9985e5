#pragma once

// Runs a program to its end and keeps what a production script sees of it.

#include <QProcess>
#include <QString>
#include <QStringList>

struct ProcessRun {
    int exitCode = -1; // -1 when it crashed or hung
    QString out;
    QString err;
};

inline ProcessRun runProcess(const QString &program, const QStringList &arguments,
                             const QString &directory = QString(), int timeoutMs = 60000)
{
    QProcess process;
    process.setWorkingDirectory(directory);
    process.start(program, arguments);
    if (!process.waitForFinished(timeoutMs))
        process.kill();
    process.waitForFinished();
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            QString::fromLocal8Bit(process.readAllStandardOutput()),
            QString::fromLocal8Bit(process.readAllStandardError())};
}
