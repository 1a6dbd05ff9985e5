#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <functional>

struct RunRecord;

// Run records on their way to the line's database wait here, one JSON line each, until they
// are sent. All processes of a user share one spool: every change holds an flock on its lock
// file, only for as long as the file itself is read or changed (never while the database is
// asked), and sent lines leave by an atomic rewrite, so an append is never lost to a flush
// running at the same time. Appends are whole lines, on disk before append() returns.
class RunSpool
{
public:
    // $XDG_STATE_HOME/mv604, else ~/.local/state/mv604.
    static QString defaultDirectory();

    explicit RunSpool(const QString &directory = defaultDirectory());
    QString fileName() const;
    QString folder() const { return directory; }
    QString rejectedFileName() const;

    bool append(const RunRecord &record, QString *error);
    int count() const;

    // What the database said to one record offered to it.
    enum class Offer {
        Taken,      // stored (or stored already)
        Refused,    // this record is refused: it is set aside, the others go on
        Unreachable // the database is away: this one and the rest wait
    };
    struct Flush {
        int sent = 0;
        int setAside = 0; // refused records and torn lines, now in rejected.jsonl
        int waiting = 0;  // still in the spool
        QString error;    // the spool itself could not be read or rewritten
        QString cause;    // why the first record that waits did not go
    };
    // Offers the records in order to `send` until the database is away; the ones it took or
    // refused leave the spool, refused ones and lines that are no whole record to the rejected
    // file with their reason.
    Flush drain(const std::function<Offer(const RunRecord &record, QString *reason)> &send);
    // Sets one record aside with its reason.
    bool reject(const QByteArray &line, const QString &reason, QString *error);

private:
    QString directory;
};
