#include "production/run_recorder.h"

#include "production/run_log.h"
#include "production/run_record.h"

namespace
{
QString logFailure(const QString &logFile, const QString &cause)
{
    return QStringLiteral("cannot write the log %1: %2").arg(logFile, cause);
}
} // namespace

void RunRecorder::setLogFile(const QString &path)
{
    logFile = path;
}

bool RunRecorder::recording() const
{
    return !logFile.isEmpty();
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

QString RunRecorder::record(const RunRecord &record) const
{
    QString cause;
    if (logFile.isEmpty() || appendRunRecord(logFile, record, &cause))
        return QString();
    return logFailure(logFile, cause);
}
