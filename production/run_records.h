#pragma once

#include "device/board_identity.h"
#include "production/run_record.h"
#include "upgrade/upgrade_file.h"

#include <QDateTime>
#include <QList>

struct UpgradeReport;
struct PageProgress;

// The one place where records are made, each from the typed result of its job; no record field
// is ever read back from log text.

// An upgrade run, from the worker's report: the board it kept to and the bytes it read.
RunRecord upgradeRunRecord(const UpgradeReport &report, const QDateTime &started);

// A comparison of the board with an upgrade file (nothing written).
struct VerifyResult {
    BoardIdentity board;
    UpgradeFileFacts file;
    QString result; // "ok", "differs", "read-failed"
    QString text;   // what the command said last
    int pagesMatching = 0;
};
RunRecord verifyRunRecord(const VerifyResult &verify, const QDateTime &started);

// A .bin file written to external flash and read back.
RunRecord extWriteRunRecord(const BoardIdentity &board, const QString &fileName,
                            const QByteArray &bytes, bool passed, const QString &text,
                            const QDateTime &started);

// One production boot image, stamped with `serial` and written to `path`.
RunRecord bootImageRunRecord(const QString &serial, const QString &path, const QByteArray &image,
                             const QDateTime &started);

// A run whose worker died without its record: what the station knew of it, the pages the worker
// had reported done, the signal that ended the worker (0: it exited) and its last words.
RunRecord crashedRunRecord(const BoardIdentity &board, const UpgradeFileFacts &file,
                           const PageProgress &progress, const QString &lastWords,
                           const QDateTime &started, int signalNumber = 0);

// A board the station could not open: a failed run of its own, so that no board passes unseen.
RunRecord refusedBoardRecord(const BoardIdentity &board, const UpgradeFileFacts &file,
                             const QString &reason, const QDateTime &at);

// Records of one kind share their file facts.
void takeFileFacts(RunRecord &record, const UpgradeFileFacts &file);
