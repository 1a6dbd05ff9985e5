#pragma once

#include "device/board_identity.h"
#include "production/run_record.h"
#include "upgrade/upgrade_file.h"

#include <QDateTime>
#include <QList>

struct UpgradeReport;
struct PageProgress;
struct AreaComparison;
enum class UpgradeOutcome;

// The record's name for how an upgrade run ended.
RunResult runResultOf(UpgradeOutcome outcome);

// The one place where records are made, each from the typed result of its job; no record field
// is ever read back from log text.

// An upgrade run, from the worker's report: the board it kept to and the bytes it read.
RunRecord upgradeRunRecord(const UpgradeReport &report, const QDateTime &started);

// A comparison of the board with an upgrade file (nothing written).
struct VerifyResult {
    BoardIdentity board;
    UpgradeFileFacts file;
    RunResult result = RunResult::NotRun; // Ok, Differs or ReadFailed
    QString text;                         // what the command says last
    int pagesMatching = 0;
};
// What a comparison of the board's application area with the file comes to.
VerifyResult verifyResultOf(const AreaComparison &comparison, const BoardIdentity &board,
                            const UpgradeFileFacts &file);
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

// An upgrade run that never reached its board: the station could not open it (CannotOpen), or
// the worker found it gone or held by another process (NoDevice). A failed run of its own, so
// that no board passes unseen.
RunRecord unreachedBoardRecord(const BoardIdentity &board, const UpgradeFileFacts &file,
                               RunResult result, const QString &reason, const QDateTime &started);

// Records of one kind share their file facts.
void takeFileFacts(RunRecord &record, const UpgradeFileFacts &file);
