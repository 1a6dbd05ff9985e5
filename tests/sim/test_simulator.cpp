// The simulated KR960 as the other suites rely on it: it survives being re-plugged under a host
// that keeps scanning, and sits on a USB port that sysfs names with its current device number.

#include "device/kr960_memory_map.h"
#include "workbench.h"

#include <atomic>
#include <thread>

// What /sys/bus/usb/devices/<port>/<attribute> holds, trimmed; empty when it is missing.
static QByteArray sysfs(const QString &port, const char *attribute)
{
    QFile file("/sys/bus/usb/devices/" + port + "/" + attribute);
    return file.open(QIODevice::ReadOnly) ? file.readAll().trimmed() : QByteArray();
}

class TestSimulator : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY2(SimulatedBus::preloadActive(), "needs umockdev's preload"); }

    // Hundreds of re-plugs while another thread keeps walking the bus: no crash, the port is in
    // sysfs with the new number as soon as the device is back, and the device is found again.
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
        int withoutPort = 0;
        for (int i = 0; i < 200; ++i) {
            bus.replug(device);
            withoutPort += sysfs(QString::fromStdString(bus.port(device)), "devnum") !=
                           QByteArray::number(bus.deviceNumber(device));
        }
        scanning = false;
        host.join();
        QCOMPARE(withoutPort, 0);
        USBKR960 usb;
        QCOMPARE(usb.connect(), 0);
    }

    // sysfs shows each device on its port with its bus and current device number; a restart or
    // a replug gives a new number on the same port, and an unplugged device's folder is gone.
    void sitsOnItsPort_data()
    {
        QTest::addColumn<QStringList>("given"); // "": the next free port
        QTest::addColumn<QStringList>("ports");
        QTest::addColumn<bool>("restart"); // by request 4, else by replug
        QTest::newRow("next free hub ports")
            << QStringList{"1-1.2", "", ""} << QStringList{"1-1.2", "1-1.1", "1-1.3"} << false;
        QTest::newRow("deeper hubs, two buses, restart")
            << QStringList{"1-1.4.2", "2-3"} << QStringList{"1-1.4.2", "2-3"} << true;
    }
    void sitsOnItsPort()
    {
        QFETCH(QStringList, given);
        QFETCH(QStringList, ports);
        QFETCH(bool, restart);
        SimulatedBus bus;
        kr960sim::DeviceConfig quick;
        quick.restartDelayMs = 10;
        std::vector<std::shared_ptr<SimulatedKr960>> devices;
        for (const QString &port : given)
            devices.push_back(bus.addDevice(quick, port.toStdString()));
        const auto shown = [&](int i) { // busnum/devnum on the device's port
            return sysfs(ports[i], "busnum") + '/' + sysfs(ports[i], "devnum");
        };
        const auto numbers = [&](int i) {
            return QByteArray::number(bus.busNumber(devices[i])) + '/' +
                   QByteArray::number(bus.deviceNumber(devices[i]));
        };
        for (int i = 0; i < int(devices.size()); ++i) {
            QCOMPARE(QString::fromStdString(bus.port(devices[i])), ports[i]);
            QCOMPARE(shown(i), numbers(i));
            const QByteArray before = numbers(i);
            if (restart)
                devices[i]->handleControl(0x40, 4, 0, 0, nullptr, 0); // request 4: restart
            else
                bus.replug(devices[i]);
            QVERIFY(devices[i]->waitUntilPlugged(5000));
            QVERIFY(numbers(i) != before);
            QCOMPARE(shown(i), numbers(i));
        }
        bus.unplug(devices[0]);
        QVERIFY(sysfs(ports[0], "devnum").isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestSimulator)
#include "test_simulator.moc"
