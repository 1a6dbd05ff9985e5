#include "production/stop_signals.h"

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

void handle(int signalNumber, void (*handler)(int))
{
    struct sigaction action = {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    sigaction(signalNumber, &action, nullptr);
}

} // namespace

StopSignals::StopSignals(bool interrupt) : interrupt(interrupt)
{
    if (::pipe2(pipeEnds, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    writeEnd = pipeEnds[1];
    notifier = new QSocketNotifier(pipeEnds[0], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &StopSignals::readPipe);
    if (interrupt)
        handle(SIGINT, forward);
    handle(SIGTERM, forward);
}

StopSignals::~StopSignals()
{
    if (interrupt)
        handle(SIGINT, SIG_DFL);
    handle(SIGTERM, SIG_DFL);
    writeEnd = -1;
    for (int end : pipeEnds)
        if (end >= 0)
            ::close(end);
}

int StopSignals::exitCodeFor(int signalNumber)
{
    return 128 + signalNumber;
}

void StopSignals::readPipe()
{
    char byte = 0;
    while (::read(pipeEnds[0], &byte, 1) == 1)
        emit received(int(byte));
}
