#pragma once

#include "upgrade/page_programmer.h"

#include <QMap>
#include <QString>

// Upgrade progress on stderr, for one board or many. On a terminal every run in progress has
// one line (its label, a bar, percent, pages, speed, time left), redrawn in place; permanent
// lines print above that block. Elsewhere (a line's log files) a plain line per run at every
// 10 %.
class ProgressDisplay
{
public:
    explicit ProgressDisplay(bool terminal);

    // `label` tells the runs apart; a single run has none.
    void show(const QString &label, const PageProgress &progress, qint64 elapsedMs);
    void remove(const QString &label);
    void printLine(const QString &line); // a permanent line on stdout
    void erase();                        // the redrawn block, before the process ends

private:
    struct Row {
        PageProgress progress;
        qint64 elapsedMs = 0;
        PageProgress firstPage; // the first progress shown, where the speed is counted from
        qint64 firstPageMs = 0;
        int lastTenth = -1;
        double kibPerSecond() const;
    };
    void draw();

    bool terminal;
    int drawnLines = 0;
    QMap<QString, Row> rows;
};
