#pragma once

#include <QString>

#include <functional>

struct RunRecord;

// Run records that could not reach the line's database wait here, one JSON line each, until
// they are sent. All processes of a user share one spool: every change holds an flock on its
// lock file, and sent lines leave by an atomic rewrite, so an append is never lost to a flush
// running at the same time.
class RunSpool
{
public:
    // $XDG_STATE_HOME/mv604, else ~/.local/state/mv604.
    static QString defaultDirectory();

    explicit RunSpool(const QString &directory = defaultDirectory());
    QString fileName() const;

    bool append(const RunRecord &record, QString *error);
    int count() const;
    // Offers the records in order to `send` until it fails; the ones it took leave the spool.
    // Lines that are no record move to rejected.jsonl beside it. Returns how many were taken,
    // -1 when the spool itself cannot be read or rewritten.
    int drain(const std::function<bool(const RunRecord &record)> &send, QString *error);

private:
    QString directory;
};
