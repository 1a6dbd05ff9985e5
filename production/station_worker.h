#pragma once

#include "production/worker_protocol.h"

#include <QByteArray>
#include <QString>

#include <functional>

// The worker half of a station: one process programs one board, with the upgrade file's bytes
// that its station read and checked (handed over on its standard input), never with a second
// read of the path. It tells its station how the run goes in protocol lines (worker_protocol.h)
// and ends with the run's record.

// Programs order.board with `fileBytes`; each protocol line goes to `tellParent`. A stop
// signal (SIGTERM) ends the run at its next page boundary. Returns the worker's exit code: 0 only
// when the run ended in "OK".
int runStationWorker(const WorkerProtocol::Order &order, const QByteArray &fileBytes,
                     const std::function<void(const QByteArray &)> &tellParent);

// The worker program, mv604-worker. MV604_WORKER names it; else it is looked for next to the
// running program (installed side by side, or in its library folder), then in the build tree's
// cli/ folder, then on PATH. Empty when there is none.
QString findWorkerProgram();
