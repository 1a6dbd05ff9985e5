#include "production/line_dashboard.h"

#include "production/line_database.h"
#include "production/run_record.h"

#include <QJsonArray>
#include <QSet>

#include <algorithm>
#include <tuple>

namespace
{

// Times are ISO 8601 text in UTC with milliseconds, parsed only when shown.
QDateTime timeOf(const QVariant &value)
{
    return value.isNull() ? QDateTime()
                          : QDateTime::fromString(value.toString(), Qt::ISODateWithMs).toUTC();
}

QJsonValue isoOrNull(const QDateTime &time)
{
    return time.isValid() ? QJsonValue(time.toString(Qt::ISODateWithMs)) : QJsonValue();
}

struct Tally {
    DashboardCounts counts;
    QString fileName;
    QString signingKeyId;
    QSet<QString> boards;
    QSet<QString> passed;

    void take(const DashboardRun &run)
    {
        ++counts.runs;
        fileName = run.fileName;
        signingKeyId = run.signingKeyId;
        if (run.serial.isEmpty()) // no board to count
            return;
        boards.insert(run.serial);
        if (run.ok)
            passed.insert(run.serial);
        counts.firstPass += run.firstEver && run.ok;
    }
    DashboardCounts finished()
    {
        counts.boards = int(boards.size());
        counts.passed = int(passed.size());
        counts.failed = counts.boards - counts.passed;
        return counts;
    }
};

DashboardRunPlace placeOf(const DashboardRun &run)
{
    return {run.host, run.port, timeOf(run.started), timeOf(run.ended)};
}

// Runs of one serial on two ports whose times overlap, by serial and then time; found among
// each serial's runs rather than by joining the table with itself.
QList<DashboardDuplicate> duplicatesAmong(const QList<DashboardRun> &runs)
{
    QMap<QString, QList<const DashboardRun *>> bySerial;
    for (const DashboardRun &run : runs)
        if (!run.serial.isEmpty() && !run.port.isEmpty())
            bySerial[run.serial] << &run;
    QList<DashboardDuplicate> duplicates;
    for (const QList<const DashboardRun *> &same : bySerial)
        for (int i = 0; i < same.size(); ++i)
            for (int j = i + 1; j < same.size(); ++j) {
                const DashboardRun &a = *same[i], &b = *same[j]; // a started first
                if (a.port != b.port && b.started < a.ended && a.started < b.ended)
                    duplicates << DashboardDuplicate{a.serial, placeOf(a), placeOf(b)};
            }
    return duplicates;
}

QJsonObject countsJson(QJsonObject object, const DashboardCounts &counts)
{
    object["runs"] = counts.runs;
    object["boards"] = counts.boards;
    object["passed"] = counts.passed;
    object["failed"] = counts.failed;
    object["first_pass"] = counts.firstPass;
    object["first_pass_yield"] = counts.firstPassYield();
    return object;
}

QJsonObject placeJson(const DashboardRunPlace &place)
{
    return {{"host", place.host},
            {"port", place.port},
            {"started", isoOrNull(place.started)},
            {"ended", isoOrNull(place.ended)}};
}

// A label value as the text format wants it: backslash, quote and newline escaped.
QByteArray labelValue(const QString &text)
{
    QByteArray value = text.toUtf8();
    value.replace('\\', "\\\\").replace('"', "\\\"").replace('\n', "\\n");
    return '"' + value + '"';
}

QByteArray number(double value)
{
    return QByteArray::number(value, 'f', 3);
}

} // namespace

DatabaseStatus prepareDashboardIndexes(LineDatabase &database)
{
    return database.prepareDashboardIndexes();
}

DatabaseStatus checkDashboardDatabase(LineDatabase &database)
{
    return database.check();
}

DashboardSummary dashboardSummary(LineDatabase &database, const QDateTime &now)
{
    DashboardSummary summary;
    summary.generated = now.toUTC();
    summary.day = summary.generated.date();
    const QDateTime dayStart(summary.day, QTime(0, 0), Qt::UTC);

    QMap<QString, QDateTime> lastRuns;
    QList<DashboardRun> runs;
    summary.status = lastRunPerStation(database, &lastRuns);
    if (summary.status.ok())
        summary.status = database.dashboardRuns(dayStart, &runs);
    if (!summary.status.ok())
        return summary;
    summary.duplicates = duplicatesAmong(runs);

    QMap<QString, Tally> stations;
    QMap<QString, Tally> firmware;
    QMap<QString, int> failures;
    for (const DashboardRun &run : runs) {
        if (run.command != RunCommand::Upgrade)
            continue;
        stations[run.host].take(run);
        firmware[run.sha256].take(run);
        if (!run.serial.isEmpty() && !run.ok)
            ++failures[run.serial];
    }
    for (auto last = lastRuns.cbegin(); last != lastRuns.cend(); ++last) {
        StationView station{last.key(), last.value(), false, stations[last.key()].finished()};
        station.running = last.value().isValid() &&
                          last.value().secsTo(summary.generated) <= RunningWindowSeconds;
        summary.stations << station;
    }
    for (auto tally = firmware.begin(); tally != firmware.end(); ++tally)
        summary.firmware << FirmwareView{tally.key(), tally->fileName, tally->signingKeyId,
                                         tally->finished()};
    std::stable_sort(summary.firmware.begin(), summary.firmware.end(),
                     [](const FirmwareView &a, const FirmwareView &b) {
                         return a.today.boards > b.today.boards;
                     });
    for (auto failure = failures.cbegin(); failure != failures.cend(); ++failure)
        if (failure.value() > 1)
            summary.failedMoreThanOnce << qMakePair(failure.key(), failure.value());
    return summary;
}

QJsonObject dashboardSummaryJson(const DashboardSummary &summary)
{
    QJsonArray stations;
    for (const StationView &station : summary.stations)
        stations << countsJson({{"host", station.host},
                                {"state", station.running ? "running" : "idle"},
                                {"last_run_ended", isoOrNull(station.lastEnded)}},
                               station.today);
    QJsonArray firmware;
    for (const FirmwareView &view : summary.firmware)
        firmware << countsJson(
            {{"file_sha256", view.sha256},
             {"file", view.fileName},
             {"signing_key_id",
              view.signingKeyId.isEmpty() ? QJsonValue() : QJsonValue(view.signingKeyId)}},
            view.today);
    QJsonArray failed;
    for (const auto &failure : summary.failedMoreThanOnce)
        failed << QJsonObject{{"serial", failure.first}, {"failures", failure.second}};
    QJsonArray duplicates;
    for (const DashboardDuplicate &duplicate : summary.duplicates)
        duplicates << QJsonObject{
            {"serial", duplicate.serial},
            {"runs", QJsonArray{placeJson(duplicate.first), placeJson(duplicate.second)}}};
    return {{"generated", isoOrNull(summary.generated)},
            {"day", summary.day.toString(Qt::ISODate)},
            {"running_window_s", RunningWindowSeconds},
            {"stations", stations},
            {"firmware", firmware},
            {"failed_more_than_once", failed},
            {"duplicates", duplicates}};
}

DatabaseStatus latestRuns(LineDatabase &database, const QDateTime &since, int limit,
                          QList<RunRecord> *runs)
{
    return database.latestRuns(since, limit, runs);
}

bool RunTotals::Key::operator<(const Key &other) const
{
    return std::tie(host, command, firmware, result) <
           std::tie(other.host, other.command, other.firmware, other.result);
}

void RunTotals::add(const RunTotals &other)
{
    for (auto run = other.runs.cbegin(); run != other.runs.cend(); ++run)
        runs[run.key()] += run.value();
    for (auto taken = other.durations.cbegin(); taken != other.durations.cend(); ++taken) {
        Durations &mine = durations[taken.key()];
        mine.count += taken->count;
        mine.sum += taken->sum;
        for (int i = 0; i < BucketCount; ++i)
            mine.atMost[i] += taken->atMost[i];
    }
}

DatabaseStatus runTotals(LineDatabase &database, const QDateTime &from, const QDateTime &to,
                         RunTotals *totals)
{
    *totals = {};
    return database.addRunTotals(from, to, totals);
}

DatabaseStatus lastRunPerStation(LineDatabase &database, QMap<QString, QDateTime> *ended)
{
    return database.lastRunPerStation(ended);
}

QByteArray prometheusMetrics(const RunTotals &totals, const QMap<QString, QDateTime> &lastRuns)
{
    QByteArray text;
    text += "# HELP mv604_runs_total Runs recorded in the line's database, by station, command, "
            "firmware (SHA-256 prefix) and result.\n"
            "# TYPE mv604_runs_total counter\n";
    for (auto run = totals.runs.cbegin(); run != totals.runs.cend(); ++run)
        text += "mv604_runs_total{station=" + labelValue(run.key().host) +
                ",command=" + labelValue(run.key().command) +
                ",firmware=" + labelValue(run.key().firmware) +
                ",result=" + labelValue(run.key().result) + "} " + QByteArray::number(run.value()) +
                '\n';

    text += "# HELP mv604_run_duration_seconds How long runs took, by station.\n"
            "# TYPE mv604_run_duration_seconds histogram\n";
    for (auto taken = totals.durations.cbegin(); taken != totals.durations.cend(); ++taken) {
        const QByteArray station = "station=" + labelValue(taken.key());
        for (int i = 0; i < RunTotals::BucketCount; ++i)
            text += "mv604_run_duration_seconds_bucket{" + station + ",le=\"" +
                    QByteArray::number(RunTotals::Buckets[i]) + "\"} " +
                    QByteArray::number(taken->atMost[i]) + '\n';
        text += "mv604_run_duration_seconds_bucket{" + station + ",le=\"+Inf\"} " +
                QByteArray::number(taken->count) + '\n';
        text += "mv604_run_duration_seconds_sum{" + station + "} " + number(taken->sum) + '\n';
        text += "mv604_run_duration_seconds_count{" + station + "} " +
                QByteArray::number(taken->count) + '\n';
    }

    text += "# HELP mv604_station_last_run_timestamp_seconds When the station's latest record "
            "ended, in seconds since 1970.\n"
            "# TYPE mv604_station_last_run_timestamp_seconds gauge\n";
    for (auto last = lastRuns.cbegin(); last != lastRuns.cend(); ++last)
        if (last.value().isValid())
            text += "mv604_station_last_run_timestamp_seconds{station=" + labelValue(last.key()) +
                    "} " + number(last.value().toMSecsSinceEpoch() / 1000.0) + '\n';
    return text;
}
