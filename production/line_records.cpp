#include "production/line_records.h"

#include "production/run_record.h"

LineRecords::LineRecords(const QString &spoolDirectory) : spool(spoolDirectory) {}

bool LineRecords::open(const QString &url, QString *error)
{
    const DatabaseStatus status = line.open(url);
    opened = status.ok();
    if (!opened) {
        if (error)
            *error = status.text();
        return false;
    }
    openFlush = flushSpool();
    return true;
}

RunSpool::Offer LineRecords::offer(const RunRecord &record, QString *reason)
{
    const DatabaseStatus status =
        opened ? line.store(record)
               : DatabaseStatus::failure(DatabaseStatus::Unreachable, "line database", "not open");
    if (reason)
        *reason = status.text();
    if (status.ok())
        return RunSpool::Offer::Taken;
    return status.kind == DatabaseStatus::Refused ? RunSpool::Offer::Refused
                                                  : RunSpool::Offer::Unreachable;
}

LineRecords::Delivery LineRecords::deliver(const RunRecord &record, QString *error)
{
    QString cause;
    const RunSpool::Offer taken = offer(record, &cause);
    if (taken == RunSpool::Offer::Taken) {
        // The database is back: what waited for it goes now, in this run's time, not the next.
        if (spool.count() > 0)
            flushSpool();
        return Delivery::Stored;
    }
    QString why;
    if (taken == RunSpool::Offer::Refused) {
        if (!spool.reject(runRecordLine(record), cause, &why)) {
            if (error)
                *error = QString("%1; %2").arg(cause, why);
            return Delivery::Failed;
        }
        if (error)
            *error =
                QString("%1; the record is set aside in %2").arg(cause, spool.rejectedFileName());
        return Delivery::SetAside;
    }
    if (!spool.append(record, &why)) {
        if (error)
            *error = QString("%1; %2").arg(cause, why);
        return Delivery::Failed;
    }
    if (error)
        *error = QString("%1; the record waits in the spool %2").arg(cause, spool.fileName());
    return Delivery::Spooled;
}

RunSpool::Flush LineRecords::flushSpool()
{
    return spool.drain(
        [this](const RunRecord &record, QString *reason) { return offer(record, reason); });
}
