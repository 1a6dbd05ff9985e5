#pragma once

#include <QElapsedTimer>

// Shows upgrade progress on stderr: on a terminal one redrawn line with a bar, the page, the
// rate and the time left; elsewhere (logs of a production line) a line every 10 %.
class ProgressPrinter
{
public:
    explicit ProgressPrinter(bool terminal);

    void show(int percent);
    void finish(); // ends the redrawn line, if any

private:
    void drawBar(int percent);

    bool terminal;
    bool drawn = false;
    int lastTenth = -1;
    QElapsedTimer clock;
};
