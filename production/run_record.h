#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QJsonObject>
#include <QString>

#include <optional>

// One device and one run on the production line: what the JSON Lines log holds per line and the
// database per row. Built in one place from the typed results of the core (production/), never
// from log text.
struct RunRecord {
    QString id;        // unique per run: a record written twice is stored once
    QDateTime started; // UTC
    QDateTime ended;
    QString host;          // the station that ran it
    QString toolVersion;   // "2.00"
    QString command;       // "upgrade", "verify", "ext-write", "boot-images"
    QString serial;        // nine digits, without the bootloader's 'b'; empty when unknown
    QString port;          // USB port path ("1-1.4"); empty when unknown
    QString fileName;      // without its folder
    QByteArray fileSha256; // lower-case hexadecimal of the bytes used for the run
    std::optional<quint32> applicationChecksum;
    std::optional<quint32> upperChecksum;
    QString result;  // "ok", "write-failed", "verify-failed", "stopped", "crashed", ...
    QString logText; // the run's last log line, or its reason in words
    std::optional<int> pagesWritten;
    std::optional<int> pagesVerified;
    // The minisign key id that signed the file and its trusted comment; null when the file was
    // not signed or its signature not checked.
    QString signingKeyId;
    QString trustedComment;

    double durationSeconds() const;
};

// A record with a fresh id, this host, the tool's version and `started` as both times.
RunRecord newRunRecord(const QString &command, const QDateTime &started);

// The record's fields under their log names ("started", "file_sha256", ...); times in ISO 8601
// UTC with milliseconds, checksums as "0x%08x", absent values as null.
QJsonObject runRecordJson(const RunRecord &record);
// The inverse, for records that come back from a spool or a worker process; false when a field
// is missing or has the wrong type.
bool runRecordFromJson(const QJsonObject &object, RunRecord *record);
// The record as one line of JSON with its newline.
QByteArray runRecordLine(const RunRecord &record);

QByteArray sha256Hex(const QByteArray &bytes);
