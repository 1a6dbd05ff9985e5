#pragma once

#include "device/chosen_board.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>

// What a station keeps between two walks of the bus, as plain values: which boards had their
// run, which share a serial, and the counts. The station's clock and signals stay in Station.

struct StationTotals {
    int passed = 0;
    int failed = 0;
    int firstRuns = 0; // boards seen for the first time by this station
    int firstRunsPassed = 0;
    int duplicates = 0; // serials seen on several boards at once; their runs count in no total

    double firstPassYield() const { return firstRuns ? double(firstRunsPassed) / firstRuns : 0; }
    // The station's verdict: every run passed and every board could be told apart.
    bool allPassed() const { return failed == 0 && duplicates == 0; }
};

// One ended run in the totals; `seenAs` is the board (its serial, else its port), whose first
// run at this station decides its first pass. A run on a board whose serial another board
// shares counts nowhere and never passes. Returns whether the run passed.
bool countRun(StationTotals &totals, QSet<QString> &seenBoards, const QString &seenAs, bool passed,
              bool sharedSerial);

// A serial that several readable boards on the bus report at once, in bus order.
struct SharedSerial {
    QByteArray serial;
    QList<BoardIdentity> boards;

    QStringList ports() const;
    // Without every port the boards cannot even be kept apart.
    bool portsKnown() const;
};
QList<SharedSerial> serialsSharedByBoards(const QList<AttachedBoard> &boards);

// A board that had its run, by board key. A passed board stays done while it is on the bus and
// until it has been off it for as long as an unplug takes (shorter absences are its restarts);
// a failed one may be tried again as soon as it is off.
struct DoneBoard {
    QByteArray serial;
    bool passed = false;
    bool away = false;
    qint64 awaySinceMs = 0;
};
// One walk of the bus at `nowMs` (a monotonic clock) that found the boards `present`.
void forgetUnpluggedBoards(QHash<QString, DoneBoard> &done, const QSet<QString> &present,
                           qint64 nowMs, int unpluggedAfterMs);
