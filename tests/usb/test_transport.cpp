// The transport and the bootloader's request set on the wire: the connect sequence and its trace,
// which device the walk takes, how every command splits into requests, what a failure does to the
// link, and the class-wide lock. Checked against the simulated KR960's request log and memory.

#include "device/board_identity.h"
#include "device/kr960_memory_map.h"
#include "trace_capture.h"
#include "usb/device_list.h"
#include "usb/string_descriptor.h"
#include "workbench.h"

#include <QSet>
#include <thread>
#include <usb.h>

using kr960sim::Fault;
using Failure = UsbDevice::ConnectFailure;
Q_DECLARE_METATYPE(Failure)
Q_DECLARE_METATYPE(DeviceMode)

namespace
{

// One request as the test expects it: code, wValue, wIndex, length.
using Grammar = QList<QList<int>>;

Grammar grammarOf(const SimulatedKr960 &device)
{
    Grammar grammar;
    for (const RequestRecord &r : vendorRequests(device))
        grammar.append({r.request, r.value, r.index, r.length});
    return grammar;
}

} // namespace

class TestTransport : public QObject
{
    Q_OBJECT

    QScopedPointer<SimulatedBus> bus;
    std::shared_ptr<SimulatedKr960> device;
    QScopedPointer<USBKR960> usb;

private slots:
    void init()
    {
        if (!SimulatedBus::preloadActive())
            QSKIP("needs umockdev's preload");
        bus.reset(new SimulatedBus);
        device = bus->addDevice();
        usb.reset(new USBKR960);
    }
    void cleanup()
    {
        usb.reset();
        device.reset();
        bus.reset();
    }

    void connectTracesEveryStep()
    {
        TraceCapture trace;
        QCOMPARE(usb->connect(), 0);
        const struct usb_bus *first = usb_get_busses();
        const QString expected =
            "USB Connect|bus: 0x%1|bus->devices: 0x%2|dev->descriptor.idVendor: 16c0|"
            "dev->descriptor.idProduct: 790|dev->descriptor.iSerialNumber: 3|"
            "dev->descriptor.bMaxPacketSize0: 40|usb_opened |usb_set_configuration |"
            "usb_claim_interface |USB Control Receive bRequest=255, wValue=0, wIndex=0, "
            "dataLength=2 - OK.|control_receivePrivate( 255 0 0 \x15 \x01 2 )|\nkrid: 115|"
            "\nUSB_HN052_ID: 115|USB Control Receive bRequest=254, wValue=0, wIndex=0, "
            "dataLength=2 - OK.|\nbrandid: 0|\nAPP_BRAND_ID: 0";
        QCOMPARE(trace.lines().join('|'),
                 expected.arg(quintptr(first), 0, 16).arg(quintptr(first->devices), 0, 16));
        QCOMPARE(grammarOf(*device), (Grammar{{0xFF, 0, 0, 2}, {0xFE, 0, 0, 2}}));
    }

    // A device that does not prove itself is closed and the walk goes on to the next one.
    void walkTakesFirstProvenDevice_data()
    {
        QTest::addColumn<int>("identity");
        QTest::addColumn<int>("brand");
        QTest::addColumn<int>("faultRequest");
        QTest::addColumn<bool>("permissionDenied");
        QTest::addColumn<Failure>("failure");
        QTest::newRow("proves itself") << 0x0115 << 0 << 0 << false << Failure::None;
        QTest::newRow("other identity") << 0x0116 << 0 << 0 << false << Failure::IdentityMismatch;
        QTest::newRow("other brand") << 0x0115 << 1 << 0 << false << Failure::BrandMismatch;
        QTest::newRow("identity stalls")
            << 0x0115 << 0 << 0xFF << false << Failure::IdentityMismatch;
        QTest::newRow("brand stalls") << 0x0115 << 0 << 0xFE << false << Failure::BrandMismatch;
        QTest::newRow("no permission") << 0x0115 << 0 << 0 << true << Failure::NoPermission;
    }
    void walkTakesFirstProvenDevice()
    {
        QFETCH(int, identity);
        QFETCH(int, brand);
        QFETCH(int, faultRequest);
        QFETCH(bool, permissionDenied);
        QFETCH(Failure, failure);
        device->setIdentity(quint16(identity), quint16(brand));
        if (faultRequest)
            device->addFault({faultRequest, 1, 0, Fault::Stall});
        bus->setPermissionDenied(device, permissionDenied);

        QCOMPARE(usb->connect(), failure == Failure::None ? 0 : -1);
        QCOMPARE(usb->lastConnectFailure(), failure);
        if (failure == Failure::None)
            return;
        auto second = bus->addDevice();
        QCOMPARE(usb->connect(), 0);
        device->clearRequests();
        unsigned char byte[4];
        QCOMPARE(usb->ReadMemoryFromAddress(byte, Kr960::ApplicationStart, 4), 0);
        QCOMPARE(vendorRequests(*second, Kr960Request::ReadMemory).size(), size_t(1));
        QVERIFY(vendorRequests(*device).empty());
    }

    // Each command as the requests it makes: code, address split into wValue (low) and wIndex
    // (high), and chunk lengths; the bytes must arrive where they belong.
    void commandsOnTheWire_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<uint>("address");
        QTest::addColumn<int>("length");
        QTest::addColumn<Grammar>("grammar");
        QTest::addColumn<QList<int>>("percents");
        QTest::newRow("read memory across a 64 KiB boundary")
            << "read" << 0x0800FF00u << 4100
            << Grammar{{1, 0xFF00, 0x0800, 2048}, {1, 0x0700, 0x0801, 2048}, {1, 0x0F00, 0x0801, 4}}
            << QList<int>{};
        QTest::newRow("write page")
            << "page" << 0x08014800u << 2048 << Grammar{{3, 0x4800, 0x0801, 2048}} << QList<int>{};
        QTest::newRow("read external flash")
            << "ext-read" << 0x1FF00u << 1100
            << Grammar{{5, 0xFF00, 1, 512}, {5, 0x0100, 2, 512}, {5, 0x0300, 2, 76}}
            << QList<int>{46, 93, 100};
        QTest::newRow("write external flash")
            << "ext-write" << 0xFFF80u << 600
            << Grammar{{6, 0xFF80, 0xF, 256}, {6, 0x0080, 0x10, 256}, {6, 0x0180, 0x10, 88}}
            << QList<int>{42, 85, 100};
        QTest::newRow("run application")
            << "run" << 0u << 0 << Grammar{{4, 0, 0, 0}} << QList<int>{};
    }
    void commandsOnTheWire()
    {
        QFETCH(QString, command);
        QFETCH(uint, address);
        QFETCH(int, length);
        QFETCH(Grammar, grammar);
        QFETCH(QList<int>, percents);
        QCOMPARE(usb->connect(), 0);
        device->clearRequests();
        const QByteArray data = distinctBytes(length, 7); // reads start from other bytes
        QByteArray buffer = command.endsWith("read") ? QByteArray(length, '\xEE') : data;
        auto *bytes = reinterpret_cast<unsigned char *>(buffer.data());
        QList<int> seen;
        connect(usb.data(), &USBKR960::sendPercentExtFlashRead, this, [&](int p) { seen << p; });
        connect(usb.data(), &USBKR960::sendPercentExtFlashWrite, this, [&](int p) { seen << p; });

        if (command == "read") {
            device->setFlash(address, toVector(data));
            QCOMPARE(usb->ReadMemoryFromAddress(bytes, address, uint(length)), 0);
            QCOMPARE(buffer, data);
        } else if (command == "page") {
            QCOMPARE(usb->WritePageToAddress(bytes, address), 0);
            QCOMPARE(flashOf(*device, address, length), data);
        } else if (command == "ext-read") {
            device->setExternalFlash(address, toVector(data));
            QCOMPARE(usb->ReadExternalFlashFromAddress(bytes, address, uint(length)), 0);
            QCOMPARE(buffer, data);
        } else if (command == "ext-write") {
            QCOMPARE(usb->WriteExternalFlashToAddress(bytes, address, uint(length)), 0);
            QCOMPARE(toBytes(device->externalFlash(address, uint(length))), data);
        } else {
            usb->RunApplication();
        }
        QCOMPARE(grammarOf(*device), grammar);
        QCOMPARE(seen, percents);
    }

    // A failed request closes the link, so the next one proves the device afresh; memory reads
    // give up at the first bad chunk, external-flash transfers spend one budget of 100 repeats.
    void failuresCloseTheLinkAndRetryAsAllowed_data()
    {
        QTest::addColumn<int>("request");
        QTest::addColumn<int>("failures");
        QTest::addColumn<int>("result");
        QTest::addColumn<QList<int>>("codes");
        QTest::newRow("read memory: second chunk stalls")
            << 1 << 1 << -1 << QList<int>{1, 1, 0xFF, 0xFE, 1};
        QTest::newRow("external flash: 100 repeats succeed") << 6 << 100 << 0 << QList<int>{};
        QTest::newRow("external flash: 101 fail") << 6 << 101 << -1 << QList<int>{};
    }
    void failuresCloseTheLinkAndRetryAsAllowed()
    {
        QFETCH(int, request);
        QFETCH(int, failures);
        QFETCH(int, result);
        QFETCH(QList<int>, codes);
        QCOMPARE(usb->connect(), 0);
        device->clearRequests();
        device->addFault({request, request == 1 ? 2 : 1, failures, Fault::Stall});
        QByteArray buffer(3000, '\0');
        auto *bytes = reinterpret_cast<unsigned char *>(buffer.data());
        if (request == 1) {
            QCOMPARE(usb->ReadMemoryFromAddress(bytes, Kr960::ApplicationStart, 3000), result);
            QCOMPARE(usb->is_connected(), -1);
            usb->ReadMemoryFromAddress(bytes, Kr960::ApplicationStart, 4);
            QCOMPARE(requestCodes(*device), codes);
            return;
        }
        QCOMPARE(usb->WriteExternalFlashToAddress(bytes, 0, 256), result);
        const auto writes = vendorRequests(*device, request);
        QCOMPARE(int(writes.size()), qMin(failures, 101) + (result == 0 ? 1 : 0));
        // Every failure reconnects: a fresh identity and brand before the next attempt.
        QCOMPARE(int(vendorRequests(*device, 0xFF).size()), int(writes.size()) - 1);
    }

    // A failed chunk leaves the caller's bytes as they were; a negative length is the caller's
    // mistake: nothing is sent and the link stays as it was.
    void failuresLeaveTheCallersBytesAndTheLink()
    {
        device->setFlash(0x08050000, toVector(distinctBytes(2048)));
        device->addFault({1, 2, 1, Fault::ShortReply});
        QByteArray buffer(4096, '\xEE');
        auto *bytes = reinterpret_cast<unsigned char *>(buffer.data());
        QCOMPARE(usb->ReadMemoryFromAddress(bytes, 0x08050000, 4096), -1);
        QCOMPARE(buffer, distinctBytes(2048) + QByteArray(2048, '\xEE'));
        QVERIFY(usb->connect() == 0);
        device->clearRequests();
        QCOMPARE(usb->control_send(2, 0, 0, bytes, -1), -1);
        QCOMPARE(usb->control_receive(1, 0, 0x0800, bytes, -1), -1);
        QVERIFY(vendorRequests(*device).empty());
        QCOMPARE(usb->is_connected(), 0);
    }

    // The text of descriptor 3, and what it says of the board's mode: only nine characters and
    // a 'b' are its bootloader.
    void serialText_data()
    {
        QTest::addColumn<QByteArray>("descriptor");
        QTest::addColumn<QByteArray>("serial");
        QTest::addColumn<DeviceMode>("mode");
        const auto units = [](const QByteArray &text) { // as descriptor 3
            QByteArray descriptor(1, char(2 + 2 * text.size()));
            descriptor += char(3);
            for (char c : text)
                descriptor += QByteArray(1, c) + '\0';
            return descriptor;
        };
        using M = DeviceMode;
        // clang-format off
        // Descriptor 3 as UTF-16LE units behind its length and type bytes.
        QTest::newRow("length byte cuts") << QByteArray::fromHex("0603310032003300") << QByteArray("12") << M::Unknown;
        QTest::newRow("zero low byte cuts the text") << QByteArray::fromHex("0a03310000013300") << QByteArray("1") << M::Unknown;
        QTest::newRow("odd length leaves the lone byte out") << QByteArray::fromHex("0703310032003300") << QByteArray("12") << M::Unknown;
        QTest::newRow("nine digits") << units("264900001") << QByteArray("264900001") << M::Application;
        QTest::newRow("nine digits and b") << units("264900001b") << QByteArray("264900001b") << M::Bootloader;
        QTest::newRow("nine digits and x") << units("264900001x") << QByteArray("264900001x") << M::Unknown;
        QTest::newRow("nine digits and a zero") << units(QByteArray("264900001\0", 10)) << QByteArray("264900001") << M::Application;
        // clang-format on
    }
    void serialText()
    {
        QFETCH(QByteArray, descriptor);
        QFETCH(QByteArray, serial);
        QFETCH(DeviceMode, mode);
        const auto *bytes = reinterpret_cast<const unsigned char *>(descriptor.constData());
        QCOMPARE(BoardSerial::reported(serialFromStringDescriptor(bytes, int(descriptor.size()))),
                 serial);
        QCOMPARE(BoardSerial::mode(serial), mode);
    }

    // sysfs writes busnum and devnum in decimal: with device numbers of two digits, and after
    // they wrap from many replugs, every device is still found on its own port.
    void manyDevicesEachOnItsPort()
    {
        std::vector<std::shared_ptr<SimulatedKr960>> devices{device};
        for (int i = 0; i < 13; ++i)
            devices.push_back(bus->addDevice());
        for (int replug = 0; replug < 40; ++replug) // past the simulated bus's wrap at 31
            bus->replug(devices[size_t(replug % 3)]);
        QHash<int, QString> portOfNumber;
        for (const AttachedDevice &attached : listAttachedDevices(0x16C0, 0x0790))
            portOfNumber.insert(attached.deviceNumber, attached.port);
        QCOMPARE(portOfNumber.size(), int(devices.size()));
        for (const auto &each : devices)
            QCOMPARE(portOfNumber.value(bus->deviceNumber(each)),
                     QString::fromStdString(bus->port(each)));
    }

    // The GUI thread and the worker share one device object: the lock keeps every transfer,
    // with the connect it starts, whole, and serial_number off a handle being closed.
    void twoThreadsShareTheDevice_data()
    {
        QTest::addColumn<bool>("sending"); // the GUI thread sends rather than reads the serial
        QTest::newRow("serial_number") << false;
        QTest::newRow("control_send") << true;
    }
    void twoThreadsShareTheDevice()
    {
        QFETCH(bool, sending);
        device->addFault({Kr960Request::ReadExternalFlash, 1, 0, Fault::Stall});
        std::atomic<bool> running{true};
        std::thread closer([&] {
            unsigned char buffer[8];
            for (int i = 0; i < 150; ++i) {
                usb->control_receive(Kr960Request::ReadMemory, 0, 0x0800, buffer, 8);
                std::this_thread::sleep_for(std::chrono::microseconds(100)); // the other's turn
                usb->control_receive(Kr960Request::ReadExternalFlash, 0, 0, buffer, 8);
            }
            running = false;
        });
        QSet<QByteArray> answers;
        unsigned char data[8] = {};
        while (running)
            answers.insert(sending ? QByteArray::number(usb->control_send(
                                         Kr960Request::WriteExternalFlash, 0, 0, data, 8))
                                   : usb->serial_number());
        closer.join();
        answers.remove(QByteArray());
        QCOMPARE(answers, QSet<QByteArray>{sending ? "8" : "264900001b"});
        // After a failure comes a fresh identity; after identity its brand; never a stranger.
        const auto requests = vendorRequests(*device);
        for (size_t i = 1; i < requests.size(); ++i) {
            const int now = requests[i].request;
            if (requests[i - 1].result < 0)
                QCOMPARE(now, 0xFF);
            else if (requests[i - 1].request == 0xFF)
                QCOMPARE(now, 0xFE);
        }
    }
};

QTEST_GUILESS_MAIN(TestTransport)
#include "test_transport.moc"
