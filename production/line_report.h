#pragma once

#include "production/database_url.h"
#include "production/run_record.h"

#include <QByteArray>
#include <QDate>
#include <QDateTime>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

#include <functional>

class LineDatabase;

// Upgrade runs of one firmware, or of one station: how many boards, how many passed in the end,
// how many never did, and how many passed on their first run there.
struct YieldFigures {
    QString key;      // the firmware's SHA-256, the station's host name or the signing key id
    QString fileName; // firmware: the name of its latest run
    int runs = 0;
    int boards = 0;
    int passed = 0;
    int failed = 0;
    int firstPass = 0;

    double firstPassYield() const { return boards ? double(firstPass) / boards : 0.0; }
};

// Upgrade runs, in the order they started, as figures per key (most boards first). Per key, a
// board's first run there decides its first pass; boards whose first run there started before
// `since` (ISO 8601 text; empty: all) are left out.
QList<YieldFigures> yieldFiguresOf(const QList<RunRecord> &runs, const QString &since,
                                   const std::function<QString(const RunRecord &)> &keyOf);

// One board's run on a port while another run of the same serial was going on at another.
struct RunPlace {
    QString host;
    QString port;
    QDateTime started;
    QDateTime ended;
};
struct DuplicateSerial {
    QString serial;
    RunPlace first;
    RunPlace second;
};

struct ReportFilter {
    QDate since;            // runs started on or after (UTC); invalid: all
    QString firmwarePrefix; // of file_sha256, lower-case hexadecimal; empty: all
};

// What the line's database says about production: yields per firmware and per station, boards
// that failed more than once, serials seen on two ports at once, serials programmed without
// allocation (while their week has allocations), numbers allocated and never programmed, and
// what still waits in this machine's spool.
struct LineReport {
    DatabaseStatus status;
    ReportFilter filter;
    QList<YieldFigures> firmware; // most boards first
    QList<YieldFigures> stations;
    QList<YieldFigures> signingKeys; // by minisign key id; an empty key: files not signed
    QList<QPair<QString, int>> failedMoreThanOnce; // serial, failed upgrade runs
    QList<DuplicateSerial> duplicates;
    QStringList unallocated;
    QStringList unprogrammed;
    int spooled = 0;
};

LineReport lineReport(LineDatabase &database, const ReportFilter &filter, int spooled);
QJsonObject lineReportJson(const LineReport &report);
