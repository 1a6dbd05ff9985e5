#include "production/worker_protocol.h"

#include <QJsonDocument>

namespace WorkerProtocol
{

namespace
{
const QByteArray ProgressPrefix = "progress: ";
const QByteArray RecordPrefix = "record: ";
} // namespace

QByteArray progressLine(const PageProgress &progress)
{
    return ProgressPrefix + QByteArray::number(progress.pagesDone) + ' ' +
           QByteArray::number(progress.pagesWritten) + ' ' +
           QByteArray::number(progress.pagesVerified) + '\n';
}

QByteArray recordLine(const RunRecord &record)
{
    return RecordPrefix + runRecordLine(record);
}

Line parse(const QByteArray &text)
{
    Line line;
    line.text = QString::fromLocal8Bit(text);
    if (text.startsWith(ProgressPrefix)) {
        const QList<QByteArray> numbers = text.mid(ProgressPrefix.size()).trimmed().split(' ');
        if (numbers.size() == 3) {
            line.kind = Line::Progress;
            line.progress = {numbers[0].toInt(), numbers[1].toInt(), numbers[2].toInt()};
        }
    } else if (text.startsWith(RecordPrefix)) {
        const QJsonDocument json = QJsonDocument::fromJson(text.mid(RecordPrefix.size()));
        if (json.isObject() && runRecordFromJson(json.object(), &line.record))
            line.kind = Line::Record;
    }
    return line;
}

QStringList workerArguments(const BoardIdentity &board, const QString &upgradeFile,
                            bool skipUnchanged)
{
    QStringList arguments;
    if (!board.port.isEmpty())
        arguments << QStringLiteral("--port") << board.port;
    if (!board.serial.isEmpty())
        arguments << QStringLiteral("--serial") << QString::fromLatin1(board.serial);
    arguments << QStringLiteral("upgrade") << QStringLiteral("--report");
    if (skipUnchanged)
        arguments << QStringLiteral("--skip-unchanged");
    arguments << QStringLiteral("--") << upgradeFile;
    return arguments;
}

} // namespace WorkerProtocol
