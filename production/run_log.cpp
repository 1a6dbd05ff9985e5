#include "production/run_log.h"

#include "production/run_record.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#ifndef O_CLOEXEC // Windows
#define O_CLOEXEC 0
#endif

namespace
{

bool writeAll(int fd, const QByteArray &line)
{
    // A regular file takes an O_APPEND write whole; the loop only guards against a signal.
    const char *data = line.constData();
    qint64 left = line.size();
    while (left > 0) {
        const ssize_t written = ::write(fd, data, size_t(left));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        data += written;
        left -= written;
    }
    return true;
}

int openForAppending(const QString &logFile)
{
    return ::open(QFile::encodeName(logFile).constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC,
                  0644);
}

QString systemError(int cause)
{
    return QString::fromLocal8Bit(std::strerror(cause));
}

} // namespace

bool appendRunRecord(const QString &logFile, const RunRecord &record, QString *error)
{
    const QByteArray line = runRecordLine(record);
    errno = 0;
    const int fd = openForAppending(logFile);
    bool written = fd >= 0 && writeAll(fd, line);
    int cause = errno;
    if (fd >= 0 && ::close(fd) != 0 && written) {
        written = false;
        cause = errno;
    }
    if (!written && error)
        *error = systemError(cause ? cause : EIO);
    return written;
}

bool canAppendTo(const QString &logFile, QString *error)
{
    const int fd = openForAppending(logFile);
    if (fd < 0) {
        if (error)
            *error = systemError(errno);
        return false;
    }
    ::close(fd);
    return true;
}
