#pragma once

#include <QObject>

// SIGTERM and SIGINT as an event of the event loop, so that a station stopped by its session or
// from a terminal ends its runs and records them as a closed window does. The handler only writes
// to a pipe, which a socket notifier reads. One at a time in a process; the default handling
// comes back when it goes. (cli/stop_signals.cpp does the same for mv604-cli: the two belong in
// one shared place.)
class TerminationSignals : public QObject
{
    Q_OBJECT

public:
    explicit TerminationSignals(QObject *parent = nullptr);
    ~TerminationSignals() override;

signals:
    void received();

private:
    void readPipe();

    int pipeEnds[2] = {-1, -1};
};
