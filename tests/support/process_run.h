#pragma once

// Runs a program, or mv604-cli alone or under mv604-sim, to its end and keeps what a production
// script sees of it.

#include <QProcess>
#include <QString>
#include <QStringList>

struct ProcessRun {
    int exitCode = -1; // -1 when it crashed or hung
    QString out;
    QString err;
};

// `environment` empty: the test's own.
inline ProcessRun runProcess(const QString &program, const QStringList &arguments,
                             const QString &directory = QString(),
                             const QProcessEnvironment &environment = {}, int timeoutMs = 60000)
{
    QProcess process;
    process.setWorkingDirectory(directory);
    if (!environment.isEmpty())
        process.setProcessEnvironment(environment);
    process.start(program, arguments);
    if (!process.waitForFinished(timeoutMs))
        process.kill();
    process.waitForFinished();
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            QString::fromLocal8Bit(process.readAllStandardOutput()),
            QString::fromLocal8Bit(process.readAllStandardError())};
}

// The test's own environment with `changes`: "NAME=value" sets, "NAME" alone removes.
inline QProcessEnvironment environmentWith(const QStringList &changes)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const QString &change : changes)
        change.contains('=') ? environment.insert(change.section('=', 0, 0), change.section('=', 1))
                             : environment.remove(change);
    return environment;
}

// mv604-cli's command line for `run`, its arguments; with a '|' the tool runs under mv604-sim,
// whose own options stand before the '|'.
inline QStringList cliCommandLine(const QString &run)
{
    const auto words = [](const QString &text) { return text.split(' ', Qt::SkipEmptyParts); };
    const QStringList cli = QStringList{MV604_CLI} + words(run.section('|', -1));
    if (!run.contains('|'))
        return cli;
    return QStringList{MV604_SIM} + words(run.section('|', 0, 0)) + QStringList{"--"} + cli;
}
inline ProcessRun runCli(const QString &run, const QString &directory)
{
    const QStringList command = cliCommandLine(run);
    return runProcess(command.first(), command.mid(1), directory);
}
