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
    const QList<qint64> numbers{progress.pagesDone,     progress.pagesTotal, progress.pagesWritten,
                                progress.pagesVerified, progress.bytesDone,  progress.bytesTotal};
    QByteArrayList fields;
    for (const qint64 number : numbers)
        fields << QByteArray::number(number);
    return ProgressPrefix + fields.join(' ') + '\n';
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
        if (numbers.size() == 6) {
            line.kind = Line::Progress;
            line.progress = {numbers[0].toInt(), numbers[1].toInt(),      numbers[2].toInt(),
                             numbers[3].toInt(), numbers[4].toLongLong(), numbers[5].toLongLong()};
        }
    } else if (text.startsWith(RecordPrefix)) {
        const QJsonDocument json = QJsonDocument::fromJson(text.mid(RecordPrefix.size()));
        if (json.isObject() && runRecordFromJson(json.object(), &line.record))
            line.kind = Line::Record;
    }
    return line;
}

QStringList workerArguments(const Order &order)
{
    QStringList arguments;
    if (!order.board.port.isEmpty())
        arguments << QStringLiteral("--port") << order.board.port;
    if (!order.board.serial.isEmpty())
        arguments << QStringLiteral("--serial") << QString::fromLatin1(order.board.serial);
    if (order.skipUnchanged)
        arguments << QStringLiteral("--skip-unchanged");
    arguments << QStringLiteral("--") << order.fileName;
    return arguments;
}

bool parseOrder(const QStringList &arguments, Order *order, QString *error)
{
    Order parsed;
    for (int i = 0; i < arguments.size(); ++i) {
        const QString &argument = arguments[i];
        const bool hasValue = i + 1 < arguments.size();
        if (argument == QLatin1String("--port") && hasValue) {
            parsed.board.port = arguments[++i];
        } else if (argument == QLatin1String("--serial") && hasValue) {
            parsed.board.serial = arguments[++i].toLatin1();
        } else if (argument == QLatin1String("--skip-unchanged")) {
            parsed.skipUnchanged = true;
        } else if (argument == QLatin1String("--") && i + 2 == arguments.size()) {
            parsed.fileName = arguments[i + 1];
            *order = parsed;
            return true;
        } else {
            break;
        }
    }
    *error = QStringLiteral("a station's worker: --port P --serial S [--skip-unchanged] -- FILE, "
                            "the file's bytes on standard input");
    return false;
}

} // namespace WorkerProtocol
