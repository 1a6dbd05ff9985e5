#include "production/run_recorder.h"

#include "production/line_records.h"
#include "production/run_log.h"
#include "production/run_record.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QThread>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <QList>
#include <QSet>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <utility>

namespace
{

using Clock = std::chrono::steady_clock;

QString logFailure(const QString &logFile, const QString &cause)
{
    return QStringLiteral("cannot write the log %1: %2").arg(logFile, cause);
}

// A call stuck this long makes settle() give up waiting and the state read "spooling".
constexpr std::chrono::milliseconds StuckAfter(300);

} // namespace

// The thread that owns the database: it opens it, then sends the spool whenever a record was
// handed over. A watchdog interrupts a call past its deadline.
struct RunRecorder::Sender {
    explicit Sender(const QString &spoolDirectory) : records(spoolDirectory) {}

    LineRecords records;
    mutable std::mutex lock;
    std::condition_variable changed;
    QString url;
    bool opening = false;
    bool openOk = false;
    QString openError;
    bool flushWanted = false;
    QList<RunRecord> unspooled; // records the spool did not take: sent from memory
    int storedFromMemory = 0;
    bool stopping = false;
    bool calling = false;
    Clock::time_point callStarted;
    bool away = false; // the last call found the database away
    QString awayCause;
    QThread *thread = nullptr;
    QThread *watchdog = nullptr;

    void start()
    {
        thread = QThread::create([this] { run(); });
        watchdog = QThread::create([this] { watch(); });
        thread->start();
        watchdog->start();
    }

    void stop()
    {
        {
            const std::lock_guard<std::mutex> guard(lock);
            stopping = true;
        }
        changed.notify_all();
        records.database().interrupt();
        // The call in progress ends at once; a SQLite busy wait within one busy timeout.
        while (!thread->wait(100))
            records.database().interrupt();
        watchdog->wait();
        delete thread;
        delete watchdog;
    }

    // One database call, seen by the watchdog.
    template <typename Call> void call(Call &&work)
    {
        {
            const std::lock_guard<std::mutex> guard(lock);
            calling = true;
            callStarted = Clock::now();
        }
        work();
        {
            const std::lock_guard<std::mutex> guard(lock);
            calling = false;
        }
        changed.notify_all();
    }

    void run()
    {
        std::unique_lock<std::mutex> guard(lock);
        for (;;) {
            changed.wait(guard, [this] {
                return stopping || opening || flushWanted || !unspooled.isEmpty();
            });
            if (stopping)
                break;
            if (opening) {
                const QString target = url;
                guard.unlock();
                QString error;
                bool ok = false;
                call([&] { ok = records.open(target, &error); });
                guard.lock();
                openOk = ok;
                openError = error;
                opening = false;
                changed.notify_all();
                continue;
            }
            flushWanted = false;
            const QList<RunRecord> direct = std::exchange(unspooled, {});
            guard.unlock();
            RunSpool::Flush flush;
            call([&] {
                for (const RunRecord &record : direct)
                    if (records.deliver(record, nullptr) == LineRecords::Delivery::Stored) {
                        const std::lock_guard<std::mutex> stored(lock);
                        ++storedFromMemory;
                    }
                flush = records.flushSpool();
            });
            guard.lock();
            away = flush.waiting > 0;
            awayCause = flush.cause.isEmpty() ? flush.error : flush.cause;
        }
        guard.unlock();
        records.database().close();
    }

    void watch()
    {
        std::unique_lock<std::mutex> guard(lock);
        while (!stopping) {
            changed.wait_for(guard, std::chrono::milliseconds(200));
            if (calling && Clock::now() - callStarted >
                               std::chrono::milliseconds(LineDatabase::CallDeadlineMs))
                records.database().interrupt();
        }
    }

    bool stuck() const { return calling && Clock::now() - callStarted > StuckAfter; }
};

RunRecorder::RunRecorder(const QString &spoolDirectory) : spool(spoolDirectory) {}

RunRecorder::~RunRecorder()
{
    if (sender)
        sender->stop();
    if (journalFd >= 0) {
        // Every start has its end when the recorder ends in order: nothing to recover.
        if (openStarts.isEmpty())
            ::unlink(QFile::encodeName(journalPath).constData());
        ::close(journalFd);
    }
}

QString RunRecorder::boardOf(const RunRecord &record)
{
    return record.serial.isEmpty() ? "port " + record.port : record.serial;
}

bool RunRecorder::journal(const QByteArray &line)
{
    if (journalFd < 0) {
        if (!QDir().mkpath(spool.folder()))
            return false;
        journalPath = QDir(spool.folder())
                          .filePath(QString("journal-%1-%2.jsonl")
                                        .arg(::getpid())
                                        .arg(QRandomGenerator::global()->generate(), 0, 16));
        journalFd = ::open(QFile::encodeName(journalPath).constData(),
                           O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
        if (journalFd < 0 || ::flock(journalFd, LOCK_EX | LOCK_NB) != 0)
            return false;
    }
    const char *data = line.constData();
    qint64 left = line.size();
    while (left > 0) {
        const ssize_t written = ::write(journalFd, data, size_t(left));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        data += written;
        left -= written;
    }
    return ::fdatasync(journalFd) == 0;
}

// Journals whose lock is free belong to processes that ended without closing their runs.
void RunRecorder::recoverInterrupted()
{
    recovered = true;
    const QDir folder(spool.folder());
    for (const QString &name : folder.entryList({"journal-*.jsonl"}, QDir::Files)) {
        const QString path = folder.filePath(name);
        if (path == journalPath)
            continue;
        const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
        if (fd < 0 || ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            if (fd >= 0)
                ::close(fd);
            continue; // its process lives
        }
        QFile file;
        QList<RunRecord> starts;
        QSet<QString> ended;
        if (file.open(fd, QIODevice::ReadOnly))
            for (const QByteArray &line : file.readAll().split('\n')) {
                const QJsonObject entry = QJsonDocument::fromJson(line).object();
                RunRecord start;
                if (entry.contains("ended_run"))
                    ended.insert(entry["ended_run"].toString());
                else if (runRecordFromJson(entry, &start))
                    starts << start;
            }
        for (RunRecord start : starts)
            if (!ended.contains(start.id)) {
                start.ended = start.started;
                interruptedBoards.insert(boardOf(start), start.started);
                record(start);
            }
        ::unlink(QFile::encodeName(path).constData());
        file.close();
        ::close(fd);
    }
}

QString RunRecorder::begin(const RunRecord &started)
{
    if (!recovered)
        recoverInterrupted();
    RunRecord start = started;
    start.result = RunResult::Interrupted;
    start.pagesWritten.reset();
    start.pagesVerified.reset();
    start.logText = "the run was interrupted: its station ended before its record (killed, or "
                    "the power went)";
    if (journal(runRecordLine(start)))
        openStarts.insert(boardOf(start), start.id);
    const auto interrupted = interruptedBoards.constFind(boardOf(start));
    if (interrupted == interruptedBoards.cend())
        return QString();
    return QString("the last run on this board, at %1, was interrupted")
        .arg(interrupted->toString(Qt::ISODate));
}

void RunRecorder::setLogFile(const QString &path)
{
    logFile = path;
}

bool RunRecorder::setDatabase(const QString &url, QString *error)
{
    if (sender)
        sender->stop();
    sender.reset();
    callerDatabase.reset();
    databaseUrl = url;
    if (url.isEmpty())
        return true;
    sender = std::make_unique<Sender>(spool.folder());
    sender->start();
    std::unique_lock<std::mutex> guard(sender->lock);
    sender->url = url;
    sender->opening = true;
    sender->changed.notify_all();
    // The open has its own deadlines (connect_timeout, the statement timeouts), the watchdog
    // enforces them; this wait only adds a last bound.
    const bool answered =
        sender->changed.wait_for(guard, std::chrono::milliseconds(2 * LineDatabase::CallDeadlineMs),
                                 [this] { return !sender->opening; });
    const bool ok = answered && sender->openOk;
    const QString why = answered ? sender->openError : "the database did not answer in time";
    guard.unlock();
    if (!ok) {
        sender->stop();
        sender.reset();
        databaseUrl.clear();
        if (error)
            *error = why;
    }
    return ok;
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
    // The end completes its start.
    const QString board = boardOf(record);
    const auto start = openStarts.find(board);
    if (start != openStarts.end() && start.value() != record.id) {
        journal(QJsonDocument(QJsonObject{{"ended_run", start.value()}})
                    .toJson(QJsonDocument::Compact) +
                '\n');
        openStarts.erase(start);
    }
    QString interrupted;
    if (interruptedBoards.contains(board) && record.result != RunResult::Interrupted)
        interrupted = QString("the last run on this board, at %1, was interrupted")
                          .arg(interruptedBoards.take(board).toString(Qt::ISODate));
    QStringList failed;
    int taken = 0;
    QString cause;
    if (!logFile.isEmpty()) {
        if (appendRunRecord(logFile, record, &cause))
            ++taken;
        else
            failed << logFailure(logFile, cause);
    }
    if (sender) {
        // On disk first: the thread sends it from there, and a kill or a power cut after this
        // loses nothing.
        if (spool.append(record, &cause)) {
            ++taken;
            const std::lock_guard<std::mutex> guard(sender->lock);
            sender->flushWanted = true;
            if (sender->away && note)
                *note =
                    QString("the line's database is away (%1); the record waits in the spool %2")
                        .arg(sender->awayCause, spool.fileName());
        } else {
            // The database still gets its chance, from memory.
            failed << cause;
            const std::lock_guard<std::mutex> guard(sender->lock);
            sender->unspooled << record;
        }
        sender->changed.notify_all();
    }
    if (taken == 0 && sender && !failed.isEmpty()) {
        // Only the database is left: the run waits for its answer, briefly.
        int before = 0;
        {
            const std::lock_guard<std::mutex> guard(sender->lock);
            before = sender->storedFromMemory;
        }
        settle(1000);
        const std::lock_guard<std::mutex> guard(sender->lock);
        if (sender->storedFromMemory > before)
            ++taken;
        else
            failed << "the line's database did not take it in time";
    }
    if (taken == 0 && !failed.isEmpty())
        return failed.join("; ");
    if (!interrupted.isEmpty())
        failed.prepend(interrupted);
    if (!failed.isEmpty() && note)
        *note = failed.join("; ");
    return QString();
}

void RunRecorder::settle(int ms)
{
    if (!sender)
        return;
    std::unique_lock<std::mutex> guard(sender->lock);
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    const auto settled = [this] {
        return (!sender->flushWanted && sender->unspooled.isEmpty() && !sender->calling) ||
               sender->stuck();
    };
    // A call becomes stuck by the clock alone, with nobody to notify: wake up when it would.
    while (!settled() && Clock::now() < deadline) {
        const auto stuckAt = sender->callStarted + StuckAfter + std::chrono::milliseconds(1);
        sender->changed.wait_until(guard, sender->calling ? std::min(deadline, stuckAt) : deadline);
    }
}

RunRecorder::DatabaseState RunRecorder::databaseState() const
{
    if (!sender)
        return DatabaseState::NotConfigured;
    bool troubled = false;
    {
        const std::lock_guard<std::mutex> guard(sender->lock);
        troubled = sender->away || sender->stuck();
    }
    return troubled && spooledCount() > 0 ? DatabaseState::Spooling : DatabaseState::Connected;
}

int RunRecorder::spooledCount() const
{
    return spool.count();
}

QString RunRecorder::spoolNotice() const
{
    const int waiting = sender ? spooledCount() : 0;
    if (waiting == 0)
        return QString();
    return QString("%1 record%2 wait%3 in the spool %4: %5 sent when the line's database takes "
                   "records again (the next record that gets through, the next command that "
                   "opens it, or `mv604-cli db flush`)")
        .arg(waiting)
        .arg(waiting == 1 ? "" : "s", waiting == 1 ? "s" : "", spool.fileName(),
             waiting == 1 ? "it is" : "they are");
}

LineDatabase *RunRecorder::database()
{
    if (databaseUrl.isEmpty())
        return nullptr;
    if (!callerDatabase) {
        callerDatabase = std::make_unique<LineDatabase>();
        callerDatabase->open(databaseUrl); // a failure shows in the allocator's first call
    }
    return callerDatabase.get();
}
