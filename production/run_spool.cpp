#include "production/run_spool.h"

#include "image/file_io.h"
#include "production/run_log.h"
#include "production/run_record.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace
{

// Holds the spool's lock file for its lifetime; the kernel drops the lock when a process dies.
class SpoolLock
{
public:
    explicit SpoolLock(const QString &directory)
    {
        if (!QDir().mkpath(directory)) {
            why = QString("cannot create %1").arg(directory);
            return;
        }
        const QByteArray path = QFile::encodeName(QDir(directory).filePath("spool.lock"));
        fd = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        while (fd >= 0 && ::flock(fd, LOCK_EX) != 0 && errno == EINTR) {
        }
        if (fd < 0)
            why = QString("cannot lock the spool in %1: %2")
                      .arg(directory, QString::fromLocal8Bit(std::strerror(errno)));
    }
    ~SpoolLock()
    {
        if (fd >= 0)
            ::close(fd); // releases the flock
    }
    bool held(QString *error) const
    {
        if (fd < 0 && error)
            *error = why;
        return fd >= 0;
    }

private:
    int fd = -1;
    QString why;
};

QList<QByteArray> spoolLines(const QString &fileName)
{
    QByteArray bytes;
    if (!QFile::exists(fileName) || !readWholeFile(fileName, &bytes))
        return {};
    QList<QByteArray> lines = bytes.split('\n');
    lines.removeAll(QByteArray());
    return lines;
}

} // namespace

QString RunSpool::defaultDirectory()
{
    const QString state = qEnvironmentVariable("XDG_STATE_HOME");
    if (!state.isEmpty())
        return QDir(state).filePath("mv604");
    return QDir::home().filePath(".local/state/mv604");
}

RunSpool::RunSpool(const QString &directory) : directory(directory) {}

QString RunSpool::fileName() const
{
    return QDir(directory).filePath("spool.jsonl");
}

bool RunSpool::append(const RunRecord &record, QString *error)
{
    const SpoolLock lock(directory);
    if (!lock.held(error))
        return false;
    QString why;
    if (appendRunRecord(fileName(), record, &why))
        return true;
    if (error)
        *error = QString("cannot write the spool %1: %2").arg(fileName(), why);
    return false;
}

int RunSpool::count() const
{
    const SpoolLock lock(directory);
    return lock.held(nullptr) ? int(spoolLines(fileName()).size()) : 0;
}

int RunSpool::drain(const std::function<bool(const RunRecord &record)> &send, QString *error)
{
    const SpoolLock lock(directory);
    if (!lock.held(error))
        return -1;
    const QList<QByteArray> lines = spoolLines(fileName());
    if (lines.isEmpty())
        return 0;
    QByteArray kept;
    QByteArray rejected;
    int sent = 0;
    bool sending = true;
    for (const QByteArray &line : lines) {
        RunRecord record;
        if (!runRecordFromJson(QJsonDocument::fromJson(line).object(), &record))
            rejected += line + '\n';
        else if (sending && send(record))
            ++sent;
        else {
            sending = false; // the database went away again: keep the rest in order
            kept += line + '\n';
        }
    }
    QString why;
    if (!rejected.isEmpty()) {
        QFile aside(QDir(directory).filePath("rejected.jsonl"));
        if (!aside.open(QIODevice::Append) || aside.write(rejected) != rejected.size()) {
            kept += rejected; // stays in the spool rather than being lost
            rejected.clear();
        }
    }
    if (kept.isEmpty() ? !QFile::remove(fileName()) && QFile::exists(fileName())
                       : !writeFileAtomically(fileName(), kept, &why)) {
        if (error)
            *error = QString("cannot rewrite the spool %1: %2").arg(fileName(), why);
        return -1;
    }
    return sent;
}
