#include "production/line_database.h"

#include "device/production_serial.h"
#include "production/line_report.h"
#include "production/run_record.h"

#include <QSqlQuery>

#include <utility>

namespace
{

QDateTime timeOf(const QVariant &value)
{
    return QDateTime::fromString(value.toString(), Qt::ISODateWithMs).toUTC();
}

RunPlace placeAt(const QSqlQuery &row, int column)
{
    return {row.value(column).toString(), row.value(column + 1).toString(),
            timeOf(row.value(column + 2)), timeOf(row.value(column + 3))};
}

} // namespace

DatabaseStatus LineDatabase::upgradeRuns(const QString &firmwarePrefix, QList<RunRecord> *runs)
{
    runs->clear();
    return select(QString("SELECT %1 FROM run_records WHERE command = 'upgrade' AND file_sha256 "
                          "LIKE ? ORDER BY started, id")
                      .arg(runColumns()),
                  {firmwarePrefix + '%'}, [&](const QSqlQuery &row) { *runs << recordFrom(row); });
}

DatabaseStatus LineDatabase::overlappingRuns(const QString &since,
                                             QList<DuplicateSerial> *duplicates)
{
    duplicates->clear();
    // Both runs of a pair are real boards on real ports whose times overlap: on two ports of
    // one station, or on any ports of two.
    return select(
        "SELECT a.serial, a.host, a.port, a.started, a.ended, b.host, b.port, b.started, b.ended "
        "FROM run_records a JOIN run_records b ON b.serial = a.serial AND a.id < b.id AND "
        "(b.port <> a.port OR b.host <> a.host) AND a.started < b.ended AND b.started < a.ended "
        "WHERE a.serial <> '' "
        "AND a.port <> '' AND b.port <> '' AND a.started >= ? AND b.started >= ? ORDER BY "
        "a.serial, a.started",
        {since, since}, [&](const QSqlQuery &row) {
            DuplicateSerial duplicate{row.value(0).toString(), placeAt(row, 1), placeAt(row, 5)};
            if (duplicate.second.started < duplicate.first.started)
                std::swap(duplicate.first, duplicate.second);
            *duplicates << duplicate;
        });
}

DatabaseStatus LineDatabase::unallocatedSerials(const QString &since, const QString &firmwarePrefix,
                                                QStringList *serials)
{
    serials->clear();
    QStringList never;
    DatabaseStatus status = select(
        "SELECT DISTINCT r.serial FROM run_records r WHERE r.command <> 'boot-images' AND "
        "r.serial <> '' AND r.started >= ? AND r.file_sha256 LIKE ? AND NOT EXISTS (SELECT 1 FROM "
        "serial_allocations a WHERE a.serial = r.serial) ORDER BY r.serial",
        {since, firmwarePrefix + '%'},
        [&](const QSqlQuery &row) { never << row.value(0).toString(); });
    // Only the serials of weeks that have allocations count: one look at the serial index per
    // week, for the week's first to last serial.
    QMap<QString, bool> weekAllocated; // by the week's first serial
    for (const QString &serial : std::as_const(never)) {
        if (!status.ok())
            break;
        const ProductionWeekSerials week = productionWeekSerials(serial);
        if (!weekAllocated.contains(week.first)) {
            bool any = false;
            status = select("SELECT 1 FROM serial_allocations WHERE serial BETWEEN ? AND ? LIMIT 1",
                            {week.first, week.last}, [&](const QSqlQuery &) { any = true; });
            weekAllocated[week.first] = any;
        }
        if (weekAllocated[week.first])
            *serials << serial;
    }
    if (!status.ok())
        serials->clear();
    return status;
}

DatabaseStatus LineDatabase::unprogrammedSerials(const QString &since, QStringList *serials)
{
    serials->clear();
    return select(
        "SELECT a.serial FROM serial_allocations a WHERE a.allocated >= ? AND NOT EXISTS (SELECT "
        "1 FROM run_records r WHERE r.serial = a.serial AND r.command <> 'boot-images') ORDER BY "
        "a.serial",
        {since}, [&](const QSqlQuery &row) { *serials << row.value(0).toString(); });
}
