#include "device/kr960_memory_map.h"
#include "device/usbkr960.h"
#include "sim/simulated_bus.h"
#include "trace_capture.h"
#include "usb/usb_device.h"
#include "vendor_requests.h"

#include <QSet>
#include <QTest>
#include <atomic>
#include <memory>
#include <thread>
#include <usb.h>

using namespace kr960sim;
using Failure = UsbDevice::ConnectFailure;

Q_DECLARE_METATYPE(Fault)
Q_DECLARE_METATYPE(Failure)

namespace
{

constexpr int NoFault = -1; // a fault column's value for "answer normally"

std::unique_ptr<UsbDevice> kr960Transport()
{
    auto transport = std::make_unique<UsbDevice>();
    transport->set_vid_pid(Kr960::VendorId, Kr960::ProductId);
    transport->set_device_id(Kr960::DeviceId);
    transport->set_brand_id(Kr960::BrandId);
    return transport;
}

QString pointerText(const void *pointer)
{
    return "0x" + QString::number(quintptr(pointer), 16);
}

// The walk's lines as libusb-0.1 lists the bus now (connect leaves the list as it walked it).
QStringList walkLinesUpTo(const void *lastDevice)
{
    QStringList lines;
    for (struct usb_bus *bus = usb_get_busses(); bus; bus = bus->next) {
        lines << "bus: " + pointerText(bus);
        for (struct usb_device *dev = bus->devices; dev; dev = dev->next) {
            const auto &d = dev->descriptor;
            lines << "bus->devices: " + pointerText(bus->devices)
                  << "dev->descriptor.idVendor: " + QString::number(d.idVendor, 16)
                  << "dev->descriptor.idProduct: " + QString::number(d.idProduct, 16)
                  << "dev->descriptor.iSerialNumber: " + QString::number(d.iSerialNumber, 16)
                  << "dev->descriptor.bMaxPacketSize0: " + QString::number(d.bMaxPacketSize0, 16);
            if (dev == lastDevice)
                return lines;
        }
    }
    return lines;
}

// Device numbers in the order the walk meets them.
QList<int> walkOrder()
{
    usb_init();
    usb_find_busses();
    usb_find_devices();
    QList<int> numbers;
    for (struct usb_bus *bus = usb_get_busses(); bus; bus = bus->next)
        for (struct usb_device *dev = bus->devices; dev; dev = dev->next)
            numbers.append(QByteArray(dev->filename).toInt());
    return numbers;
}

const void *onlyDevice()
{
    struct usb_bus *bus = usb_get_busses();
    return bus ? bus->devices : nullptr;
}

QString hexAsTraced(quint16 value)
{
    return QString::number(uint(int(qint16(value))), 16);
}

int countOf(const QStringList &lines, const QString &line)
{
    return int(lines.count(line));
}

QStringList linesStartingWith(const QStringList &lines, const QString &prefix)
{
    QStringList found;
    for (const QString &line : lines)
        if (line.startsWith(prefix))
            found << line;
    return found;
}

} // namespace

class TestUsbDevice : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void connectTracesEveryStep_data();
    void connectTracesEveryStep();
    void sendWithoutDeviceTracesOnlyTheWalk();
    void deviceWithOtherIdsIsNeverOpened();
    void walkTakesFirstProvenDevice_data();
    void walkTakesFirstProvenDevice();
    void rejectionClosesDeviceAndReleasesLock_data();
    void rejectionClosesDeviceAndReleasesLock();
    void receiveTrace_data();
    void receiveTrace();
    void sendTrace_data();
    void sendTrace();
    void transferAfterFailureReconnectsFirst_data();
    void transferAfterFailureReconnectsFirst();
    void serialNumber_data();
    void serialNumber();
    void serialNumberWhileDisconnectedSendsNothing();
    void serialNumberWhileOtherThreadClosesDevice();
    void disconnectTwice();
    void destructorClosesOpenDevice_data();
    void destructorClosesOpenDevice();
    void bulkNeedsOpenDeviceAndBuffer_data();
    void bulkNeedsOpenDeviceAndBuffer();
    void unpluggedMidTransfer();
    void twoThreadsNeverInterleaveInsideATransfer();

private:
    std::shared_ptr<SimulatedKr960> plugIn(const DeviceConfig &config = {});
    std::unique_ptr<SimulatedBus> bus;
};

void TestUsbDevice::init()
{
    if (!SimulatedBus::preloadActive())
        QSKIP("needs umockdev's preload");
    bus = std::make_unique<SimulatedBus>();
}

void TestUsbDevice::cleanup()
{
    bus.reset();
}

std::shared_ptr<SimulatedKr960> TestUsbDevice::plugIn(const DeviceConfig &config)
{
    return bus->addDevice(config);
}

void TestUsbDevice::connectTracesEveryStep_data()
{
    QTest::addColumn<quint16>("identity");
    QTest::addColumn<quint16>("brand");

    QTest::newRow("KR960") << quint16(0x0115) << quint16(0x0000);
    // The ids are traced as signed shorts promoted for %x.
    QTest::newRow("top bits set") << quint16(0x8115) << quint16(0xFFFE);
}

void TestUsbDevice::connectTracesEveryStep()
{
    QFETCH(quint16, identity);
    QFETCH(quint16, brand);
    DeviceConfig config;
    config.identity = identity;
    config.brand = brand;
    auto device = plugIn(config);
    auto transport = kr960Transport();
    transport->set_device_id(identity);
    transport->set_brand_id(brand);

    TraceCapture trace;
    QCOMPARE(transport->connect(), 0);

    QStringList expected{"USB Connect"};
    expected << walkLinesUpTo(onlyDevice());
    expected << "usb_opened "
             << "usb_set_configuration "
             << "usb_claim_interface "
             << "USB Control Receive bRequest=255, wValue=0, wIndex=0, dataLength=2 - OK."
             << QString("control_receivePrivate( 255 0 0 %1 %2 2 )")
                    .arg(QChar(identity & 0xFF), QChar(identity >> 8))
             << "\nkrid: " + hexAsTraced(identity) << "\nUSB_HN052_ID: " + hexAsTraced(identity)
             << "USB Control Receive bRequest=254, wValue=0, wIndex=0, dataLength=2 - OK."
             << "\nbrandid: " + hexAsTraced(brand) << "\nAPP_BRAND_ID: " + hexAsTraced(brand);
    QCOMPARE(trace.lines(), expected);

    const QList<RequestRecord> requests = vendorRequests(*device);
    QCOMPARE(requestCodes(requests), (QList<int>{0xFF, 0xFE}));
    for (const RequestRecord &record : requests) {
        QCOMPARE(int(record.requestType), 0xC0);
        QCOMPARE(int(record.value), 0);
        QCOMPARE(int(record.index), 0);
        QCOMPARE(int(record.length), 2);
    }
    QCOMPARE(transport->is_connected(), 0);
    QCOMPARE(transport->lastConnectFailure(), Failure::None);
}

void TestUsbDevice::sendWithoutDeviceTracesOnlyTheWalk()
{
    // A bus that has seen a device but holds none now, as after unplugging the last one.
    bus->unplug(plugIn());
    auto transport = kr960Transport();
    unsigned char pattern[16] = {};

    TraceCapture trace;
    QCOMPARE(transport->control_send(Kr960Request::TestPattern, 0, 0, pattern, 16), -1);

    const QStringList lines = trace.lines();
    QVERIFY(lines.size() >= 2);
    QCOMPARE(lines.at(0), QString("UsbDevice::control_send()"));
    QCOMPARE(lines.at(1), QString("USB Connect"));
    QVERIFY(linesStartingWith(lines, "USB Control").isEmpty());
    QCOMPARE(transport->is_connected(), -1);
    QCOMPARE(transport->lastConnectFailure(), Failure::NoDevice);
}

void TestUsbDevice::deviceWithOtherIdsIsNeverOpened()
{
    auto device = plugIn();
    auto transport = kr960Transport();
    transport->set_vid_pid(Kr960::VendorId, Kr960::ProductId + 1);

    TraceCapture trace;
    QCOMPARE(transport->connect(), -1);

    QVERIFY(!trace.contains("usb_opened "));
    QVERIFY(vendorRequests(*device).isEmpty());
    QCOMPARE(transport->lastConnectFailure(), Failure::NoDevice);
}

void TestUsbDevice::walkTakesFirstProvenDevice_data()
{
    QTest::addColumn<quint16>("firstIdentity");
    QTest::addColumn<quint16>("firstBrand");
    QTest::addColumn<int>("firstFaultRequest");
    QTest::addColumn<Fault>("firstFault");
    QTest::addColumn<QList<int>>("firstSees");
    QTest::addColumn<bool>("firstTaken");

    const QList<int> identityOnly{0xFF};
    const QList<int> both{0xFF, 0xFE};
    QTest::newRow("first proves itself")
        << quint16(0x0115) << quint16(0) << NoFault << Fault::Stall << both << true;
    QTest::newRow("first has another identity")
        << quint16(0x0116) << quint16(0) << NoFault << Fault::Stall << identityOnly << false;
    QTest::newRow("first has another brand")
        << quint16(0x0115) << quint16(1) << NoFault << Fault::Stall << both << false;
    QTest::newRow("first stalls the identity request")
        << quint16(0x0115) << quint16(0) << 0xFF << Fault::Stall << identityOnly << false;
    QTest::newRow("first answers identity short")
        << quint16(0x0115) << quint16(0) << 0xFF << Fault::ShortReply << identityOnly << false;
    QTest::newRow("first times out on the brand request")
        << quint16(0x0115) << quint16(0) << 0xFE << Fault::Timeout << both << false;
    QTest::newRow("first answers brand short")
        << quint16(0x0115) << quint16(0) << 0xFE << Fault::ShortReply << both << false;
}

void TestUsbDevice::walkTakesFirstProvenDevice()
{
    QFETCH(quint16, firstIdentity);
    QFETCH(quint16, firstBrand);
    QFETCH(int, firstFaultRequest);
    QFETCH(Fault, firstFault);
    QFETCH(QList<int>, firstSees);
    QFETCH(bool, firstTaken);

    auto a = plugIn();
    auto b = plugIn();
    const QList<int> order = walkOrder();
    QCOMPARE(order.size(), 2);
    auto first = order.at(0) == bus->deviceNumber(a) ? a : b;
    auto second = first == a ? b : a;
    first->setIdentity(firstIdentity, firstBrand);
    if (firstFaultRequest != NoFault)
        first->addFault({firstFaultRequest, 1, 1, firstFault});

    auto transport = kr960Transport();
    TraceCapture trace;
    QCOMPARE(transport->connect(), 0);

    QCOMPARE(requestCodes(vendorRequests(*first)), firstSees);
    const QList<int> secondSees = firstTaken ? QList<int>() : QList<int>({0xFF, 0xFE});
    QCOMPARE(requestCodes(vendorRequests(*second)), secondSees);
    // Both devices sit on one bus: the walk traces the bus's first device for each of them.
    const QStringList heads = linesStartingWith(trace.lines(), "bus->devices: ");
    QCOMPARE(int(heads.size()), firstTaken ? 1 : 2);
    QCOMPARE(heads.count(heads.first()), heads.size());

    // The rejected device is closed again and the transfers go to the one taken.
    first->clearRequests();
    second->clearRequests();
    unsigned char buffer[16];
    QCOMPARE(transport->control_receive(Kr960Request::ReadMemory, 0, 0x0800, buffer, 16), 16);
    auto taken = firstTaken ? first : second;
    auto other = firstTaken ? second : first;
    QCOMPARE(requestCodes(vendorRequests(*taken)), QList<int>{Kr960Request::ReadMemory});
    QVERIFY(vendorRequests(*other).isEmpty());
}

void TestUsbDevice::rejectionClosesDeviceAndReleasesLock_data()
{
    QTest::addColumn<quint16>("identity");
    QTest::addColumn<quint16>("brand");
    QTest::addColumn<int>("faultRequest");
    QTest::addColumn<Fault>("fault");
    QTest::addColumn<bool>("permissionDenied");
    QTest::addColumn<Failure>("failure");

    QTest::newRow("another identity") << quint16(0x0116) << quint16(0) << NoFault << Fault::Stall
                                      << false << Failure::IdentityMismatch;
    QTest::newRow("another brand") << quint16(0x0115) << quint16(1) << NoFault << Fault::Stall
                                   << false << Failure::BrandMismatch;
    QTest::newRow("identity stalls") << quint16(0x0115) << quint16(0) << 0xFF << Fault::Stall
                                     << false << Failure::IdentityMismatch;
    QTest::newRow("identity short") << quint16(0x0115) << quint16(0) << 0xFF << Fault::ShortReply
                                    << false << Failure::IdentityMismatch;
    QTest::newRow("brand times out") << quint16(0x0115) << quint16(0) << 0xFE << Fault::Timeout
                                     << false << Failure::BrandMismatch;
    QTest::newRow("brand short") << quint16(0x0115) << quint16(0) << 0xFE << Fault::ShortReply
                                 << false << Failure::BrandMismatch;
    QTest::newRow("no write permission") << quint16(0x0115) << quint16(0) << NoFault << Fault::Stall
                                         << true << Failure::NoPermission;
}

// Every rejection runs inside the locked connect; a path that took the non-recursive lock again
// would hang here, and one that closed twice would crash.
void TestUsbDevice::rejectionClosesDeviceAndReleasesLock()
{
    QFETCH(quint16, identity);
    QFETCH(quint16, brand);
    QFETCH(int, faultRequest);
    QFETCH(Fault, fault);
    QFETCH(bool, permissionDenied);
    QFETCH(Failure, failure);

    DeviceConfig config;
    config.identity = identity;
    config.brand = brand;
    auto device = plugIn(config);
    if (faultRequest != NoFault)
        device->addFault({faultRequest, 1, 0, fault});
    bus->setPermissionDenied(device, permissionDenied);
    auto transport = kr960Transport();

    TraceCapture trace;
    QCOMPARE(transport->connect(), -1);
    QCOMPARE(transport->lastConnectFailure(), failure);
    QCOMPARE(countOf(trace.lines(), "usb_opened "), 1);
    QCOMPARE(countOf(trace.lines(), "USB Disconnect"), 1);
    QCOMPARE(transport->is_connected(), -1);

    // The lock is free for the other thread as well as for this one.
    int fromOtherThread = 0;
    std::thread other([&] { fromOtherThread = transport->connect(); });
    other.join();
    QCOMPARE(fromOtherThread, -1);
    unsigned char buffer[4];
    QCOMPARE(transport->control_receive(Kr960Request::ReadMemory, 0, 0x0800, buffer, 4), -1);
    QVERIFY(!requestCodes(vendorRequests(*device)).contains(Kr960Request::ReadMemory));
}

void TestUsbDevice::receiveTrace_data()
{
    QTest::addColumn<int>("length");
    QTest::addColumn<int>("fault");
    QTest::addColumn<int>("result");
    QTest::addColumn<QStringList>("lines");
    QTest::addColumn<bool>("staysOpen");

    const QString head = "USB Control Receive bRequest=1, wValue=4096, wIndex=2048";
    QTest::newRow("full reply") << 64 << NoFault << 64
                                << QStringList{head + ", dataLength=64 - OK."} << true;
    QTest::newRow("short reply is passed on")
        << 64 << int(Fault::ShortReply) << 63 << QStringList{head + ", dataLength=64 - OK."}
        << true;
    QTest::newRow("stall closes") << 64 << int(Fault::Stall) << -1
                                  << QStringList{head + ", dataLength=64 - ERROR.",
                                                 "USB Disconnect"}
                                  << false;
    QTest::newRow("timeout closes")
        << 2048 << int(Fault::Timeout) << -1
        << QStringList{head + ", dataLength=2048 - ERROR.", "USB Disconnect"} << false;
    QTest::newRow("length 0 makes no transfer")
        << 0 << NoFault << -1 << QStringList{head + " - ERROR.", "USB Disconnect"} << false;
}

void TestUsbDevice::receiveTrace()
{
    QFETCH(int, length);
    QFETCH(int, fault);
    QFETCH(int, result);
    QFETCH(QStringList, lines);
    QFETCH(bool, staysOpen);

    auto device = plugIn();
    auto transport = kr960Transport();
    QCOMPARE(transport->connect(), 0);
    device->clearRequests();
    if (fault != NoFault)
        device->addFault({Kr960Request::ReadMemory, 1, 1, Fault(fault)});

    unsigned char buffer[2048];
    TraceCapture trace;
    QCOMPARE(transport->control_receive(Kr960Request::ReadMemory, 0x1000, 0x0800, buffer, length),
             result);
    QCOMPARE(trace.lines(), lines);
    QCOMPARE(transport->is_connected(), staysOpen ? 0 : -1);

    const QList<RequestRecord> requests = vendorRequests(*device);
    if (length == 0) {
        QVERIFY(requests.isEmpty());
        return;
    }
    QCOMPARE(requests.size(), 1);
    QCOMPARE(int(requests[0].requestType), 0xC0);
    QCOMPARE(int(requests[0].value), 0x1000);
    QCOMPARE(int(requests[0].index), 0x0800);
    QCOMPARE(int(requests[0].length), length);
}

void TestUsbDevice::sendTrace_data()
{
    QTest::addColumn<int>("request");
    QTest::addColumn<bool>("withData");
    QTest::addColumn<int>("length");
    QTest::addColumn<int>("fault");
    QTest::addColumn<int>("result");
    QTest::addColumn<int>("lengthOnWire");
    QTest::addColumn<QString>("line");

    QTest::newRow("with data") << 6 << true << 256 << NoFault << 256 << 256
                               << "USB Control Send bRequest=6, wValue=768, wIndex=3, "
                                  "dataLength=256 - OK.";
    QTest::newRow("buffer but length 0")
        << 2 << true << 0 << NoFault << 0 << 0
        << "USB Control Send bRequest=2, wValue=768, wIndex=3 - OK.";
    QTest::newRow("no buffer but a length")
        << 2 << false << 512 << NoFault << 0 << 0
        << "USB Control Send bRequest=2, wValue=768, wIndex=3, dataLength=512 - OK.";
    QTest::newRow("stall") << 6 << true << 256 << int(Fault::Stall) << -1 << 256
                           << "USB Control Send bRequest=6, wValue=768, wIndex=3, "
                              "dataLength=256 - ERROR.";
    QTest::newRow("short take") << 6 << true << 256 << int(Fault::ShortReply) << 255 << 256
                                << "USB Control Send bRequest=6, wValue=768, wIndex=3, "
                                   "dataLength=256 - OK.";
}

void TestUsbDevice::sendTrace()
{
    QFETCH(int, request);
    QFETCH(bool, withData);
    QFETCH(int, length);
    QFETCH(int, fault);
    QFETCH(int, result);
    QFETCH(int, lengthOnWire);
    QFETCH(QString, line);

    auto device = plugIn();
    auto transport = kr960Transport();
    QCOMPARE(transport->connect(), 0);
    device->clearRequests();
    if (fault != NoFault)
        device->addFault({request, 1, 1, Fault(fault)});

    unsigned char data[256];
    for (int i = 0; i < 256; ++i)
        data[i] = uchar(i * 7);
    TraceCapture trace;
    QCOMPARE(
        transport->control_send(quint8(request), 0x0300, 0x0003, withData ? data : nullptr, length),
        result);

    QStringList expected{"UsbDevice::control_send()", line};
    if (result < 0)
        expected << "USB Disconnect";
    QCOMPARE(trace.lines(), expected);
    QCOMPARE(transport->is_connected(), result < 0 ? -1 : 0);

    const QList<RequestRecord> requests = vendorRequests(*device);
    QCOMPARE(requests.size(), 1);
    QCOMPARE(int(requests[0].requestType), 0x40);
    QCOMPARE(int(requests[0].request), request);
    QCOMPARE(int(requests[0].value), 0x0300);
    QCOMPARE(int(requests[0].index), 0x0003);
    QCOMPARE(int(requests[0].length), lengthOnWire);
    QCOMPARE(requests[0].data, std::vector<uint8_t>(data, data + lengthOnWire));
}

void TestUsbDevice::transferAfterFailureReconnectsFirst_data()
{
    QTest::addColumn<int>("fault");
    QTest::addColumn<QList<int>>("nextRequests");

    const QList<int> reconnect{0xFF, 0xFE, Kr960Request::ReadMemory};
    QTest::newRow("never connected") << NoFault << reconnect;
    QTest::newRow("after a stall") << int(Fault::Stall) << reconnect;
    QTest::newRow("after a timeout") << int(Fault::Timeout) << reconnect;
    QTest::newRow("not after a short reply")
        << int(Fault::ShortReply) << QList<int>{Kr960Request::ReadMemory};
}

void TestUsbDevice::transferAfterFailureReconnectsFirst()
{
    QFETCH(int, fault);
    QFETCH(QList<int>, nextRequests);

    auto device = plugIn();
    auto transport = kr960Transport();
    unsigned char buffer[64];
    if (fault != NoFault) {
        QCOMPARE(transport->connect(), 0);
        device->addFault({Kr960Request::ReadMemory, 1, 1, Fault(fault)});
        transport->control_receive(Kr960Request::ReadMemory, 0, 0x0800, buffer, 64);
    }
    device->clearRequests();

    TraceCapture trace;
    QCOMPARE(transport->control_receive(Kr960Request::ReadMemory, 0, 0x0800, buffer, 64), 64);
    QCOMPARE(requestCodes(vendorRequests(*device)), nextRequests);
    const bool reconnects = nextRequests.size() > 1;
    QCOMPARE(trace.lines().first() == "USB Connect", reconnects);
    QCOMPARE(trace.lines().last(),
             QString("USB Control Receive bRequest=1, wValue=0, wIndex=2048, dataLength=64 - OK."));
}

void TestUsbDevice::serialNumber_data()
{
    QTest::addColumn<QString>("serial");
    QTest::addColumn<bool>("bootloader");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("ABC") << "ABC" << false << QByteArray("ABC");
    QTest::newRow("bootloader") << "264900001" << true << QByteArray("264900001b");
    QTest::newRow("application") << "264900001" << false << QByteArray("264900001");
}

void TestUsbDevice::serialNumber()
{
    QFETCH(QString, serial);
    QFETCH(bool, bootloader);
    QFETCH(QByteArray, expected);

    DeviceConfig config;
    config.serial = serial.toStdString();
    config.mode = bootloader ? Mode::Bootloader : Mode::Application;
    plugIn(config);
    auto transport = kr960Transport();
    QCOMPARE(transport->connect(), 0);
    QCOMPARE(transport->serial_number(), expected);
    QCOMPARE(transport->is_connected(), 0);
}

void TestUsbDevice::serialNumberWhileDisconnectedSendsNothing()
{
    auto device = plugIn();
    auto transport = kr960Transport();
    QCOMPARE(transport->serial_number(), QByteArray());
    QCOMPARE(transport->connect(), 0);
    transport->disconnect();
    device->clearRequests();

    TraceCapture trace;
    QCOMPARE(transport->serial_number(), QByteArray());
    QVERIFY(device->requests().empty());
    QVERIFY(trace.lines().isEmpty());
    QCOMPARE(transport->is_connected(), -1);
}

// The upgrade worker asks for the serial while a window command's failed transfer may close the
// handle under it: each answer is whole or empty, never read from a closed handle.
void TestUsbDevice::serialNumberWhileOtherThreadClosesDevice()
{
    auto device = plugIn();
    device->addFault({Kr960Request::ReadExternalFlash, 1, 0, Fault::Stall});
    auto transport = kr960Transport();
    QCOMPARE(transport->connect(), 0);

    // Opens (connecting as needed), then fails and closes, over and over.
    std::atomic<bool> closing{true};
    std::thread closer([&] {
        unsigned char buffer[8];
        for (int i = 0; i < 150; ++i) {
            transport->control_receive(Kr960Request::ReadMemory, 0, 0x0800, buffer, 8);
            transport->control_receive(Kr960Request::ReadExternalFlash, 0, 0, buffer, 8);
        }
        closing = false;
    });
    QSet<QByteArray> answers;
    while (closing)
        answers.insert(transport->serial_number());
    closer.join();

    answers.remove(QByteArray());
    answers.remove("264900001b");
    QCOMPARE(answers, QSet<QByteArray>());
}

void TestUsbDevice::disconnectTwice()
{
    auto device = plugIn();
    auto transport = kr960Transport();
    QCOMPARE(transport->connect(), 0);

    TraceCapture trace;
    transport->disconnect();
    transport->disconnect();
    QCOMPARE(trace.lines(), (QStringList{"USB Disconnect", "USB Disconnect"}));
    QCOMPARE(transport->is_connected(), -1);

    // Still usable: the next connect opens the device afresh.
    QCOMPARE(transport->connect(), 0);
}

void TestUsbDevice::destructorClosesOpenDevice_data()
{
    QTest::addColumn<bool>("connected");
    QTest::addColumn<QStringList>("lines");

    QTest::newRow("connected") << true << QStringList{"UsbDevice destructor", "USB Disconnect"};
    QTest::newRow("disconnected") << false << QStringList{"UsbDevice destructor"};
}

void TestUsbDevice::destructorClosesOpenDevice()
{
    QFETCH(bool, connected);
    QFETCH(QStringList, lines);

    plugIn();
    auto transport = kr960Transport();
    if (connected)
        QCOMPARE(transport->connect(), 0);
    TraceCapture trace;
    transport.reset();
    QCOMPARE(trace.lines(), lines);

    // A device left claimed would refuse the next owner.
    auto next = kr960Transport();
    QCOMPARE(next->connect(), 0);
}

void TestUsbDevice::bulkNeedsOpenDeviceAndBuffer_data()
{
    QTest::addColumn<bool>("connected");
    QTest::addColumn<bool>("withBuffer");
    QTest::addColumn<int>("length");

    QTest::newRow("disconnected") << false << true << 64;
    QTest::newRow("no buffer") << true << false << 64;
    QTest::newRow("length 0") << true << true << 0;
    QTest::newRow("negative length") << true << true << -1;
}

void TestUsbDevice::bulkNeedsOpenDeviceAndBuffer()
{
    QFETCH(bool, connected);
    QFETCH(bool, withBuffer);
    QFETCH(int, length);

    auto device = plugIn();
    auto transport = kr960Transport();
    if (connected)
        QCOMPARE(transport->connect(), 0);
    device->clearRequests();
    unsigned char buffer[64] = {};

    TraceCapture trace;
    QCOMPARE(transport->bulk_write(withBuffer ? buffer : nullptr, length), -1);
    QCOMPARE(transport->bulk_read(withBuffer ? buffer : nullptr, length), -1);
    QVERIFY(trace.lines().isEmpty()); // no connect attempt
    QVERIFY(device->requests().empty());
    QCOMPARE(transport->is_connected(), connected ? 0 : -1);
}

void TestUsbDevice::unpluggedMidTransfer()
{
    auto device = plugIn();
    auto transport = kr960Transport();
    QCOMPARE(transport->connect(), 0);
    device->addFault({Kr960Request::ReadMemory, 1, 1, Fault::Vanish});
    unsigned char buffer[64];

    TraceCapture trace;
    QCOMPARE(transport->control_receive(Kr960Request::ReadMemory, 0, 0x0800, buffer, 64), -1);
    QCOMPARE(trace.lines(),
             (QStringList{
                 "USB Control Receive bRequest=1, wValue=0, wIndex=2048, dataLength=64 - ERROR.",
                 "USB Disconnect"}));
    QCOMPARE(transport->is_connected(), -1);

    // Gone from the bus (the device leaves from the bus's own thread): the next transfer only
    // walks it.
    QVERIFY(device->waitUntilUnplugged(10000));
    trace.clear();
    QCOMPARE(transport->control_receive(Kr960Request::ReadMemory, 0, 0x0800, buffer, 64), -1);
    QCOMPARE(trace.lines().first(), QString("USB Connect"));
    QVERIFY(linesStartingWith(trace.lines(), "USB Control").isEmpty());
    QCOMPARE(transport->lastConnectFailure(), Failure::NoDevice);

    // Back again: the transfers recover by themselves.
    bus->replug(device);
    device->clearRequests();
    QCOMPARE(transport->control_receive(Kr960Request::ReadMemory, 0, 0x0800, buffer, 64), 64);
    QCOMPARE(requestCodes(vendorRequests(*device)),
             (QList<int>{0xFF, 0xFE, Kr960Request::ReadMemory}));
}

// Two threads hammer one object while the device stalls now and then. With one transfer (and the
// connect it starts) under the lock, the device sees a strict grammar: a successful 0xFF is
// followed by 0xFE, a successful 0xFE by a transfer, and every failure by a fresh 0xFF.
void TestUsbDevice::twoThreadsNeverInterleaveInsideATransfer()
{
    auto device = plugIn();
    auto transport = kr960Transport();
    for (int nth = 3; nth < 400; nth += 7)
        device->addFault({-1, nth, 1, Fault::Stall});
    constexpr int Rounds = 60;

    TraceCapture trace;
    int readsOk = 0;
    int writesOk = 0;
    std::thread reader([&] {
        unsigned char buffer[512];
        for (int i = 0; i < Rounds; ++i)
            if (transport->control_receive(Kr960Request::ReadExternalFlash, quint16(i * 512), 0,
                                           buffer, 512) == 512)
                ++readsOk;
    });
    std::thread writer([&] {
        unsigned char buffer[256] = {};
        for (int i = 0; i < Rounds; ++i)
            if (transport->control_send(Kr960Request::WriteExternalFlash, quint16(i * 256), 1,
                                        buffer, 256) == 256)
                ++writesOk;
    });
    reader.join();
    writer.join();

    const QList<RequestRecord> requests = vendorRequests(*device);
    for (int i = 1; i < requests.size(); ++i) {
        const RequestRecord &before = requests[i - 1];
        const int now = requests[i].request;
        const QByteArray where = "request " + QByteArray::number(i);
        if (before.result < 0)
            QVERIFY2(now == 0xFF, where.constData());
        else if (before.request == 0xFF)
            QVERIFY2(now == 0xFE, where.constData());
        else
            QVERIFY2(now != 0xFF && now != 0xFE, where.constData());
    }
    QVERIFY(readsOk > Rounds / 2);
    QVERIFY(writesOk > Rounds / 2);

    // The send's own first line is written under the lock too: it is followed by its connect or
    // by its transfer, never by the other thread's lines.
    const QStringList lines = trace.lines();
    for (int i = 0; i + 1 < lines.size(); ++i) {
        if (lines[i] != "UsbDevice::control_send()")
            continue;
        const QString &next = lines[i + 1];
        QVERIFY2(next == "USB Connect" || next.startsWith("USB Control Send bRequest=6,"),
                 qPrintable(next));
    }
}

QTEST_GUILESS_MAIN(TestUsbDevice)
#include "test_usb_device.moc"
