#include "upgrade/upgrader.h"

#include "device/bootloader_info.h"
#include "device/bootloader_restart.h"
#include "device/chosen_board.h"
#include "device/device_jobs.h"
#include "device/usbkr960.h"
#include "upgrade/page_programmer.h"
#include "usb/connect_failure_text.h"

#include <QDeadlineTimer>
#include <QDebug>
#include <QMutexLocker>

namespace
{

constexpr int ConnectRetries = 3; // after the first attempt
constexpr int PauseSliceMs = 20;  // how soon a pause notices a stop request

QString text(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes);
}

} // namespace

QString upgradeOutcomeName(UpgradeOutcome outcome)
{
    switch (outcome) {
    case UpgradeOutcome::NotRun:
        return QStringLiteral("not-run");
    case UpgradeOutcome::Ok:
        return QStringLiteral("ok");
    case UpgradeOutcome::VerifyFailed:
        return QStringLiteral("verify-failed");
    case UpgradeOutcome::ReadFailed:
        return QStringLiteral("read-failed");
    case UpgradeOutcome::WriteFailed:
        return QStringLiteral("write-failed");
    case UpgradeOutcome::BadFile:
        return QStringLiteral("bad-file");
    case UpgradeOutcome::NoDevice:
        return QStringLiteral("no-device");
    case UpgradeOutcome::Stopped:
        return QStringLiteral("stopped");
    }
    return QString();
}

// A null device is kept as null: run() then ends as if no device answered.
Upgrader::Upgrader(USBKR960 *usb) : QThread(nullptr), usb(usb)
{
    qDebug() << "Upgrader constructor";
}

Upgrader::~Upgrader()
{
    qDebug() << "Upgrader destructor";
}

void Upgrader::setTiming(const RestartTiming &timing)
{
    this->timing = timing;
}

void Upgrader::setBoard(const std::optional<BoardIdentity> &board)
{
    givenBoard = board;
}

void Upgrader::setSkipUnchangedPages(bool skip)
{
    skipUnchangedPages = skip;
}

void Upgrader::requestStop()
{
    requestInterruption();
}

void Upgrader::stop()
{
    requestInterruption();
    wait();
}

UpgradeReport Upgrader::report() const
{
    QMutexLocker locker(&reportLock);
    return lastReport;
}

void Upgrader::slotSetFileName(QString fileName)
{
    this->fileName = fileName;
    checkedFile.reset();
}

void Upgrader::setUpgradeFile(const QString &fileName, const LoadedUpgradeFile &file)
{
    this->fileName = fileName;
    checkedFile = file;
}

void Upgrader::say(const QString &line)
{
    {
        QMutexLocker locker(&reportLock);
        lastReport.lastLine = line;
    }
    emit sendText(line);
}

void Upgrader::end(UpgradeOutcome outcome)
{
    if (outcome == UpgradeOutcome::Stopped)
        say(tr("Upgrade stopped"));
    QMutexLocker locker(&reportLock);
    lastReport.outcome = outcome;
}

void Upgrader::run()
{
    {
        QMutexLocker locker(&reportLock);
        lastReport = UpgradeReport();
    }
    if (fileName.isNull())
        return;
    qDebug() << "Start firmware upgrade";
    say(fileName);

    // The whole file is read and checked before the device is touched: a device restarted into
    // its bootloader for a file that turns out to be unusable would be left without application.
    const LoadedUpgradeFile file = checkedFile ? *checkedFile : loadUpgradeFile(fileName);
    {
        QMutexLocker locker(&reportLock);
        lastReport.file = file.facts;
    }
    if (file.status != UpgradeFileStatus::Ok) {
        say(upgradeFileStatusText(file.status));
        return end(UpgradeOutcome::BadFile);
    }
    if (!usb) {
        say(tr("USB Timeout\nCheck USB Cable"));
        return end(UpgradeOutcome::NoDevice);
    }
    usb->setBoardFilter(givenBoard ? filterForBoard(*givenBoard) : UsbDevice::BoardFilter());
    runOnBoard(file.applicationArea);
    if (!givenBoard)
        usb->setBoardFilter(UsbDevice::BoardFilter());
}

void Upgrader::runOnBoard(const QByteArray &applicationArea)
{
    emit progressed(PageProgress());
    const auto noDevice = [this] {
        return isInterruptionRequested() ? UpgradeOutcome::Stopped : UpgradeOutcome::NoDevice;
    };
    if (!connectFirst())
        return end(noDevice());
    const QByteArray serial = readSerialText(*usb);
    say(text(serial));
    keepToBoard(serial);
    if (!reportBootloaderVersion())
        return end(UpgradeOutcome::NoDevice);
    switch (modeFromSerial(serial)) {
    case DeviceMode::Application:
        if (!restartIntoBootloader())
            return end(noDevice());
        break;
    case DeviceMode::Bootloader:
        say(tr("Bootloader mode"));
        break;
    case DeviceMode::Unknown:
        say(tr("Serial:") + text(readSerialText(*usb)));
        return end(UpgradeOutcome::NoDevice);
    }
    // Kept as the device's operators know it, spelling included.
    say(tr("Writting firmware ... "));
    end(programApplication(applicationArea));
}

// Sleeps in short slices so that a stop request never waits for a whole restart pause.
bool Upgrader::pause(int ms)
{
    const QDeadlineTimer deadline(ms);
    while (!isInterruptionRequested()) {
        const qint64 left = deadline.remainingTime();
        if (left <= 0)
            return true;
        msleep(qMin<qint64>(left, PauseSliceMs));
    }
    qDebug() << "Upgrade stopped";
    return false;
}

// One disconnect, then the first attempt and up to ConnectRetries more: the first connection
// and the one after the restart both need it, as a board may miss one connect.
Upgrader::Connection Upgrader::connectWithRetries()
{
    usb->disconnect();
    bool connected = usb->connect() == 0;
    for (int retries = 0; !connected && retries < ConnectRetries; ++retries) {
        qDebug() << "usb->connect()\nmssleep(200)";
        if (!pause(timing.retryMs))
            return Connection::Stopped;
        connected = usb->connect() == 0;
    }
    return connected ? Connection::Made : Connection::Failed;
}

bool Upgrader::connectFirst()
{
    const Connection connection = connectWithRetries();
    if (connection == Connection::Failed) {
        say(tr("USB Timeout\nCheck USB Cable"));
        const QString hint = permissionHint(usb->lastConnectFailure());
        if (!hint.isEmpty())
            say(hint);
    }
    return connection == Connection::Made;
}

// From the first serial read on the run belongs to this board: every reconnection after its
// restart goes to the same serial on the same port, never to another board that happens to sit
// in its bootloader. A board the caller gave is the one met, now known by its port too.
void Upgrader::keepToBoard(const QByteArray &serial)
{
    const BoardIdentity board{BoardSerial::production(serial), usb->connectedPort()};
    usb->setBoardFilter(filterForBoard(board));
    QMutexLocker locker(&reportLock);
    lastReport.board = board;
}

// The version text is shown to the operator only; nothing depends on it.
bool Upgrader::reportBootloaderVersion()
{
    QByteArray version;
    if (readBootloaderVersion(*usb, &version) != 0) {
        say(tr("Bootloader Version Read Error"));
        return false;
    }
    say(text(version));
    return true;
}

// The run-application request restarts a device that runs its application into the bootloader,
// which enumerates anew; it is told apart by its serial number.
bool Upgrader::restartIntoBootloader()
{
    // Kept as the device's operators know it, spelling included.
    say(tr("Apllication mode"));
    say(tr("Reset device"));
    if (!::restartIntoBootloader(*usb, timing, [this](int ms) { return pause(ms); })) {
        if (!isInterruptionRequested())
            say(tr("USB timout\nCheck USB cable"));
        return false;
    }
    return connectAfresh();
}

// A run that cannot reach the board again ends here rather than at its first page.
bool Upgrader::connectAfresh()
{
    say(tr("Disconnect"));
    say(tr("Connect"));
    const Connection connection = connectWithRetries();
    if (connection == Connection::Stopped)
        return false;
    say(tr("Serial:") + text(readSerialText(*usb)));
    if (connection == Connection::Failed)
        say(tr("USB timout\nCheck USB cable"));
    return connection == Connection::Made;
}

UpgradeOutcome Upgrader::programApplication(const QByteArray &applicationArea)
{
    PageLoopHooks hooks;
    hooks.keepGoing = [this] {
        if (!isInterruptionRequested())
            return true;
        qDebug() << "Upgrade stopped";
        return false;
    };
    hooks.pageDone = [this](PageOutcome outcome, const PageLoopReport &soFar) {
        {
            QMutexLocker locker(&reportLock);
            lastReport.pagesWritten = soFar.written;
            lastReport.pagesVerified = soFar.verified;
        }
        if (outcome != PageOutcome::WriteFailed)
            emit progressed(soFar.progress());
        if (outcome != PageOutcome::Verified && outcome != PageOutcome::AlreadyCurrent)
            say(tr("ERROR"));
    };
    const PageWriteMode mode =
        skipUnchangedPages ? PageWriteMode::ChangedOnly : PageWriteMode::EveryPage;
    const PageLoopReport report = programApplicationArea(*usb, applicationArea, hooks, mode);
    if (report.stopped)
        return UpgradeOutcome::Stopped;
    if (report.writeFailed)
        return UpgradeOutcome::WriteFailed;
    if (skipUnchangedPages)
        say(tr("Pages written: %1, already current: %2")
                .arg(report.written)
                .arg(report.alreadyCurrent));
    if (report.allVerified()) {
        say(tr("OK"));
        return UpgradeOutcome::Ok;
    }
    // A page that read back wrong says more of the board than one that could not be read.
    if (report.differing == 0 && report.readFailed > 0) {
        say(tr("Read back ERROR"));
        return UpgradeOutcome::ReadFailed;
    }
    say(tr("Verify ERROR"));
    return UpgradeOutcome::VerifyFailed;
}
