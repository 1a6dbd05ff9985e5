#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QMap>
#include <QString>

// Progress of several devices' runs at once, on stderr. On a terminal every run in progress has
// its own line (serial, bar, percent, speed), redrawn in place; result lines are printed above
// that block. Elsewhere (a line's log files) plain lines: one per device at every 10 %.
class FleetProgress
{
public:
    explicit FleetProgress(bool terminal);

    void show(const QByteArray &serial, int percent, qint64 elapsedMs);
    void remove(const QByteArray &serial);
    void printLine(const QString &line); // a permanent line on stdout

private:
    struct Row {
        int percent = -1; // nothing shown yet
        double kibPerSecond = 0;
    };
    void erase();
    void draw();

    bool terminal;
    int drawnLines = 0;
    QMap<QByteArray, Row> rows;
};
