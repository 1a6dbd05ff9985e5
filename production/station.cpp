#include "production/station.h"

#include "production/run_recorder.h"
#include "production/run_records.h"
#include "production/worker_protocol.h"

#include <QProcess>

#include <csignal>

namespace
{

QString duplicateSignature(const QByteArray &serial, const QStringList &ports)
{
    return QString::fromLatin1(serial) + QLatin1Char('|') + ports.join(QLatin1Char(','));
}

} // namespace

QString boardKey(const BoardIdentity &board)
{
    return board.port.isEmpty() ? QStringLiteral("serial:") + QString::fromLatin1(board.serial)
                                : board.port;
}

RunEnding runEnding(const StationRun &run)
{
    if (run.passed)
        return RunEnding::Passed;
    return run.record.result == QLatin1String("cannot-open") ? RunEnding::CannotOpen
                                                             : RunEnding::Failed;
}

QString runEndingText(const StationRun &run)
{
    if (!run.recordError.isEmpty())
        return QStringLiteral("not recorded: ") + run.recordError;
    if (run.passed)
        return QStringLiteral("passed");
    const QString result = run.record.result;
    const QString detail = run.record.logText.simplified();
    if (result == QLatin1String("write-failed"))
        return QStringLiteral("a page could not be written");
    if (result == QLatin1String("verify-failed"))
        return QStringLiteral("a page read back wrong");
    if (result == QLatin1String("no-device"))
        return QStringLiteral("the board did not answer: ") + detail;
    if (result == QLatin1String("stopped"))
        return QStringLiteral("stopped before the end");
    if (result == QLatin1String("cannot-open"))
        return QStringLiteral("cannot be opened: ") + detail;
    if (result == QLatin1String("crashed"))
        return QStringLiteral("its programming process ended unexpectedly: ") + detail;
    return result + QStringLiteral(": ") + detail;
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
    QString lastWords;     // the worker's last line of its own
    RunRecord record;
    bool reported = false;
};

Station::Station(const StationSettings &settings, RunRecorder &recorder, QObject *parent)
    : QObject(parent), settings(settings), recorder(recorder)
{
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

bool Station::start(Mode mode, QString *error)
{
    const LoadedUpgradeFile file = loadUpgradeFile(settings.upgradeFile);
    if (file.status != UpgradeFileStatus::Ok) {
        if (error)
            *error = file.openError.isEmpty()
                         ? QStringLiteral("%1: %2").arg(settings.upgradeFile,
                                                        upgradeFileStatusText(file.status))
                         : QStringLiteral("cannot open %1: %2")
                               .arg(settings.upgradeFile, file.openError);
        return false;
    }
    facts = file.facts;
    this->mode = mode;
    started = true;
    accepting = true;
    stopping = false;
    lookAtBus();
    if (mode == Mode::AttachedNow) {
        accepting = false;
        finishIfIdle();
    } else {
        poll.start(settings.pollIntervalMs);
    }
    return true;
}

void Station::stopAfterRunsInProgress()
{
    accepting = false;
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
    if (!accepting)
        return;
    const QList<AttachedBoard> boards = listAttachedBoards();
    const QSet<QString> refused = boardsToRefuseAsDuplicates(boards);
    QSet<QString> present;
    for (const AttachedBoard &board : boards)
        present.insert(boardKey(board.identity));
    forgetUnpluggedBoards(present);
    for (const AttachedBoard &board : boards) {
        const QString key = boardKey(board.identity);
        if (refused.contains(key) || runs.contains(key) || isDone(key, board.identity.serial))
            continue;
        if (board.readable)
            startRun(board);
        else
            refuse(board);
    }
}

// Several boards with one serial: each is programmed on its own port, but the line learns that
// their records cannot be told apart. Without ports they cannot even be kept apart: none of
// them is programmed.
QSet<QString> Station::boardsToRefuseAsDuplicates(const QList<AttachedBoard> &boards)
{
    QMap<QByteArray, QList<AttachedBoard>> bySerial;
    for (const AttachedBoard &board : boards)
        if (board.readable)
            bySerial[board.identity.serial].append(board);
    QSet<QString> refused;
    for (auto group = bySerial.cbegin(); group != bySerial.cend(); ++group) {
        if (group->size() < 2)
            continue;
        QStringList ports;
        bool portsKnown = true;
        for (const AttachedBoard &board : *group) {
            ports.append(board.identity.port);
            portsKnown = portsKnown && !board.identity.port.isEmpty();
        }
        if (!portsKnown)
            refused.insert(boardKey(group->first().identity));
        const QString signature = duplicateSignature(group.key(), ports);
        if (reportedDuplicates.contains(signature))
            continue;
        reportedDuplicates.insert(signature);
        ++counts.duplicates;
        emit duplicateSerial(group.key(), ports);
        emit totalsChanged(counts);
    }
    return refused;
}

void Station::forgetUnpluggedBoards(const QSet<QString> &present)
{
    for (auto board = done.begin(); board != done.end();) {
        if (present.contains(board.key())) {
            board->away = false;
        } else if (!board->away) {
            board->away = true;
            board->awaySince.start();
        } else if (board->awaySince.elapsed() >= settings.unpluggedAfterMs) {
            board = done.erase(board);
            continue;
        }
        ++board;
    }
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
    run->process.setArguments(WorkerProtocol::workerArguments(
        attached.identity, settings.upgradeFile, settings.skipUnchanged));
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
    recorder.begin(crashedRunRecord(run->board, facts, {}, {}, run->started));
    emit runStarted(run->board);
    run->process.start();
}

void Station::refuse(const AttachedBoard &board)
{
    done.insert(boardKey(board.identity), {board.identity.serial, false, {}});
    const RunRecord record = refusedBoardRecord(board.identity, facts, board.accessError,
                                                QDateTime::currentDateTimeUtc());
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
            emit runProgress(run.board, run.progress, run.clock.elapsed());
            break;
        case WorkerProtocol::Line::Record:
            run.record = line.record;
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
    const RunRecord record = run->reported ? run->record
                                           : crashedRunRecord(run->board, facts, run->progress,
                                                              run->lastWords, run->started);
    done.insert(key, {run->board.serial, false, {}});
    // The process is still inside its own signal: it goes once the event loop is back.
    run->process.disconnect(this);
    QTimer::singleShot(0, this, [run] {});
    finishRun(record, workerPassed);
    finishIfIdle();
}

void Station::finishRun(const RunRecord &record, bool workerPassed)
{
    StationRun run;
    run.record = record;
    run.recordError = recorder.record(record, &run.recordNote);
    run.passed = workerPassed && record.result == upgradeOutcomeName(UpgradeOutcome::Ok) &&
                 run.recordError.isEmpty();
    (run.passed ? counts.passed : counts.failed) += 1;
    // A board is known by its serial; one that could not tell it, by its port.
    const QString seenAs = record.serial.isEmpty() ? boardKey({{}, record.port}) : record.serial;
    if (!seenBoards.contains(seenAs)) {
        seenBoards.insert(seenAs);
        ++counts.firstRuns;
        counts.firstRunsPassed += run.passed;
    }
    emit runEnded(run);
    emit totalsChanged(counts);
}

void Station::finishIfIdle()
{
    if (started && !accepting && runs.isEmpty()) {
        started = false;
        emit finished();
    }
}
