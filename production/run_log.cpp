#include "production/run_log.h"

#include "image/file_io.h"
#include "production/run_record.h"

bool appendRunRecord(const QString &logFile, const RunRecord &record, QString *error)
{
    return appendToFile(logFile, runRecordLine(record), error);
}

bool canAppendTo(const QString &logFile, QString *error)
{
    return appendToFile(logFile, QByteArray(), error);
}
