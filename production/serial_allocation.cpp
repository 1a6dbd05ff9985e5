#include "production/serial_allocation.h"

#include "production/line_database.h"

#include <QDateTime>
#include <QSqlQuery>
#include <QSysInfo>
#include <QUuid>

#include <set>

namespace
{

QString twoDigits(int value)
{
    return QString("%1").arg(value, 2, 10, QChar('0'));
}

// Within the caller's transaction: waits for the week's other allocators (PostgreSQL; SQLite's
// BEGIN IMMEDIATE already did), then reads the numbers taken.
DatabaseStatus lockWeek(LineDatabase &database, QSqlQuery &query, int year, int week,
                        std::set<int> *taken)
{
    query.prepare("INSERT INTO serial_weeks (year, week) VALUES (?, ?) ON CONFLICT DO NOTHING");
    query.addBindValue(year);
    query.addBindValue(week);
    if (!query.exec())
        return database.statusOf(query);
    if (database.url().backend == DatabaseUrl::Postgresql) {
        query.prepare("SELECT year FROM serial_weeks WHERE year = ? AND week = ? FOR UPDATE");
        query.addBindValue(year);
        query.addBindValue(week);
        if (!query.exec())
            return database.statusOf(query);
    }
    query.prepare("SELECT number FROM serial_allocations WHERE year = ? AND week = ?");
    query.addBindValue(year);
    query.addBindValue(week);
    if (!query.exec())
        return database.statusOf(query);
    taken->clear();
    while (query.next())
        taken->insert(query.value(0).toInt());
    return {};
}

DatabaseStatus insertNumbers(LineDatabase &database, QSqlQuery &query,
                             const SerialAllocation &allocation)
{
    const QString reservation = QUuid::createUuid().toString(QUuid::WithoutBraces);
    const QString host = QSysInfo::machineHostName();
    const QString now = QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
    query.prepare("INSERT INTO serial_allocations (year, week, number, serial, host, allocated, "
                  "reservation, reservation_size, image_file) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)");
    for (int number : allocation.numbers) {
        const QString serial = productionSerial(allocation.year, allocation.week, number);
        for (const QVariant &value :
             {QVariant(allocation.year.toInt()), QVariant(allocation.week.toInt()),
              QVariant(number), QVariant(serial), QVariant(host), QVariant(now),
              QVariant(reservation), QVariant(int(allocation.numbers.size())),
              QVariant(bootImageFileName(serial))})
            query.addBindValue(value);
        if (!query.exec())
            return database.statusOf(query);
    }
    return {};
}

// "264900001 to 264900050, 264900077": a long refusal stays one readable line.
QString serialRanges(const SerialAllocation &allocation, const QList<int> &numbers)
{
    QStringList ranges;
    for (int at = 0; at < numbers.size();) {
        int end = at;
        while (end + 1 < numbers.size() && numbers[end + 1] == numbers[end] + 1)
            ++end;
        const QString first = productionSerial(allocation.year, allocation.week, numbers[at]);
        ranges << (end == at ? first
                             : QString("%1 to %2")
                                   .arg(first, productionSerial(allocation.year, allocation.week,
                                                                numbers[end])));
        at = end + 1;
    }
    return ranges.join(", ");
}

SerialAllocation allocation(int year, int week)
{
    SerialAllocation result;
    result.year = twoDigits(year);
    result.week = twoDigits(week);
    return result;
}

} // namespace

QStringList SerialAllocation::serials() const
{
    QStringList all;
    for (int number : numbers)
        all << productionSerial(year, week, number);
    return all;
}

QList<BootImageSeries> SerialAllocation::series(const QString &directory) const
{
    QList<BootImageSeries> runs;
    for (int number : numbers) {
        if (!runs.isEmpty() && runs.last().firstNumber + runs.last().count == number) {
            ++runs.last().count;
            continue;
        }
        BootImageSeries run;
        run.year = year;
        run.week = week;
        run.firstNumber = number;
        run.count = 1;
        run.directory = directory;
        runs << run;
    }
    return runs;
}

SerialAllocation allocateSerials(LineDatabase &database, int year, int week, int count)
{
    SerialAllocation result = allocation(year, week);
    // A reservation has nowhere else to go: it waits longer for other writers than a record.
    const LineDatabase::Work reserve = [&](QSqlQuery &query) {
        std::set<int> taken;
        DatabaseStatus status = lockWeek(database, query, year, week, &taken);
        if (!status.ok())
            return status;
        result.numbers.clear();
        for (int number = BootImage::FirstProductionNumber;
             number <= BootImage::LastProductionNumber && result.numbers.size() < count; ++number)
            if (!taken.count(number))
                result.numbers << number;
        if (result.numbers.size() < count)
            return database.failure(DatabaseStatus::SerialsExhausted,
                                    QString("only %1 production numbers are left in week %2/%3, "
                                            "%4 asked for")
                                        .arg(result.numbers.size())
                                        .arg(result.year, result.week)
                                        .arg(count));
        return insertNumbers(database, query, result);
    };
    result.status = database.inTransaction(reserve, LineDatabase::ReservationBusyBoundMs);
    if (!result.status.ok())
        result.numbers.clear();
    return result;
}

SerialAllocation reserveSerials(LineDatabase &database, int year, int week, int first, int count)
{
    SerialAllocation result = allocation(year, week);
    if (first < BootImage::FirstProductionNumber || count < 1 ||
        first + count - 1 > BootImage::LastProductionNumber) {
        result.status = database.failure(DatabaseStatus::SerialsExhausted,
                                         QString("production numbers run from %1 to %2")
                                             .arg(BootImage::FirstProductionNumber)
                                             .arg(BootImage::LastProductionNumber));
        return result;
    }
    for (int number = first; number < first + count; ++number)
        result.numbers << number;
    // A reservation has nowhere else to go: it waits longer for other writers than a record.
    const LineDatabase::Work reserve = [&](QSqlQuery &query) {
        std::set<int> taken;
        DatabaseStatus status = lockWeek(database, query, year, week, &taken);
        if (!status.ok())
            return status;
        QList<int> refused;
        for (int number : result.numbers)
            if (taken.count(number))
                refused << number;
        if (!refused.isEmpty())
            return database.failure(DatabaseStatus::SerialsTaken, serialRanges(result, refused));
        return insertNumbers(database, query, result);
    };
    result.status = database.inTransaction(reserve, LineDatabase::ReservationBusyBoundMs);
    if (!result.status.ok())
        result.numbers.clear();
    return result;
}
