#pragma once

// Runs a program to its end (at most a minute) and keeps what it said: the command line as a
// production script sees it.

#include <QProcess>
#include <QString>
#include <QStringList>

struct Run {
    int exitCode = -1; // -1 also for a crash or a kill
    QString out;
    QString err;
};

inline Run runProcess(const QString &program, const QStringList &arguments,
                      const QString &directory)
{
    QProcess process;
    process.setWorkingDirectory(directory);
    process.start(program, arguments);
    if (!process.waitForFinished(60000))
        process.kill();
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            QString::fromLocal8Bit(process.readAllStandardOutput()),
            QString::fromLocal8Bit(process.readAllStandardError())};
}
