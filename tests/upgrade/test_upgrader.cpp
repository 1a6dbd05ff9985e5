// The upgrade worker against a simulated KR960: the log lines and percentages an operator sees,
// what reaches the device's flash, and every way a run can end.

#include "upgrade_fixtures.h"

#include "device/usbkr960.h"
#include "sim/simulated_bus.h"
#include "trace_capture.h"
#include "upgrade/upgrader.h"

#include <QMutex>
#include <QSemaphore>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using namespace fixtures;
using kr960sim::DeviceConfig;
using kr960sim::Fault;
using kr960sim::FaultRule;
using kr960sim::Mode;
using kr960sim::SimulatedBus;
using kr960sim::SimulatedKr960;

Q_DECLARE_METATYPE(Mode)
Q_DECLARE_METATYPE(Fault)

namespace
{

constexpr quint32 ApplicationStart = 0x08004000;
constexpr int Pages = 120;

// Records what the worker reports, in emission order, and lets a test wait for a point of a run.
class RunLog : public QObject
{
public:
    explicit RunLog(Upgrader &upgrader)
    {
        connect(
            &upgrader, &Upgrader::sendText, this,
            [this](const QString &line) {
                QMutexLocker locker(&mutex);
                lines_.append(line);
            },
            Qt::DirectConnection);
        connect(
            &upgrader, &Upgrader::sendPercent, this,
            [this](int percent) {
                {
                    QMutexLocker locker(&mutex);
                    percents_.append(percent);
                }
                percentsEmitted.release();
            },
            Qt::DirectConnection);
    }

    QStringList lines() const
    {
        QMutexLocker locker(&mutex);
        return lines_;
    }
    QList<int> percents() const
    {
        QMutexLocker locker(&mutex);
        return percents_;
    }

    QSemaphore percentsEmitted;

private:
    mutable QMutex mutex;
    QStringList lines_;
    QList<int> percents_;
};

int countRequests(const SimulatedKr960 &device, int request)
{
    int count = 0;
    for (const auto &record : device.requests())
        count += record.request == request && (record.requestType & 0x60) == 0x40;
    return count;
}

QByteArray flashOf(const SimulatedKr960 &device, quint32 address, int length)
{
    const std::vector<uint8_t> bytes = device.flash(address, quint32(length));
    return QByteArray(reinterpret_cast<const char *>(bytes.data()), int(bytes.size()));
}

} // namespace

class TestUpgrader : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void upgradesADeviceInItsBootloader();
    void upgradesADeviceInItsApplication();
    void progressRisesInStepsToOneHundred();
    void noFileNameEndsTheRunSilently();
    void badFileLeavesTheDeviceAlone_data();
    void badFileLeavesTheDeviceAlone();
    void longerFilesAreProgrammed_data();
    void longerFilesAreProgrammed();
    void connectsAtTheFourthAttempt();
    void givesUpAfterFourAttempts_data();
    void givesUpAfterFourAttempts();
    void namesAMissingPermission();
    void showsTheBootloaderVersionText_data();
    void showsTheBootloaderVersionText();
    void unreadableVersionBlockEndsTheRun();
    void unexpectedSerialEndsTheRun_data();
    void unexpectedSerialEndsTheRun();
    void restartThatNeverReachesTheBootloaderEndsTheRun_data();
    void restartThatNeverReachesTheBootloaderEndsTheRun();
    void failedPageWriteEndsTheRun();
    void unverifiedPageIsReported_data();
    void unverifiedPageIsReported();
    void stopEndsARunBetweenPages();
    void stopEndsARunDuringAPauseAndTheWorkerRunsAgain();

private:
    std::shared_ptr<SimulatedKr960> plugDevice(DeviceConfig config = {});
    QString upgradeFile(const QByteArray &bytes);
    void run(Upgrader &upgrader);
    void verifyProgrammed(const SimulatedKr960 &device);

    QTemporaryDir dir;
    QByteArray application;
    QString goodFile;
    std::unique_ptr<SimulatedBus> bus;
    std::unique_ptr<USBKR960> usb;
    std::unique_ptr<Upgrader> upgrader;
    std::unique_ptr<RunLog> log;
    UpgradeTiming fast;
};

void TestUpgrader::initTestCase()
{
    QVERIFY2(SimulatedBus::preloadActive(), "run under LD_PRELOAD=libumockdev-preload.so.0");
    QVERIFY(dir.isValid());
    application = firmwareBytes(UpgradeFile::ApplicationSize, 7);
    goodFile = upgradeFile(upgradeFileBytes(application));
    fast = fastTiming(10, 5000);
}

void TestUpgrader::init()
{
    bus = std::make_unique<SimulatedBus>();
    usb = std::make_unique<USBKR960>();
    upgrader = std::make_unique<Upgrader>(usb.get());
    upgrader->setTiming(fast);
    upgrader->slotSetFileName(goodFile);
    log = std::make_unique<RunLog>(*upgrader);
}

void TestUpgrader::cleanup()
{
    upgrader->stop();
    log.reset();
    upgrader.reset();
    usb.reset();
    bus.reset();
}

std::shared_ptr<SimulatedKr960> TestUpgrader::plugDevice(DeviceConfig config)
{
    config.restartDelayMs = 50;
    return bus->addDevice(config);
}

QString TestUpgrader::upgradeFile(const QByteArray &bytes)
{
    static int number = 0;
    const QString path = dir.filePath(QString("file%1.upg").arg(++number));
    return writeFile(path, bytes) ? path : QString();
}

void TestUpgrader::run(Upgrader &worker)
{
    worker.start(QThread::InheritPriority);
    worker.wait();
}

void TestUpgrader::verifyProgrammed(const SimulatedKr960 &device)
{
    QVERIFY(flashOf(device, ApplicationStart, application.size()) == application);
}

void TestUpgrader::upgradesADeviceInItsBootloader()
{
    auto device = plugDevice();
    TraceCapture trace;
    run(*upgrader);

    QCOMPARE(log->lines(), QStringList({goodFile, "264900001b", "KR960 BL 1.07", "Bootloader mode",
                                        "Writting firmware ... ", "OK"}));
    verifyProgrammed(*device);
    QCOMPARE(countRequests(*device, 3), Pages);
    QCOMPARE(trace.lines().count("page write OK"), Pages);
    QVERIFY(trace.contains("Start firmware upgrade"));
}

void TestUpgrader::upgradesADeviceInItsApplication()
{
    DeviceConfig config;
    config.mode = Mode::Application;
    auto device = plugDevice(config);
    TraceCapture trace;
    run(*upgrader);

    QCOMPARE(log->lines(), QStringList({goodFile, "264900001", "KR960 BL 1.07", "Apllication mode",
                                        "Reset device", "Disconnect", "Connect",
                                        "Serial:264900001b", "Writting firmware ... ", "OK"}));
    verifyProgrammed(*device);
    QCOMPARE(device->mode(), Mode::Bootloader);
    const QStringList lines = trace.lines();
    QVERIFY(lines.indexOf("usb->RunApplication()") < lines.indexOf("usb->disconnect()"));
}

void TestUpgrader::progressRisesInStepsToOneHundred()
{
    plugDevice();
    run(*upgrader);

    const QList<int> percents = log->percents();
    QCOMPARE(percents.size(), 1 + Pages);
    QCOMPARE(percents.mid(0, 9), QList<int>({0, 0, 1, 2, 3, 4, 5, 5, 6}));
    QCOMPARE(percents.at(60), 50);
    QCOMPARE(percents.at(Pages - 1), 99);
    QCOMPARE(percents.last(), 100);
    for (int i = 1; i < percents.size(); ++i)
        QVERIFY(percents[i] == percents[i - 1] || percents[i] == percents[i - 1] + 1);
}

void TestUpgrader::noFileNameEndsTheRunSilently()
{
    auto device = plugDevice();
    upgrader->slotSetFileName(QString());
    TraceCapture trace;
    run(*upgrader);

    QVERIFY(log->lines().isEmpty());
    QVERIFY(log->percents().isEmpty());
    QVERIFY(!trace.contains("Start firmware upgrade"));
    QVERIFY(device->requests().empty());
}

void TestUpgrader::badFileLeavesTheDeviceAlone_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("message");

    const QByteArray header = textItem(UpgradeFile::HeaderText);
    const QByteArray version = textItem(UpgradeFile::VersionText);
    const QByteArray image = be32(UpgradeFile::ImageSize) + scrambled(plainImageWith({}));
    const QByteArray good = header + version + image;
    const QByteArray afterHeader = version + image;

    QTest::newRow("empty file") << QByteArray() << "Wrong file header";
    QTest::newRow("header as UTF-16LE")
        << textItem(UpgradeFile::HeaderText, false) + afterHeader << "Wrong file header";
    QTest::newRow("header in lower case")
        << textItem(UpgradeFile::HeaderText.toLower()) + afterHeader << "Wrong file header";
    QTest::newRow("header with a trailing blank")
        << textItem(UpgradeFile::HeaderText + ' ') + afterHeader << "Wrong file header";
    QTest::newRow("version 2") << header + textItem("2") + image << "Wrong file version";
    QTest::newRow("version '02 '") << header + textItem("02 ") + image << "Wrong file version";
    QTest::newRow("version 03") << header + textItem("03") + image << "Wrong file version";
    QTest::newRow("image one byte short") << header + version + be32(UpgradeFile::ImageSize - 1) +
                                                 image.mid(4, UpgradeFile::ImageSize - 1)
                                          << "Wrong file size";
    QTest::newRow("null image") << header + version + be32(0xFFFFFFFF) << "Wrong file size";
    QTest::newRow("file cut short") << good.left(good.size() - 2048) << "Wrong file size";
    QTest::newRow("length field beyond the file")
        << header + version + be32(0x10000000) + image.mid(4) << "Wrong file size";
}

void TestUpgrader::badFileLeavesTheDeviceAlone()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, message);
    auto device = plugDevice();
    const QString file = upgradeFile(bytes);
    upgrader->slotSetFileName(file);
    run(*upgrader);

    QCOMPARE(log->lines(), QStringList({file, message}));
    QVERIFY(log->percents().isEmpty());
    QVERIFY(device->requests().empty());
}

void TestUpgrader::longerFilesAreProgrammed_data()
{
    QTest::addColumn<QByteArray>("bytes");
    const QByteArray good = upgradeFileBytes(application);
    QTest::newRow("extra bytes after the image") << good + QByteArray(100, 'x');
    QByteArray longer = good + firmwareBytes(4096, 9);
    longer.replace(int(UpgradeFile::ImageFileOffset) - 4, 4, be32(UpgradeFile::ImageSize + 4096));
    QTest::newRow("longer image item") << longer;
}

void TestUpgrader::longerFilesAreProgrammed()
{
    QFETCH(QByteArray, bytes);
    auto device = plugDevice();
    upgrader->slotSetFileName(upgradeFile(bytes));
    run(*upgrader);

    QCOMPARE(log->lines().last(), QString("OK"));
    verifyProgrammed(*device);
}

void TestUpgrader::connectsAtTheFourthAttempt()
{
    auto device = plugDevice();
    device->addFault({0xFF, 1, 3, Fault::Stall});
    TraceCapture trace;
    run(*upgrader);

    QCOMPARE(trace.lines().count("usb->connect()\nmssleep(200)"), 3);
    QCOMPARE(log->lines().last(), QString("OK"));
    verifyProgrammed(*device);
}

void TestUpgrader::givesUpAfterFourAttempts_data()
{
    QTest::addColumn<bool>("devicePlugged");
    QTest::newRow("no device on the bus") << false;
    QTest::newRow("identity always refused") << true;
}

void TestUpgrader::givesUpAfterFourAttempts()
{
    QFETCH(bool, devicePlugged);
    std::shared_ptr<SimulatedKr960> device;
    if (devicePlugged) {
        device = plugDevice();
        device->addFault({0xFF, 1, 0, Fault::Stall});
    }
    TraceCapture trace;
    run(*upgrader);

    QCOMPARE(log->lines(), QStringList({goodFile, "USB Timeout\nCheck USB Cable"}));
    QCOMPARE(log->percents(), QList<int>({0}));
    QCOMPARE(trace.lines().count("usb->connect()\nmssleep(200)"), 3);
    if (device)
        QCOMPARE(countRequests(*device, 3), 0);
}

// Without a udev rule the device is on the bus but cannot be opened: the operator is told so
// instead of being sent to check the cable.
void TestUpgrader::namesAMissingPermission()
{
    auto device = plugDevice();
    bus->setPermissionDenied(device, true);
    run(*upgrader);

    QCOMPARE(log->lines(),
             QStringList({goodFile, "USB Timeout\nCheck USB Cable",
                          "No permission to open the KR960: install the udev rule 60-kr960.rules "
                          "(see README) and plug the device in again."}));
    QCOMPARE(countRequests(*device, 3), 0);
}

void TestUpgrader::showsTheBootloaderVersionText_data()
{
    QTest::addColumn<QByteArray>("versionBytes"); // device addresses 0x08003FE0..0x08003FEF
    QTest::addColumn<QString>("line");
    QTest::newRow("zero-padded text") << QByteArray("BL 2.0").leftJustified(16, '\0') << "BL 2.0";
    QTest::newRow("sixteen characters, no zero")
        << QByteArray("ABCDEFGHIJKLMNOP") << "ABCDEFGHIJKLMNOP";
    QTest::newRow("empty text") << QByteArray(16, '\0') << "";
}

void TestUpgrader::showsTheBootloaderVersionText()
{
    QFETCH(QByteArray, versionBytes);
    QFETCH(QString, line);
    auto device = plugDevice();
    device->setFlash(0x08003FE0, {versionBytes.begin(), versionBytes.end()});
    run(*upgrader);

    QCOMPARE(log->lines().mid(2, 2), QStringList({line, "Bootloader mode"}));
}

void TestUpgrader::unreadableVersionBlockEndsTheRun()
{
    auto device = plugDevice();
    device->addFault({1, 1, 1, Fault::Stall});
    run(*upgrader);

    QCOMPARE(log->lines(), QStringList({goodFile, "264900001b", "Bootloader Version Read Error"}));
    QCOMPARE(countRequests(*device, 3), 0);
}

void TestUpgrader::unexpectedSerialEndsTheRun_data()
{
    QTest::addColumn<Mode>("mode");
    QTest::addColumn<QString>("serial"); // as configured; the bootloader appends 'b'
    QTest::addColumn<QString>("reported");
    QTest::newRow("eight characters") << Mode::Bootloader << "1234567"
                                      << "1234567b";
    QTest::newRow("eleven characters") << Mode::Bootloader << "1234567890"
                                       << "1234567890b";
    QTest::newRow("one character") << Mode::Bootloader << ""
                                   << "b";
    QTest::newRow("ten characters, the tenth not b") << Mode::Application << "123456789X"
                                                     << "123456789X";
}

void TestUpgrader::unexpectedSerialEndsTheRun()
{
    QFETCH(Mode, mode);
    QFETCH(QString, serial);
    QFETCH(QString, reported);
    DeviceConfig config;
    config.mode = mode;
    config.serial = serial.toStdString();
    auto device = plugDevice(config);
    run(*upgrader);

    QCOMPARE(log->lines(),
             QStringList({goodFile, reported, "KR960 BL 1.07", "Serial:" + reported}));
    QCOMPARE(countRequests(*device, 3), 0);
    QCOMPARE(countRequests(*device, 4), 0);
}

void TestUpgrader::restartThatNeverReachesTheBootloaderEndsTheRun_data()
{
    QTest::addColumn<bool>("staysInApplication");
    QTest::addColumn<bool>("comesBack");
    QTest::newRow("stays in its application") << true << true;
    QTest::newRow("never comes back") << false << false;
}

void TestUpgrader::restartThatNeverReachesTheBootloaderEndsTheRun()
{
    QFETCH(bool, staysInApplication);
    QFETCH(bool, comesBack);
    DeviceConfig config;
    config.mode = Mode::Application;
    config.staysInApplication = staysInApplication;
    config.comesBackAfterRestart = comesBack;
    auto device = plugDevice(config);
    UpgradeTiming timing = fast;
    timing.reconnectGiveUpMs = 300;
    upgrader->setTiming(timing);
    run(*upgrader);

    QCOMPARE(log->lines().mid(3),
             QStringList({"Apllication mode", "Reset device", "USB timout\nCheck USB cable"}));
    QCOMPARE(countRequests(*device, 3), 0);
}

void TestUpgrader::failedPageWriteEndsTheRun()
{
    auto device = plugDevice();
    device->addFault({3, 5, 1, Fault::Stall});
    TraceCapture trace;
    run(*upgrader);

    QCOMPARE(log->lines().mid(4), QStringList({"Writting firmware ... ", "ERROR"}));
    QCOMPARE(log->percents(), QList<int>({0, 0, 1, 2, 3}));
    QVERIFY(trace.contains("page write ERROR"));
    QCOMPARE(countRequests(*device, 3), 5);
    QVERIFY(flashOf(*device, ApplicationStart, 4 * 2048) == application.left(4 * 2048));
}

void TestUpgrader::unverifiedPageIsReported_data()
{
    QTest::addColumn<int>("page");
    QTest::addColumn<bool>("readFails");
    QTest::addColumn<Fault>("fault"); // when the read fails

    QTest::newRow("first page reads back different") << 0 << false << Fault::Stall;
    QTest::newRow("a middle page reads back different") << 7 << false << Fault::Stall;
    QTest::newRow("last page reads back different") << 119 << false << Fault::Stall;
    QTest::newRow("read-back stalls") << 7 << true << Fault::Stall;
    QTest::newRow("read-back times out") << 7 << true << Fault::Timeout;
    QTest::newRow("read-back comes short") << 119 << true << Fault::ShortReply;
}

void TestUpgrader::unverifiedPageIsReported()
{
    QFETCH(int, page);
    QFETCH(bool, readFails);
    QFETCH(Fault, fault);
    auto device = plugDevice();
    const quint32 address = ApplicationStart + quint32(page) * 2048;
    if (readFails)
        device->addFault({1, page + 2, 1, fault}); // the first read is the version block
    else
        device->corruptReadBack(address);
    TraceCapture trace;
    run(*upgrader);

    QCOMPARE(log->lines().mid(4), QStringList({"Writting firmware ... ", "ERROR", "Verify ERROR"}));
    QCOMPARE(log->percents().size(), 1 + Pages);
    QCOMPARE(log->percents().last(), 100);
    QCOMPARE(trace.contains("page read ERROR"), readFails);
    QCOMPARE(countRequests(*device, 3), Pages);
    verifyProgrammed(*device);
}

void TestUpgrader::stopEndsARunBetweenPages()
{
    auto device = plugDevice();
    device->setLatencyMs(2);
    TraceCapture trace;
    upgrader->start();
    log->percentsEmitted.acquire(10);
    upgrader->stop();

    QVERIFY(upgrader->isFinished());
    QVERIFY(!log->lines().contains("OK"));
    QVERIFY(log->percents().last() < 100);
    QVERIFY(countRequests(*device, 3) < Pages);
    QVERIFY(trace.contains("Upgrade stopped"));
}

// A pause far beyond the test's time limit: stop() returns only because the pause gives way.
void TestUpgrader::stopEndsARunDuringAPauseAndTheWorkerRunsAgain()
{
    UpgradeTiming slow = fast;
    slow.connectRetryMs = 1000000;
    upgrader->setTiming(slow);
    upgrader->start();
    log->percentsEmitted.acquire(1);
    upgrader->stop();
    QCOMPARE(log->lines(), QStringList({goodFile}));

    auto device = plugDevice();
    upgrader->setTiming(fast);
    run(*upgrader);
    QCOMPARE(log->lines().last(), QString("OK"));
    verifyProgrammed(*device);
}

QTEST_GUILESS_MAIN(TestUpgrader)
#include "test_upgrader.moc"
