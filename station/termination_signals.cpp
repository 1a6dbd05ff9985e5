#include "station/termination_signals.h"

#include <QSocketNotifier>

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace
{

int writeEnd = -1;

void forward(int signalNumber)
{
    const char byte = char(signalNumber);
    if (writeEnd >= 0)
        (void)::write(writeEnd, &byte, 1);
}

void handle(void (*handler)(int))
{
    struct sigaction action = {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    for (int signalNumber : {SIGTERM, SIGINT})
        sigaction(signalNumber, &action, nullptr);
}

} // namespace

TerminationSignals::TerminationSignals(QObject *parent) : QObject(parent)
{
    if (::pipe2(pipeEnds, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    writeEnd = pipeEnds[1];
    auto *notifier = new QSocketNotifier(pipeEnds[0], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &TerminationSignals::readPipe);
    handle(forward);
}

TerminationSignals::~TerminationSignals()
{
    handle(SIG_DFL);
    writeEnd = -1;
    for (int end : pipeEnds)
        if (end >= 0)
            ::close(end);
}

void TerminationSignals::readPipe()
{
    char byte = 0;
    bool any = false;
    while (::read(pipeEnds[0], &byte, 1) == 1)
        any = true;
    if (any)
        emit received();
}
