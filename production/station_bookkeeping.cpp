#include "production/station_bookkeeping.h"

#include <QMap>

bool countRun(StationTotals &totals, QSet<QString> &seenBoards, const QString &seenAs, bool passed,
              bool sharedSerial)
{
    if (sharedSerial)
        return false;
    (passed ? totals.passed : totals.failed) += 1;
    if (!seenBoards.contains(seenAs)) {
        seenBoards.insert(seenAs);
        ++totals.firstRuns;
        totals.firstRunsPassed += passed;
    }
    return passed;
}

QStringList SharedSerial::ports() const
{
    QStringList ports;
    for (const BoardIdentity &board : boards)
        ports.append(board.port);
    return ports;
}

bool SharedSerial::portsKnown() const
{
    for (const BoardIdentity &board : boards)
        if (board.port.isEmpty())
            return false;
    return true;
}

QList<SharedSerial> serialsSharedByBoards(const QList<AttachedBoard> &boards)
{
    QMap<QByteArray, QList<BoardIdentity>> bySerial;
    for (const AttachedBoard &board : boards)
        if (board.readable)
            bySerial[board.identity.serial].append(board.identity);
    QList<SharedSerial> shared;
    for (auto group = bySerial.cbegin(); group != bySerial.cend(); ++group)
        if (group->size() > 1)
            shared.append({group.key(), group.value()});
    return shared;
}

void forgetUnpluggedBoards(QHash<QString, DoneBoard> &done, const QSet<QString> &present,
                           qint64 nowMs, int unpluggedAfterMs)
{
    for (auto board = done.begin(); board != done.end();) {
        if (present.contains(board.key())) {
            board->away = false;
        } else if (!board->passed) { // nothing to keep: it may be tried again at once
            board = done.erase(board);
            continue;
        } else if (!board->away) {
            board->away = true;
            board->awaySinceMs = nowMs;
        } else if (nowMs - board->awaySinceMs >= unpluggedAfterMs) {
            board = done.erase(board);
            continue;
        }
        ++board;
    }
}
