#pragma once

#include "production/run_spool.h"

#include <QDateTime>
#include <QMap>
#include <QString>

#include <memory>

struct RunRecord;
class LineDatabase;

// Where a front end's records go: the JSON Lines log, and the line's database through its
// spool, each when given. Every command and the station record through one of these, so a
// record is written the same way wherever it comes from.
//
// The database belongs to a thread of the recorder's own. record() never waits for it: the
// record goes to the log and to the spool (synced) and the thread sends the spool, each call
// under a deadline. A frozen server, a locked file or a lost network leave the records in the
// spool and the line goes on; stopping interrupts the call in progress.
class RunRecorder
{
public:
    explicit RunRecorder(const QString &spoolDirectory = RunSpool::defaultDirectory());
    ~RunRecorder(); // interrupts the call in progress: what was not sent waits in the spool

    void setLogFile(const QString &path);
    // Opens the line's database (and sends what waits in the spool). False, with the reason
    // (the URL without its password), when it cannot be used: before any board is touched.
    bool setDatabase(const QString &url, QString *error);

    // Before anything is programmed: false, with the reason, when the log cannot be appended to.
    bool ready(QString *error) const;

    // Writes the record to every sink; each gets its chance whatever the others do. Empty when
    // at least one took it, else every sink that failed with its cause. `note` names a sink
    // that failed while another took the record, or that the database is away.
    QString record(const RunRecord &record, QString *note = nullptr);

    // Before a board's first page: its "started" record goes to this process's journal (in the
    // spool's folder, synced), which its end record completes. Journals of processes that died
    // (a SIGKILL, a power cut) become "interrupted" records, recorded as any other. Returns
    // "the last run on this board, at TIME, was interrupted" when that is so, else empty; the
    // end record's note says it too.
    QString begin(const RunRecord &started);

    // Lets the database take what was handed over, for at most `ms`, and less when its call
    // has been stuck for a while already: a command's last words wait for this, never long.
    void settle(int ms = 800);

    enum class DatabaseState { NotConfigured, Connected, Spooling };
    DatabaseState databaseState() const;
    int spooledCount() const;
    // One line when records wait in the spool: how many, where, and how they leave; else empty.
    QString spoolNotice() const;

    // The line's database on the caller's thread, for the serial allocator; null without one.
    LineDatabase *database();

private:
    struct Sender;
    void recoverInterrupted();
    bool journal(const QByteArray &line);
    static QString boardOf(const RunRecord &record);

    QString logFile;
    QString databaseUrl;
    RunSpool spool;
    std::unique_ptr<Sender> sender;
    std::unique_ptr<LineDatabase> callerDatabase;
    int journalFd = -1; // flocked while this recorder lives: a lock that is free means dead
    QString journalPath;
    bool recovered = false;
    QMap<QString, QString> openStarts;          // board: the id of its started record
    QMap<QString, QDateTime> interruptedBoards; // board: when its interrupted run started
};
