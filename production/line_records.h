#pragma once

#include "production/line_database.h"
#include "production/run_spool.h"

#include <QString>

struct RunRecord;

// How run records reach the line's database without losing one: a record the database does
// not take now goes to the local spool, and the spool is sent, once, when the database is back
// (the next open, a later record that gets through, or `mv604-cli db flush`). A record sent
// twice is stored once: its id is the key. A record the database refuses (not "away", but "not
// this one") is set aside in the rejected file with the reason and blocks nothing behind it.
class LineRecords
{
public:
    explicit LineRecords(const QString &spoolDirectory = RunSpool::defaultDirectory());

    // Connects (creating or migrating the schema), then sends what waits in the spool. False,
    // with the reason, when the database cannot be used: fail before any board is touched. A
    // spool that cannot be sent or read does not make the database unusable.
    bool open(const QString &url, QString *error);
    bool isOpen() const { return opened; }

    enum class Delivery { Stored, Spooled, SetAside, Failed };
    // Spooled, SetAside and Failed say why in `error`; Failed: neither the database, the spool
    // nor the rejected file took it.
    Delivery deliver(const RunRecord &record, QString *error);
    // Sends every spooled record once: how many went, were set aside, still wait.
    RunSpool::Flush flushSpool();
    int spooledCount() const { return spool.count(); }
    // What the flush of the last open() did.
    const RunSpool::Flush &openingFlush() const { return openFlush; }
    const RunSpool &localSpool() const { return spool; }

    LineDatabase &database() { return line; }

private:
    RunSpool::Offer offer(const RunRecord &record, QString *reason);

    LineDatabase line;
    RunSpool spool;
    bool opened = false;
    RunSpool::Flush openFlush;
};
