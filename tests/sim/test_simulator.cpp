// The simulated KR960 as the other suites rely on it: a bootloader refuses what only the
// bootloader may do while the application runs, the device survives being re-plugged under a
// host that keeps scanning, and mv604-sim hands the device to a child and keeps its state.

#include "device/kr960_memory_map.h"
#include "process_run.h"
#include "workbench.h"

#include <atomic>
#include <thread>

class TestSimulator : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY2(SimulatedBus::preloadActive(), "needs umockdev's preload"); }

    // Requests 2, 3, 5 and 6 stall in the application; reads and identity work in both modes.
    void modeDecidesWhatIsAnswered_data()
    {
        QTest::addColumn<int>("mode");
        QTest::addColumn<QList<int>>("answered"); // for requests 1, 2, 3, 5, 6
        QTest::newRow("bootloader") << int(kr960sim::Mode::Bootloader) << QList<int>{1, 1, 1, 1, 1};
        QTest::newRow("application")
            << int(kr960sim::Mode::Application) << QList<int>{1, 0, 0, 0, 0};
    }
    void modeDecidesWhatIsAnswered()
    {
        QFETCH(int, mode);
        QFETCH(QList<int>, answered);
        SimulatedBus bus;
        kr960sim::DeviceConfig config;
        config.mode = kr960sim::Mode(mode);
        auto device = bus.addDevice(config);
        USBKR960 usb;
        QCOMPARE(usb.connect(), 0);
        unsigned char buffer[2048] = {};
        const QList<int> requests{1, 2, 3, 5, 6};
        for (int i = 0; i < requests.size(); ++i) {
            const int r = requests[i];
            const int length = r == 2 ? 512 : r == 6 ? 256 : r == 5 ? 512 : 2048;
            const quint16 high = r == 5 || r == 6 ? 0 : 0x0800; // external flash starts at 0
            const int result = r == 1 || r == 5
                                   ? usb.control_receive(quint8(r), 0x4000, high, buffer, length)
                                   : usb.control_send(quint8(r), 0x4000, high, buffer, length);
            QCOMPARE(result == length, bool(answered[i]));
        }
    }

    // Hundreds of re-plugs while another thread keeps walking the bus: no crash, and the device
    // is found again at its new number.
    void survivesReplugsUnderAScanningHost()
    {
        SimulatedBus bus;
        auto device = bus.addDevice();
        std::atomic<bool> scanning{true};
        std::thread host([&] {
            USBKR960 usb;
            while (scanning)
                usb.connect();
        });
        for (int i = 0; i < 200; ++i)
            bus.replug(device);
        scanning = false;
        host.join();
        USBKR960 usb;
        QCOMPARE(usb.connect(), 0);
    }

    void launcherServesTheDeviceToItsChild()
    {
        QTemporaryDir dir;
        const QString log = dir.filePath("requests.log");
        const QStringList state{"--state-dir", dir.path(), "--log", log};
        QCOMPARE(runProcess(MV604_SIM, {"--", "sh", "-c", "exit 7"}).exitCode, 7);
        QCOMPARE(runProcess(MV604_SIM, {"--nonsense", "--", "true"}).exitCode, 2);
        QCOMPARE(runProcess(MV604_SIM,
                            state + QStringList{"--", MV604_CLI, "ext-fill", "0x30100", "4", "5a"})
                     .exitCode,
                 0);
        QCOMPARE(QFileInfo(dir.filePath("external-flash.bin")).size(), qint64(16) << 20);
        const ProcessRun read =
            runProcess(MV604_SIM, state + QStringList{"--", MV604_CLI, "ext-read", "0x30100", "4"});
        QVERIFY2(read.out.contains(" 5a 5a 5a 5a "), qPrintable(read.out));
        QFile file(log);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QVERIFY(file.readAll().startsWith("device 1 bmRequestType=0xc0 bRequest=255 wValue=0x0000 "
                                          "wIndex=0x0000 wLength=2 result=2\n"));
    }
};

QTEST_GUILESS_MAIN(TestSimulator)
#include "test_simulator.moc"
