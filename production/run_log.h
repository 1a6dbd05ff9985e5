#pragma once

#include <QString>

struct RunRecord;

// The production log: one record per line (JSON Lines), so that a line's tools (jq, a spreadsheet
// import, a database loader) read it without a parser of our own. Several processes and stations
// append to one log at once: each record goes out in one write() on an O_APPEND descriptor, so
// lines never interleave.
bool appendRunRecord(const QString &logFile, const RunRecord &record, QString *error = nullptr);

// Fails before anything is programmed when the log cannot be appended to; `error` names why.
bool canAppendTo(const QString &logFile, QString *error = nullptr);
