// The simulated KR960 as a host sees it through the real libusb-0.1 under umockdev's preload.

#include "raw_usb.h"

#include "image/scrambler_key.h"
#include "sim/simulated_bus.h"

#include <QtTest>

#include <atomic>
#include <memory>
#include <thread>

using namespace kr960sim;

namespace
{

constexpr int BackOnBusMs = 5000;

// The tests' own scrambler, written from the scrambling rule, not taken from the simulator.
std::vector<uint8_t> scrambled(std::vector<uint8_t> bytes, bool encode)
{
    for (size_t j = 0; j + 4 <= bytes.size(); j += 4) {
        uint32_t word = 0;
        for (int b = 3; b >= 0; --b)
            word = word << 8 | bytes[j + b];
        const uint32_t key = ScramblerKey[(j / 4) % ScramblerKeyWords];
        word = encode ? (word ^ key) + key : (word - key) ^ key;
        for (int b = 0; b < 4; ++b)
            bytes[j + b] = uint8_t(word >> (8 * b));
    }
    return bytes;
}

std::vector<uint8_t> pattern(size_t length, int seed)
{
    std::vector<uint8_t> bytes(length);
    for (size_t i = 0; i < length; ++i)
        bytes[i] = uint8_t(i * 7 + seed);
    return bytes;
}

DeviceConfig inMode(Mode mode)
{
    DeviceConfig config;
    config.mode = mode;
    config.restartDelayMs = 20;
    return config;
}

} // namespace

Q_DECLARE_METATYPE(kr960sim::Mode)
Q_DECLARE_METATYPE(kr960sim::Fault)

class TestSimulatedBus : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<SimulatedBus> bus;
    usb_dev_handle *handle = nullptr;

    std::shared_ptr<SimulatedKr960>
    plugAndOpen(const DeviceConfig &config = inMode(Mode::Bootloader))
    {
        auto device = bus->addDevice(config);
        handle = rawusb::open(bus->deviceNumber(device));
        return device;
    }

private slots:
    void initTestCase() { QVERIFY2(SimulatedBus::preloadActive(), "run under umockdev's preload"); }
    void init() { bus = std::make_unique<SimulatedBus>(); }
    void cleanup()
    {
        rawusb::close(handle);
        handle = nullptr;
        bus.reset();
    }

    void enumeratesWithItsDescriptors()
    {
        auto device = bus->addDevice();
        const auto found = rawusb::scan();
        QCOMPARE(found.size(), size_t(1));
        QCOMPARE(found[0].bus, std::string("001"));
        QCOMPARE(found[0].number, bus->deviceNumber(device));
        const struct usb_device *usb = found[0].device;
        QCOMPARE(int(usb->descriptor.iSerialNumber), 3);
        QCOMPARE(int(usb->descriptor.bMaxPacketSize0), 64);
        QCOMPARE(int(usb->descriptor.bNumConfigurations), 1);
        QCOMPARE(int(usb->config[0].bConfigurationValue), 1);
        const usb_interface_descriptor &interface = usb->config[0].interface[0].altsetting[0];
        QCOMPARE(int(interface.bInterfaceNumber), 0);
        QCOMPARE(int(interface.bNumEndpoints), 2);
        QCOMPARE(int(interface.endpoint[0].bEndpointAddress), 0x02);
        QCOMPARE(int(interface.endpoint[1].bEndpointAddress), 0x81);
    }

    void answersIdentityAndBrand_data()
    {
        QTest::addColumn<int>("identity");
        QTest::addColumn<int>("brand");
        QTest::newRow("as built") << 0x0115 << 0x0000;
        QTest::newRow("another identity") << 0x0116 << 0x0000;
        QTest::newRow("another brand") << 0x0115 << 0x0001;
    }
    void answersIdentityAndBrand()
    {
        QFETCH(int, identity);
        QFETCH(int, brand);
        auto device = plugAndOpen();
        QVERIFY(handle);
        device->setIdentity(uint16_t(identity), uint16_t(brand));
        uint8_t reply[2] = {};
        QCOMPARE(rawusb::receive(handle, 0xFF, 0, reply, 2), 2);
        QCOMPARE(reply[0] | reply[1] << 8, identity); // little-endian
        QCOMPARE(rawusb::word(handle, 0xFE), brand);
    }

    void reportsItsModeInTheSerial_data()
    {
        QTest::addColumn<Mode>("mode");
        QTest::addColumn<QString>("serial");
        QTest::newRow("bootloader") << Mode::Bootloader << "264900001b";
        QTest::newRow("application") << Mode::Application << "264900001";
    }
    void reportsItsModeInTheSerial()
    {
        QFETCH(Mode, mode);
        QFETCH(QString, serial);
        plugAndOpen(inMode(mode));
        QVERIFY(handle);
        QCOMPARE(QString::fromStdString(rawusb::serial(handle)), serial);
        char languages[8] = {};
        QCOMPARE(usb_get_descriptor(handle, USB_DT_STRING, 0, languages, sizeof languages), 4);
        QCOMPARE(languages[2] | languages[3] << 8, 0x0409);
    }

    void storesPagesPlainAndReadsThemScrambled()
    {
        auto device = plugAndOpen();
        QVERIFY(handle);
        const uint32_t address = 0x08005000;
        const std::vector<uint8_t> plain = pattern(2048, 3);
        std::vector<uint8_t> wire = scrambled(plain, true);
        QCOMPARE(rawusb::send(handle, 3, address, wire.data(), 2048), 2048);
        QCOMPARE(device->flash(address, 2048), plain);

        std::vector<uint8_t> readBack(2048);
        QCOMPARE(rawusb::receive(handle, 1, address, readBack.data(), 2048), 2048);
        QCOMPARE(readBack, scrambled(plain, true));
        QCOMPARE(scrambled(readBack, false), plain);
    }

    void readsTheBootloaderBlock_data()
    {
        QTest::addColumn<Mode>("mode");
        QTest::newRow("bootloader") << Mode::Bootloader;
        QTest::newRow("application") << Mode::Application;
    }
    void readsTheBootloaderBlock()
    {
        QFETCH(Mode, mode);
        plugAndOpen(inMode(mode));
        QVERIFY(handle);
        std::vector<uint8_t> block(32);
        QCOMPARE(rawusb::receive(handle, 1, 0x08003FD0, block.data(), 32), 32);
        block = scrambled(block, false);
        QCOMPARE(block[0] | block[1] << 8, 0); // brand word
        QCOMPARE(std::string(reinterpret_cast<const char *>(&block[16])),
                 std::string("KR960 BL 1.07"));
        std::vector<uint8_t> serial(16);
        QCOMPARE(rawusb::receive(handle, 1, 0x08003FF0, serial.data(), 16), 16);
        serial = scrambled(serial, false);
        QCOMPARE(std::string(serial.begin(), serial.begin() + 9), std::string("264900001"));
    }

    void stallsWhatABootloaderRefuses_data()
    {
        QTest::addColumn<Mode>("mode");
        QTest::addColumn<int>("request");
        QTest::addColumn<uint>("address");
        QTest::addColumn<int>("length");
        QTest::newRow("page in the bootloader area")
            << Mode::Bootloader << 3 << 0x08003800u << 2048;
        QTest::newRow("page past the upper area") << Mode::Bootloader << 3 << 0x0805C000u << 2048;
        QTest::newRow("page off its boundary") << Mode::Bootloader << 3 << 0x08004400u << 2048;
        QTest::newRow("page one byte short") << Mode::Bootloader << 3 << 0x08004000u << 2047;
        QTest::newRow("read below the flash") << Mode::Bootloader << 1 << 0x07FFFFFFu << 16;
        QTest::newRow("read past the flash") << Mode::Bootloader << 1 << 0x0805FF00u << 512;
        QTest::newRow("read longer than a page") << Mode::Bootloader << 1 << 0x08004000u << 2049;
        QTest::newRow("external read too long") << Mode::Bootloader << 5 << 0u << 513;
        QTest::newRow("external write too long") << Mode::Bootloader << 6 << 0u << 257;
        QTest::newRow("external read in the application") << Mode::Application << 5 << 0u << 16;
        QTest::newRow("external write in the application") << Mode::Application << 6 << 0u << 16;
        QTest::newRow("page in the application") << Mode::Application << 3 << 0x08004000u << 2048;
        QTest::newRow("test pattern in the application") << Mode::Application << 2 << 0u << 512;
    }
    void stallsWhatABootloaderRefuses()
    {
        QFETCH(Mode, mode);
        QFETCH(int, request);
        QFETCH(uint, address);
        QFETCH(int, length);
        auto device = plugAndOpen(inMode(mode));
        QVERIFY(handle);
        const std::vector<uint8_t> before = device->flash(0x08000000, 0x60000);
        std::vector<uint8_t> data(size_t(length), 0x5A);
        const bool in = request == 1 || request == 5;
        const int result = in ? rawusb::receive(handle, request, address, data.data(), length)
                              : rawusb::send(handle, request, address, data.data(), length);
        QCOMPARE(result, -EPIPE);
        QCOMPARE(device->flash(0x08000000, 0x60000), before);
        QCOMPARE(rawusb::word(handle, 0xFF), 0x0115); // the next request goes through
    }

    void keepsExternalFlashAsReceived()
    {
        auto device = plugAndOpen();
        QVERIFY(handle);
        std::vector<uint8_t> bytes = pattern(256, 9);
        QCOMPARE(rawusb::send(handle, 6, 0x30100, bytes.data(), 256), 256);
        QCOMPARE(device->externalFlash(0x30100, 256), bytes);
        std::vector<uint8_t> readBack(512);
        QCOMPARE(rawusb::receive(handle, 5, 0x30100, readBack.data(), 512), 512);
        QCOMPARE(std::vector<uint8_t>(readBack.begin(), readBack.begin() + 256), bytes);
        QCOMPARE(int(readBack[256]), 0xFF); // erased
        uint8_t testPattern[512] = {};
        QCOMPARE(rawusb::send(handle, 2, 0, testPattern, 512), 512);
    }

    void restartsIntoTheOtherModeWithANewNumber_data()
    {
        QTest::addColumn<Mode>("from");
        QTest::addColumn<QString>("serialAfter");
        QTest::newRow("application to bootloader") << Mode::Application << "264900001b";
        QTest::newRow("bootloader to application") << Mode::Bootloader << "264900001";
    }
    void restartsIntoTheOtherModeWithANewNumber()
    {
        QFETCH(Mode, from);
        QFETCH(QString, serialAfter);
        auto device = plugAndOpen(inMode(from));
        QVERIFY(handle);
        const int numberBefore = bus->deviceNumber(device);
        QCOMPARE(rawusb::send(handle, 4, 0, nullptr, 0), 0);
        QVERIFY(device->waitUntilPlugged(BackOnBusMs));
        QCOMPARE(rawusb::word(handle, 0xFF), -1); // a handle from before the restart is dead
        rawusb::close(handle);
        const int numberAfter = bus->deviceNumber(device);
        QVERIFY(numberAfter != numberBefore);
        handle = rawusb::open();
        QVERIFY(handle);
        QCOMPARE(QString::fromStdString(rawusb::serial(handle)), serialAfter);
        QCOMPARE(rawusb::scan().size(), size_t(1));
        QCOMPARE(rawusb::scan()[0].number, numberAfter);
    }

    void staysAwayOrInTheApplicationWhenTold()
    {
        auto device = plugAndOpen(inMode(Mode::Application));
        QVERIFY(handle);
        device->setStaysInApplication(true);
        QCOMPARE(rawusb::send(handle, 4, 0, nullptr, 0), 0);
        rawusb::close(handle);
        QVERIFY(device->waitUntilPlugged(BackOnBusMs));
        QCOMPARE(device->mode(), Mode::Application);

        device->setComesBackAfterRestart(false);
        handle = rawusb::open();
        QVERIFY(handle);
        QCOMPARE(rawusb::send(handle, 4, 0, nullptr, 0), 0);
        QVERIFY(device->waitUntilUnplugged(BackOnBusMs));
        QVERIFY(!device->waitUntilPlugged(200));
        QVERIFY(rawusb::scan().empty());
    }

    void vanishesAndComesBackWhenReplugged()
    {
        auto device = plugAndOpen();
        QVERIFY(handle);
        const int numberBefore = bus->deviceNumber(device);
        device->addFault({1, 1, 1, Fault::Vanish});
        uint8_t data[16];
        QCOMPARE(rawusb::receive(handle, 1, 0x08004000, data, 16), -ENODEV);
        QVERIFY(device->waitUntilUnplugged(BackOnBusMs));
        QVERIFY(rawusb::scan().empty());
        QCOMPARE(bus->deviceNumber(device), 0);
        rawusb::close(handle);

        bus->replug(device);
        QVERIFY(bus->deviceNumber(device) != numberBefore);
        handle = rawusb::open();
        QVERIFY(handle);
        QCOMPARE(rawusb::word(handle, 0xFF), 0x0115);
    }

    void injectsFaults_data()
    {
        QTest::addColumn<Fault>("fault");
        QTest::addColumn<int>("length");
        QTest::addColumn<int>("expected");
        QTest::newRow("time-out") << Fault::Timeout << 2048 << -ETIMEDOUT;
        QTest::newRow("stall") << Fault::Stall << 2048 << -EPIPE;
        QTest::newRow("short page read") << Fault::ShortReply << 2048 << 2047;
        QTest::newRow("short word") << Fault::ShortReply << 2 << 1;
    }
    void injectsFaults()
    {
        QFETCH(Fault, fault);
        QFETCH(int, length);
        QFETCH(int, expected);
        auto device = plugAndOpen();
        QVERIFY(handle);
        device->addFault({1, 2, 1, fault}); // the second read only
        std::vector<uint8_t> data(static_cast<size_t>(length));
        QCOMPARE(rawusb::receive(handle, 1, 0x08004000, data.data(), length), length);
        QCOMPARE(rawusb::receive(handle, 1, 0x08004000, data.data(), length), expected);
        QCOMPARE(rawusb::receive(handle, 1, 0x08004000, data.data(), length), length);
    }

    void faultsEveryRequestOfAKind()
    {
        auto device = plugAndOpen();
        QVERIFY(handle);
        device->addFault({0xFE, 1, 0, Fault::Stall});
        for (int i = 0; i < 3; ++i)
            QCOMPARE(rawusb::word(handle, 0xFE), -1);
        QCOMPARE(rawusb::word(handle, 0xFF), 0x0115);
        device->clearFaults();
        QCOMPARE(rawusb::word(handle, 0xFE), 0x0000);
    }

    void shortWritesTakeOneByteFewer()
    {
        auto device = plugAndOpen();
        QVERIFY(handle);
        device->addFault({6, 1, 1, Fault::ShortReply});
        std::vector<uint8_t> bytes = pattern(256, 1);
        QCOMPARE(rawusb::send(handle, 6, 0, bytes.data(), 256), 255);
    }

    void liesAboutACorruptPage()
    {
        auto device = plugAndOpen();
        QVERIFY(handle);
        const std::vector<uint8_t> plain = pattern(2048, 5);
        std::vector<uint8_t> wire = scrambled(plain, true);
        QCOMPARE(rawusb::send(handle, 3, 0x08006000, wire.data(), 2048), 2048);
        device->corruptReadBack(0x08006000);
        std::vector<uint8_t> readBack(2048);
        QCOMPARE(rawusb::receive(handle, 1, 0x08006000, readBack.data(), 2048), 2048);
        QVERIFY(scrambled(readBack, false) != plain);
        QCOMPARE(device->flash(0x08006000, 2048), plain);
    }

    void logsEveryControlTransfer()
    {
        auto device = plugAndOpen();
        QVERIFY(handle);
        device->clearRequests();
        rawusb::serial(handle);
        std::vector<uint8_t> page = pattern(2048, 2);
        rawusb::send(handle, 3, 0x08004800, page.data(), 2048);
        uint8_t tooFar[4];
        rawusb::receive(handle, 1, 0x09000000, tooFar, 4);

        const auto records = device->requests();
        QCOMPARE(records.size(), size_t(3));
        QCOMPARE(int(records[0].requestType), 0x80);
        QCOMPARE(int(records[0].request), 6);
        QCOMPARE(int(records[0].value), 0x0303);
        QCOMPARE(int(records[0].length), 256);
        QCOMPARE(records[0].result, 22); // 2 + 2 × 10 characters
        QCOMPARE(int(records[1].requestType), 0x40);
        QCOMPARE(int(records[1].request), 3);
        QCOMPARE(int(records[1].value), 0x4800);
        QCOMPARE(int(records[1].index), 0x0800);
        QCOMPARE(records[1].data, page);
        QCOMPARE(records[1].result, 2048);
        QCOMPARE(records[2].result, -EPIPE);
    }

    void servesTwoDevices()
    {
        DeviceConfig second = inMode(Mode::Application);
        second.serial = "264900002";
        auto first = bus->addDevice();
        auto other = bus->addDevice(second, 2);
        const auto found = rawusb::scan();
        QCOMPARE(found.size(), size_t(2));
        QStringList serials;
        for (const auto &candidate : found) {
            usb_dev_handle *h = usb_open(candidate.device);
            QVERIFY(h);
            serials << QString::fromStdString(rawusb::serial(h));
            usb_close(h);
        }
        serials.sort();
        QCOMPARE(serials, QStringList({"264900001b", "264900002"}));
        QCOMPARE(bus->busNumber(other), 2);
        QVERIFY(bus->deviceNumber(first) > 0 && bus->deviceNumber(other) > 0);
    }

    void refusesAHostWithoutPermission()
    {
        auto device = bus->addDevice();
        bus->setPermissionDenied(device, true);
        const auto found = rawusb::scan();
        QCOMPARE(found.size(), size_t(1)); // the descriptors are still readable
        usb_dev_handle *h = usb_open(found[0].device);
        QVERIFY(h);
        QVERIFY(usb_set_configuration(h, 1) < 0);
        usb_close(h);
        bus->setPermissionDenied(device, false);
        handle = rawusb::open();
        QVERIFY(handle);
    }

    // Restarts in a row while the host keeps walking the bus until the device is back, as a
    // product polling connect() does (libusb-0.1 is not thread-safe: one host thread).
    void survivesManyReenumerations()
    {
        DeviceConfig config = inMode(Mode::Application);
        config.restartDelayMs = 2;
        auto device = bus->addDevice(config);
        int comebacks = 0;
        int number = bus->deviceNumber(device);
        std::string expected = "264900001";
        for (int i = 0; i < 100; ++i) {
            usb_dev_handle *h = rawusb::open(number);
            QVERIFY(h);
            QCOMPARE(rawusb::serial(h), expected);
            QCOMPARE(rawusb::send(h, 4, 0, nullptr, 0), 0);
            rawusb::close(h);
            expected = expected.size() == 9 ? expected + "b" : expected.substr(0, 9);
            const int previous = number;
            for (int walk = 0; walk < 10000 && (number == previous || number == 0); ++walk) {
                const auto found = rawusb::scan();
                number = found.empty() ? 0 : found[0].number;
            }
            comebacks += number != previous && number != 0;
        }
        QCOMPARE(comebacks, 100);
    }

    // The simulator replugs while a host thread scans and opens whatever it finds.
    void survivesReplugsUnderAScanningHost()
    {
        auto device = bus->addDevice();
        std::atomic<bool> done{false};
        std::atomic<int> walks{0};
        std::thread host([&done, &walks] {
            while (!done) {
                for (const auto &candidate : rawusb::scan()) {
                    usb_dev_handle *h = usb_open(candidate.device);
                    if (h) {
                        rawusb::serial(h);
                        usb_close(h);
                    }
                }
                ++walks;
            }
        });
        for (int i = 0; i < 100; ++i)
            bus->replug(device);
        while (walks < 10)
            std::this_thread::yield();
        done = true;
        host.join();
        QVERIFY(device->plugged());
        handle = rawusb::open();
        QVERIFY(handle);
        QCOMPARE(rawusb::word(handle, 0xFF), 0x0115);
    }
};

QTEST_GUILESS_MAIN(TestSimulatedBus)
#include "test_simulated_bus.moc"
