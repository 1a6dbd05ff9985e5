#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <optional>

// One record of a production log: a device and a run, as a line of JSON (JSON Lines), so that a
// line's tools (jq, a spreadsheet import, a database loader) read the log without a parser of
// our own. Several processes append to one log at once; each record is one write of one line.
struct ProductionRecord {
    QDateTime started; // UTC
    QDateTime ended;
    QString command; // "upgrade", "ext-write", "boot-images"
    QString serial;  // nine digits, without the bootloader's 'b'
    QString fileName;
    QByteArray fileSha256; // hexadecimal
    std::optional<quint32> applicationChecksum;
    std::optional<quint32> upperChecksum;
    QString result;  // upgradeOutcomeName for upgrades; "ok" or a short word otherwise
    QString logText; // the final log line of the run
    std::optional<int> pagesWritten;
    std::optional<int> pagesVerified;
};

// What a log record tells about an upgrade file: its SHA-256 and the two checksums that its
// builder stamped into the plain image. False when the file is not an upgrade file.
struct UpgradeFileFacts {
    QByteArray sha256;
    quint32 applicationChecksum = 0;
    quint32 upperChecksum = 0;
};
bool readUpgradeFileFacts(const QString &fileName, UpgradeFileFacts *facts);

QByteArray sha256Hex(const QByteArray &bytes);

// The record as one line of JSON with its newline; host and tool version are filled in here.
QByteArray productionRecordLine(const ProductionRecord &record);

// Appends the line with one write() on a descriptor opened with O_APPEND: lines of processes
// that share the log never interleave. False with `error` set when the log cannot be written.
bool appendProductionRecord(const QString &logFile, const ProductionRecord &record,
                            QString *error = nullptr);
