#pragma once

#include "production/database_url.h"

#include <QDateTime>
#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QVariantList>

#include <atomic>
#include <functional>
#include <mutex>
#include <set>

class QSqlQuery;
struct DashboardRun;
struct DuplicateSerial;
struct RunRecord;
struct RunTotals;

// The line's database: run records and serial allocations, in SQLite or PostgreSQL through Qt
// SQL. The schema is created on first use and migrated in one transaction; a connection that
// broke is opened again by the next call, so a station survives a server restart. One thread:
// a Qt SQL connection belongs to the thread that opened it (interrupt() alone comes from any).
//
// Every call has a deadline. PostgreSQL: connect_timeout (3 s unless the URL gives one),
// statement_timeout 5 s, lock_timeout 2 s and TCP keepalives (idle 5 s, then 2 probes 2 s
// apart); a frozen server keeps none of its own timeouts, so the owner interrupts a call that
// outlives its deadline. SQLite: a busy timeout of 250 ms per try, tries for 5 s in all (20 s for a
// serial reservation).
class LineDatabase
{
public:
    // 1: run records and allocations. 2: the USB port of each run; reservations with their
    // station, size and image file. 3: the signing key id and trusted comment of each run.
    static constexpr int SchemaVersion = 3;

    LineDatabase();
    ~LineDatabase();
    LineDatabase(const LineDatabase &) = delete;
    LineDatabase &operator=(const LineDatabase &) = delete;

    // Connects, creates or migrates the schema and, for writing, checks that the database takes
    // writes. Reading (report, history) also works on a read-only copy of the current schema.
    enum class Use { Writing, Reading };
    DatabaseStatus open(const QString &url, Use use = Use::Writing);
    DatabaseStatus open(const DatabaseUrl &url, Use use = Use::Writing);
    void close();
    const DatabaseUrl &url() const { return databaseUrl; }

    // From any thread: ends the call in progress now (its socket is shut, a SQLite statement
    // interrupted); it fails as unreachable and the connection is made again by the next call.
    void interrupt();
    // How long a call may take before its owner interrupts it.
    static constexpr int CallDeadlineMs = 8000;

    // The record in one transaction; a record whose id is stored already is left as it is.
    DatabaseStatus store(const RunRecord &record);
    // Many records in one transaction, a few hundred to a statement (a line's history loaded
    // at once); as with store(), an id stored already is left as it is.
    DatabaseStatus store(const QList<RunRecord> &records);
    // Every run of one serial, newest first.
    DatabaseStatus history(const QString &serial, QList<RunRecord> *runs);

    // Serial numbers (line_database_serials.cpp). One reservation of the week's numbers in one
    // write transaction: the week's other allocators wait, `choose` picks from the numbers not
    // yet taken (or fails, which takes none), and each chosen number is recorded with its serial,
    // image file, this station and the time. Tried again, whole, when another writer got in the
    // way, for up to ReservationBusyBoundMs: an operator's reservation has nowhere else to go.
    using ChooseNumbers =
        std::function<DatabaseStatus(const std::set<int> &taken, QList<int> *chosen)>;
    DatabaseStatus reserveNumbers(int year, int week, const ChooseNumbers &choose);

    // The report's rows (line_database_report.cpp). `since` is an ISO 8601 date or time (UTC),
    // empty for all; `firmwarePrefix` a prefix of file_sha256, empty for all.
    // Upgrade runs of the firmware, in the order they started.
    DatabaseStatus upgradeRuns(const QString &firmwarePrefix, QList<RunRecord> *runs);
    // Pairs of runs of one serial on two ports (of one station or two) whose times overlap.
    DatabaseStatus overlappingRuns(const QString &since, QList<DuplicateSerial> *duplicates);
    // Serials run (other than for boot images) that were never allocated although their week
    // has allocations, in order.
    DatabaseStatus unallocatedSerials(const QString &since, const QString &firmwarePrefix,
                                      QStringList *serials);
    // Serials allocated at `since` or later that no run other than for boot images has used.
    DatabaseStatus unprogrammedSerials(const QString &since, QStringList *serials);

    // The dashboard's rows (line_database_dashboard.cpp), each served by an index. An invalid
    // time leaves that side of a span open.
    // The index of each station's latest record; created if missing.
    DatabaseStatus prepareDashboardIndexes();
    // Whether the database answers now: one cheap statement.
    DatabaseStatus check();
    // Runs that started at `since` or later, oldest first, each upgrade run knowing whether it
    // is its board's first upgrade run of all.
    DatabaseStatus dashboardRuns(const QDateTime &since, QList<DashboardRun> *runs);
    // Runs that started at `since` or later, newest first, at most `limit`.
    DatabaseStatus latestRuns(const QDateTime &since, int limit, QList<RunRecord> *runs);
    // Counts and duration histograms of the runs that started in [from, to), added to `totals`.
    DatabaseStatus addRunTotals(const QDateTime &from, const QDateTime &to, RunTotals *totals);
    // When each station's latest record ended.
    DatabaseStatus lastRunPerStation(QMap<QString, QDateTime> *ended);

    // A failure of this database, for callers that refuse a request themselves.
    DatabaseStatus failure(DatabaseStatus::Kind kind, const QString &detail) const;

private:
    // Runs `work` in one write transaction, which SQLite takes at once (BEGIN IMMEDIATE) so
    // that writers queue instead of failing halfway; tried again, whole, when it ran into
    // another writer (SQLite busy, a PostgreSQL unique or serialization conflict).
    // `busyBoundMs` bounds the tries in all: short for records, which wait in the spool
    // instead; longer for an operator's serial reservation, which has nowhere else to go.
    using Work = std::function<DatabaseStatus(QSqlQuery &query)>;
    static constexpr int BusyBoundMs = 5000;
    static constexpr int ReservationBusyBoundMs = 20000;
    DatabaseStatus inTransaction(const Work &work, int busyBoundMs = BusyBoundMs);
    // Runs one read statement and hands over each row.
    DatabaseStatus select(const QString &sql, const QVariantList &values,
                          const std::function<void(const QSqlQuery &row)> &take);
    // Runs one statement, with its values bound, in the transaction `query` belongs to.
    DatabaseStatus exec(QSqlQuery &query, const QString &sql, const QVariantList &values = {});

    // A statement's failure as a status: unreachable, read-only, wrong password, ...
    DatabaseStatus statusOf(const QSqlQuery &query) const;

    // The run record columns in table order, and a row of them turned back into a record.
    static QString runColumns();
    static RunRecord recordFrom(const QSqlQuery &row);
    static QVariantList valuesOf(const RunRecord &record);

    DatabaseStatus connect();
    DatabaseStatus prepareSchema(QSqlQuery &query);
    DatabaseStatus attempt(const Work &work);

    void keepHandle();

    DatabaseUrl databaseUrl;
    QString connectionName;
    bool opened = false;
    std::atomic<bool> interrupted{false};
    std::mutex handleLock; // guards the two below against close() while interrupting
    int socket = -1;
    void *sqliteHandle = nullptr;
};
