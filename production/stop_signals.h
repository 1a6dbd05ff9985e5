#pragma once

#include <QObject>
#include <QSocketNotifier>

// SIGINT and SIGTERM as events of the event loop: the handler only writes the signal's number
// into a pipe, which a socket notifier reads, so that what a stop means (end the runs at their
// next page and record them) is decided outside the handler, by each front end. One at a time in
// a process; the default handling comes back when it goes.
class StopSignals : public QObject
{
    Q_OBJECT

public:
    // A station's worker leaves SIGINT alone: its parent decides what a terminal's Ctrl-C means.
    explicit StopSignals(bool interrupt = true);
    ~StopSignals() override;

    // 130 for SIGINT, 143 for SIGTERM: the exit code of a process that the signal ended.
    static int exitCodeFor(int signalNumber);

signals:
    void received(int signalNumber);

private:
    void readPipe();

    bool interrupt;
    int pipeEnds[2] = {-1, -1};
    QSocketNotifier *notifier = nullptr;
};
