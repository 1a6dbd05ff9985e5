// The simulated KR960's own behaviour, asked directly without a bus in between.

#include "sim/simulated_kr960.h"

#include <QtTest>

#include <cerrno>

using namespace kr960sim;

namespace
{

constexpr uint8_t VendorIn = 0xC0;
constexpr uint8_t VendorOut = 0x40;

int askIdentity(SimulatedKr960 &device)
{
    uint8_t reply[2];
    return device.handleControl(VendorIn, 0xFF, 0, 0, reply, 2);
}

int runApplication(SimulatedKr960 &device)
{
    return device.handleControl(VendorOut, 4, 0, 0, nullptr, 0);
}

} // namespace

Q_DECLARE_METATYPE(kr960sim::Mode)

class TestSimulatedKr960 : public QObject
{
    Q_OBJECT

private slots:
    // Six identity requests in a row; 'x' marks those the rule stalls.
    void faultsHitTheirWindow_data()
    {
        QTest::addColumn<int>("request");
        QTest::addColumn<int>("nth");
        QTest::addColumn<int>("count");
        QTest::addColumn<QString>("pattern");
        QTest::newRow("the second only") << 0xFF << 2 << 1 << ".x....";
        QTest::newRow("three from the second") << 0xFF << 2 << 3 << ".xxx..";
        QTest::newRow("for ever from the fourth") << 0xFF << 4 << 0 << "...xxx";
        QTest::newRow("every request") << -1 << 1 << 0 << "xxxxxx";
        QTest::newRow("another request") << 0xFE << 1 << 0 << "......";
    }
    void faultsHitTheirWindow()
    {
        QFETCH(int, request);
        QFETCH(int, nth);
        QFETCH(int, count);
        QFETCH(QString, pattern);
        SimulatedKr960 device;
        device.addFault({request, nth, count, Fault::Stall});
        QString seen;
        for (int i = 0; i < pattern.size(); ++i)
            seen += askIdentity(device) == -EPIPE ? 'x' : '.';
        QCOMPARE(seen, pattern);
    }

    void descriptorRequestsEscapeFaults()
    {
        SimulatedKr960 device;
        device.addFault({-1, 1, 0, Fault::Timeout});
        uint8_t descriptor[18];
        QCOMPARE(device.handleControl(0x80, 6, 0x0100, 0, descriptor, 18), 18);
        QCOMPARE(askIdentity(device), -ETIMEDOUT);
    }

    void restartsIntoItsNextMode_data()
    {
        QTest::addColumn<Mode>("from");
        QTest::addColumn<bool>("staysInApplication");
        QTest::addColumn<Mode>("to");
        QTest::newRow("application to bootloader")
            << Mode::Application << false << Mode::Bootloader;
        QTest::newRow("bootloader to application")
            << Mode::Bootloader << false << Mode::Application;
        QTest::newRow("held in the application") << Mode::Application << true << Mode::Application;
    }
    void restartsIntoItsNextMode()
    {
        QFETCH(Mode, from);
        QFETCH(bool, staysInApplication);
        QFETCH(Mode, to);
        DeviceConfig config;
        config.mode = from;
        config.staysInApplication = staysInApplication;
        config.restartDelayMs = 123;
        SimulatedKr960 device(config);
        device.setPlugged(true);
        int backAfter = 0;
        device.setBusListener([&backAfter](int ms) { backAfter = ms; });
        QCOMPARE(runApplication(device), 0);
        QCOMPARE(backAfter, 123);
        QVERIFY(!device.plugged()); // until it has come back
        QCOMPARE(device.mode(), from);
        device.finishRestart();
        QCOMPARE(device.mode(), to);
        QVERIFY(device.waitUntilPlugged(0));
    }

    void leavesForGood_data()
    {
        QTest::addColumn<bool>("vanish");
        QTest::addColumn<int>("result");
        QTest::newRow("no return after a restart") << false << 0;
        QTest::newRow("vanish") << true << -ENODEV;
    }
    void leavesForGood()
    {
        QFETCH(bool, vanish);
        QFETCH(int, result);
        SimulatedKr960 device;
        device.setComesBackAfterRestart(false);
        if (vanish)
            device.addFault({4, 1, 1, Fault::Vanish});
        int backAfter = 0;
        device.setBusListener([&backAfter](int ms) { backAfter = ms; });
        QCOMPARE(runApplication(device), result);
        QCOMPARE(backAfter, -1);
    }

    void holdsItsBootloaderBlock()
    {
        DeviceConfig config;
        config.bootloaderVersion = "a version text longer than sixteen";
        config.serial = "123456789";
        SimulatedKr960 device(config);
        QCOMPARE(device.flash(BrandWordAddress, 2), std::vector<uint8_t>({0, 0}));
        const std::vector<uint8_t> version = device.flash(VersionTextAddress, 16);
        QCOMPARE(std::string(version.begin(), version.end()), std::string("a version text l"));
        const std::vector<uint8_t> serial = device.flash(SerialAddress, 9);
        QCOMPARE(std::string(serial.begin(), serial.end()), std::string("123456789"));
        QCOMPARE(device.stringDescriptor3(), std::string("123456789b"));
    }

    void cutsRangesAtTheEndOfMemory()
    {
        SimulatedKr960 device;
        QCOMPARE(device.flash(0x0805FFF0, 32).size(), size_t(16));
        QVERIFY(device.flash(0x07FFFFF0, 16).empty());
        device.setExternalFlash((16u << 20) - 2, {1, 2, 3, 4});
        QCOMPARE(device.externalFlash((16u << 20) - 2, 4), std::vector<uint8_t>({1, 2}));
    }

    void tellsItsListenerEveryRequest()
    {
        SimulatedKr960 device;
        std::vector<int> results;
        device.setRequestListener(
            [&results](const RequestRecord &r) { results.push_back(r.result); });
        askIdentity(device);
        uint8_t data[4];
        device.handleControl(VendorIn, 0x77, 0, 0, data, 4); // unknown request
        QCOMPARE(results, std::vector<int>({2, -EPIPE}));
        QCOMPARE(device.requests().size(), size_t(2));
        device.clearRequests();
        QVERIFY(device.requests().empty());
    }
};

QTEST_GUILESS_MAIN(TestSimulatedKr960)
#include "test_simulated_kr960.moc"
