#include "cli/fleet_progress.h"

#include "device/kr960_memory_map.h"

#include <cstdio>

FleetProgress::FleetProgress(bool terminal) : terminal(terminal) {}

void FleetProgress::show(const QByteArray &serial, int percent, qint64 elapsedMs)
{
    Row &row = rows[serial];
    const int lastTenth = row.percent < 0 ? -1 : row.percent / 10;
    row.percent = percent;
    // The worker reports whole percent of the application area; the bytes follow from it.
    const double bytes = double(Kr960::ApplicationSize) * percent / 100.0;
    row.kibPerSecond = elapsedMs > 0 ? bytes / 1024.0 / (elapsedMs / 1000.0) : 0;
    if (terminal) {
        erase();
        draw();
    } else if (percent / 10 != lastTenth) {
        fprintf(stderr, "%s: %d%% %.1f KiB/s\n", serial.constData(), percent, row.kibPerSecond);
        fflush(stderr);
    }
}

void FleetProgress::remove(const QByteArray &serial)
{
    if (terminal)
        erase();
    rows.remove(serial);
    if (terminal)
        draw();
}

void FleetProgress::printLine(const QString &line)
{
    if (terminal)
        erase();
    fprintf(stdout, "%s\n", qPrintable(line));
    fflush(stdout);
    if (terminal)
        draw();
}

void FleetProgress::erase()
{
    if (drawnLines > 0)
        fprintf(stderr, "\x1b[%dA\x1b[J", drawnLines); // up to the block's start, clear below
    drawnLines = 0;
    fflush(stderr);
}

void FleetProgress::draw()
{
    constexpr int width = 30;
    for (auto row = rows.cbegin(); row != rows.cend(); ++row) {
        const int filled = width * qMax(0, row->percent) / 100;
        const QString bar = QString(filled, '#') + QString(width - filled, '.');
        fprintf(stderr, "%s [%s] %3d%%  %7.1f KiB/s\n", row.key().constData(), qPrintable(bar),
                row->percent, row->kibPerSecond);
        ++drawnLines;
    }
    fflush(stderr);
}
