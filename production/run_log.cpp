#include "production/run_log.h"

#include "files/file_io.h"
#include "production/run_record.h"

#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

bool appendRunRecord(const QString &logFile, const RunRecord &record, QString *error)
{
    // Not synced: the log is the line's trace; the spool and the database keep the record too.
    return appendToFile(logFile, runRecordLine(record), error);
}

bool canAppendTo(const QString &logFile, QString *error)
{
    // A log that is not there yet is only looked for, not made: a command that fails before
    // its first record leaves no empty file behind.
    const QFileInfo file(logFile);
    const QByteArray path = QFile::encodeName(file.exists() ? logFile : file.absolutePath());
    const bool usable = file.exists() ? ::access(path.constData(), W_OK) == 0 && !file.isDir()
                                      : ::access(path.constData(), W_OK | X_OK) == 0;
    if (!usable && error)
        *error = file.isDir() ? QStringLiteral("Is a directory")
                              : QString::fromLocal8Bit(std::strerror(errno));
    return usable;
}
