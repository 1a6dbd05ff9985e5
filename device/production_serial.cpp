#include "device/production_serial.h"

namespace
{

constexpr int YearDigits = 2;
constexpr int WeekDigits = 2;
constexpr int NumberDigits = 4;
constexpr int LastNumber = 9999;

QString digits(int value, int width)
{
    return QStringLiteral("%1").arg(value, width, 10, QLatin1Char('0'));
}

} // namespace

QString productionSerial(const QString &year, const QString &week, int number)
{
    return year + week + QLatin1Char('0') + digits(number, NumberDigits);
}

QString productionSerial(int year, int week, int number)
{
    return productionSerial(digits(year, YearDigits), digits(week, WeekDigits), number);
}

ProductionWeekSerials productionWeekSerials(const QString &serial)
{
    const QString year = serial.left(YearDigits);
    const QString week = serial.mid(YearDigits, WeekDigits);
    return {productionSerial(year, week, 0), productionSerial(year, week, LastNumber)};
}
