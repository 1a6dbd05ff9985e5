#pragma once

#include <QCommandLineParser>
#include <QString>
#include <QStringList>
#include <QtGlobal>

// Exit codes of mv604-cli: scripts on the production line branch on them.
enum ExitCode { ExitOk = 0, ExitFailed = 1, ExitUsage = 2 };

// Print one line on stderr naming the cause, then end the process with ExitUsage or ExitFailed.
// Callers clean up first: nothing half-written may stay behind.
[[noreturn]] void failUsage(const QString &message);
[[noreturn]] void failOperation(const QString &message);

// Parses one level of the command line. --help and --version work on every level; any other
// error is a usage failure.
void parseCommandLine(QCommandLineParser &parser, const QStringList &arguments,
                      const QString &description);
// Exactly `names.size()` positional arguments, or a usage failure naming what is missing.
QStringList requirePositionals(const QCommandLineParser &parser, const QStringList &names);

// Addresses and data as the window takes them: hexadecimal, with or without 0x.
quint32 parseHexArgument(const QString &name, const QString &text, quint32 maximum = 0xFFFFFFFF);
// Decimal numbers within [minimum, maximum].
int parseDecimalArgument(const QString &name, const QString &text, int minimum, int maximum);

// Debug trace lines go to stderr only with --trace.
void showTrace(bool enabled);

void printLine(const QString &line); // stdout, flushed at once

// Writes bytes to a file completely, or fails and leaves no file behind.
void writeWholeFile(const QString &fileName, const QByteArray &bytes);
