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
    return flushSpool(error) >= 0;
}

LineRecords::Delivery LineRecords::deliver(const RunRecord &record, QString *error)
{
    const DatabaseStatus status =
        opened ? line.store(record)
               : DatabaseStatus::failure(DatabaseStatus::Unreachable, "line database", "not open");
    if (status.ok()) {
        // The database is back: what waited for it goes now, in this run's time, not the next.
        if (spool.count() > 0)
            flushSpool(nullptr);
        return Delivery::Stored;
    }
    QString why;
    if (!spool.append(record, &why)) {
        if (error)
            *error = QString("%1; %2").arg(status.text(), why);
        return Delivery::Failed;
    }
    if (error)
        *error =
            QString("%1; the record waits in the spool %2").arg(status.text(), spool.fileName());
    return Delivery::Spooled;
}

int LineRecords::flushSpool(QString *error)
{
    if (!opened) {
        if (error)
            *error = "the line database is not open";
        return -1;
    }
    DatabaseStatus failed;
    const int sent = spool.drain(
        [&](const RunRecord &record) {
            failed = line.store(record);
            return failed.ok();
        },
        error);
    if (sent >= 0 && !failed.ok() && error)
        *error = QString("%1 spooled records sent, then %2").arg(sent).arg(failed.text());
    return failed.ok() ? sent : -1;
}
