#include "production/run_record.h"

#include "mv604_version.h"

#include <QCryptographicHash>
#include <QJsonDocument>
#include <QList>
#include <QPair>
#include <QSysInfo>
#include <QUuid>

namespace
{

QString isoUtc(const QDateTime &time)
{
    return time.toUTC().toString(Qt::ISODateWithMs);
}

QJsonValue checksumValue(const std::optional<quint32> &checksum)
{
    if (!checksum)
        return QJsonValue::Null;
    return QString("0x%1").arg(*checksum, 8, 16, QChar('0'));
}

QJsonValue nullableText(const QString &text)
{
    return text.isNull() ? QJsonValue(QJsonValue::Null) : QJsonValue(text);
}

bool takeNullableText(const QJsonValue &value, QString *text)
{
    if (value.isNull() || value.isUndefined()) // absent in records written before
        *text = QString();
    else if (value.isString())
        *text = value.toString();
    else
        return false;
    return true;
}

QJsonValue countValue(const std::optional<int> &count)
{
    return count ? QJsonValue(*count) : QJsonValue(QJsonValue::Null);
}

bool takeTime(const QJsonValue &value, QDateTime *time)
{
    *time = QDateTime::fromString(value.toString(), Qt::ISODateWithMs).toUTC();
    return time->isValid();
}

bool takeChecksum(const QJsonValue &value, std::optional<quint32> *checksum)
{
    if (value.isNull()) {
        checksum->reset();
        return true;
    }
    bool ok = false;
    const QString text = value.toString();
    *checksum = text.startsWith("0x") ? text.mid(2).toUInt(&ok, 16) : 0;
    return ok;
}

bool takeCount(const QJsonValue &value, std::optional<int> *count)
{
    if (value.isNull())
        count->reset();
    else if (value.isDouble())
        *count = value.toInt();
    else
        return false;
    return true;
}

const QList<QPair<RunCommand, QLatin1String>> &commandNames()
{
    static const QList<QPair<RunCommand, QLatin1String>> names = {
        {RunCommand::Upgrade, QLatin1String("upgrade")},
        {RunCommand::Verify, QLatin1String("verify")},
        {RunCommand::ExtWrite, QLatin1String("ext-write")},
        {RunCommand::BootImages, QLatin1String("boot-images")},
    };
    return names;
}

const QList<QPair<RunResult, QLatin1String>> &resultNames()
{
    static const QList<QPair<RunResult, QLatin1String>> names = {
        {RunResult::Ok, QLatin1String("ok")},
        {RunResult::VerifyFailed, QLatin1String("verify-failed")},
        {RunResult::ReadFailed, QLatin1String("read-failed")},
        {RunResult::WriteFailed, QLatin1String("write-failed")},
        {RunResult::BadFile, QLatin1String("bad-file")},
        {RunResult::NoDevice, QLatin1String("no-device")},
        {RunResult::Stopped, QLatin1String("stopped")},
        {RunResult::NotRun, QLatin1String("not-run")},
        {RunResult::Crashed, QLatin1String("crashed")},
        {RunResult::CannotOpen, QLatin1String("cannot-open")},
        {RunResult::Interrupted, QLatin1String("interrupted")},
        {RunResult::Differs, QLatin1String("differs")},
        {RunResult::Failed, QLatin1String("failed")},
    };
    return names;
}

template <typename Value>
QString nameOf(const QList<QPair<Value, QLatin1String>> &names, Value value)
{
    for (const auto &name : names)
        if (name.first == value)
            return name.second;
    return QString();
}

template <typename Value>
Value valueNamed(const QList<QPair<Value, QLatin1String>> &names, const QString &text)
{
    for (const auto &name : names)
        if (name.second == text)
            return name.first;
    return Value::Unknown;
}

} // namespace

QString runCommandName(RunCommand command)
{
    return nameOf(commandNames(), command);
}

RunCommand runCommandNamed(const QString &name)
{
    return valueNamed(commandNames(), name);
}

QString runResultName(RunResult result)
{
    return nameOf(resultNames(), result);
}

RunResult runResultNamed(const QString &name)
{
    return valueNamed(resultNames(), name);
}

QString RunRecord::commandText() const
{
    return command == RunCommand::Unknown ? unknownCommandName : runCommandName(command);
}

QString RunRecord::resultText() const
{
    return result == RunResult::Unknown ? unknownResultName : runResultName(result);
}

void RunRecord::setCommandText(const QString &name)
{
    command = runCommandNamed(name);
    unknownCommandName = command == RunCommand::Unknown ? name : QString();
}

void RunRecord::setResultText(const QString &name)
{
    result = runResultNamed(name);
    unknownResultName = result == RunResult::Unknown ? name : QString();
}

double RunRecord::durationSeconds() const
{
    return started.msecsTo(ended) / 1000.0;
}

RunRecord newRunRecord(RunCommand command, const QDateTime &started)
{
    RunRecord record;
    record.id = QUuid::createUuid().toString(QUuid::WithoutBraces);
    record.started = started.toUTC();
    record.ended = record.started;
    record.host = QSysInfo::machineHostName();
    record.toolVersion = QStringLiteral(MV604_VERSION_TEXT);
    record.command = command;
    return record;
}

QJsonObject runRecordJson(const RunRecord &record)
{
    QJsonObject object;
    object["id"] = record.id;
    object["started"] = isoUtc(record.started);
    object["ended"] = isoUtc(record.ended);
    object["host"] = record.host;
    object["tool_version"] = record.toolVersion;
    object["command"] = record.commandText();
    object["serial"] = record.serial;
    object["port"] = record.port;
    object["file"] = record.fileName;
    object["file_sha256"] = QString::fromLatin1(record.fileSha256);
    object["application_checksum"] = checksumValue(record.applicationChecksum);
    object["upper_checksum"] = checksumValue(record.upperChecksum);
    object["result"] = record.resultText();
    object["log"] = record.logText;
    object["pages_written"] = countValue(record.pagesWritten);
    object["pages_verified"] = countValue(record.pagesVerified);
    object["duration_s"] = record.durationSeconds();
    object["signing_key_id"] = nullableText(record.signingKeyId);
    object["trusted_comment"] = nullableText(record.trustedComment);
    return object;
}

bool runRecordFromJson(const QJsonObject &object, RunRecord *record)
{
    for (const char *key : {"id", "host", "tool_version", "command", "serial", "port", "file",
                            "file_sha256", "result", "log"})
        if (!object.value(key).isString())
            return false;
    RunRecord taken;
    taken.id = object["id"].toString();
    taken.host = object["host"].toString();
    taken.toolVersion = object["tool_version"].toString();
    taken.setCommandText(object["command"].toString());
    taken.serial = object["serial"].toString();
    taken.port = object["port"].toString();
    taken.fileName = object["file"].toString();
    taken.fileSha256 = object["file_sha256"].toString().toLatin1();
    taken.setResultText(object["result"].toString());
    taken.logText = object["log"].toString();
    if (taken.id.isEmpty() || !takeTime(object["started"], &taken.started) ||
        !takeTime(object["ended"], &taken.ended) ||
        !takeChecksum(object["application_checksum"], &taken.applicationChecksum) ||
        !takeChecksum(object["upper_checksum"], &taken.upperChecksum) ||
        !takeCount(object["pages_written"], &taken.pagesWritten) ||
        !takeCount(object["pages_verified"], &taken.pagesVerified) ||
        !takeNullableText(object["signing_key_id"], &taken.signingKeyId) ||
        !takeNullableText(object["trusted_comment"], &taken.trustedComment))
        return false;
    *record = taken;
    return true;
}

QByteArray runRecordLine(const RunRecord &record)
{
    return QJsonDocument(runRecordJson(record)).toJson(QJsonDocument::Compact) + '\n';
}

QByteArray sha256Hex(const QByteArray &bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex();
}
