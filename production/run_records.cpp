#include "production/run_records.h"

#include "upgrade/upgrader.h"

#include <QFileInfo>

#include <cstring>

namespace
{

RunRecord recordOnBoard(const QString &command, const BoardIdentity &board,
                        const QDateTime &started)
{
    RunRecord record = newRunRecord(command, started);
    record.ended = QDateTime::currentDateTimeUtc();
    record.serial = QString::fromLatin1(board.serial);
    record.port = board.port;
    return record;
}

} // namespace

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
    RunRecord record = recordOnBoard(QStringLiteral("upgrade"), report.board, started);
    takeFileFacts(record, report.file);
    record.result = upgradeOutcomeName(report.outcome);
    record.logText = report.lastLine;
    record.pagesWritten = report.pagesWritten;
    record.pagesVerified = report.pagesVerified;
    return record;
}

RunRecord verifyRunRecord(const VerifyResult &verify, const QDateTime &started)
{
    RunRecord record = recordOnBoard(QStringLiteral("verify"), verify.board, started);
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
    RunRecord record = recordOnBoard(QStringLiteral("ext-write"), board, started);
    record.fileName = QFileInfo(fileName).fileName();
    record.fileSha256 = sha256Hex(bytes);
    record.result = passed ? QStringLiteral("ok") : QStringLiteral("failed");
    record.logText = text;
    return record;
}

RunRecord bootImageRunRecord(const QString &serial, const QString &path, const QByteArray &image,
                             const QDateTime &started)
{
    RunRecord record =
        recordOnBoard(QStringLiteral("boot-images"), {serial.toLatin1(), {}}, started);
    record.fileName = QFileInfo(path).fileName();
    record.fileSha256 = sha256Hex(image); // as stamped with this serial
    record.result = QStringLiteral("ok");
    record.logText = path;
    return record;
}

RunRecord crashedRunRecord(const BoardIdentity &board, const UpgradeFileFacts &file,
                           const PageProgress &progress, const QString &lastWords,
                           const QDateTime &started, int signalNumber)
{
    RunRecord record = recordOnBoard(QStringLiteral("upgrade"), board, started);
    takeFileFacts(record, file);
    record.result = QStringLiteral("crashed");
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

RunRecord refusedBoardRecord(const BoardIdentity &board, const UpgradeFileFacts &file,
                             const QString &reason, const QDateTime &at)
{
    RunRecord record = recordOnBoard(QStringLiteral("upgrade"), board, at);
    takeFileFacts(record, file);
    record.result = QStringLiteral("cannot-open");
    record.logText = reason;
    record.pagesWritten = 0;
    record.pagesVerified = 0;
    return record;
}
