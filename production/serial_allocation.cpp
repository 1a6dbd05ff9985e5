#include "production/serial_allocation.h"

#include "production/line_database.h"

namespace
{

QString twoDigits(int value)
{
    return QString("%1").arg(value, 2, 10, QChar('0'));
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
    result.status =
        database.reserveNumbers(year, week, [&](const std::set<int> &taken, QList<int> *chosen) {
            for (int number = BootImage::FirstProductionNumber;
                 number <= BootImage::LastProductionNumber && chosen->size() < count; ++number)
                if (!taken.count(number))
                    *chosen << number;
            if (chosen->size() < count)
                return database.failure(DatabaseStatus::SerialsExhausted,
                                        QString("only %1 production numbers are left in week "
                                                "%2/%3, %4 asked for")
                                            .arg(chosen->size())
                                            .arg(result.year, result.week)
                                            .arg(count));
            result.numbers = *chosen;
            return DatabaseStatus();
        });
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
    result.status =
        database.reserveNumbers(year, week, [&](const std::set<int> &taken, QList<int> *chosen) {
            QList<int> refused;
            for (int number : result.numbers)
                if (taken.count(number))
                    refused << number;
            if (!refused.isEmpty())
                return database.failure(DatabaseStatus::SerialsTaken,
                                        serialRanges(result, refused));
            *chosen = result.numbers;
            return DatabaseStatus();
        });
    if (!result.status.ok())
        result.numbers.clear();
    return result;
}
