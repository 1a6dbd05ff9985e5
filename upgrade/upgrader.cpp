#include "upgrade/upgrader.h"

#include "device/bootloader_info.h"
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
bool isBackInBootloader(const QByteArray &serial)
{
    return serial.size() >= 10 && serial.at(9) == 'b';
}

QString text(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes);
}

} // namespace

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

void Upgrader::stop()
{
    requestInterruption();
    wait();
}

void Upgrader::slotSetFileName(QString fileName)
{
    this->fileName = fileName;
}

void Upgrader::run()
{
    if (fileName.isNull())
        return;
    qDebug() << "Start firmware upgrade";
    emit sendText(fileName);

    // The whole file is checked before the device is touched: a device restarted into its
    // bootloader for a file that turns out to be unusable would be left without application.
    QFile file(fileName);
    file.open(QIODevice::ReadOnly);
    QByteArray scrambledImage;
    switch (readUpgradeFile(file, &scrambledImage)) {
    case UpgradeFileStatus::WrongHeader:
        emit sendText(tr("Wrong file header"));
        return;
    case UpgradeFileStatus::WrongVersion:
        emit sendText(tr("Wrong file version"));
        return;
    case UpgradeFileStatus::WrongSize:
        emit sendText(tr("Wrong file size"));
        return;
    case UpgradeFileStatus::Ok:
        break;
    }
    file.close();

    emit sendPercent(0);
    if (!connectWithRetries())
        return;
    const QByteArray serial = serialNumber();
    emit sendText(text(serial));
    if (!reportBootloaderVersion())
        return;
    switch (modeFromSerial(serial)) {
    case DeviceMode::Application:
        if (!restartIntoBootloader())
            return;
        break;
    case DeviceMode::Bootloader:
        emit sendText(tr("Bootloader mode"));
        break;
    case DeviceMode::Unknown:
        emit sendText(tr("Serial:") + text(serialNumber()));
        return;
    }
    emit sendText(tr("Writting firmware ... "));
    programApplication(plainApplicationArea(scrambledImage));
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

QByteArray Upgrader::serialNumber()
{
    const QByteArray serial = usb->serial_number();
    const int zero = serial.indexOf('\0');
    return zero < 0 ? serial : serial.left(zero);
}

// The version text is shown to the operator only; nothing depends on it.
bool Upgrader::reportBootloaderVersion()
{
    QByteArray block(BootloaderVersionBlockSize, '\0');
    if (usb->ReadMemoryFromAddress(reinterpret_cast<unsigned char *>(block.data()),
                                   Kr960::BootloaderVersionBlock,
                                   BootloaderVersionBlockSize) != 0) {
        emit sendText(tr("Bootloader Version Read Error"));
        return false;
    }
    emit sendText(text(versionTextOfBlock(block)));
    return true;
}

// The run-application request restarts a device that runs its application into the bootloader,
// which enumerates anew; it is told apart by its serial number.
bool Upgrader::restartIntoBootloader()
{
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
        if (connected && isBackInBootloader(serialNumber()))
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
    emit sendText(tr("Serial:") + text(serialNumber()));
}

// A page that cannot be verified is reported and the run goes on, so the operator learns of every
// bad page at once; only a refused write ends it, as the device is then gone or unwilling.
void Upgrader::programApplication(const QByteArray &applicationArea)
{
    const auto *plain = reinterpret_cast<const unsigned char *>(applicationArea.constData());
    bool allVerified = true;
    for (quint32 p = 0; p < Kr960::ApplicationPages; ++p) {
        if (isInterruptionRequested()) {
            qDebug() << "Upgrade stopped";
            return;
        }
        const quint32 address = Kr960::ApplicationStart + p * Kr960::PageSize;
        const PageOutcome outcome = programPage(*usb, plain + p * Kr960::PageSize, address);
        if (outcome == PageOutcome::WriteFailed) {
            emit sendText(tr("ERROR"));
            return;
        }
        if (outcome != PageOutcome::Verified) {
            emit sendText(tr("ERROR"));
            allVerified = false;
        }
        emit sendPercent(int((p + 1) * Kr960::PageSize * 100u / Kr960::ApplicationSize));
    }
    emit sendText(allVerified ? tr("OK") : tr("Verify ERROR"));
}
