#include "production/run_records.h"

#include "device/kr960_memory_map.h"
#include "upgrade/page_programmer.h"
#include "upgrade/upgrader.h"

#include <QFileInfo>

#include <cstring>

namespace
{

RunRecord recordOnBoard(RunCommand command, const BoardIdentity &board, const QDateTime &started)
{
    RunRecord record = newRunRecord(command, started);
    record.ended = QDateTime::currentDateTimeUtc();
    record.serial = QString::fromLatin1(board.serial);
    record.port = board.port;
    return record;
}

} // namespace

RunResult runResultOf(UpgradeOutcome outcome)
{
    switch (outcome) {
    case UpgradeOutcome::NotRun:
        return RunResult::NotRun;
    case UpgradeOutcome::Ok:
        return RunResult::Ok;
    case UpgradeOutcome::VerifyFailed:
        return RunResult::VerifyFailed;
    case UpgradeOutcome::ReadFailed:
        return RunResult::ReadFailed;
    case UpgradeOutcome::WriteFailed:
        return RunResult::WriteFailed;
    case UpgradeOutcome::BadFile:
        return RunResult::BadFile;
    case UpgradeOutcome::NoDevice:
        return RunResult::NoDevice;
    case UpgradeOutcome::Stopped:
        return RunResult::Stopped;
    }
    return RunResult::Unknown;
}

void takeFileFacts(RunRecord &record, const UpgradeFileFacts &file)
{
    record.fileName = file.fileName;
    record.fileSha256 = file.sha256;
    record.applicationChecksum = file.applicationChecksum;
    record.upperChecksum = file.upperChecksum;
    record.signingKeyId = file.signingKeyId;
    record.trustedComment = file.trustedComment;
}

RunRecord upgradeRunRecord(const UpgradeReport &report, const QDateTime &started)
{
    RunRecord record = recordOnBoard(RunCommand::Upgrade, report.board, started);
    takeFileFacts(record, report.file);
    record.result = runResultOf(report.outcome);
    record.logText = report.lastLine;
    record.pagesWritten = report.pagesWritten;
    record.pagesVerified = report.pagesVerified;
    return record;
}

VerifyResult verifyResultOf(const AreaComparison &comparison, const BoardIdentity &board,
                            const UpgradeFileFacts &file)
{
    VerifyResult verdict;
    verdict.board = board;
    verdict.file = file;
    if (comparison.readFailed) {
        const quint32 address =
            Kr960::ApplicationStart + quint32(comparison.failedPage) * Kr960::PageSize;
        verdict.result = RunResult::ReadFailed;
        verdict.text =
            QStringLiteral("reading the page at 0x%1 failed").arg(address, 8, 16, QChar('0'));
        return verdict;
    }
    const int differing = int(comparison.differingPages.size());
    verdict.pagesMatching = int(Kr960::ApplicationPages) - differing;
    verdict.result = differing ? RunResult::Differs : RunResult::Ok;
    verdict.text =
        differing
            ? QStringLiteral("%1 of %2 pages differ").arg(differing).arg(Kr960::ApplicationPages)
            : QStringLiteral("all %1 pages match").arg(Kr960::ApplicationPages);
    return verdict;
}

RunRecord verifyRunRecord(const VerifyResult &verify, const QDateTime &started)
{
    RunRecord record = recordOnBoard(RunCommand::Verify, verify.board, started);
    takeFileFacts(record, verify.file);
    record.result = verify.result;
    record.logText = verify.text;
    record.pagesWritten = 0;
    record.pagesVerified = verify.pagesMatching;
    return record;
}

RunRecord extWriteRunRecord(const BoardIdentity &board, const QString &fileName,
                            const QByteArray &bytes, bool passed, const QString &text,
                            const QDateTime &started)
{
    RunRecord record = recordOnBoard(RunCommand::ExtWrite, board, started);
    record.fileName = QFileInfo(fileName).fileName();
    record.fileSha256 = sha256Hex(bytes);
    record.result = passed ? RunResult::Ok : RunResult::Failed;
    record.logText = text;
    return record;
}

RunRecord bootImageRunRecord(const QString &serial, const QString &path, const QByteArray &image,
                             const QDateTime &started)
{
    RunRecord record = recordOnBoard(RunCommand::BootImages, {serial.toLatin1(), {}}, started);
    record.fileName = QFileInfo(path).fileName();
    record.fileSha256 = sha256Hex(image); // as stamped with this serial
    record.result = RunResult::Ok;
    record.logText = path;
    return record;
}

RunRecord crashedRunRecord(const BoardIdentity &board, const UpgradeFileFacts &file,
                           const PageProgress &progress, const QString &lastWords,
                           const QDateTime &started, int signalNumber)
{
    RunRecord record = recordOnBoard(RunCommand::Upgrade, board, started);
    takeFileFacts(record, file);
    record.result = RunResult::Crashed;
    QStringList reason;
    if (signalNumber > 0) {
        const char *name = sigabbrev_np(signalNumber);
        reason << QStringLiteral("ended by signal %1 (SIG%2)")
                      .arg(signalNumber)
                      .arg(QString::fromLatin1(name ? name : "?"));
    }
    if (!lastWords.isEmpty())
        reason << lastWords;
    record.logText = reason.join(QStringLiteral("; "));
    record.pagesWritten = progress.pagesWritten;
    record.pagesVerified = progress.pagesVerified;
    return record;
}

RunRecord unreachedBoardRecord(const BoardIdentity &board, const UpgradeFileFacts &file,
                               RunResult result, const QString &reason, const QDateTime &started)
{
    RunRecord record = recordOnBoard(RunCommand::Upgrade, board, started);
    takeFileFacts(record, file);
    record.result = result;
    record.logText = reason;
    record.pagesWritten = 0;
    record.pagesVerified = 0;
    return record;
}
