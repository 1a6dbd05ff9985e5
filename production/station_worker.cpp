#include "production/station_worker.h"

#include "device/board_lock.h"
#include "device/chosen_board.h"
#include "device/usbkr960.h"
#include "production/run_records.h"
#include "production/stop_signals.h"
#include "upgrade/upgrader.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QStandardPaths>

namespace
{

// The board is gone between the station's walk of the bus and the worker's start (a restart,
// an unplug), or another process holds it: the station still learns why.
RunRecord boardNotFoundRecord(const WorkerProtocol::Order &order, const QByteArray &fileBytes,
                              const QDateTime &started, const QString &reason = QString())
{
    const QString why =
        !reason.isEmpty()
            ? reason
            : QStringLiteral("no KR960 with serial %1 on port %2")
                  .arg(QString::fromLatin1(order.board.serial),
                       order.board.port.isEmpty() ? QStringLiteral("-") : order.board.port);
    return unreachedBoardRecord(order.board, loadUpgradeFileBytes(order.fileName, fileBytes).facts,
                                RunResult::NoDevice, why, started);
}

UpgradeReport programBoard(USBKR960 &usb, const BoardIdentity &board,
                           const WorkerProtocol::Order &order, const QByteArray &fileBytes,
                           const std::function<void(const QByteArray &)> &tellParent)
{
    Upgrader upgrader(&usb);
    QEventLoop loop;
    // Told from the worker's thread as each page ends. The station shows a board restarting
    // until its first page is done, so the run's start is not told.
    QObject::connect(
        &upgrader, &Upgrader::progressed, &loop,
        [&](const PageProgress &progress) {
            if (progress.pagesDone > 0)
                tellParent(WorkerProtocol::progressLine(progress));
        },
        Qt::DirectConnection);
    QObject::connect(&upgrader, &QThread::finished, &loop, &QEventLoop::quit);
    // SIGINT is the station's to judge: a terminal's Ctrl-C reaches the whole process group.
    StopSignals stops(false);
    QObject::connect(&stops, &StopSignals::received, &loop, [&] { upgrader.requestStop(); });
    upgrader.setBoard(board);
    upgrader.setSkipUnchangedPages(order.skipUnchanged);
    upgrader.setUpgradeFile(order.fileName, loadUpgradeFileBytes(order.fileName, fileBytes));
    upgrader.start();
    loop.exec();
    return upgrader.report();
}

// The station has just read this serial on this port: the connect proves the board by both, so
// the worker needs no walk of the bus of its own (sixteen workers each opening sixteen boards cost
// more than the first pages). Without a port only a walk tells whether the serial is unique.
ChosenBoard keepToStationsBoard(USBKR960 &usb, const BoardIdentity &board)
{
    if (board.port.isEmpty())
        return pinChosenBoard(usb, {board.serial, board.port});
    usb.setBoardFilter(filterForBoard(board));
    ChosenBoard chosen;
    chosen.search = BoardSearch::Found;
    chosen.board = board;
    return chosen;
}

// No connect ever reached the board: it left (or was swapped) after the station's walk.
bool neverReachedTheBoard(const UpgradeReport &report, const USBKR960 &usb)
{
    const UsbDevice::ConnectFailure failure = usb.lastConnectFailure();
    return report.outcome == UpgradeOutcome::NoDevice && report.board.port.isEmpty() &&
           report.board.serial.isEmpty() &&
           (failure == UsbDevice::ConnectFailure::NoDevice ||
            failure == UsbDevice::ConnectFailure::NotChosen);
}

} // namespace

int runStationWorker(const WorkerProtocol::Order &order, const QByteArray &fileBytes,
                     const std::function<void(const QByteArray &)> &tellParent)
{
    const QDateTime started = QDateTime::currentDateTimeUtc();
    USBKR960 usb;
    const ChosenBoard chosen = keepToStationsBoard(usb, order.board);
    if (!chosen.found()) {
        tellParent(WorkerProtocol::recordLine(boardNotFoundRecord(order, fileBytes, started)));
        return 1;
    }
    // Held until the run is over: no second command restarts the board under it.
    QString refusal;
    const BoardLock lock = chosen.board.port.isEmpty()
                               ? BoardLock()
                               : BoardLock::take(chosen.board.port, "mv604-worker", &refusal);
    if (!refusal.isEmpty()) {
        tellParent(
            WorkerProtocol::recordLine(boardNotFoundRecord(order, fileBytes, started, refusal)));
        return 1;
    }
    const UpgradeReport report = programBoard(usb, chosen.board, order, fileBytes, tellParent);
    tellParent(WorkerProtocol::recordLine(neverReachedTheBoard(report, usb)
                                              ? boardNotFoundRecord(order, fileBytes, started)
                                              : upgradeRunRecord(report, started)));
    return report.outcome == UpgradeOutcome::Ok ? 0 : 1;
}

QString findWorkerProgram()
{
    const QString named = qEnvironmentVariable("MV604_WORKER");
    if (!named.isEmpty())
        return named;
    const QDir here(QCoreApplication::applicationDirPath());
    for (const QString &candidate :
         {here.filePath("mv604-worker"), here.filePath("../libexec/mv604/mv604-worker"),
          here.filePath("../cli/mv604-worker")})
        if (QFileInfo(candidate).isFile() && QFileInfo(candidate).isExecutable())
            return QFileInfo(candidate).canonicalFilePath();
    return QStandardPaths::findExecutable("mv604-worker");
}
