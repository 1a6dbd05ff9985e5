#include "files/file_io.h"

#include <QFile>
#include <QFileInfo>

#ifdef Q_OS_WIN
#include <QSaveFile>
#else
#include <QRandomGenerator>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#ifdef Q_OS_WIN

// Untested, as all of the Windows build: Qt's own writer, whose reasons lose the system's text.
bool writeFileAtomically(const QString &fileName, const QByteArray &bytes, QString *error)
{
    QSaveFile file(fileName);
    const bool written = file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() &&
                         file.flush() && file.commit();
    if (!written && error)
        *error = file.errorString();
    return written;
}

bool appendToFile(const QString &fileName, const QByteArray &bytes, QString *error, bool)
{
    QFile file(fileName);
    const bool written = file.open(QIODevice::Append) && file.write(bytes) == bytes.size();
    if (!written && error)
        *error = file.errorString();
    return written;
}

#else

namespace
{

QString systemText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// False with errno set; a signal or a partial write only makes it go on.
bool writeAll(int fd, const QByteArray &bytes)
{
    const char *data = bytes.constData();
    qint64 left = bytes.size();
    while (left > 0) {
        const ssize_t written = ::write(fd, data, size_t(left));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0) {
            if (written == 0)
                errno = EIO;
            return false;
        }
        data += written;
        left -= written;
    }
    return true;
}

// A device or a pipe (/dev/full, /dev/stdout) cannot be replaced by a rename, and a file beside
// it would take its place: it is written as it is.
bool isDeviceOrPipe(const QByteArray &path)
{
    struct stat status;
    return ::stat(path.constData(), &status) == 0 && !S_ISREG(status.st_mode) &&
           !S_ISDIR(status.st_mode);
}

// The error number of the first step that failed, 0 when every byte went out.
int writeInPlace(const QByteArray &path, const QByteArray &bytes, int flags = 0)
{
    const int fd = ::open(path.constData(), O_WRONLY | O_CLOEXEC | flags, 0644);
    if (fd < 0)
        return errno;
    int cause = writeAll(fd, bytes) ? 0 : errno;
    if (::close(fd) != 0 && cause == 0)
        cause = errno;
    return cause;
}

// Written and synced under a new name in the target's folder, then renamed over the target, so
// that a reader finds the old file or the new one, never a part. The reason of a failure, empty
// on success; the new file never outlives a failure.
QString writeBeside(const QString &target, const QByteArray &bytes)
{
    const QByteArray path = QFile::encodeName(target);
    QByteArray temporary;
    int fd = -1;
    for (int attempt = 0; fd < 0 && attempt < 16; ++attempt) {
        temporary = path + '.' + QByteArray::number(QRandomGenerator::global()->generate(), 16);
        // 0644 through the umask, as any new file gets; mkstemp would give 0600.
        fd = ::open(temporary.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd < 0 && errno != EEXIST)
            break;
    }
    if (fd < 0) {
        const int cause = errno;
        return QStringLiteral("cannot create a file in %1: %2")
            .arg(QFileInfo(target).path(), systemText(cause));
    }
    int cause = writeAll(fd, bytes) && ::fsync(fd) == 0 ? 0 : errno;
    if (::close(fd) != 0 && cause == 0)
        cause = errno;
    if (cause == 0 && ::rename(temporary.constData(), path.constData()) != 0)
        cause = errno;
    if (cause == 0)
        return QString();
    ::unlink(temporary.constData());
    return systemText(cause);
}

// Whole lines or nothing. Under an flock on the file itself (every writer of ours takes it), so
// that the length noted before the write is still the end when a short write is cut back to it.
// A file left without its last newline (a writer killed halfway) gets one first: the torn part
// stays a line of its own, which a reader sets aside, and this record is not glued to it.
int appendWhole(int fd, const QByteArray &bytes, bool sync)
{
    while (::flock(fd, LOCK_EX) != 0)
        if (errno != EINTR)
            return errno;
    struct stat status;
    if (::fstat(fd, &status) != 0)
        return errno;
    const off_t before = status.st_size;
    char last = '\n';
    if (before > 0 && ::pread(fd, &last, 1, before - 1) != 1)
        last = '\n';
    const QByteArray whole = last == '\n' ? bytes : '\n' + bytes;
    int cause = writeAll(fd, whole) ? 0 : errno;
    if (cause == 0 && sync && ::fdatasync(fd) != 0)
        cause = errno;
    if (cause != 0 && ::ftruncate(fd, before) != 0) {
        // Nothing more to do: the reader sets the torn line aside.
    }
    return cause;
}

} // namespace

bool writeFileAtomically(const QString &fileName, const QByteArray &bytes, QString *error)
{
    // Through a symbolic link to the file it names, which stays a link.
    const QString canonical = QFileInfo(fileName).canonicalFilePath();
    const QString target = canonical.isEmpty() ? fileName : canonical;
    QString reason;
    if (isDeviceOrPipe(QFile::encodeName(target))) {
        const int cause = writeInPlace(QFile::encodeName(target), bytes);
        if (cause != 0)
            reason = systemText(cause);
    } else {
        reason = writeBeside(target, bytes);
    }
    if (error && !reason.isEmpty())
        *error = reason;
    return reason.isEmpty();
}

bool appendToFile(const QString &fileName, const QByteArray &bytes, QString *error, bool sync)
{
    const QByteArray path = QFile::encodeName(fileName);
    // Read and write: its last byte tells whether it ends in a newline.
    int fd = ::open(path.constData(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0 && errno == EACCES) // a file we may only write to
        fd = ::open(path.constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    int cause = fd < 0 ? errno : 0;
    if (fd >= 0 && !bytes.isEmpty())
        cause = appendWhole(fd, bytes, sync);
    if (fd >= 0 && ::close(fd) != 0 && cause == 0)
        cause = errno;
    if (cause != 0 && error)
        *error = systemText(cause);
    return cause == 0;
}

#endif

bool readWholeFile(const QString &fileName, QByteArray *bytes, QString *error)
{
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly)) {
        if (error)
            *error = file.errorString();
        return false;
    }
    *bytes = file.readAll();
    if (file.error() != QFile::NoError) {
        if (error)
            *error = file.errorString();
        return false;
    }
    return true;
}
