// The simulated KR960 as the other suites rely on it: it survives being re-plugged under a host
// that keeps scanning.

#include "device/kr960_memory_map.h"
#include "workbench.h"

#include <atomic>
#include <thread>

class TestSimulator : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY2(SimulatedBus::preloadActive(), "needs umockdev's preload"); }

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
};

QTEST_GUILESS_MAIN(TestSimulator)
#include "test_simulator.moc"
