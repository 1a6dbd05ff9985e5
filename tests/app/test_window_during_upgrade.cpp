// The window while its worker programs a simulated KR960: connection commands keep off the
// device, and closing the window waits for the worker instead of pulling the device object
// from under it.

#include "app/kr960_bootloader.h"
#include "image/word_scrambler.h"
#include "sim/simulated_bus.h"
#include "trace_capture.h"
#include "upgrade/upgrade_file.h"
#include "upgrade/upgrader.h"
#include "window_probe.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>
#include <memory>

using kr960sim::SimulatedBus;
using kr960sim::SimulatedKr960;

namespace
{

int vendorRequests(const SimulatedKr960 &device, int request)
{
    int count = 0;
    for (const auto &record : device.requests())
        count += record.request == request && (record.requestType & 0x60) == 0x40;
    return count;
}

bool writeUpgradeFile(const QString &path)
{
    QByteArray image(UpgradeFile::ImageSize, '\0');
    stampChecksums(reinterpret_cast<unsigned char *>(image.data()));
    EncodeWords(image.data(), int(image.size()));
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && writeUpgradeFile(file, image);
}

} // namespace

class TestWindowDuringUpgrade : public QObject
{
    Q_OBJECT

    QTemporaryDir workDirectory;
    QString startDirectory;
    QString upgradePath;
    std::unique_ptr<SimulatedBus> bus;
    std::shared_ptr<SimulatedKr960> device;

    // Starts an upgrade and returns once it is writing pages.
    void startUpgrade(KR960_Bootloader &window)
    {
        Upgrader *worker = window.upgradeWorker();
        worker->slotSetFileName(upgradePath);
        worker->start(QThread::InheritPriority);
        QTRY_VERIFY_WITH_TIMEOUT(progressBar(window, "progressBarFlash")->value() > 0, 60000);
        QVERIFY(worker->isRunning());
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(SimulatedBus::preloadActive(), "run under LD_PRELOAD=libumockdev-preload.so.0");
        QVERIFY(workDirectory.isValid());
        startDirectory = QDir::currentPath();
        upgradePath = workDirectory.filePath(QStringLiteral("blank.upg"));
        QVERIFY(writeUpgradeFile(upgradePath));
    }
    void init()
    {
        QVERIFY(QDir::setCurrent(workDirectory.path()));
        bus = std::make_unique<SimulatedBus>();
        device = bus->addDevice();
        // Slow enough that the upgrade is still writing pages while the commands are tried.
        device->setLatencyMs(10);
    }
    void cleanup()
    {
        device.reset();
        bus.reset();
        QFile::remove(workDirectory.filePath(QStringLiteral("dane.csv")));
        QDir::setCurrent(startDirectory);
    }

    void connectionCommandsKeepOff_data()
    {
        QTest::addColumn<QByteArray>("slot");
        QTest::newRow("Connect") << QByteArray("slotpushButtonConnect");
        QTest::newRow("RunApplication") << QByteArray("slotpushButtonRunApplication");
    }
    void connectionCommandsKeepOff()
    {
        QFETCH(QByteArray, slot);
        KR960_Bootloader window;
        // Installed before the worker starts: the handler is shared with the worker's thread.
        TraceCapture trace;
        startUpgrade(window);
        device->clearRequests();
        const QStringList logBefore = logLines(window);

        QVERIFY(QMetaObject::invokeMethod(&window, slot.constData(), Q_ARG(bool, false)));
        QCOMPARE(logLines(window).mid(0, logBefore.size()), logBefore);
        QCOMPARE(logLines(window).value(logBefore.size()), QStringLiteral("Upgrade in progress"));
        QVERIFY(!QFile::exists(QStringLiteral("dane.csv")));

        // The run goes on undisturbed: no reconnection, no restart, every page verified.
        QTRY_VERIFY_WITH_TIMEOUT(!window.upgradeWorker()->isRunning(), 120000);
        QCoreApplication::processEvents();
        QCOMPARE(logLines(window).last(), QStringLiteral("OK"));
        QVERIFY(!logLines(window).contains(QStringLiteral("ERROR")));
        QCOMPARE(vendorRequests(*device, 0xFF), 0);
        QCOMPARE(vendorRequests(*device, 4), 0);
        QVERIFY(!logLines(window).contains(QStringLiteral("Connect OK")));
        QVERIFY(!logLines(window).contains(QStringLiteral("Connect ERROR")));
    }

    // Without a running upgrade the same commands act at once.
    void connectionCommandsActWhenIdle()
    {
        KR960_Bootloader window;
        window.slotpushButtonConnect(false);
        QCOMPARE(logLines(window), QStringList{"Connect OK"});
    }

    void closingWaitsForWorker()
    {
        auto *window = new KR960_Bootloader;
        window->show();
        startUpgrade(*window);
        Upgrader *worker = window->upgradeWorker();
        QSignalSpy percents(worker, &Upgrader::sendPercent);

        window->close();
        delete window;
        QVERIFY(!worker->isRunning());
        // The worker outlives the window; it ended before the last page.
        QVERIFY(percents.isEmpty() || percents.last().first().toInt() < 100);
        const auto requestsAtClose = device->requests().size();
        QCoreApplication::processEvents();
        QCOMPARE(device->requests().size(), requestsAtClose);
    }
};

QTEST_MAIN(TestWindowDuringUpgrade)
#include "test_window_during_upgrade.moc"
