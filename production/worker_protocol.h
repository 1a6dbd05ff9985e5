#pragma once

#include "device/board_identity.h"
#include "production/run_record.h"
#include "upgrade/upgrader.h"

#include <QByteArray>
#include <QStringList>

// A station programs each board in a worker process of its own (mv604-cli itself), so that a
// board that hangs, or a crash in one run, cannot stop the others, and each run has its own
// transport. The worker tells its parent how the run goes in lines on stderr:
//   "progress: DONE WRITTEN VERIFIED"   after each page
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

// The worker's command line for one board: the board by port and serial (both must match), the
// hidden --report option, and the file after "--", so that no file name is read as an option.
QStringList workerArguments(const BoardIdentity &board, const QString &upgradeFile,
                            bool skipUnchanged);

} // namespace WorkerProtocol
