#include "upgrade/upgrader.h"

#include "device/bootloader_info.h"
#include "device/device_jobs.h"
#include "device/kr960_memory_map.h"
#include "device/usbkr960.h"
#include "upgrade/page_programmer.h"
#include "upgrade/upgrade_file.h"
#include "usb/connect_failure_text.h"

#include <QDeadlineTimer>
#include <QDebug>
#include <QElapsedTimer>
#include <QFile>

namespace
{

constexpr int ConnectRetries = 3;   // after the first attempt
constexpr int BootloaderTries = 10; // connected passes after a restart
constexpr int PauseSliceMs = 20;    // how soon a pause notices stop()

// After a restart a longer serial ending its tenth character in 'b' is taken as the bootloader
// too: the device has left its application, which is what the wait is for.
int percentOfApplicationArea(int pagesDone)
{
    return int(quint32(pagesDone) * Kr960::PageSize * 100u / Kr960::ApplicationSize);
}

bool isBackInBootloader(const QByteArray &serial)
{
    return serial.size() >= 10 && serial.at(9) == 'b';
}

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

Upgrader::Upgrader(USBKR960 *usb) : QThread(nullptr)
{
    qDebug() << "Upgrader constructor";
    if (usb)
        this->usb = usb;
}

Upgrader::~Upgrader()
{
    qDebug() << "Upgrader destructor";
}

void Upgrader::setTiming(const UpgradeTiming &timing)
{
    this->timing = timing;
}

void Upgrader::setSkipUnchangedPages(bool skip)
{
    skipUnchangedPages = skip;
}

void Upgrader::stop()
{
    requestInterruption();
    wait();
}

void Upgrader::slotSetFileName(QString fileName)
{
    this->fileName = fileName;
}

void Upgrader::end(UpgradeOutcome outcome)
{
    lastOutcome = outcome;
}

void Upgrader::run()
{
    lastOutcome = UpgradeOutcome::NotRun;
    lastPagesWritten = 0;
    lastPagesVerified = 0;
    if (fileName.isNull())
        return;
    qDebug() << "Start firmware upgrade";
    emit sendText(fileName);

    // The whole file is checked before the device is touched: a device restarted into its
    // bootloader for a file that turns out to be unusable would be left without application.
    QFile file(fileName);
    file.open(QIODevice::ReadOnly);
    QByteArray scrambledImage;
    const UpgradeFileStatus status = readUpgradeFile(file, &scrambledImage);
    file.close();
    if (status != UpgradeFileStatus::Ok) {
        emit sendText(upgradeFileStatusText(status));
        return end(UpgradeOutcome::BadFile);
    }

    emit sendPercent(0);
    if (!connectWithRetries())
        return end(isInterruptionRequested() ? UpgradeOutcome::Stopped : UpgradeOutcome::NoDevice);
    const QByteArray serial = readSerialText(*usb);
    emit sendText(text(serial));
    if (!reportBootloaderVersion())
        return end(UpgradeOutcome::NoDevice);
    switch (modeFromSerial(serial)) {
    case DeviceMode::Application:
        if (!restartIntoBootloader())
            return end(isInterruptionRequested() ? UpgradeOutcome::Stopped
                                                 : UpgradeOutcome::NoDevice);
        break;
    case DeviceMode::Bootloader:
        emit sendText(tr("Bootloader mode"));
        break;
    case DeviceMode::Unknown:
        emit sendText(tr("Serial:") + text(readSerialText(*usb)));
        return end(UpgradeOutcome::NoDevice);
    }
    // Kept as the device's operators know it, spelling included.
    emit sendText(tr("Writting firmware ... "));
    end(programApplication(plainApplicationArea(scrambledImage)));
}

// Sleeps in short slices so that stop() never waits for a whole restart pause.
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

bool Upgrader::connectWithRetries()
{
    usb->disconnect();
    int connected = usb->connect();
    for (int retries = 0; connected != 0 && retries < ConnectRetries; ++retries) {
        qDebug() << "usb->connect()\nmssleep(200)";
        if (!pause(timing.connectRetryMs))
            return false;
        connected = usb->connect();
    }
    if (connected != 0) {
        emit sendText(tr("USB Timeout\nCheck USB Cable"));
        const QString hint = permissionHint(usb->lastConnectFailure());
        if (!hint.isEmpty())
            emit sendText(hint);
    }
    return connected == 0;
}

// The version text is shown to the operator only; nothing depends on it.
bool Upgrader::reportBootloaderVersion()
{
    QByteArray version;
    if (readBootloaderVersion(*usb, &version) != 0) {
        emit sendText(tr("Bootloader Version Read Error"));
        return false;
    }
    emit sendText(text(version));
    return true;
}

// The run-application request restarts a device that runs its application into the bootloader,
// which enumerates anew; it is told apart by its serial number.
bool Upgrader::restartIntoBootloader()
{
    // Kept as the device's operators know it, spelling included.
    emit sendText(tr("Apllication mode"));
    emit sendText(tr("Reset device"));
    usb->RunApplication();
    qDebug() << "usb->RunApplication()";
    if (!pause(timing.restartWaitMs))
        return false;
    usb->disconnect();
    qDebug() << "usb->disconnect()";
    if (!pause(timing.disconnectWaitMs))
        return false;
    if (!waitForBootloader())
        return false;
    connectAfresh();
    return true;
}

// Only connected passes use up a try; failed passes are bounded by time so that a device that
// never comes back ends the run instead of holding the worker for ever.
bool Upgrader::waitForBootloader()
{
    int triesLeft = BootloaderTries;
    qint64 failedMs = 0;
    for (;;) {
        QElapsedTimer pass;
        pass.start();
        const bool connected = usb->connect() == 0;
        if (connected && isBackInBootloader(readSerialText(*usb)))
            return true;
        if (!pause(timing.connectRetryMs))
            return false;
        if (connected ? --triesLeft == 0 : (failedMs += pass.elapsed()) >= timing.reconnectGiveUpMs)
            break;
    }
    emit sendText(tr("USB timout\nCheck USB cable"));
    return false;
}

void Upgrader::connectAfresh()
{
    emit sendText(tr("Disconnect"));
    usb->disconnect();
    emit sendText(tr("Connect"));
    usb->connect();
    emit sendText(tr("Serial:") + text(readSerialText(*usb)));
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
    hooks.pageDone = [this](int page, PageOutcome outcome) {
        if (outcome != PageOutcome::Verified && outcome != PageOutcome::AlreadyCurrent)
            emit sendText(tr("ERROR"));
        if (outcome != PageOutcome::WriteFailed)
            emit sendPercent(percentOfApplicationArea(page + 1));
    };
    const PageWriteMode mode =
        skipUnchangedPages ? PageWriteMode::ChangedOnly : PageWriteMode::EveryPage;
    const PageLoopReport report = programApplicationArea(*usb, applicationArea, hooks, mode);
    lastPagesWritten = report.written;
    lastPagesVerified = report.verified;
    if (report.stopped)
        return UpgradeOutcome::Stopped;
    if (report.writeFailed)
        return UpgradeOutcome::WriteFailed;
    if (skipUnchangedPages)
        emit sendText(tr("Pages written: %1, already current: %2")
                          .arg(report.written)
                          .arg(report.alreadyCurrent));
    emit sendText(report.allVerified() ? tr("OK") : tr("Verify ERROR"));
    return report.allVerified() ? UpgradeOutcome::Ok : UpgradeOutcome::VerifyFailed;
}
