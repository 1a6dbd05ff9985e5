// Connect and RunApplication against a simulated KR960 on the real libusb-0.1.

#include "app/kr960_bootloader.h"
#include "sim/simulated_bus.h"
#include "trace_capture.h"
#include "window_probe.h"

#include <QtTest>
#include <memory>

using kr960sim::DeviceConfig;
using kr960sim::SimulatedBus;
using kr960sim::SimulatedKr960;

namespace
{

enum class Plugged { Nothing, Kr960, ForeignIdentity, ForeignBrand, NoPermission };

int vendorRequests(const SimulatedKr960 &device, int request)
{
    int count = 0;
    for (const auto &record : device.requests())
        count += record.request == request && (record.requestType & 0x60) == 0x40;
    return count;
}

} // namespace

Q_DECLARE_METATYPE(Plugged)

class TestConnectionCommands : public QObject
{
    Q_OBJECT

    std::unique_ptr<SimulatedBus> bus;

    std::shared_ptr<SimulatedKr960> plug(Plugged plugged, DeviceConfig config = {})
    {
        if (plugged == Plugged::Nothing)
            return nullptr;
        config.identity = plugged == Plugged::ForeignIdentity ? 0x0116 : config.identity;
        config.brand = plugged == Plugged::ForeignBrand ? 0x0001 : config.brand;
        auto device = bus->addDevice(config);
        bus->setPermissionDenied(device, plugged == Plugged::NoPermission);
        return device;
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(SimulatedBus::preloadActive(), "run under LD_PRELOAD=libumockdev-preload.so.0");
    }
    void init() { bus = std::make_unique<SimulatedBus>(); }
    void cleanup() { bus.reset(); }

    void connectReportsOutcome_data()
    {
        QTest::addColumn<Plugged>("plugged");
        QTest::addColumn<int>("attempts");
        QTest::addColumn<QString>("outcome");
        QTest::addColumn<QString>("hint"); // a line of its own after the outcome
        QTest::newRow("KR960") << Plugged::Kr960 << 1 << "Connect OK"
                               << "";
        QTest::newRow("KR960, connected again") << Plugged::Kr960 << 2 << "Connect OK"
                                                << "";
        QTest::newRow("no device") << Plugged::Nothing << 1 << "Connect ERROR"
                                   << "";
        QTest::newRow("foreign identity") << Plugged::ForeignIdentity << 1 << "Connect ERROR"
                                          << "";
        QTest::newRow("foreign brand") << Plugged::ForeignBrand << 1 << "Connect ERROR"
                                       << "";
        QTest::newRow("no permission")
            << Plugged::NoPermission << 1 << "Connect ERROR"
            << "No permission to open the KR960: install the udev rule 60-kr960.rules (see "
               "README) and plug the device in again.";
    }
    void connectReportsOutcome()
    {
        QFETCH(Plugged, plugged);
        QFETCH(int, attempts);
        QFETCH(QString, outcome);
        QFETCH(QString, hint);
        plug(plugged);
        KR960_Bootloader window;
        logOf(window)->append(QStringLiteral("earlier line"));
        TraceCapture trace;
        for (int i = 0; i < attempts; ++i)
            QVERIFY(QMetaObject::invokeMethod(&window, "slotpushButtonConnect", Q_ARG(bool, true)));

        QStringList expectedLog{"earlier line"};
        for (int i = 0; i < attempts; ++i) {
            expectedLog.append(outcome);
            if (!hint.isEmpty())
                expectedLog.append(hint);
        }
        QCOMPARE(logLines(window), expectedLog);
        const QStringList lines = trace.lines();
        QCOMPARE(lines.first(), QStringLiteral("KR960_Bootloader::slotpushButtonConnect(bool t)"));
        QCOMPARE(lines.last(), outcome);
    }

    // The device is told to start its application and drops off the bus; whatever follows, the
    // log stays as it was.
    void runApplicationLeavesLogAlone_data()
    {
        QTest::addColumn<Plugged>("plugged");
        QTest::addColumn<bool>("comesBack");
        QTest::newRow("restarts and comes back") << Plugged::Kr960 << true;
        QTest::newRow("restarts and stays away") << Plugged::Kr960 << false;
        QTest::newRow("no device") << Plugged::Nothing << false;
        QTest::newRow("foreign device") << Plugged::ForeignIdentity << true;
    }
    void runApplicationLeavesLogAlone()
    {
        QFETCH(Plugged, plugged);
        QFETCH(bool, comesBack);
        DeviceConfig config;
        config.restartDelayMs = 50;
        config.comesBackAfterRestart = comesBack;
        const auto device = plug(plugged, config);
        KR960_Bootloader window;
        TraceCapture trace;
        QVERIFY(
            QMetaObject::invokeMethod(&window, "slotpushButtonRunApplication", Q_ARG(bool, false)));
        QVERIFY(logOf(window)->toPlainText().isEmpty());
        for (const QString &line : trace.lines())
            QVERIFY2(!line.startsWith("KR960_Bootloader::"), qPrintable(line));
        if (plugged == Plugged::Kr960) {
            QCOMPARE(vendorRequests(*device, 4), 1);
            if (comesBack)
                QVERIFY(device->waitUntilPlugged(30000));
        }
        QVERIFY(logOf(window)->toPlainText().isEmpty());
    }
};

QTEST_MAIN(TestConnectionCommands)
#include "test_connection_commands.moc"
