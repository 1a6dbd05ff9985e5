#include "production/run_spool.h"

#include "files/file_io.h"
#include "production/run_log.h"
#include "production/run_record.h"

#include <QDateTime>
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
            why = QString("cannot create the spool folder %1").arg(directory);
            return;
        }
        const QByteArray path = QFile::encodeName(QDir(directory).filePath("spool.lock"));
        fd = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        while (fd >= 0 && ::flock(fd, LOCK_EX) != 0 && errno == EINTR) {
        }
        if (fd < 0)
            why = QString("cannot use the spool folder %1: %2")
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

// A line of the spool: a record, or why it is none.
struct SpoolLine {
    QByteArray text;
    QString torn; // empty for a whole record
};

// Every whole line; a last line without its newline was cut short (a writer killed halfway).
QList<SpoolLine> spoolLines(const QString &fileName)
{
    QByteArray bytes;
    if (!QFile::exists(fileName) || !readWholeFile(fileName, &bytes))
        return {};
    QList<QByteArray> texts = bytes.split('\n');
    const bool cutShort = !texts.last().isEmpty();
    QList<SpoolLine> lines;
    for (int i = 0; i < texts.size(); ++i) {
        if (texts[i].isEmpty())
            continue;
        QString torn;
        RunRecord record;
        if (cutShort && i == texts.size() - 1)
            torn = "a line cut short (no newline at its end)";
        else if (!runRecordFromJson(QJsonDocument::fromJson(texts[i]).object(), &record))
            torn = "not a whole run record";
        lines.append({texts[i], torn});
    }
    return lines;
}

QByteArray rejectedLine(const QByteArray &line, const QString &reason)
{
    const QJsonObject entry{
        {"set_aside", QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs)},
        {"reason", reason},
        {"line", QString::fromUtf8(line)}};
    return QJsonDocument(entry).toJson(QJsonDocument::Compact) + '\n';
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

QString RunSpool::rejectedFileName() const
{
    return QDir(directory).filePath("rejected.jsonl");
}

bool RunSpool::append(const RunRecord &record, QString *error)
{
    const SpoolLock lock(directory);
    if (!lock.held(error))
        return false;
    QString why;
    // Synced: until the database has it, this line may be the record's only copy.
    if (appendToFile(fileName(), runRecordLine(record), &why, true))
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

bool RunSpool::reject(const QByteArray &line, const QString &reason, QString *error)
{
    QString why;
    if (appendToFile(rejectedFileName(), rejectedLine(line, reason), &why, true))
        return true;
    if (error)
        *error = QString("cannot write %1: %2").arg(rejectedFileName(), why);
    return false;
}

RunSpool::Flush RunSpool::drain(const std::function<Offer(const RunRecord &, QString *)> &send)
{
    Flush flush;
    QList<SpoolLine> lines;
    {
        const SpoolLock lock(directory);
        if (!lock.held(&flush.error))
            return flush;
        lines = spoolLines(fileName());
    }
    // The database is asked without the lock: a frozen server never holds up an append.
    QList<QByteArray> gone;
    bool sending = true;
    for (const SpoolLine &line : lines) {
        QString reason = line.torn;
        if (reason.isEmpty() && sending) {
            RunRecord record;
            runRecordFromJson(QJsonDocument::fromJson(line.text).object(), &record);
            const Offer offer = send(record, &reason);
            if (offer == Offer::Taken) {
                ++flush.sent;
                gone << line.text;
                continue;
            }
            if (offer == Offer::Unreachable) {
                sending = false; // away again: keep the rest in order
                flush.cause = reason;
            }
        }
        if (!sending && line.torn.isEmpty()) {
            ++flush.waiting;
            continue;
        }
        if (reject(line.text, reason, nullptr)) {
            ++flush.setAside;
            gone << line.text;
        } else {
            ++flush.waiting; // stays in the spool rather than being lost
        }
    }
    if (gone.isEmpty())
        return flush;
    // Lines appended meanwhile stay: only the lines sent or set aside leave.
    const SpoolLock lock(directory);
    if (!lock.held(&flush.error))
        return flush;
    QByteArray kept;
    for (const SpoolLine &line : spoolLines(fileName()))
        if (!gone.removeOne(line.text))
            kept += line.text + '\n';
    QString why;
    if (kept.isEmpty() ? !QFile::remove(fileName()) && QFile::exists(fileName())
                       : !writeFileAtomically(fileName(), kept, &why))
        flush.error = QString("cannot rewrite the spool %1: %2").arg(fileName(), why);
    return flush;
}
