#include "production/line_database.h"

#include "production/run_record.h"

#include <QAtomicInt>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QSqlDatabase>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QThread>

#include <dlfcn.h>
#include <sys/socket.h>

namespace
{

// Migrations[v] takes the schema from version v to v + 1; a new database runs them all, so a
// fresh schema and a migrated one are the same by construction. Times are ISO 8601 text in UTC
// with milliseconds, as in the JSON Lines log: they order as text and read the same on both
// backends.
const QStringList Migrations[] = {
    {
        "CREATE TABLE mv604_schema (version INTEGER NOT NULL)",
        "CREATE TABLE run_records (id TEXT PRIMARY KEY, started TEXT NOT NULL, ended TEXT NOT "
        "NULL, host TEXT NOT NULL, tool_version TEXT NOT NULL, command TEXT NOT NULL, serial TEXT "
        "NOT NULL, file TEXT NOT NULL, file_sha256 TEXT NOT NULL, application_checksum BIGINT, "
        "upper_checksum BIGINT, result TEXT NOT NULL, log TEXT NOT NULL, pages_written INTEGER, "
        "pages_verified INTEGER, duration_s DOUBLE PRECISION NOT NULL)",
        "CREATE TABLE serial_allocations (year INTEGER NOT NULL, week INTEGER NOT NULL, number "
        "INTEGER NOT NULL, serial TEXT NOT NULL UNIQUE, host TEXT NOT NULL, allocated TEXT NOT "
        "NULL, PRIMARY KEY (year, week, number))",
    },
    {
        "ALTER TABLE run_records ADD COLUMN port TEXT NOT NULL DEFAULT ''",
        "ALTER TABLE serial_allocations ADD COLUMN reservation TEXT NOT NULL DEFAULT ''",
        "ALTER TABLE serial_allocations ADD COLUMN reservation_size INTEGER NOT NULL DEFAULT 1",
        "ALTER TABLE serial_allocations ADD COLUMN image_file TEXT NOT NULL DEFAULT ''",
        "UPDATE serial_allocations SET image_file = 'Mv604_Bootloader_' || serial || '.bin'",
        // One row per week that has allocations: PostgreSQL allocators lock it to queue.
        "CREATE TABLE serial_weeks (year INTEGER NOT NULL, week INTEGER NOT NULL, PRIMARY KEY "
        "(year, week))",
        "CREATE INDEX run_records_by_serial ON run_records (serial, started)",
        "CREATE INDEX run_records_by_start ON run_records (started)",
    },
    {
        // The minisign key that signed the file programmed, and its trusted comment: NULL for a
        // run of an unsigned or unchecked file, and for every run recorded before.
        "ALTER TABLE run_records ADD COLUMN signing_key_id TEXT",
        "ALTER TABLE run_records ADD COLUMN trusted_comment TEXT",
    },
};
static_assert(sizeof Migrations / sizeof Migrations[0] == LineDatabase::SchemaVersion);

QString isoUtc(const QDateTime &time)
{
    return time.toUTC().toString(Qt::ISODateWithMs);
}

QDateTime fromIsoUtc(const QVariant &value)
{
    return QDateTime::fromString(value.toString(), Qt::ISODateWithMs).toUTC();
}

// An empty text, never NULL: the text columns are NOT NULL and a default QString is null.
QVariant text(const QString &value)
{
    return value.isNull() ? QVariant(QString("")) : QVariant(value);
}

// NULL for a null text: the columns where "none" differs from "empty".
QVariant nullableText(const QString &value)
{
    return value.isNull() ? QVariant(QMetaType::fromType<QString>()) : QVariant(value);
}

template <typename T> QVariant optionalValue(const std::optional<T> &value)
{
    return value ? QVariant(qlonglong(*value)) : QVariant(QMetaType::fromType<qlonglong>());
}

bool mentions(const QString &text, std::initializer_list<const char *> phrases)
{
    for (const char *phrase : phrases)
        if (text.contains(QLatin1String(phrase), Qt::CaseInsensitive))
            return true;
    return false;
}

// Why a SQLite statement failed, from its result code.
DatabaseStatus::Kind sqliteKindOf(const QString &code)
{
    if (code == "1555" || code == "2067") // a key taken by a writer that did not queue
        return DatabaseStatus::Busy;
    if (code == "9") // SQLITE_INTERRUPT: its deadline passed
        return DatabaseStatus::Unreachable;
    switch (code.toInt() & 0xff) { // extended result codes keep the primary in the low byte
    case 5:                        // SQLITE_BUSY
    case 6:                        // SQLITE_LOCKED
        return DatabaseStatus::Busy;
    case 8: // SQLITE_READONLY, also a file moved away under the connection
        return DatabaseStatus::ReadOnly;
    case 10: // SQLITE_IOERR
    case 14: // SQLITE_CANTOPEN
        return DatabaseStatus::Unreachable;
    case 18: // SQLITE_TOOBIG
    case 19: // SQLITE_CONSTRAINT
    case 20: // SQLITE_MISMATCH
        return DatabaseStatus::Refused;
    }
    return DatabaseStatus::Failed;
}

// Why PostgreSQL refused a statement or connection, from the SQLSTATE it sent: the same in
// every language the server speaks.
DatabaseStatus::Kind sqlStateKindOf(const QString &code)
{
    // The values of this statement: bad data (22), a constraint (23), text that made no
    // statement (42: a NUL cuts the statement short).
    if (code.startsWith("22") || (code.startsWith("23") && code != "23505") ||
        code.startsWith("42"))
        return DatabaseStatus::Refused;
    if (code == "57014" || code == "55P03") // statement or lock timeout
        return DatabaseStatus::Unreachable;
    if (code == "23505" || code == "40001" || code == "40P01")
        return DatabaseStatus::Busy;
    if (code == "25006")
        return DatabaseStatus::ReadOnly;
    if (code == "28P01" || code == "28000")
        return DatabaseStatus::WrongPassword;
    if (code.startsWith("08") || code.startsWith("57P")) // connection, server shut down
        return DatabaseStatus::Unreachable;
    return DatabaseStatus::Failed;
}

// libpq's own failures carry no SQLSTATE: a connection that could not be made or broke, told
// by its type and, in libpq's English, its words (also the server's words for a refused
// password, which reach us without their code).
DatabaseStatus::Kind wordsKindOf(const QSqlError &error)
{
    const QString text = error.driverText() + ' ' + error.databaseText();
    if (mentions(text, {"password authentication failed", "no password supplied"}))
        return DatabaseStatus::WrongPassword;
    if (error.type() == QSqlError::ConnectionError ||
        mentions(text, {"server closed the connection", "no connection to the server",
                        "terminating connection", "could not connect", "connection refused"}))
        return DatabaseStatus::Unreachable;
    return DatabaseStatus::Failed;
}

// Why a connection or statement failed: from the driver's code (SQLite result code, SQLSTATE)
// and, for libpq's messages that carry none, its words.
DatabaseStatus::Kind kindOf(const QSqlError &error, DatabaseUrl::Backend backend)
{
    const QString code = error.nativeErrorCode();
    if (backend == DatabaseUrl::Sqlite)
        return sqliteKindOf(code);
    return code.isEmpty() ? wordsKindOf(error) : sqlStateKindOf(code);
}

// libpq's connection options: the URL's own, then our deadlines where it gives none.
QString postgresqlOptions(const DatabaseUrl &url)
{
    QStringList options;
    for (const auto &option : url.options)
        options << QString("%1='%2'").arg(option.first, option.second);
    if (url.option("connect_timeout").isEmpty())
        options << "connect_timeout=3";
    if (url.option("application_name").isEmpty())
        options << "application_name=mv604";
    options << "keepalives=1"
            << "keepalives_idle=5"
            << "keepalives_interval=2"
            << "keepalives_count=2"
            << "options='-c statement_timeout=5000 -c lock_timeout=2000'";
    return options.join(';');
}

} // namespace

LineDatabase::LineDatabase()
{
    static QAtomicInt connections;
    connectionName = QString("mv604-line-%1").arg(connections.fetchAndAddRelaxed(1));
}

LineDatabase::~LineDatabase()
{
    close();
}

DatabaseStatus LineDatabase::open(const QString &url, Use use)
{
    DatabaseUrl parsed;
    const DatabaseStatus status = parseDatabaseUrl(url, &parsed);
    return status.ok() ? open(parsed, use) : status;
}

DatabaseStatus LineDatabase::open(const DatabaseUrl &url, Use use)
{
    close();
    databaseUrl = url;
    const bool sqlite = url.backend == DatabaseUrl::Sqlite;
    const bool existed = sqlite && QFileInfo::exists(url.path);
    // Reading never makes a database: a mistyped path is an error, not an empty report.
    if (use == Use::Reading && sqlite && !existed)
        return failure(DatabaseStatus::NoDatabase, url.path);
    // A reader of the current schema needs no write: a read-only copy will do.
    int version = 0;
    DatabaseStatus status =
        use == Use::Writing ? DatabaseStatus()
                            : select("SELECT max(version) FROM mv604_schema", {},
                                     [&](const QSqlQuery &row) { version = row.value(0).toInt(); });
    if (use == Use::Reading && status.ok() && version == SchemaVersion)
        return status;
    if (status.kind != DatabaseStatus::Ok && status.kind != DatabaseStatus::Failed &&
        status.kind != DatabaseStatus::Refused)
        return status; // no schema yet fails the statement: create it
    if (use == Use::Reading && !status.ok())
        return failure(DatabaseStatus::NoDatabase, sqlite ? url.path : url.database);

    status = inTransaction([this](QSqlQuery &query) { return prepareSchema(query); });
    if (!status.ok()) {
        close();
        // A command that failed leaves no empty database file behind.
        if (sqlite && !existed && QFileInfo(url.path).size() == 0)
            QFile::remove(url.path);
    }
    return status;
}

void LineDatabase::close()
{
    {
        const std::lock_guard<std::mutex> guard(handleLock);
        socket = -1;
        sqliteHandle = nullptr;
    }
    opened = false;
    if (QSqlDatabase::contains(connectionName)) {
        QSqlDatabase::database(connectionName, false).close();
        QSqlDatabase::removeDatabase(connectionName);
    }
}

DatabaseStatus LineDatabase::connect()
{
    close();
    const bool sqlite = databaseUrl.backend == DatabaseUrl::Sqlite;
    QSqlDatabase db = QSqlDatabase::addDatabase(sqlite ? "QSQLITE" : "QPSQL", connectionName);
    if (!db.isValid())
        return failure(DatabaseStatus::Failed, db.lastError().text());
    if (sqlite) {
        // SQLite can only say "unable to open": name the folder that is gone.
        const QString folder = QFileInfo(databaseUrl.path).absolutePath();
        if (!QFileInfo(folder).isDir())
            return failure(DatabaseStatus::MissingFolder, folder);
        db.setDatabaseName(databaseUrl.path);
        // Writers on one station queue briefly for the file's lock; inTransaction() tries
        // again within its bound.
        db.setConnectOptions("QSQLITE_BUSY_TIMEOUT=250");
    } else {
        db.setHostName(databaseUrl.host);
        if (databaseUrl.port != 0)
            db.setPort(databaseUrl.port);
        db.setUserName(databaseUrl.user);
        // Without one, libpq finds it: PGPASSWORD, the password file, the service file.
        db.setPassword(databaseUrl.password);
        db.setDatabaseName(databaseUrl.database);
        db.setConnectOptions(postgresqlOptions(databaseUrl));
    }
    if (!db.open()) {
        const QSqlError error = db.lastError();
        const DatabaseStatus::Kind kind = kindOf(error, databaseUrl.backend);
        return failure(kind == DatabaseStatus::Failed && !sqlite ? DatabaseStatus::Unreachable
                                                                 : kind,
                       error.databaseText().isEmpty() ? error.text() : error.databaseText());
    }
    opened = true;
    keepHandle();
    return {};
}

void LineDatabase::keepHandle()
{
    const QVariant handle = QSqlDatabase::database(connectionName, false).driver()->handle();
    const std::lock_guard<std::mutex> guard(handleLock);
    if (databaseUrl.backend == DatabaseUrl::Sqlite) {
        sqliteHandle = *static_cast<void *const *>(handle.data());
        return;
    }
    // libpq is loaded already, by Qt's driver: its PQsocket names the connection's socket.
    using Socket = int (*)(const void *);
    void *libpq = ::dlopen("libpq.so.5", RTLD_NOW | RTLD_NOLOAD);
    const auto pqSocket = libpq ? reinterpret_cast<Socket>(::dlsym(libpq, "PQsocket")) : nullptr;
    socket = pqSocket ? pqSocket(*static_cast<void *const *>(handle.data())) : -1;
    if (libpq)
        ::dlclose(libpq);
}

void LineDatabase::interrupt()
{
    interrupted = true;
    const std::lock_guard<std::mutex> guard(handleLock);
    if (socket >= 0)
        ::shutdown(socket, SHUT_RDWR); // the call waiting on it fails at once
    if (sqliteHandle) {
        using Interrupt = void (*)(void *);
        void *library = ::dlopen("libsqlite3.so.0", RTLD_NOW | RTLD_NOLOAD);
        const auto stop =
            library ? reinterpret_cast<Interrupt>(::dlsym(library, "sqlite3_interrupt")) : nullptr;
        if (stop)
            stop(sqliteHandle);
        if (library)
            ::dlclose(library);
    }
}

DatabaseStatus LineDatabase::prepareSchema(QSqlQuery &query)
{
    const bool sqlite = databaseUrl.backend == DatabaseUrl::Sqlite;
    // PostgreSQL: two stations creating the schema at once take turns (SQLite's BEGIN
    // IMMEDIATE already made them).
    if (!sqlite && !query.exec("SELECT pg_advisory_xact_lock(604604)"))
        return statusOf(query);
    const QString exists =
        sqlite ? "SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name = "
                 "'mv604_schema'"
               : "SELECT count(*) FROM information_schema.tables WHERE table_schema = "
                 "current_schema() AND table_name = 'mv604_schema'";
    if (!query.exec(exists) || !query.next())
        return statusOf(query);
    int version = 0;
    if (query.value(0).toInt() > 0) {
        if (!query.exec("SELECT max(version) FROM mv604_schema") || !query.next())
            return statusOf(query);
        version = query.value(0).toInt();
    }
    if (version > SchemaVersion)
        return failure(
            DatabaseStatus::NewerSchema,
            QString("schema version %1; this one knows %2").arg(version).arg(SchemaVersion));
    const bool fresh = version == 0;
    for (; version < SchemaVersion; ++version)
        for (const QString &statement : Migrations[version])
            if (!query.exec(statement))
                return statusOf(query);
    // Also the write that tells a read-only database before any board is touched.
    if (!query.exec(QString(fresh ? "INSERT INTO mv604_schema (version) VALUES (%1)"
                                  : "UPDATE mv604_schema SET version = %1")
                        .arg(SchemaVersion)))
        return statusOf(query);
    return {};
}

DatabaseStatus LineDatabase::attempt(const Work &work)
{
    QSqlDatabase db = QSqlDatabase::database(connectionName, false);
    QSqlQuery query(db);
    const bool sqlite = databaseUrl.backend == DatabaseUrl::Sqlite;
    if (!query.exec(sqlite ? "BEGIN IMMEDIATE" : "BEGIN"))
        return statusOf(query);
    DatabaseStatus status = work(query);
    if (status.ok()) {
        if (query.exec("COMMIT"))
            return status;
        status = statusOf(query);
    }
    QSqlQuery(db).exec("ROLLBACK");
    return status;
}

DatabaseStatus LineDatabase::inTransaction(const Work &work, int busyBoundMs)
{
    bool reconnected = false;
    QElapsedTimer waited;
    waited.start();
    interrupted = false;
    for (int tries = 1;; ++tries) {
        if (interrupted)
            return failure(DatabaseStatus::Unreachable, "interrupted past its deadline");
        if (!opened) {
            const DatabaseStatus status = connect();
            if (!status.ok())
                return status;
            reconnected = true;
        }
        const DatabaseStatus status = attempt(work);
        if (status.kind == DatabaseStatus::Busy && waited.elapsed() < busyBoundMs) {
            QThread::msleep(QRandomGenerator::global()->bounded(5, 20 + 10 * tries));
            continue;
        }
        // A SQLite file moved away reads as read-only through the old connection; a new one
        // finds whatever is at the path now.
        if (status.kind == DatabaseStatus::Unreachable || status.kind == DatabaseStatus::ReadOnly) {
            close();
            // A connection kept from before a server restart fails once; a new one may not.
            if (!reconnected && status.kind == DatabaseStatus::Unreachable)
                continue;
        }
        return status;
    }
}

DatabaseStatus LineDatabase::select(const QString &sql, const QVariantList &values,
                                    const std::function<void(const QSqlQuery &row)> &take)
{
    interrupted = false;
    for (int tries = 1;; ++tries) {
        if (interrupted)
            return failure(DatabaseStatus::Unreachable, "interrupted past its deadline");
        if (!opened) {
            const DatabaseStatus status = connect();
            if (!status.ok())
                return status;
        }
        QSqlQuery query(QSqlDatabase::database(connectionName, false));
        query.setForwardOnly(true);
        // PostgreSQL plans a statement when it is prepared, which may fail on its own (a lock
        // timeout): its error, not that of executing nothing.
        const bool prepared = query.prepare(sql);
        for (const QVariant &value : values)
            query.addBindValue(value);
        if (prepared && query.exec()) {
            while (query.next())
                take(query);
            return {};
        }
        const DatabaseStatus status = statusOf(query);
        if (status.kind != DatabaseStatus::Unreachable || tries > 1)
            return status;
        close();
    }
}

DatabaseStatus LineDatabase::statusOf(const QSqlQuery &query) const
{
    const QSqlError error = query.lastError();
    return failure(kindOf(error, databaseUrl.backend),
                   error.databaseText().isEmpty() ? error.text() : error.databaseText());
}

DatabaseStatus LineDatabase::failure(DatabaseStatus::Kind kind, const QString &detail) const
{
    return DatabaseStatus::failure(kind, databaseUrl.redacted(), detail);
}

QVariantList LineDatabase::valuesOf(const RunRecord &record)
{
    return {text(record.id),
            text(isoUtc(record.started)),
            text(isoUtc(record.ended)),
            text(record.host),
            text(record.toolVersion),
            text(record.commandText()),
            text(record.serial),
            text(record.port),
            text(record.fileName),
            text(QString::fromLatin1(record.fileSha256)),
            optionalValue(record.applicationChecksum),
            optionalValue(record.upperChecksum),
            text(record.resultText()),
            text(record.logText),
            optionalValue(record.pagesWritten),
            optionalValue(record.pagesVerified),
            QVariant(record.durationSeconds()),
            nullableText(record.signingKeyId),
            nullableText(record.trustedComment)};
}

DatabaseStatus LineDatabase::store(const RunRecord &record)
{
    return store(QList<RunRecord>{record});
}

DatabaseStatus LineDatabase::store(const QList<RunRecord> &records)
{
    // Few enough values to a statement for either backend's limit on bound values.
    constexpr int RowsPerStatement = 200;
    const QString row = "(?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)";
    return inTransaction([&](QSqlQuery &query) {
        for (qsizetype first = 0; first < records.size(); first += RowsPerStatement) {
            const QList<RunRecord> some = records.mid(first, RowsPerStatement);
            QVariantList values;
            for (const RunRecord &record : some)
                values += valuesOf(record);
            const QStringList rows(some.size(), row);
            const DatabaseStatus status =
                exec(query,
                     QString("INSERT INTO run_records (%1) VALUES %2 ON CONFLICT (id) DO NOTHING")
                         .arg(runColumns(), rows.join(", ")),
                     values);
            if (!status.ok())
                return status;
        }
        return DatabaseStatus();
    });
}

DatabaseStatus LineDatabase::exec(QSqlQuery &query, const QString &sql, const QVariantList &values)
{
    // A statement without values runs as it is: PostgreSQL prepares no CREATE INDEX.
    if (values.isEmpty())
        return query.exec(sql) ? DatabaseStatus() : statusOf(query);
    // PostgreSQL plans a statement when it is prepared, which may fail on its own (a lock
    // timeout): its error, not that of executing nothing, which reads as a refused record.
    if (!query.prepare(sql))
        return statusOf(query);
    for (const QVariant &value : values)
        query.addBindValue(value);
    return query.exec() ? DatabaseStatus() : statusOf(query);
}

DatabaseStatus LineDatabase::history(const QString &serial, QList<RunRecord> *runs)
{
    runs->clear();
    return select(QString("SELECT %1 FROM run_records WHERE serial = ? ORDER BY started DESC, id")
                      .arg(runColumns()),
                  {serial}, [&](const QSqlQuery &row) { runs->append(recordFrom(row)); });
}

QString LineDatabase::runColumns()
{
    return "id, started, ended, host, tool_version, command, serial, port, file, file_sha256, "
           "application_checksum, upper_checksum, result, log, pages_written, pages_verified, "
           "duration_s, signing_key_id, trusted_comment";
}

RunRecord LineDatabase::recordFrom(const QSqlQuery &row)
{
    const auto checksum = [&](int column) {
        return row.isNull(column) ? std::optional<quint32>()
                                  : std::optional<quint32>(row.value(column).toLongLong());
    };
    const auto count = [&](int column) {
        return row.isNull(column) ? std::optional<int>()
                                  : std::optional<int>(row.value(column).toInt());
    };
    RunRecord record;
    record.id = row.value(0).toString();
    record.started = fromIsoUtc(row.value(1));
    record.ended = fromIsoUtc(row.value(2));
    record.host = row.value(3).toString();
    record.toolVersion = row.value(4).toString();
    record.setCommandText(row.value(5).toString());
    record.serial = row.value(6).toString();
    record.port = row.value(7).toString();
    record.fileName = row.value(8).toString();
    record.fileSha256 = row.value(9).toString().toLatin1();
    record.applicationChecksum = checksum(10);
    record.upperChecksum = checksum(11);
    record.setResultText(row.value(12).toString());
    record.logText = row.value(13).toString();
    record.pagesWritten = count(14);
    record.pagesVerified = count(15);
    const auto nullable = [&](int column) {
        return row.isNull(column) ? QString() : row.value(column).toString();
    };
    record.signingKeyId = nullable(17);
    record.trustedComment = nullable(18);
    return record;
}
