#pragma once

#include "device/board_identity.h"
#include "production/run_record.h"
#include "upgrade/upgrader.h"

#include <QByteArray>
#include <QStringList>

// A station programs each board in a worker process of its own (mv604-worker), so that a board
// that hangs, or a crash in one run, cannot stop the others, and each run has its own
// transport. The station hands the worker the upgrade file's bytes on its standard input; the
// worker tells its parent how the run goes in lines on stderr:
//   "progress: DONE TOTAL WRITTEN VERIFIED BYTES BYTES_TOTAL"   after each page, a PageProgress
//   "record: {...}"                      the run's record (JSON), once, at its end
// Any other line is the worker's own message; the last one is the reason when it dies without
// a record.
namespace WorkerProtocol
{

QByteArray progressLine(const PageProgress &progress);
QByteArray recordLine(const RunRecord &record);

struct Line {
    enum Kind { Progress, Record, Other };
    Kind kind = Other;
    PageProgress progress;
    RunRecord record;
    QString text; // an Other line, as written
};
Line parse(const QByteArray &line);

// What a worker is to do: the board by port and serial (both must match), and the name of the
// file whose bytes it is given, for its texts and its record.
struct Order {
    BoardIdentity board;
    QString fileName;
    bool skipUnchanged = false;
};

// The worker's command line for an order, the file's name after "--" so that no name is read as
// an option; and back. parseOrder is false, with the reason, for anything else.
QStringList workerArguments(const Order &order);
bool parseOrder(const QStringList &arguments, Order *order, QString *error);

} // namespace WorkerProtocol
