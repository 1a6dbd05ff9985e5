#include "cli/cli_support.h"
#include "cli/commands.h"
#include "cli/db_option.h"

#include "device/board_identity.h"
#include "production/line_database.h"
#include "production/line_report.h"
#include "production/run_record.h"
#include "production/run_spool.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>

namespace
{

QString percent(double share)
{
    return QString("%1 %").arg(100.0 * share, 5, 'f', 1);
}

// One row per firmware or station, widest figures first.
void printFigures(const QString &title, const QList<YieldFigures> &all, bool firmware,
                  const QString &heading = "station")
{
    printLine(QString("%1 (%2)").arg(title).arg(all.size()));
    if (all.isEmpty())
        return;
    const QString row("  %1 %2 %3 %4 %5 %6");
    printLine(row.arg(firmware ? "SHA-256       file" : heading, -36)
                  .arg("runs", 6)
                  .arg("boards", 6)
                  .arg("passed", 6)
                  .arg("failed", 6)
                  .arg("first pass", 10));
    for (const YieldFigures &figures : all)
        printLine(
            row.arg(firmware ? figures.key.left(12) + "  " + figures.fileName : figures.key, -36)
                .arg(figures.runs, 6)
                .arg(figures.boards, 6)
                .arg(figures.passed, 6)
                .arg(figures.failed, 6)
                .arg(percent(figures.firstPassYield()), 10));
}

void printSerials(const QString &title, const QStringList &serials)
{
    printLine(
        QString("%1 (%2)%3").arg(title).arg(serials.size()).arg(serials.isEmpty() ? "" : ":"));
    for (int at = 0; at < serials.size(); at += 8)
        printLine("  " + serials.mid(at, 8).join(' '));
}

QString place(const RunPlace &run)
{
    return QString("port %1 on %2, %3 to %4")
        .arg(run.port, run.host, run.started.toString(Qt::ISODate),
             run.ended.toString(Qt::ISODate));
}

void printReport(const LineReport &report)
{
    printFigures("Firmware (upgrade runs)", report.firmware, true);
    printFigures("Stations (upgrade runs)", report.stations, false);
    QList<YieldFigures> keys = report.signingKeys;
    for (YieldFigures &figures : keys)
        if (figures.key.isEmpty())
            figures.key = "unsigned";
    printFigures("Signing keys (upgrade runs)", keys, false, "signing key");
    printLine(
        QString("Boards that failed more than once (%1)").arg(report.failedMoreThanOnce.size()));
    for (const auto &failure : report.failedMoreThanOnce)
        printLine(QString("  %1  %2 failed runs").arg(failure.first).arg(failure.second));
    printLine(QString("Serials on two ports at once (%1)").arg(report.duplicates.size()));
    for (const DuplicateSerial &duplicate : report.duplicates)
        printLine(QString("  %1  %2; %3")
                      .arg(duplicate.serial, place(duplicate.first), place(duplicate.second)));
    printSerials("Programmed but never allocated", report.unallocated);
    printSerials("Allocated but never programmed", report.unprogrammed);
    printLine(QString("Records waiting in this machine's spool: %1").arg(report.spooled));
}

void printJson(const QJsonDocument &document)
{
    printLine(QString::fromUtf8(document.toJson(QJsonDocument::Compact)));
}

} // namespace

int runReportCommand(const QStringList &arguments)
{
    QCommandLineParser parser;
    const QCommandLineOption db = databaseOption();
    const QCommandLineOption since("since", "Only runs started on or after DATE (UTC).",
                                   "YYYY-MM-DD");
    const QCommandLineOption firmware("firmware", "Only runs of firmware whose SHA-256 starts so.",
                                      "SHA256-PREFIX");
    const QCommandLineOption json("json", "Print one JSON document instead of lines.");
    parser.addOptions({db, since, firmware, json});
    parseCommandLine(parser, arguments,
                     "Yields per firmware and station, repeated failures, duplicate and "
                     "unallocated serials, from the line's database.");
    requirePositionals(parser, {});
    const QString url = requireDatabaseUrl(parser, db);
    ReportFilter filter;
    if (parser.isSet(since)) {
        filter.since = QDate::fromString(parser.value(since), Qt::ISODate);
        if (!filter.since.isValid())
            failUsage(QString("--since '%1' is not a date (YYYY-MM-DD)").arg(parser.value(since)));
    }
    filter.firmwarePrefix = parser.value(firmware).toLower();
    if (!QRegularExpression("^[0-9a-f]{0,64}$").match(filter.firmwarePrefix).hasMatch())
        failUsage(QString("--firmware '%1' is not a SHA-256 prefix").arg(parser.value(firmware)));

    LineDatabase database;
    openDatabaseOrFail(database, url);
    const LineReport report = lineReport(database, filter, RunSpool().count());
    if (!report.status.ok())
        failOperation(report.status.text());
    if (parser.isSet(json))
        printJson(QJsonDocument(lineReportJson(report)));
    else
        printReport(report);
    return ExitOk;
}

int runHistoryCommand(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.addPositionalArgument("SERIAL", "The board's nine-digit production serial (a "
                                           "trailing 'b' as in the bootloader is taken too).");
    const QCommandLineOption db = databaseOption();
    const QCommandLineOption json("json", "Print the runs as one JSON array.");
    parser.addOptions({db, json});
    parseCommandLine(parser, arguments, "Every run of one board, newest first.");
    const QString given = requirePositionals(parser, {"SERIAL"}).at(0);
    // As --serial takes it: the bootloader's form, with its 'b', names the same board.
    const QString serial = QString::fromLatin1(BoardSerial::production(given.toLatin1()));
    if (!BoardSerial::isProductionSerial(serial))
        failUsage(QString("SERIAL '%1' is not nine digits").arg(given));
    const QString url = requireDatabaseUrl(parser, db);

    LineDatabase database;
    openDatabaseOrFail(database, url);
    QList<RunRecord> runs;
    const DatabaseStatus status = database.history(serial, &runs);
    if (!status.ok())
        failOperation(status.text());
    if (parser.isSet(json)) {
        QJsonArray array;
        for (const RunRecord &run : runs)
            array << runRecordJson(run);
        printJson(QJsonDocument(array));
        return ExitOk;
    }
    if (runs.isEmpty())
        printLine(QString("no runs of %1").arg(serial));
    for (const RunRecord &run : runs)
        printLine(QString("%1  %2  %3  %4  %5  %6  %7  %8 s")
                      .arg(run.started.toString(Qt::ISODate), run.host,
                           run.port.isEmpty() ? "-" : run.port, run.commandText(), run.resultText(),
                           run.fileName, QString::fromLatin1(run.fileSha256.left(12)))
                      .arg(run.durationSeconds(), 0, 'f', 1));
    return ExitOk;
}
