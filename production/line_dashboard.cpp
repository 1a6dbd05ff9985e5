#include "production/line_dashboard.h"

#include "production/line_database.h"
#include "production/run_record.h"

#include <QJsonArray>
#include <QSet>
#include <QSqlQuery>

#include <algorithm>
#include <functional>
#include <tuple>

namespace
{

// Times are ISO 8601 text in UTC with milliseconds: they compare as text. An open lower bound
// is the empty text, an open upper one a character after every digit.
QString isoBound(const QDateTime &time, const char *open)
{
    return time.isValid() ? time.toUTC().toString(Qt::ISODateWithMs) : QString(open);
}

QDateTime timeOf(const QVariant &value)
{
    return value.isNull() ? QDateTime()
                          : QDateTime::fromString(value.toString(), Qt::ISODateWithMs).toUTC();
}

QJsonValue isoOrNull(const QDateTime &time)
{
    return time.isValid() ? QJsonValue(time.toString(Qt::ISODateWithMs)) : QJsonValue();
}

// One run of today as the figures need it.
struct TodayRun {
    QString id;
    QString host;
    QString command;
    QString sha256;
    QString fileName;
    QString serial;
    QString port;
    QString started; // ISO 8601 UTC text, which orders as text: parsed only when shown
    QString ended;
    bool ok = false;
    bool firstEver = false; // the board's first upgrade run of all
    QString signingKeyId;   // empty for an unsigned file
};

struct Tally {
    DashboardCounts counts;
    QString fileName;
    QString signingKeyId;
    QSet<QString> boards;
    QSet<QString> passed;

    void take(const TodayRun &run)
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

// Today's runs, oldest first, each upgrade run knowing whether an earlier upgrade run of its
// board exists: one range of the start index, and one step of the serial index per run.
DatabaseStatus todayRuns(LineDatabase &database, const QDateTime &dayStart, QList<TodayRun> *runs)
{
    return database.select(
        "SELECT r.id, r.host, r.command, r.file_sha256, r.file, r.serial, r.port, r.started, "
        "r.ended, r.result, CASE WHEN r.command = 'upgrade' AND NOT EXISTS (SELECT 1 FROM "
        "run_records p WHERE p.serial = r.serial AND p.command = 'upgrade' AND (p.started < "
        "r.started OR (p.started = r.started AND p.id < r.id))) THEN 1 ELSE 0 END, "
        "r.signing_key_id FROM "
        "run_records r WHERE r.started >= ? ORDER BY r.started, r.id",
        {isoBound(dayStart, "")}, [&](const QSqlQuery &row) {
            runs->append({row.value(0).toString(), row.value(1).toString(), row.value(2).toString(),
                          row.value(3).toString(), row.value(4).toString(), row.value(5).toString(),
                          row.value(6).toString(), row.value(7).toString(), row.value(8).toString(),
                          row.value(9).toString() == "ok", row.value(10).toInt() == 1,
                          row.value(11).toString()});
        });
}

DashboardRunPlace placeOf(const TodayRun &run)
{
    return {run.host, run.port, timeOf(run.started), timeOf(run.ended)};
}

// Runs of one serial on two ports whose times overlap, by serial and then time; found among
// each serial's runs rather than by joining the table with itself.
QList<DashboardDuplicate> duplicatesAmong(const QList<TodayRun> &runs)
{
    QMap<QString, QList<const TodayRun *>> bySerial;
    for (const TodayRun &run : runs)
        if (!run.serial.isEmpty() && !run.port.isEmpty())
            bySerial[run.serial] << &run;
    QList<DashboardDuplicate> duplicates;
    for (const QList<const TodayRun *> &same : bySerial)
        for (int i = 0; i < same.size(); ++i)
            for (int j = i + 1; j < same.size(); ++j) {
                const TodayRun &a = *same[i], &b = *same[j]; // a started first
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
    // The latest record per station, found by a skip scan over this index.
    return database.inTransaction([&](QSqlQuery &query) {
        return query.exec("CREATE INDEX IF NOT EXISTS run_records_by_host ON run_records (host, "
                          "ended)")
                   ? DatabaseStatus()
                   : database.statusOf(query);
    });
}

DatabaseStatus checkDashboardDatabase(LineDatabase &database)
{
    return database.select("SELECT max(version) FROM mv604_schema", {}, [](const QSqlQuery &) {});
}

DashboardSummary dashboardSummary(LineDatabase &database, const QDateTime &now)
{
    DashboardSummary summary;
    summary.generated = now.toUTC();
    summary.day = summary.generated.date();
    const QDateTime dayStart(summary.day, QTime(0, 0), Qt::UTC);

    QMap<QString, QDateTime> lastRuns;
    QList<TodayRun> runs;
    summary.status = lastRunPerStation(database, &lastRuns);
    if (summary.status.ok())
        summary.status = todayRuns(database, dayStart, &runs);
    if (!summary.status.ok())
        return summary;
    summary.duplicates = duplicatesAmong(runs);

    QMap<QString, Tally> stations;
    QMap<QString, Tally> firmware;
    QMap<QString, int> failures;
    for (const TodayRun &run : runs) {
        if (run.command != "upgrade")
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
    runs->clear();
    return database.select(
        QString("SELECT %1 FROM run_records WHERE started >= ? ORDER BY started DESC, id DESC "
                "LIMIT %2")
            .arg(LineDatabase::runColumns())
            .arg(std::max(0, limit)),
        {isoBound(since, "")}, [&](const QSqlQuery &row) {
            RunRecord record = LineDatabase::recordFrom(row);
            runs->append(record);
        });
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
    QString buckets;
    for (double bound : RunTotals::Buckets)
        buckets += QString(", sum(CASE WHEN duration_s <= %1 THEN 1 ELSE 0 END)").arg(bound);
    *totals = {};
    return database.select(
        QString("SELECT host, command, substr(file_sha256, 1, 12), result, count(*), "
                "sum(duration_s)%1 FROM run_records WHERE started >= ? AND started < ? GROUP BY "
                "host, command, substr(file_sha256, 1, 12), result")
            .arg(buckets),
        {isoBound(from, ""), isoBound(to, "~")}, [&](const QSqlQuery &row) {
            const RunTotals::Key key{row.value(0).toString(), row.value(1).toString(),
                                     row.value(2).toString(), row.value(3).toString()};
            const qint64 count = row.value(4).toLongLong();
            totals->runs[key] += count;
            RunTotals::Durations &durations = totals->durations[key.host];
            durations.count += count;
            durations.sum += row.value(5).toDouble();
            for (int i = 0; i < RunTotals::BucketCount; ++i)
                durations.atMost[i] += row.value(6 + i).toLongLong();
        });
}

DatabaseStatus lastRunPerStation(LineDatabase &database, QMap<QString, QDateTime> *ended)
{
    ended->clear();
    // One index step per station, however many runs each has.
    return database.select(
        "WITH RECURSIVE hosts(host) AS (SELECT (SELECT host FROM run_records ORDER BY host LIMIT "
        "1) UNION ALL SELECT (SELECT r.host FROM run_records r WHERE r.host > hosts.host ORDER "
        "BY r.host LIMIT 1) FROM hosts WHERE hosts.host IS NOT NULL) SELECT h.host, (SELECT "
        "r.ended FROM run_records r WHERE r.host = h.host ORDER BY r.host DESC, r.ended DESC "
        "LIMIT 1) FROM hosts h WHERE h.host IS NOT NULL",
        {}, [&](const QSqlQuery &row) {
            ended->insert(row.value(0).toString(), timeOf(row.value(1)));
        });
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
