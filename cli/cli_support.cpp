#include "cli/cli_support.h"

#include "files/file_io.h"
#include "service/hex_input.h"

#include <QCoreApplication>
#include <QRegularExpression>
#include <cstdio>
#include <cstdlib>

namespace
{

bool traceEnabled = false;

// Qt SQL's own warnings (a connection still in use, a driver's complaint) are for the trace:
// the command says what failed in its own words.
bool fromQtSql(const QMessageLogContext &context, const QString &message)
{
    return QByteArray(context.category ? context.category : "").startsWith("qt.sql") ||
           message.startsWith("QSql") || message.startsWith("QPSQL") ||
           message.startsWith("QSQLITE");
}

void filterTrace(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if ((type == QtDebugMsg || fromQtSql(context, message)) && !traceEnabled)
        return;
    fprintf(stderr, "%s\n", qPrintable(message));
}

[[noreturn]] void fail(ExitCode code, const QString &message)
{
    fflush(stdout);
    fprintf(stderr, "mv604-cli: %s\n", qPrintable(message));
    std::exit(code);
}

// Options of the whole tool put after the command word; arguments[0] is "mv604-cli COMMAND".
void hintToolOptions(const QCommandLineParser &parser, const QStringList &arguments)
{
    const QString command = arguments.value(0).section(' ', 1);
    for (const QString &option : parser.unknownOptionNames()) {
        if (!command.isEmpty() && (option == "serial" || option == "port"))
            failUsage(QString("--%1 goes before the command: mv604-cli --%1 %2 %3")
                          .arg(option, option == "serial" ? "N" : "PORT", command));
        if (!command.isEmpty() && (option == "trusted-key" || option == "require-signature"))
            failUsage(QString("--%1 goes before the command: mv604-cli --%1%2 %3")
                          .arg(option, option == "trusted-key" ? " FILE" : "", command));
    }
}

// Digits alone that do not fit are a number out of range, not text that is no number.
bool onlyDigits(const QString &text, const QString &pattern)
{
    return QRegularExpression(pattern).match(text.trimmed()).hasMatch();
}

} // namespace

void failUsage(const QString &message)
{
    fail(ExitUsage, message);
}

void failOperation(const QString &message)
{
    fail(ExitFailed, message);
}

void parseCommandLine(QCommandLineParser &parser, const QStringList &arguments,
                      const QString &description)
{
    parser.setApplicationDescription(description);
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    const QCommandLineOption trace("trace", "Show the debug trace lines on stderr.");
    parser.addOption(trace);
    if (!parser.parse(arguments)) {
        hintToolOptions(parser, arguments);
        failUsage(parser.errorText());
    }
    if (parser.isSet(help))
        parser.showHelp(ExitOk);
    if (parser.isSet(version))
        parser.showVersion();
    showTrace(parser.isSet(trace));
}

QStringList requirePositionals(const QCommandLineParser &parser, const QStringList &names)
{
    const QStringList given = parser.positionalArguments();
    if (given.size() < names.size())
        failUsage(QString("missing %1 (see --help)").arg(names.at(given.size())));
    if (given.size() > names.size())
        failUsage(QString("unexpected argument '%1'").arg(given.at(names.size())));
    return given;
}

quint32 parseHexArgument(const QString &name, const QString &text, quint32 maximum)
{
    quint32 value = 0;
    const bool parsed = parseHexInput(text, value);
    if (!parsed && !onlyDigits(text, "^(0[xX])?[0-9a-fA-F]+$"))
        failUsage(QString("%1 '%2' is not a hexadecimal number").arg(name, text));
    if (!parsed || value > maximum)
        failUsage(
            QString("%1 '%2' is out of range (0 to 0x%3)").arg(name, text).arg(maximum, 0, 16));
    return value;
}

int parseDecimalArgument(const QString &name, const QString &text, int minimum, int maximum)
{
    bool ok = false;
    const int value = text.toInt(&ok, 10);
    if (!ok && !onlyDigits(text, "^[+-]?[0-9]+$"))
        failUsage(QString("%1 '%2' is not a decimal number").arg(name, text));
    if (!ok || value < minimum || value > maximum)
        failUsage(QString("%1 %2 is out of range (%3 to %4)")
                      .arg(name, text.trimmed())
                      .arg(minimum)
                      .arg(maximum));
    return value;
}

void showTrace(bool enabled)
{
    traceEnabled = enabled;
    qInstallMessageHandler(filterTrace);
}

void printLine(const QString &line)
{
    fprintf(stdout, "%s\n", qPrintable(line));
    fflush(stdout);
}

void writeWholeFile(const QString &fileName, const QByteArray &bytes)
{
    QString error;
    if (!writeFileAtomically(fileName, bytes, &error))
        failOperation(QString("cannot write %1: %2").arg(fileName, error));
}
