#include "production/line_database.h"

#include "production/line_dashboard.h"
#include "production/run_record.h"

#include <QSqlQuery>

#include <algorithm>

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

} // namespace

DatabaseStatus LineDatabase::prepareDashboardIndexes()
{
    // The latest record per station, found by a skip scan over this index.
    return inTransaction([&](QSqlQuery &query) {
        return exec(query, "CREATE INDEX IF NOT EXISTS run_records_by_host ON run_records (host, "
                           "ended)");
    });
}

DatabaseStatus LineDatabase::check()
{
    return select("SELECT max(version) FROM mv604_schema", {}, [](const QSqlQuery &) {});
}

// One range of the start index, and one step of the serial index per run.
DatabaseStatus LineDatabase::dashboardRuns(const QDateTime &since, QList<DashboardRun> *runs)
{
    runs->clear();
    return select(
        "SELECT r.id, r.host, r.command, r.file_sha256, r.file, r.serial, r.port, r.started, "
        "r.ended, r.result, CASE WHEN r.command = 'upgrade' AND NOT EXISTS (SELECT 1 FROM "
        "run_records p WHERE p.serial = r.serial AND p.command = 'upgrade' AND (p.started < "
        "r.started OR (p.started = r.started AND p.id < r.id))) THEN 1 ELSE 0 END, "
        "r.signing_key_id FROM "
        "run_records r WHERE r.started >= ? ORDER BY r.started, r.id",
        {isoBound(since, "")}, [&](const QSqlQuery &row) {
            runs->append({row.value(0).toString(), row.value(1).toString(),
                          runCommandNamed(row.value(2).toString()), row.value(3).toString(),
                          row.value(4).toString(), row.value(5).toString(), row.value(6).toString(),
                          row.value(7).toString(), row.value(8).toString(),
                          runResultNamed(row.value(9).toString()) == RunResult::Ok,
                          row.value(10).toInt() == 1, row.value(11).toString()});
        });
}

DatabaseStatus LineDatabase::latestRuns(const QDateTime &since, int limit, QList<RunRecord> *runs)
{
    runs->clear();
    return select(
        QString("SELECT %1 FROM run_records WHERE started >= ? ORDER BY started DESC, id DESC "
                "LIMIT %2")
            .arg(runColumns())
            .arg(std::max(0, limit)),
        {isoBound(since, "")}, [&](const QSqlQuery &row) {
            RunRecord record = recordFrom(row);
            runs->append(record);
        });
}

DatabaseStatus LineDatabase::addRunTotals(const QDateTime &from, const QDateTime &to,
                                          RunTotals *totals)
{
    QString buckets;
    for (double bound : RunTotals::Buckets)
        buckets += QString(", sum(CASE WHEN duration_s <= %1 THEN 1 ELSE 0 END)").arg(bound);
    return select(
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

DatabaseStatus LineDatabase::lastRunPerStation(QMap<QString, QDateTime> *ended)
{
    ended->clear();
    // One index step per station, however many runs each has.
    return select(
        "WITH RECURSIVE hosts(host) AS (SELECT (SELECT host FROM run_records ORDER BY host LIMIT "
        "1) UNION ALL SELECT (SELECT r.host FROM run_records r WHERE r.host > hosts.host ORDER "
        "BY r.host LIMIT 1) FROM hosts WHERE hosts.host IS NOT NULL) SELECT h.host, (SELECT "
        "r.ended FROM run_records r WHERE r.host = h.host ORDER BY r.host DESC, r.ended DESC "
        "LIMIT 1) FROM hosts h WHERE h.host IS NOT NULL",
        {}, [&](const QSqlQuery &row) {
            ended->insert(row.value(0).toString(), timeOf(row.value(1)));
        });
}
