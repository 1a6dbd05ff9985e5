#include "production/line_database.h"

#include "image/boot_image.h"

#include <QDateTime>
#include <QSqlQuery>
#include <QSysInfo>
#include <QUuid>

DatabaseStatus LineDatabase::reserveNumbers(int year, int week, const ChooseNumbers &choose)
{
    const auto lockWeek = [&](QSqlQuery &query, std::set<int> *taken) {
        // Waits for the week's other allocators (PostgreSQL; SQLite's BEGIN IMMEDIATE already
        // did), then reads the numbers taken.
        DatabaseStatus status = exec(
            query, "INSERT INTO serial_weeks (year, week) VALUES (?, ?) ON CONFLICT DO NOTHING",
            {year, week});
        if (status.ok() && databaseUrl.backend == DatabaseUrl::Postgresql)
            status =
                exec(query, "SELECT year FROM serial_weeks WHERE year = ? AND week = ? FOR UPDATE",
                     {year, week});
        if (status.ok())
            status =
                exec(query, "SELECT number FROM serial_allocations WHERE year = ? AND week = ?",
                     {year, week});
        taken->clear();
        while (status.ok() && query.next())
            taken->insert(query.value(0).toInt());
        return status;
    };
    const auto insertNumbers = [&](QSqlQuery &query, const QList<int> &numbers) {
        const QString reservation = QUuid::createUuid().toString(QUuid::WithoutBraces);
        const QString host = QSysInfo::machineHostName();
        const QString now = QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
        for (int number : numbers) {
            const QString serial = productionSerial(year, week, number);
            const DatabaseStatus status = exec(
                query,
                "INSERT INTO serial_allocations (year, week, number, serial, host, allocated, "
                "reservation, reservation_size, image_file) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)",
                {year, week, number, serial, host, now, reservation, int(numbers.size()),
                 bootImageFileName(serial)});
            if (!status.ok())
                return status;
        }
        return DatabaseStatus();
    };
    return inTransaction(
        [&](QSqlQuery &query) {
            std::set<int> taken;
            QList<int> chosen;
            DatabaseStatus status = lockWeek(query, &taken);
            if (status.ok())
                status = choose(taken, &chosen);
            return status.ok() ? insertNumbers(query, chosen) : status;
        },
        ReservationBusyBoundMs);
}
