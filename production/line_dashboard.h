#pragma once

#include "production/database_url.h"
#include "production/run_record.h"

#include <QByteArray>
#include <QDate>
#include <QDateTime>
#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QString>

class LineDatabase;
struct RunRecord;

// What the line's wall display and its monitoring read from the line's database: today's
// figures per station and firmware, the latest runs, and cumulative run counters. Every query
// is served by an index, so that a page polled every few seconds costs the stations nothing.

// Upgrade runs of one station or firmware today: a board passed once any run of it passed, and
// passed first time when its first upgrade run ever was this one's, today, and passed.
struct DashboardCounts {
    int runs = 0;
    int boards = 0;
    int passed = 0;
    int failed = 0; // boards that have not passed today
    int firstPass = 0;

    double firstPassYield() const { return boards ? double(firstPass) / boards : 0.0; }
};

struct StationView {
    QString host;
    QDateTime lastEnded;  // of its latest record of any day; invalid: none
    bool running = false; // a record ended within RunningWindowSeconds
    DashboardCounts today;
};

struct FirmwareView {
    QString sha256;
    QString fileName;     // of its latest run today
    QString signingKeyId; // of its latest run today; empty when unsigned
    DashboardCounts today;
};

// One run as the day's figures need it.
struct DashboardRun {
    QString id;
    QString host;
    RunCommand command = RunCommand::Unknown;
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

struct DashboardRunPlace {
    QString host;
    QString port;
    QDateTime started;
    QDateTime ended;
};
struct DashboardDuplicate {
    QString serial;
    DashboardRunPlace first;
    DashboardRunPlace second;
};

struct DashboardSummary {
    DatabaseStatus status;
    QDateTime generated;
    QDate day;                                     // today, UTC
    QList<StationView> stations;                   // every station ever seen, by name
    QList<FirmwareView> firmware;                  // run today, most boards first
    QList<QPair<QString, int>> failedMoreThanOnce; // serial, failed upgrade runs today
    QList<DashboardDuplicate> duplicates;          // today, on two ports at once
};

// A station whose last record ended this long ago or less counts as running.
constexpr int RunningWindowSeconds = 300;

// Indexes the dashboard's queries need beyond the schema's own; created if missing, which a
// read-only database refuses (the queries still work, more slowly).
DatabaseStatus prepareDashboardIndexes(LineDatabase &database);

// Whether the database answers now: one cheap statement.
DatabaseStatus checkDashboardDatabase(LineDatabase &database);

DashboardSummary dashboardSummary(LineDatabase &database, const QDateTime &now);
QJsonObject dashboardSummaryJson(const DashboardSummary &summary);

// Runs that started at `since` or later (invalid: any time), newest first, at most `limit`.
DatabaseStatus latestRuns(LineDatabase &database, const QDateTime &since, int limit,
                          QList<RunRecord> *runs);

// Cumulative counts of runs, by station, command, firmware (its SHA-256's first 12 digits) and
// result, with a histogram of their durations per station. Adding the totals of two spans of
// start times gives those of both.
struct RunTotals {
    static constexpr double Buckets[] = {5, 10, 20, 30, 45, 60, 90, 120, 180, 300, 600};
    static constexpr int BucketCount = int(sizeof Buckets / sizeof Buckets[0]);

    struct Key {
        QString host;
        QString command;
        QString firmware;
        QString result;
        bool operator<(const Key &other) const;
    };
    struct Durations {
        qint64 count = 0;
        double sum = 0;
        qint64 atMost[BucketCount] = {}; // runs that took Buckets[i] seconds or less
    };
    QMap<Key, qint64> runs;
    QMap<QString, Durations> durations; // by station

    void add(const RunTotals &other);
};

// The totals of runs that started in [from, to); an invalid bound leaves that side open.
DatabaseStatus runTotals(LineDatabase &database, const QDateTime &from, const QDateTime &to,
                         RunTotals *totals);
// When each station's latest record ended.
DatabaseStatus lastRunPerStation(LineDatabase &database, QMap<QString, QDateTime> *ended);

// The Prometheus text exposition of the totals and the stations' latest runs.
QByteArray prometheusMetrics(const RunTotals &totals, const QMap<QString, QDateTime> &lastRuns);
