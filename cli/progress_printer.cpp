#include "cli/progress_printer.h"

#include "device/kr960_memory_map.h"

#include <QString>
#include <cstdio>

ProgressPrinter::ProgressPrinter(bool terminal) : terminal(terminal) {}

void ProgressPrinter::show(int percent)
{
    if (!clock.isValid())
        clock.start();
    if (terminal) {
        drawBar(percent);
        return;
    }
    const int tenth = percent / 10;
    if (tenth == lastTenth)
        return;
    lastTenth = tenth;
    fprintf(stderr, "progress: %d%%\n", percent);
}

void ProgressPrinter::finish()
{
    if (drawn)
        fputc('\n', stderr);
    drawn = false;
}

void ProgressPrinter::drawBar(int percent)
{
    constexpr int width = 30;
    // The worker reports whole percent of the 120 pages; the page count follows from it.
    const int pages = int(Kr960::ApplicationPages * percent / 100);
    const double seconds = clock.elapsed() / 1000.0;
    const double bytesPerSecond = seconds > 0 ? pages * Kr960::PageSize / seconds : 0;
    const double left = bytesPerSecond > 0
                            ? (Kr960::ApplicationSize - pages * Kr960::PageSize) / bytesPerSecond
                            : 0;
    const int filled = width * percent / 100;
    const QString bar = QString(filled, '#') + QString(width - filled, '.');
    fprintf(stderr, "\r[%s] %3d%%  page %3d/%u  %6.1f KiB/s  %3.0f s left ", qPrintable(bar),
            percent, pages, Kr960::ApplicationPages, bytesPerSecond / 1024, left);
    fflush(stderr);
    drawn = true;
}
