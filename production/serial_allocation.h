#pragma once

#include "image/boot_image.h"
#include "production/database_url.h"

#include <QList>
#include <QString>
#include <QStringList>

class LineDatabase;

// Production numbers handed out by the line's database, so that two stations never stamp the
// same serial. Each reservation is one transaction that records the station, the time, its
// size and the image file of every number. Concurrent allocators queue on the database's own
// locks (SQLite: BEGIN IMMEDIATE; PostgreSQL: the week's row in serial_weeks FOR UPDATE), and the
// key (year, week, number) refuses a number given twice even to a writer that skipped them.
struct SerialAllocation {
    DatabaseStatus status;
    QString year;       // "26"
    QString week;       // "49"
    QList<int> numbers; // ascending

    QStringList serials() const;
    // The numbers as runs of consecutive ones, for writeBootImages.
    QList<BootImageSeries> series(const QString &directory) const;
};

// The lowest `count` numbers of the week (1 to 9999) that are still free; refused when fewer
// are left.
SerialAllocation allocateSerials(LineDatabase &database, int year, int week, int count);
// Exactly `first` .. `first + count - 1`; refused, naming them, when any is allocated already.
SerialAllocation reserveSerials(LineDatabase &database, int year, int week, int first, int count);
