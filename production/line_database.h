#pragma once

#include "production/database_url.h"

#include <QList>
#include <QString>
#include <QVariantList>

#include <atomic>
#include <functional>
#include <mutex>

class QSqlQuery;
struct RunRecord;

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
    // Every run of one serial, newest first.
    DatabaseStatus history(const QString &serial, QList<RunRecord> *runs);

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

    // A statement's failure as a status: unreachable, read-only, wrong password, ...
    DatabaseStatus statusOf(const QSqlQuery &query) const;
    DatabaseStatus failure(DatabaseStatus::Kind kind, const QString &detail) const;

    // The run record columns in table order, and a row of them turned back into a record.
    static QString runColumns();
    static RunRecord recordFrom(const QSqlQuery &row);

private:
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
