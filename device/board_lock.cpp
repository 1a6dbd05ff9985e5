#include "device/board_lock.h"

#include <QDir>
#include <QFile>
#include <QThread>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

// A holder writes who it is right after it takes the lock; a refused process may look in
// between, so it looks a few times before it settles for "another process".
constexpr int HolderLooks = 5;
constexpr int HolderLookPauseMs = 20;

QString systemText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

QString lockFileOf(const QString &port)
{
    return QDir(boardLockDirectory()).filePath(QString("board-%1.lock").arg(port));
}

QByteArray holderOf(int descriptor)
{
    for (int look = 0; look < HolderLooks; ++look) {
        char text[256];
        const ssize_t length = pread(descriptor, text, sizeof text - 1, 0);
        if (length > 0)
            return QByteArray(text, int(length)).trimmed();
        QThread::msleep(HolderLookPauseMs);
    }
    return QByteArray();
}

// The file holds "PID COMMAND".
QString inUseText(const QString &port, const QByteArray &holder)
{
    const int space = holder.indexOf(' ');
    if (space <= 0)
        return QString("the board on port %1 is in use by another process").arg(port);
    return QString("the board on port %1 is in use by PID %2 (%3)")
        .arg(port, QString::fromLatin1(holder.left(space)),
             QString::fromLocal8Bit(holder.mid(space + 1)));
}

void tellHolder(int descriptor, const QString &command)
{
    const QByteArray text = QByteArray::number(qint64(getpid())) + ' ' + command.toLocal8Bit();
    if (ftruncate(descriptor, 0) == 0 &&
        pwrite(descriptor, text.constData(), size_t(text.size()), 0) < 0)
        return; // who holds it is a courtesy to the refused; the lock holds without it
}

} // namespace

QString boardLockDirectory()
{
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && QDir(runtime).exists())
        return QDir(runtime).filePath("mv604");
    return QDir(QDir::tempPath()).filePath(QString("mv604-%1").arg(getuid()));
}

BoardLock::BoardLock(BoardLock &&other) noexcept : descriptor(other.descriptor)
{
    other.descriptor = -1;
}

BoardLock &BoardLock::operator=(BoardLock &&other) noexcept
{
    if (this != &other) {
        if (descriptor >= 0)
            close(descriptor);
        descriptor = other.descriptor;
        other.descriptor = -1;
    }
    return *this;
}

BoardLock::~BoardLock()
{
    if (descriptor >= 0)
        close(descriptor); // drops the lock
}

BoardLock BoardLock::take(const QString &port, const QString &command, QString *refusal)
{
    const QString folder = boardLockDirectory();
    // Private to the user: another user's file in a shared temporary folder is not trusted.
    if (mkdir(QFile::encodeName(folder).constData(), 0700) != 0 && errno != EEXIST) {
        *refusal = QString("cannot make the lock folder %1: %2").arg(folder, systemText(errno));
        return BoardLock();
    }
    const QString fileName = lockFileOf(port);
    const int descriptor = open(QFile::encodeName(fileName).constData(),
                                O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (descriptor < 0) {
        *refusal = QString("cannot open the lock file %1: %2").arg(fileName, systemText(errno));
        return BoardLock();
    }
    if (flock(descriptor, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        *refusal = error == EWOULDBLOCK
                       ? inUseText(port, holderOf(descriptor))
                       : QString("cannot lock %1: %2").arg(fileName, systemText(error));
        close(descriptor);
        return BoardLock();
    }
    tellHolder(descriptor, command);
    return BoardLock(descriptor);
}
