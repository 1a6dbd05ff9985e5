#pragma once

#include <QString>

// The production serial of a KR960, YYWW0NNNN: the year and week it was made in, two digits
// each, a zero, and its production number within that week in four digits. Boot images are
// stamped with it, the line's database allocates it, and the report groups boards by week.

// "YY" + "WW" + "0" + the production number in four digits.
QString productionSerial(const QString &year, const QString &week, int number);
QString productionSerial(int year, int week, int number);

// The serials of the week whose year and week `serial` begins with, from number 0 to 9999 (a
// serial too short for both still names one span, which no allocated serial falls in).
struct ProductionWeekSerials {
    QString first;
    QString last;
};
ProductionWeekSerials productionWeekSerials(const QString &serial);
