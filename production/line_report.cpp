#include "production/line_report.h"

#include "production/line_database.h"
#include "production/run_record.h"

#include <QJsonArray>
#include <QMap>
#include <QSet>

#include <algorithm>
#include <functional>

namespace
{

// The runs, in the order they started, of the boards whose first run ever (under the key)
// started at `since` or later: a board that failed before the window is not a first pass in it.
QList<RunRecord> firstRunsFrom(const QList<RunRecord> &runs, const QString &since,
                               const std::function<QString(const RunRecord &)> &keyOf)
{
    QSet<QString> before;
    QSet<QString> seen;
    QList<RunRecord> kept;
    for (const RunRecord &run : runs) {
        const QString board = keyOf(run) + '\n' + run.serial;
        if (!seen.contains(board) && !run.serial.isEmpty()) {
            seen.insert(board);
            if (run.started.toString(Qt::ISODateWithMs) < since)
                before.insert(board);
        }
        if (!before.contains(board) &&
            (!run.serial.isEmpty() || run.started.toString(Qt::ISODateWithMs) >= since))
            kept << run;
    }
    return kept;
}

} // namespace

QList<YieldFigures> yieldFiguresOf(const QList<RunRecord> &everyRun, const QString &since,
                                   const std::function<QString(const RunRecord &)> &keyOf)
{
    const QList<RunRecord> runs = firstRunsFrom(everyRun, since, keyOf);
    struct Tally {
        YieldFigures figures;
        QSet<QString> boards;
        QSet<QString> passed;
    };
    QMap<QString, Tally> tallies;
    for (const RunRecord &run : runs) {
        Tally &tally = tallies[keyOf(run)];
        tally.figures.key = keyOf(run);
        tally.figures.fileName = run.fileName;
        ++tally.figures.runs;
        if (run.serial.isEmpty())
            continue;
        const bool ok = run.result == RunResult::Ok;
        if (!tally.boards.contains(run.serial)) {
            tally.boards.insert(run.serial);
            tally.figures.firstPass += ok;
        }
        if (ok)
            tally.passed.insert(run.serial);
    }
    QList<YieldFigures> all;
    for (Tally &tally : tallies) {
        tally.figures.boards = int(tally.boards.size());
        tally.figures.passed = int(tally.passed.size());
        tally.figures.failed = tally.figures.boards - tally.figures.passed;
        all << tally.figures;
    }
    std::stable_sort(all.begin(), all.end(), [](const YieldFigures &a, const YieldFigures &b) {
        return a.boards > b.boards;
    });
    return all;
}

namespace
{

QJsonObject figuresJson(const YieldFigures &figures, const char *keyName)
{
    QJsonObject object{{keyName, figures.key},
                       {"runs", figures.runs},
                       {"boards", figures.boards},
                       {"passed", figures.passed},
                       {"failed", figures.failed},
                       {"first_pass", figures.firstPass},
                       {"first_pass_yield", figures.firstPassYield()}};
    if (QLatin1String(keyName) == QLatin1String("file_sha256"))
        object["file"] = figures.fileName;
    if (QLatin1String(keyName) == QLatin1String("signing_key_id") && figures.key.isEmpty())
        object[keyName] = QJsonValue::Null; // files that were not signed
    return object;
}

QJsonObject placeJson(const RunPlace &place)
{
    return {{"host", place.host},
            {"port", place.port},
            {"started", place.started.toString(Qt::ISODateWithMs)},
            {"ended", place.ended.toString(Qt::ISODateWithMs)}};
}

} // namespace

LineReport lineReport(LineDatabase &database, const ReportFilter &filter, int spooled)
{
    LineReport report;
    report.filter = filter;
    report.spooled = spooled;
    // An empty text sorts before every time.
    const QString since = filter.since.isValid() ? filter.since.toString(Qt::ISODate) : "";

    QList<RunRecord> upgrades;
    report.status = database.upgradeRuns(filter.firmwarePrefix, &upgrades);
    if (!report.status.ok())
        return report;
    report.firmware = yieldFiguresOf(upgrades, since,
                                     [](const RunRecord &run) { return QString(run.fileSha256); });
    report.stations =
        yieldFiguresOf(upgrades, since, [](const RunRecord &run) { return run.host; });
    report.signingKeys = yieldFiguresOf(upgrades, since, [](const RunRecord &run) {
        return run.signingKeyId.isNull() ? QString("") : run.signingKeyId;
    });
    QMap<QString, int> failures;
    for (const RunRecord &run :
         firstRunsFrom(upgrades, since, [](const RunRecord &) { return QString(); }))
        if (!run.serial.isEmpty() && run.result != RunResult::Ok)
            ++failures[run.serial];
    for (auto failure = failures.cbegin(); failure != failures.cend(); ++failure)
        if (failure.value() > 1)
            report.failedMoreThanOnce << qMakePair(failure.key(), failure.value());

    report.status = database.overlappingRuns(since, &report.duplicates);
    if (report.status.ok())
        report.status =
            database.unallocatedSerials(since, filter.firmwarePrefix, &report.unallocated);
    if (report.status.ok())
        report.status = database.unprogrammedSerials(since, &report.unprogrammed);
    return report;
}

QJsonObject lineReportJson(const LineReport &report)
{
    QJsonArray firmware;
    for (const YieldFigures &figures : report.firmware)
        firmware << figuresJson(figures, "file_sha256");
    QJsonArray stations;
    for (const YieldFigures &figures : report.stations)
        stations << figuresJson(figures, "host");
    QJsonArray signingKeys;
    for (const YieldFigures &figures : report.signingKeys)
        signingKeys << figuresJson(figures, "signing_key_id");
    QJsonArray failed;
    for (const auto &failure : report.failedMoreThanOnce)
        failed << QJsonObject{{"serial", failure.first}, {"failures", failure.second}};
    QJsonArray duplicates;
    for (const DuplicateSerial &duplicate : report.duplicates)
        duplicates << QJsonObject{
            {"serial", duplicate.serial},
            {"runs", QJsonArray{placeJson(duplicate.first), placeJson(duplicate.second)}}};
    const auto textOrNull = [](const QString &text) {
        return text.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(text);
    };
    return {{"since", textOrNull(report.filter.since.toString(Qt::ISODate))},
            {"firmware_prefix", textOrNull(report.filter.firmwarePrefix)},
            {"firmware", firmware},
            {"stations", stations},
            {"signing_keys", signingKeys},
            {"failed_more_than_once", failed},
            {"duplicates", duplicates},
            {"unallocated", QJsonArray::fromStringList(report.unallocated)},
            {"unprogrammed", QJsonArray::fromStringList(report.unprogrammed)},
            {"spooled", report.spooled}};
}
