#include "cli/progress_display.h"

#include <cstdio>

namespace
{

QString withLabel(const QString &label, const QString &text)
{
    return label.isEmpty() ? text : label + QLatin1Char(' ') + text;
}

QString rowText(const QString &label, const PageProgress &progress, double rate)
{
    constexpr int width = 30;
    const int percent = progress.percent();
    const int filled = width * percent / 100;
    const double kibLeft = (progress.bytesTotal - progress.bytesDone) / 1024.0;
    const double secondsLeft = rate > 0 ? kibLeft / rate : 0;
    return withLabel(label, QString("[%1%2] %3%  page %4/%5  %6 KiB/s  %7 s left")
                                .arg(QString(filled, '#'), QString(width - filled, '.'))
                                .arg(percent, 3)
                                .arg(progress.pagesDone, 3)
                                .arg(progress.pagesTotal)
                                .arg(rate, 6, 'f', 1)
                                .arg(secondsLeft, 3, 'f', 0));
}

} // namespace

ProgressDisplay::ProgressDisplay(bool terminal) : terminal(terminal) {}

void ProgressDisplay::show(const QString &label, const PageProgress &progress, qint64 elapsedMs)
{
    Row &row = rows[label];
    if (row.firstPage.pagesDone == 0) {
        row.firstPage = progress;
        row.firstPageMs = elapsedMs;
    }
    row.progress = progress;
    row.elapsedMs = elapsedMs;
    if (terminal) {
        erase();
        draw();
        return;
    }
    const int tenth = progress.percent() / 10;
    if (tenth == row.lastTenth)
        return;
    row.lastTenth = tenth;
    fprintf(stderr, "%s\n",
            qPrintable(withLabel(label, QString("%1% of %2 pages, %3 KiB/s")
                                            .arg(progress.percent())
                                            .arg(progress.pagesTotal)
                                            .arg(row.kibPerSecond(), 0, 'f', 1))));
    fflush(stderr);
}

// Bytes since the first page shown: the restart into the bootloader before the first page is no
// part of the link's speed.
double ProgressDisplay::Row::kibPerSecond() const
{
    const qint64 ms = elapsedMs - firstPageMs;
    return ms > 0 ? (progress.bytesDone - firstPage.bytesDone) / 1024.0 / (ms / 1000.0) : 0;
}

void ProgressDisplay::remove(const QString &label)
{
    if (terminal)
        erase();
    rows.remove(label);
    if (terminal)
        draw();
}

void ProgressDisplay::printLine(const QString &line)
{
    if (terminal)
        erase();
    fprintf(stdout, "%s\n", qPrintable(line));
    fflush(stdout);
    if (terminal)
        draw();
}

void ProgressDisplay::erase()
{
    if (drawnLines > 0)
        fprintf(stderr, "\x1b[%dA\x1b[J", drawnLines); // up to the block's start, clear below
    drawnLines = 0;
    fflush(stderr);
}

void ProgressDisplay::draw()
{
    for (auto row = rows.cbegin(); row != rows.cend(); ++row) {
        fprintf(stderr, "%s\n", qPrintable(rowText(row.key(), row->progress, row->kibPerSecond())));
        ++drawnLines;
    }
    fflush(stderr);
}
