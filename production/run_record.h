#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QJsonObject>
#include <QString>

#include <optional>

// What a run did, as the log and the database name it ("upgrade", "ext-write", ...).
enum class RunCommand {
    Unknown, // a name this version does not know: a record of a newer tool, passed on as it came
    Upgrade,
    Verify,
    ExtWrite,
    BootImages,
};

// How a run ended, as the log and the database name it. The texts are on disk and in databases
// written by every version before: they never change, and new ones are only added.
enum class RunResult {
    Unknown, // a name this version does not know, kept in its words (RunRecord::resultText)
    Ok,
    VerifyFailed,
    ReadFailed,
    WriteFailed,
    BadFile,
    NoDevice,
    Stopped,
    NotRun,
    Crashed,     // the worker ended without its record
    CannotOpen,  // the station could not open the board
    Interrupted, // the station ended before the run's record (a journal's left-over start)
    Differs,     // verify: some pages hold other bytes than the file
    Failed,      // ext-write: the file could not be written or read back equal
};

QString runCommandName(RunCommand command);
RunCommand runCommandNamed(const QString &name); // Unknown for a name not known here
QString runResultName(RunResult result);
RunResult runResultNamed(const QString &name);

// One device and one run on the production line: what the JSON Lines log holds per line and the
// database per row. Built in one place from the typed results of the core (production/), never
// from log text.
struct RunRecord {
    QString id;        // unique per run: a record written twice is stored once
    QDateTime started; // UTC
    QDateTime ended;
    QString host;        // the station that ran it
    QString toolVersion; // "2.00"
    RunCommand command = RunCommand::Unknown;
    QString serial;        // nine digits, without the bootloader's 'b'; empty when unknown
    QString port;          // USB port path ("1-1.4"); empty when unknown
    QString fileName;      // without its folder
    QByteArray fileSha256; // lower-case hexadecimal of the bytes used for the run
    std::optional<quint32> applicationChecksum;
    std::optional<quint32> upperChecksum;
    RunResult result = RunResult::Unknown;
    QString logText; // the run's last log line, or its reason in words
    std::optional<int> pagesWritten;
    std::optional<int> pagesVerified;
    // The minisign key id that signed the file and its trusted comment; null when the file was
    // not signed or its signature not checked.
    QString signingKeyId;
    QString trustedComment;

    // Unknown command and result names, kept as read so that a record passed on loses nothing.
    QString unknownCommandName;
    QString unknownResultName;

    double durationSeconds() const;
    // The names written to the log and the database, and read back from them.
    QString commandText() const;
    QString resultText() const;
    void setCommandText(const QString &name);
    void setResultText(const QString &name);
};

// A record with a fresh id, this host, the tool's version and `started` as both times.
RunRecord newRunRecord(RunCommand command, const QDateTime &started);

// The record's fields under their log names ("started", "file_sha256", ...); times in ISO 8601
// UTC with milliseconds, checksums as "0x%08x", absent values as null.
QJsonObject runRecordJson(const RunRecord &record);
// The inverse, for records that come back from a spool or a worker process; false when a field
// is missing or has the wrong type.
bool runRecordFromJson(const QJsonObject &object, RunRecord *record);
// The record as one line of JSON with its newline.
QByteArray runRecordLine(const RunRecord &record);

QByteArray sha256Hex(const QByteArray &bytes);
