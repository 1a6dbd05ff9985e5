#include "production/run_recorder.h"

#include "production/line_records.h"
#include "production/run_log.h"
#include "production/run_record.h"

namespace
{
QString logFailure(const QString &logFile, const QString &cause)
{
    return QStringLiteral("cannot write the log %1: %2").arg(logFile, cause);
}
} // namespace

RunRecorder::RunRecorder() = default;
RunRecorder::~RunRecorder() = default;

void RunRecorder::setLogFile(const QString &path)
{
    logFile = path;
}

bool RunRecorder::setDatabase(const QString &url, QString *error)
{
    line.reset();
    if (url.isEmpty())
        return true;
    auto records = std::make_unique<LineRecords>();
    if (!records->open(url, error))
        return false;
    line = std::move(records);
    return true;
}

bool RunRecorder::ready(QString *error) const
{
    QString cause;
    if (logFile.isEmpty() || canAppendTo(logFile, &cause))
        return true;
    if (error)
        *error = logFailure(logFile, cause);
    return false;
}

QString RunRecorder::record(const RunRecord &record, QString *note)
{
    QString cause;
    if (!logFile.isEmpty() && !appendRunRecord(logFile, record, &cause))
        return logFailure(logFile, cause);
    if (!line)
        return QString();
    const LineRecords::Delivery delivery = line->deliver(record, &cause);
    if (delivery == LineRecords::Delivery::Failed)
        return cause;
    if (delivery == LineRecords::Delivery::Spooled && note)
        *note = cause;
    return QString();
}

LineDatabase *RunRecorder::database()
{
    return line ? &line->database() : nullptr;
}
