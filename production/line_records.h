#pragma once

#include "production/line_database.h"
#include "production/run_spool.h"

#include <QString>

struct RunRecord;

// How the front ends hand run records to the line's database without losing one: a record the
// database does not take goes to the local spool, and the spool is sent, once, when the
// database is back (the next open, a later record that gets through, or `mv604-cli db flush`).
// A record sent twice is stored once: its id is the key.
class LineRecords
{
public:
    explicit LineRecords(const QString &spoolDirectory = RunSpool::defaultDirectory());

    // Connects (creating or migrating the schema), then sends what waits in the spool. False,
    // with the reason, when the database cannot be used: fail before any board is touched.
    bool open(const QString &url, QString *error);

    enum class Delivery { Stored, Spooled, Failed };
    // Spooled and Failed say why in `error`; Failed: neither the database nor the spool took it.
    Delivery deliver(const RunRecord &record, QString *error);
    // Sends every spooled record once; returns how many, or -1 with the reason.
    int flushSpool(QString *error);
    int spooledCount() const { return spool.count(); }

    LineDatabase &database() { return line; }

private:
    LineDatabase line;
    RunSpool spool;
    bool opened = false;
};
