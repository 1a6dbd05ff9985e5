#pragma once

#include "production/database_url.h"

#include <QList>
#include <QString>
#include <QVariantList>

#include <functional>

class QSqlQuery;
struct RunRecord;

// The line's database: run records and serial allocations, in SQLite or PostgreSQL through Qt
// SQL. The schema is created on first use and migrated in one transaction; a connection that
// broke is opened again by the next call, so a station survives a server restart. One thread:
// a Qt SQL connection belongs to the thread that opened it.
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

    // The record in one transaction; a record whose id is stored already is left as it is.
    DatabaseStatus store(const RunRecord &record);
    // Every run of one serial, newest first.
    DatabaseStatus history(const QString &serial, QList<RunRecord> *runs);

    // Runs `work` in one write transaction, which SQLite takes at once (BEGIN IMMEDIATE) so
    // that writers queue instead of failing halfway; tried again, whole, when it ran into
    // another writer (SQLite busy, a PostgreSQL unique or serialization conflict).
    using Work = std::function<DatabaseStatus(QSqlQuery &query)>;
    DatabaseStatus inTransaction(const Work &work);
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

    DatabaseUrl databaseUrl;
    QString connectionName;
    bool opened = false;
};
