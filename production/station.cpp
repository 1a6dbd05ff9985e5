#include "production/station.h"

#include "device/kr960_memory_map.h"
#include "production/run_recorder.h"
#include "production/run_records.h"
#include "production/worker_protocol.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>

#include <csignal>
#include <sys/stat.h>

namespace
{

QString duplicateSignature(const QByteArray &serial, const QStringList &ports)
{
    return QString::fromLatin1(serial) + QLatin1Char('|') + ports.join(QLatin1Char(','));
}

QString sharedSerialKey(const QString &key, const QString &serial)
{
    return key + QLatin1Char('|') + serial;
}

// "1-1.10" as {1, 1, 10}; anything else (a serial key) as nothing.
QList<int> portNumbers(const QString &key)
{
    QList<int> numbers;
    for (const QString &part : key.split(QRegularExpression(QStringLiteral("[-.]")))) {
        bool isNumber = false;
        numbers.append(part.toInt(&isNumber));
        if (!isNumber)
            return {};
    }
    return numbers;
}

// What tells a file on disk from the one read before: a rename over it changes the inode, a
// write in place its size or time.
QString fileStamp(const QString &path)
{
    struct stat info = {};
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return QStringLiteral("gone");
    return QStringLiteral("%1 %2 %3.%4")
        .arg(info.st_ino)
        .arg(info.st_size)
        .arg(info.st_mtim.tv_sec)
        .arg(info.st_mtim.tv_nsec);
}

} // namespace

bool boardKeyLess(const QString &a, const QString &b)
{
    const QList<int> left = portNumbers(a), right = portNumbers(b);
    if (left.isEmpty() != right.isEmpty())
        return !left.isEmpty();
    if (left != right)
        return left < right;
    return a < b;
}

QString boardKey(const BoardIdentity &board)
{
    return board.port.isEmpty() ? QStringLiteral("serial:") + QString::fromLatin1(board.serial)
                                : board.port;
}

RunEnding runEnding(const StationRun &run)
{
    if (!run.sharedWith.isEmpty())
        return RunEnding::Failed;
    if (run.passed)
        return RunEnding::Passed;
    return run.record.result == RunResult::CannotOpen ? RunEnding::CannotOpen : RunEnding::Failed;
}

QString runEndingText(const StationRun &run)
{
    if (!run.recordError.isEmpty())
        return QCoreApplication::translate("Station", "not recorded: %1").arg(run.recordError);
    if (!run.sharedWith.isEmpty())
        return QCoreApplication::translate("Station", "serial %1 is also on %2: not counted")
            .arg(run.record.serial, run.sharedWith.join(QStringLiteral(", ")));
    if (run.passed)
        return QCoreApplication::translate("Station", "passed");
    if (run.leftBusAtPage > 0)
        return QCoreApplication::translate("Station", "the board left the bus at page %1")
            .arg(run.leftBusAtPage);
    const QString detail = run.record.logText.simplified();
    switch (run.record.result) {
    case RunResult::WriteFailed:
        return QCoreApplication::translate("Station", "a page could not be written");
    case RunResult::VerifyFailed:
        return QCoreApplication::translate("Station", "a page read back wrong");
    case RunResult::ReadFailed:
        return QCoreApplication::translate("Station", "a page could not be read back");
    case RunResult::NoDevice:
        return QCoreApplication::translate("Station", "the board did not answer: %1").arg(detail);
    case RunResult::Stopped:
        return QCoreApplication::translate("Station", "stopped before the end");
    case RunResult::CannotOpen:
        return QCoreApplication::translate("Station", "cannot be opened: %1").arg(detail);
    case RunResult::Crashed:
        return QCoreApplication::translate("Station",
                                           "its programming process ended unexpectedly: %1")
            .arg(detail);
    default:
        return run.record.resultText() + QStringLiteral(": ") + detail;
    }
}

QString runNextStepText(const StationRun &run)
{
    if (!run.sharedWith.isEmpty())
        return QCoreApplication::translate("Station", "give each board its own serial");
    if (run.passed)
        return QString();
    if (!run.recordError.isEmpty())
        return QCoreApplication::translate(
            "Station", "mend the log or database, then unplug and plug in again");
    if (run.record.result == RunResult::CannotOpen)
        return QCoreApplication::translate("Station",
                                           "check the cable and the udev rule, then plug in again");
    if (run.leftBusAtPage > 0)
        return QCoreApplication::translate("Station", "plug it in again to retry");
    return QCoreApplication::translate("Station", "unplug and plug in again to retry");
}

QString duplicateSerialText(const QByteArray &serial, const QStringList &ports)
{
    const QString where = ports.contains(QString()) ? QStringLiteral("ports unknown")
                                                    : ports.join(QStringLiteral(", "));
    return QStringLiteral("serial %1 is reported by %2 boards (%3): their records cannot be told "
                          "apart")
        .arg(QString::fromLatin1(serial))
        .arg(ports.size())
        .arg(where);
}

struct Station::BoardRun {
    BoardIdentity board;
    QDateTime started;
    QElapsedTimer clock;
    QProcess process;
    QByteArray pending;    // stderr not yet split into lines
    PageProgress progress; // as last reported
    bool progressed = false;
    QString lastWords; // the worker's last line of its own
    RunRecord record;
    bool reported = false;
};

Station::Station(const StationSettings &settings, RunRecorder &recorder, QObject *parent)
    : QObject(parent), settings(settings), recorder(recorder)
{
    sinceConstruction.start();
    connect(&poll, &QTimer::timeout, this, &Station::lookAtBus);
}

// Workers still running are killed with their station: QProcess would otherwise leave them
// behind, unwatched and unrecorded.
Station::~Station()
{
    for (const auto &run : runs) {
        run->process.disconnect();
        run->process.kill();
        run->process.waitForFinished(1000);
    }
}

// The one place where the station reads and checks its upgrade file; every worker programs
// these bytes, so a check of them (their signature) belongs here.
bool Station::takeUpgradeFile(const QString &path, QString *error)
{
    const QString absolute = QFileInfo(path).absoluteFilePath();
    const QString stamp = fileStamp(absolute);
    QByteArray bytes;
    QString problem;
    if (!readPlainUpgradeFile(absolute, &bytes, &problem)) {
        if (error)
            *error =
                QCoreApplication::translate("Station", "cannot open %1: %2").arg(path, problem);
        return false;
    }
    LoadedUpgradeFile file = loadUpgradeFileBytes(absolute, bytes);
    // A file no trusted key signed is refused whatever else is wrong with it.
    if (settings.trustedKeys.policyActive()) {
        const SignatureCheck check = checkUpgradeFileSignature(bytes, path, settings.trustedKeys);
        if (!check.trusted()) {
            if (error)
                *error = signatureCheckText(check, path);
            return false;
        }
        file.facts.signingKeyId = check.keyId;
        file.facts.trustedComment = check.trustedComment;
    }
    if (file.status != UpgradeFileStatus::Ok) {
        if (error)
            *error = QStringLiteral("%1: %2").arg(path, upgradeFileStatusText(file.status));
        return false;
    }
    checked = {absolute, bytes, file.facts, stamp, false};
    return true;
}

void Station::setTrustedKeys(const TrustedKeys &keys)
{
    settings.trustedKeys = keys;
    checked = {};
}

void Station::watchBus()
{
    watching = true;
    lookAtBus();
    poll.start(settings.pollIntervalMs);
}

bool Station::start(Mode mode, QString *error)
{
    if (!hasUpgradeFile() && !takeUpgradeFile(settings.upgradeFile, error))
        return false;
    this->mode = mode;
    started = true;
    accepting = true;
    stopping = false;
    lookAtBus();
    if (mode == Mode::Watch) {
        poll.start(settings.pollIntervalMs);
    } else if (unreadableBefore.isEmpty()) {
        stopAfterRunsInProgress();
    } else { // a board that could not be read is looked at once more before it is refused
        QTimer::singleShot(settings.pollIntervalMs, this, [this] {
            lookAtBus();
            stopAfterRunsInProgress();
        });
    }
    return true;
}

void Station::stopAfterRunsInProgress()
{
    accepting = false;
    if (!watching)
        poll.stop();
    finishIfIdle();
}

void Station::stopRuns()
{
    stopAfterRunsInProgress();
    if (stopping)
        return;
    stopping = true;
    for (const auto &run : runs)
        run->process.terminate();
    // A worker that does not end at its page boundary is killed and recorded as crashed.
    QTimer::singleShot(settings.stopGraceMs, this, [this] {
        for (const auto &run : runs)
            run->process.kill();
    });
}

bool Station::running() const
{
    return started && (accepting || !runs.isEmpty());
}

void Station::lookAtBus()
{
    if (!accepting && !watching)
        return;
    noticeUpgradeFileChange();
    const QList<AttachedBoard> boards = listAttachedBoards();
    QSet<QString> refused = boardsToRefuseAsDuplicates(boards);
    QSet<QString> present, unreadable;
    for (const AttachedBoard &board : boards) {
        present.insert(boardKey(board.identity));
        if (!board.readable)
            unreadable.insert(boardKey(board.identity));
    }
    forgetUnpluggedBoards(done, present, sinceConstruction.elapsed(), settings.unpluggedAfterMs);
    // A device that vanishes while the bus is walked (a restart, an unplug) cannot be read
    // either: only one seen so twice is a board that cannot be opened.
    // One with neither port nor serial cannot be told from the next such one: it counts only
    // once some device has stayed so for as long as an unplug takes.
    const QString anonymous = boardKey({});
    if (!unreadable.contains(anonymous))
        anonymousUnreadableSince.invalidate();
    else if (!anonymousUnreadableSince.isValid())
        anonymousUnreadableSince.start();
    QSet<QString> unsettled;
    for (const QString &key : unreadable)
        if (!unreadableBefore.contains(key) ||
            (key == anonymous && anonymousUnreadableSince.elapsed() < settings.unpluggedAfterMs))
            unsettled.insert(key);
    refused += unsettled;
    unreadableBefore = unreadable;
    for (const AttachedBoard &board : boards) {
        const QString key = boardKey(board.identity);
        if (refused.contains(key) || runs.contains(key) || isDone(key, board.identity.serial))
            continue;
        if (!accepting)
            continue;
        if (board.readable)
            startRun(board);
        else
            refuse(board);
    }
    showWaiting(boards, unsettled);
}

void Station::showWaiting(const QList<AttachedBoard> &boards, const QSet<QString> &unsettled)
{
    QSet<QString> waiting;
    for (const AttachedBoard &board : boards) {
        const QString key = boardKey(board.identity);
        if (runs.contains(key) || isDone(key, board.identity.serial) || unsettled.contains(key))
            continue;
        waiting.insert(key);
        if (!waitingShown.contains(key))
            emit boardWaiting(board.identity);
    }
    waitingShown = waiting;
}

void Station::noticeUpgradeFileChange()
{
    if (!hasUpgradeFile() || checked.changeReported || fileStamp(checked.path) == checked.stamp)
        return;
    checked.changeReported = true;
    emit upgradeFileChanged(checked.path);
}

// Several boards with one serial: each is programmed on its own port, but the line learns that
// their records cannot be told apart. Without ports they cannot even be kept apart: none of
// them is programmed.
QSet<QString> Station::boardsToRefuseAsDuplicates(const QList<AttachedBoard> &boards)
{
    QSet<QString> refused;
    for (const SharedSerial &group : serialsSharedByBoards(boards)) {
        const QStringList ports = group.ports();
        if (!group.portsKnown())
            refused.insert(boardKey(group.boards.first()));
        for (const BoardIdentity &board : group.boards) {
            QStringList others = ports;
            others.removeOne(board.port);
            sharedSerials.insert(
                sharedSerialKey(boardKey(board), QString::fromLatin1(group.serial)), others);
        }
        const QString signature = duplicateSignature(group.serial, ports);
        if (reportedDuplicates.contains(signature))
            continue;
        reportedDuplicates.insert(signature);
        ++counts.duplicates;
        emit duplicateSerial(group.serial, ports);
        emit totalsChanged(counts);
    }
    return refused;
}

// Another board on a port where one was done is a new board, whenever it came.
bool Station::isDone(const QString &key, const QByteArray &serial) const
{
    const auto board = done.constFind(key);
    return board != done.cend() && (serial.isEmpty() || board->serial == serial);
}

void Station::startRun(const AttachedBoard &attached)
{
    const QString key = boardKey(attached.identity);
    auto run = std::make_shared<BoardRun>();
    run->board = attached.identity;
    run->started = QDateTime::currentDateTimeUtc();
    run->clock.start();
    BoardRun *raw = run.get();
    run->process.setProgram(settings.workerProgram);
    run->process.setArguments(
        WorkerProtocol::workerArguments({attached.identity, checked.path, settings.skipUnchanged}));
    run->process.setStandardOutputFile(QProcess::nullDevice()); // its log is its own
    // A terminal's Ctrl-C reaches the whole process group: the station decides what it means.
    run->process.setChildProcessModifier([] { std::signal(SIGINT, SIG_IGN); });
    connect(&run->process, &QProcess::readyReadStandardError, this,
            [this, raw] { readWorker(*raw); });
    connect(&run->process, &QProcess::finished, this, [this, key] { endRun(key); });
    connect(&run->process, &QProcess::errorOccurred, this, [this, key](QProcess::ProcessError e) {
        if (e == QProcess::FailedToStart)
            endRun(key);
    });
    runs.insert(key, run);
    // On disk before the first page: a station killed now leaves an interrupted run, not none.
    recorder.begin(crashedRunRecord(run->board, checked.facts, {}, {}, run->started));
    emit runStarted(run->board, attached.mode() == DeviceMode::Application);
    run->process.start();
    // The checked bytes, never the path: the worker cannot meet another file.
    run->process.write(checked.bytes);
    run->process.closeWriteChannel();
}

void Station::refuse(const AttachedBoard &board)
{
    done.insert(boardKey(board.identity), {board.identity.serial, false, false, {}});
    const RunRecord record =
        unreachedBoardRecord(board.identity, checked.facts, RunResult::CannotOpen,
                             board.accessError, QDateTime::currentDateTimeUtc());
    finishRun(record, false);
}

void Station::readWorker(BoardRun &run)
{
    run.pending += run.process.readAllStandardError();
    for (int newline = run.pending.indexOf('\n'); newline >= 0;
         newline = run.pending.indexOf('\n')) {
        const WorkerProtocol::Line line = WorkerProtocol::parse(run.pending.left(newline));
        run.pending.remove(0, newline + 1);
        switch (line.kind) {
        case WorkerProtocol::Line::Progress:
            run.progress = line.progress;
            run.progressed = true;
            emit runProgress(run.board, run.progress, run.clock.elapsed());
            break;
        case WorkerProtocol::Line::Record:
            run.record = line.record;
            // The worker programs the bytes checked here; who signed them is known here.
            run.record.signingKeyId = checked.facts.signingKeyId;
            run.record.trustedComment = checked.facts.trustedComment;
            run.reported = true;
            break;
        case WorkerProtocol::Line::Other:
            if (!line.text.trimmed().isEmpty())
                run.lastWords = line.text.trimmed();
            break;
        }
    }
}

void Station::endRun(const QString &key)
{
    const auto found = runs.find(key);
    if (found == runs.end())
        return;
    const std::shared_ptr<BoardRun> run = found.value();
    runs.erase(found);
    readWorker(*run);
    const bool exitedNormally = run->process.exitStatus() == QProcess::NormalExit;
    const bool workerPassed = run->reported && exitedNormally && run->process.exitCode() == 0;
    // On Linux a worker ended by a signal gives that signal as its exit code.
    const int signalNumber = exitedNormally ? 0 : run->process.exitCode();
    const RunRecord record = run->reported
                                 ? run->record
                                 : crashedRunRecord(run->board, checked.facts, run->progress,
                                                    run->lastWords, run->started, signalNumber);
    done.insert(key, {run->board.serial, workerPassed, false, {}});
    // The process is still inside its own signal: it goes once the event loop is back.
    run->process.disconnect(this);
    QTimer::singleShot(0, this, [run] {});
    finishRun(record, workerPassed, leftBusAtPage(key, record));
    finishIfIdle();
}

// A run that failed while writing or reading back, on a board that is gone: pulled mid-run.
int Station::leftBusAtPage(const QString &key, const RunRecord &record) const
{
    const RunResult result = record.result;
    if (result != RunResult::WriteFailed && result != RunResult::VerifyFailed &&
        result != RunResult::Crashed)
        return 0;
    for (const AttachedBoard &board : listAttachedBoards())
        if (boardKey(board.identity) == key)
            return 0;
    return qMin(record.pagesWritten.value_or(0) + 1, int(Kr960::ApplicationPages));
}

void Station::finishRun(const RunRecord &record, bool workerPassed, int leftBusAtPage)
{
    StationRun run;
    run.record = record;
    run.recordError = recorder.record(record, &run.recordNote);
    run.passed = workerPassed && record.result == RunResult::Ok && run.recordError.isEmpty();
    run.leftBusAtPage = leftBusAtPage;
    run.sharedWith = sharedSerials.value(
        sharedSerialKey(boardKey({record.serial.toLatin1(), record.port}), record.serial));
    if (record.serial.isEmpty())
        run.sharedWith.clear();
    count(run);
    emit runEnded(run);
    emit totalsChanged(counts);
}

// Boards that share a serial count nowhere: which of them a record means cannot be told.
void Station::count(StationRun &run)
{
    // A board is known by its serial; one that could not tell it, by its port.
    const RunRecord &record = run.record;
    const QString seenAs = record.serial.isEmpty() ? boardKey({{}, record.port}) : record.serial;
    run.passed = countRun(counts, seenBoards, seenAs, run.passed, !run.sharedWith.isEmpty());
}

void Station::finishIfIdle()
{
    if (started && !accepting && runs.isEmpty()) {
        started = false;
        emit finished();
    }
}
