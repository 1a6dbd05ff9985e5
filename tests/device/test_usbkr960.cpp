#include "device/kr960_memory_map.h"
#include "device/usbkr960.h"
#include "image/word_scrambler.h"
#include "sim/simulated_bus.h"
#include "trace_capture.h"
#include "vendor_requests.h"

#include <QSignalSpy>
#include <QTest>
#include <memory>
#include <vector>

using namespace kr960sim;

Q_DECLARE_METATYPE(Fault)

namespace
{

QList<RequestRecord> requestsOf(const SimulatedKr960 &device, int request)
{
    QList<RequestRecord> matching;
    for (const RequestRecord &record : vendorRequests(device))
        if (record.request == request)
            matching.append(record);
    return matching;
}

// Chunks as the device saw them: wValue, wIndex and length of every request.
QList<QList<int>> chunksOf(const QList<RequestRecord> &records)
{
    QList<QList<int>> chunks;
    for (const RequestRecord &record : records)
        chunks.append({record.value, record.index, record.length});
    return chunks;
}

std::vector<uint8_t> pattern(quint32 length, int seed)
{
    std::vector<uint8_t> bytes(length);
    for (quint32 i = 0; i < length; ++i)
        bytes[i] = uint8_t((i * 31 + seed) ^ (i >> 8));
    return bytes;
}

int externalFlashRequest(bool write)
{
    return write ? Kr960Request::WriteExternalFlash : Kr960Request::ReadExternalFlash;
}

using PercentSignal = void (USBKR960::*)(int);

PercentSignal externalFlashPercents(bool write)
{
    return write ? &USBKR960::sendPercentExtFlashWrite : &USBKR960::sendPercentExtFlashRead;
}

int transferExternalFlash(USBKR960 &usb, bool write, std::vector<uint8_t> &buffer, quint32 address,
                          quint32 length)
{
    return write ? usb.WriteExternalFlashToAddress(buffer.data(), address, length)
                 : usb.ReadExternalFlashFromAddress(buffer.data(), address, length);
}

QList<int> percents(const QSignalSpy &spy)
{
    QList<int> values;
    for (const QList<QVariant> &arguments : spy)
        values.append(arguments.at(0).toInt());
    return values;
}

} // namespace

class TestUsbKr960 : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void constructorAndDestructorTrace_data();
    void constructorAndDestructorTrace();
    void acceptsOnlyItsIdentityAndBrand_data();
    void acceptsOnlyItsIdentityAndBrand();
    void readMemoryChunks_data();
    void readMemoryChunks();
    void readMemoryGivesUpAtFirstBadChunk_data();
    void readMemoryGivesUpAtFirstBadChunk();
    void writePageSendsScrambledPage();
    void writePageGivesUpAtOnce_data();
    void writePageGivesUpAtOnce();
    void externalFlashChunksAndPercents_data();
    void externalFlashChunksAndPercents();
    void externalFlashRepeatsFailedChunk_data();
    void externalFlashRepeatsFailedChunk();
    void externalFlashRetryBudgetPerCall_data();
    void externalFlashRetryBudgetPerCall();
    void zeroLengthSendsNothing_data();
    void zeroLengthSendsNothing();
    void runApplication();

private:
    std::unique_ptr<SimulatedBus> bus;
    std::shared_ptr<SimulatedKr960> device;
};

void TestUsbKr960::init()
{
    if (!SimulatedBus::preloadActive())
        QSKIP("needs umockdev's preload");
    bus = std::make_unique<SimulatedBus>();
    device = bus->addDevice();
}

void TestUsbKr960::cleanup()
{
    device.reset();
    bus.reset();
}

void TestUsbKr960::constructorAndDestructorTrace_data()
{
    QTest::addColumn<bool>("connected");
    QTest::addColumn<QStringList>("destructorLines");

    QTest::newRow("connected") << true << QStringList{"UsbDevice destructor", "USB Disconnect"};
    QTest::newRow("never connected") << false << QStringList{"UsbDevice destructor"};
}

void TestUsbKr960::constructorAndDestructorTrace()
{
    QFETCH(bool, connected);
    QFETCH(QStringList, destructorLines);

    TraceCapture trace;
    auto usb = std::make_unique<USBKR960>();
    QCOMPARE(trace.lines(), QStringList{"USBKR960 constructor"});
    QVERIFY(vendorRequests(*device).isEmpty()); // constructing does not connect
    if (connected)
        QCOMPARE(usb->connect(), 0);
    trace.clear();
    usb.reset();
    QCOMPARE(trace.lines(), destructorLines);
}

void TestUsbKr960::acceptsOnlyItsIdentityAndBrand_data()
{
    QTest::addColumn<quint16>("identity");
    QTest::addColumn<quint16>("brand");
    QTest::addColumn<int>("result");

    QTest::newRow("15 01 and 00 00") << quint16(0x0115) << quint16(0x0000) << 0;
    QTest::newRow("brand 01 00") << quint16(0x0115) << quint16(0x0001) << -1;
    QTest::newRow("identity bytes swapped") << quint16(0x1501) << quint16(0x0000) << -1;
    QTest::newRow("vendor's other product") << quint16(0x0116) << quint16(0x0000) << -1;
}

void TestUsbKr960::acceptsOnlyItsIdentityAndBrand()
{
    QFETCH(quint16, identity);
    QFETCH(quint16, brand);
    QFETCH(int, result);

    device->setIdentity(identity, brand);
    USBKR960 usb;
    QCOMPARE(usb.connect(), result);
    QCOMPARE(usb.is_connected(), result);
}

void TestUsbKr960::readMemoryChunks_data()
{
    QTest::addColumn<quint32>("address");
    QTest::addColumn<quint32>("length");
    QTest::addColumn<QList<QList<int>>>("chunks");

    QTest::newRow("5000 bytes") << quint32(0x08000000) << quint32(5000)
                                << QList<QList<int>>{{0x0000, 0x0800, 2048},
                                                     {0x0800, 0x0800, 2048},
                                                     {0x1000, 0x0800, 904}};
    QTest::newRow("one page") << quint32(0x08004000) << quint32(2048)
                              << QList<QList<int>>{{0x4000, 0x0800, 2048}};
    QTest::newRow("across a 64 KiB boundary")
        << quint32(0x0800F800) << quint32(4096 + 128)
        << QList<QList<int>>{{0xF800, 0x0800, 2048}, {0x0000, 0x0801, 2048}, {0x0800, 0x0801, 128}};
    QTest::newRow("version block")
        << quint32(0x08003FD0) << quint32(32) << QList<QList<int>>{{0x3FD0, 0x0800, 32}};
}

void TestUsbKr960::readMemoryChunks()
{
    QFETCH(quint32, address);
    QFETCH(quint32, length);
    QFETCH(QList<QList<int>>, chunks);

    const std::vector<uint8_t> plain = pattern(length, 5);
    device->setFlash(address, plain);
    USBKR960 usb;
    QCOMPARE(usb.connect(), 0);
    device->clearRequests();

    std::vector<uint8_t> buffer(length + 1, 0xEE);
    QCOMPARE(usb.ReadMemoryFromAddress(buffer.data(), address, length), 0);
    QCOMPARE(chunksOf(requestsOf(*device, Kr960Request::ReadMemory)), chunks);
    QCOMPARE(requestCodes(vendorRequests(*device)).count(Kr960Request::ReadMemory),
             vendorRequests(*device).size());
    QCOMPARE(std::vector<uint8_t>(buffer.begin(), buffer.begin() + length), plain);
    QCOMPARE(int(buffer[length]), 0xEE);
}

void TestUsbKr960::readMemoryGivesUpAtFirstBadChunk_data()
{
    QTest::addColumn<int>("badChunk");
    QTest::addColumn<Fault>("fault");

    QTest::newRow("2047 of 2048") << 1 << Fault::ShortReply;
    QTest::newRow("first stalls") << 1 << Fault::Stall;
    QTest::newRow("second times out") << 2 << Fault::Timeout;
    QTest::newRow("second short") << 2 << Fault::ShortReply;
}

void TestUsbKr960::readMemoryGivesUpAtFirstBadChunk()
{
    QFETCH(int, badChunk);
    QFETCH(Fault, fault);

    const std::vector<uint8_t> plain = pattern(5000, 9);
    device->setFlash(Kr960::ApplicationStart, plain);
    USBKR960 usb;
    QCOMPARE(usb.connect(), 0);
    device->clearRequests();
    device->addFault({Kr960Request::ReadMemory, badChunk, 1, fault});

    std::vector<uint8_t> buffer(5000, 0);
    QCOMPARE(usb.ReadMemoryFromAddress(buffer.data(), Kr960::ApplicationStart, 5000), -1);
    QCOMPARE(int(requestsOf(*device, Kr960Request::ReadMemory).size()), badChunk);
    // The chunks read before the bad one stay in the buffer, plain.
    const auto good = std::ptrdiff_t(badChunk - 1) * 2048;
    QVERIFY(std::equal(buffer.begin(), buffer.begin() + good, plain.begin()));
}

void TestUsbKr960::writePageSendsScrambledPage()
{
    const std::vector<uint8_t> plain = pattern(2048, 3);
    std::vector<uint8_t> page = plain;
    std::vector<uint8_t> scrambled = plain;
    EncodeWords(scrambled.data(), 2048);
    USBKR960 usb;
    QCOMPARE(usb.connect(), 0);
    device->clearRequests();

    QCOMPARE(usb.WritePageToAddress(page.data(), 0x08005000), 0);

    const QList<RequestRecord> writes = vendorRequests(*device);
    QCOMPARE(writes.size(), 1);
    QCOMPARE(int(writes[0].requestType), 0x40);
    QCOMPARE(int(writes[0].request), int(Kr960Request::WritePage));
    QCOMPARE(int(writes[0].value), 0x5000);
    QCOMPARE(int(writes[0].index), 0x0800);
    QCOMPARE(writes[0].data, scrambled);
    QCOMPARE(page, scrambled); // the caller's buffer is left scrambled
    QCOMPARE(device->flash(0x08005000, 2048), plain);
}

void TestUsbKr960::writePageGivesUpAtOnce_data()
{
    QTest::addColumn<Fault>("fault");
    QTest::addColumn<QList<int>>("afterwards");

    // A short take leaves the device open; a failed one makes the next request reconnect.
    QTest::newRow("device takes 2047") << Fault::ShortReply << QList<int>{1};
    QTest::newRow("stall") << Fault::Stall << QList<int>{0xFF, 0xFE, 1};
}

void TestUsbKr960::writePageGivesUpAtOnce()
{
    QFETCH(Fault, fault);
    QFETCH(QList<int>, afterwards);

    USBKR960 usb;
    QCOMPARE(usb.connect(), 0);
    device->clearRequests();
    device->addFault({Kr960Request::WritePage, 1, 1, fault});
    std::vector<uint8_t> page = pattern(2048, 1);

    QCOMPARE(usb.WritePageToAddress(page.data(), Kr960::ApplicationStart), -1);
    QCOMPARE(requestCodes(vendorRequests(*device)), QList<int>{Kr960Request::WritePage});

    device->clearRequests();
    unsigned char buffer[16];
    QCOMPARE(usb.ReadMemoryFromAddress(buffer, Kr960::ApplicationStart, 16), 0);
    QCOMPARE(requestCodes(vendorRequests(*device)), afterwards);
}

void TestUsbKr960::externalFlashChunksAndPercents_data()
{
    QTest::addColumn<bool>("write");
    QTest::addColumn<quint32>("address");
    QTest::addColumn<quint32>("length");
    QTest::addColumn<QList<QList<int>>>("chunks");
    QTest::addColumn<QList<int>>("percents");

    QTest::newRow("write 1000") << true << quint32(0) << quint32(1000)
                                << QList<QList<int>>{{0, 0, 256},
                                                     {256, 0, 256},
                                                     {512, 0, 256},
                                                     {768, 0, 232}}
                                << QList<int>{25, 51, 76, 100};
    QTest::newRow("write at 0x30100")
        << true << quint32(0x30100) << quint32(600)
        << QList<QList<int>>{{0x0100, 3, 256}, {0x0200, 3, 256}, {0x0300, 3, 88}}
        << QList<int>{42, 85, 100};
    QTest::newRow("write across 64 KiB")
        << true << quint32(0x1FF00) << quint32(512)
        << QList<QList<int>>{{0xFF00, 1, 256}, {0x0000, 2, 256}} << QList<int>{50, 100};
    QTest::newRow("write one byte")
        << true << quint32(7) << quint32(1) << QList<QList<int>>{{7, 0, 1}} << QList<int>{100};
    QTest::newRow("read 1300 at 0x30100")
        << false << quint32(0x30100) << quint32(1300)
        << QList<QList<int>>{{0x0100, 3, 512}, {0x0300, 3, 512}, {0x0500, 3, 276}}
        << QList<int>{39, 78, 100};
    QTest::newRow("read 512") << false << quint32(0) << quint32(512)
                              << QList<QList<int>>{{0, 0, 512}} << QList<int>{100};
}

// The external-flash operations carry the caller's bytes as they are: the commands scramble the
// whole transfer themselves.
void TestUsbKr960::externalFlashChunksAndPercents()
{
    QFETCH(bool, write);
    QFETCH(quint32, address);
    QFETCH(quint32, length);
    QFETCH(QList<QList<int>>, chunks);
    QFETCH(QList<int>, percents);

    USBKR960 usb;
    QSignalSpy writeSpy(&usb, &USBKR960::sendPercentExtFlashWrite);
    QSignalSpy readSpy(&usb, &USBKR960::sendPercentExtFlashRead);
    QCOMPARE(usb.connect(), 0);
    device->clearRequests();
    const std::vector<uint8_t> bytes = pattern(length, 11);

    std::vector<uint8_t> buffer = bytes;
    if (write) {
        QCOMPARE(usb.WriteExternalFlashToAddress(buffer.data(), address, length), 0);
        QCOMPARE(device->externalFlash(address, length), bytes);
        QCOMPARE(buffer, bytes);
    } else {
        device->setExternalFlash(address, bytes);
        std::fill(buffer.begin(), buffer.end(), 0);
        QCOMPARE(usb.ReadExternalFlashFromAddress(buffer.data(), address, length), 0);
        QCOMPARE(buffer, bytes);
    }
    const int request = externalFlashRequest(write);
    QCOMPARE(chunksOf(vendorRequests(*device)), chunks);
    QCOMPARE(requestsOf(*device, request).size(), chunks.size());
    QCOMPARE(::percents(write ? writeSpy : readSpy), percents);
    QCOMPARE((write ? readSpy : writeSpy).count(), 0);
}

void TestUsbKr960::externalFlashRepeatsFailedChunk_data()
{
    QTest::addColumn<bool>("write");
    QTest::addColumn<Fault>("fault");
    QTest::addColumn<QList<int>>("requests");

    const int read = Kr960Request::ReadExternalFlash;
    const int write = Kr960Request::WriteExternalFlash;
    // A failed request has closed the device, so its repeat connects first; a short one has not.
    QTest::newRow("read stalls once")
        << false << Fault::Stall << QList<int>{read, 0xFF, 0xFE, read};
    QTest::newRow("read short once") << false << Fault::ShortReply << QList<int>{read, read};
    QTest::newRow("write times out once")
        << true << Fault::Timeout << QList<int>{write, 0xFF, 0xFE, write};
    QTest::newRow("write short once") << true << Fault::ShortReply << QList<int>{write, write};
}

void TestUsbKr960::externalFlashRepeatsFailedChunk()
{
    QFETCH(bool, write);
    QFETCH(Fault, fault);
    QFETCH(QList<int>, requests);

    USBKR960 usb;
    QSignalSpy spy(&usb, externalFlashPercents(write));
    QCOMPARE(usb.connect(), 0);
    device->clearRequests();
    const int request = externalFlashRequest(write);
    device->addFault({request, 1, 1, fault});
    const quint32 length = write ? 256 : 512;
    const std::vector<uint8_t> bytes = pattern(length, 2);
    device->setExternalFlash(0x1000, bytes);

    std::vector<uint8_t> buffer = bytes;
    QCOMPARE(transferExternalFlash(usb, write, buffer, 0x1000, length), 0);
    QCOMPARE(requestCodes(vendorRequests(*device)), requests);
    QCOMPARE(::percents(spy), QList<int>{100});
    QCOMPARE(buffer, bytes);
    for (const RequestRecord &record : requestsOf(*device, request)) {
        QCOMPARE(int(record.value), 0x1000);
        QCOMPARE(int(record.index), 0);
    }
}

void TestUsbKr960::externalFlashRetryBudgetPerCall_data()
{
    QTest::addColumn<bool>("write");
    QTest::addColumn<Fault>("fault");
    QTest::addColumn<int>("failuresInFirstChunk");
    QTest::addColumn<int>("failuresInSecondChunk");
    QTest::addColumn<int>("result");
    QTest::addColumn<QList<int>>("percents");

    // 100 repeats in all are allowed; the 101st failure ends the call, whichever chunk it hits.
    QTest::newRow("read: 100 failures on one chunk")
        << false << Fault::ShortReply << 100 << 0 << 0 << QList<int>{50, 100};
    QTest::newRow("read: 101 failures on one chunk")
        << false << Fault::ShortReply << 101 << 0 << -1 << QList<int>{};
    QTest::newRow("read: 50 and 50")
        << false << Fault::ShortReply << 50 << 50 << 0 << QList<int>{50, 100};
    QTest::newRow("read: 50 and 51")
        << false << Fault::ShortReply << 50 << 51 << -1 << QList<int>{50};
    QTest::newRow("write: 101 stalls, each reconnecting")
        << true << Fault::Stall << 101 << 0 << -1 << QList<int>{};
    QTest::newRow("write: 60 and 41 stalls")
        << true << Fault::Stall << 60 << 41 << -1 << QList<int>{50};
    QTest::newRow("write: 60 and 40 stalls")
        << true << Fault::Stall << 60 << 40 << 0 << QList<int>{50, 100};
}

void TestUsbKr960::externalFlashRetryBudgetPerCall()
{
    QFETCH(bool, write);
    QFETCH(Fault, fault);
    QFETCH(int, failuresInFirstChunk);
    QFETCH(int, failuresInSecondChunk);
    QFETCH(int, result);
    QFETCH(QList<int>, percents);

    USBKR960 usb;
    QSignalSpy spy(&usb, externalFlashPercents(write));
    QCOMPARE(usb.connect(), 0);
    device->clearRequests();
    const int request = externalFlashRequest(write);
    const quint32 chunk = write ? 256 : 512;
    device->addFault({request, 1, failuresInFirstChunk, fault});
    if (failuresInSecondChunk > 0)
        device->addFault({request, failuresInFirstChunk + 2, failuresInSecondChunk, fault});

    std::vector<uint8_t> buffer(2 * chunk, 0x5A);
    QCOMPARE(transferExternalFlash(usb, write, buffer, 0, 2 * chunk), result);
    QCOMPARE(::percents(spy), percents);

    // Every failure costs one request, and the call stops at the 101st.
    const int failures = qMin(failuresInFirstChunk + failuresInSecondChunk, 101);
    const int successes = percents.size();
    QCOMPARE(int(requestsOf(*device, request).size()), failures + successes);
}

void TestUsbKr960::zeroLengthSendsNothing_data()
{
    QTest::addColumn<int>("operation");
    QTest::newRow("ReadMemoryFromAddress") << 0;
    QTest::newRow("ReadExternalFlashFromAddress") << 1;
    QTest::newRow("WriteExternalFlashToAddress") << 2;
}

void TestUsbKr960::zeroLengthSendsNothing()
{
    QFETCH(int, operation);

    USBKR960 usb;
    QSignalSpy writeSpy(&usb, &USBKR960::sendPercentExtFlashWrite);
    QSignalSpy readSpy(&usb, &USBKR960::sendPercentExtFlashRead);
    unsigned char buffer[4] = {1, 2, 3, 4};
    TraceCapture trace;
    int result = -2;
    if (operation == 0)
        result = usb.ReadMemoryFromAddress(buffer, Kr960::ApplicationStart, 0);
    else if (operation == 1)
        result = usb.ReadExternalFlashFromAddress(buffer, 0, 0);
    else
        result = usb.WriteExternalFlashToAddress(buffer, 0, 0);

    QCOMPARE(result, 0);
    QVERIFY(trace.lines().isEmpty()); // not even a connect
    QVERIFY(vendorRequests(*device).isEmpty());
    QCOMPARE(writeSpy.count() + readSpy.count(), 0);
    QCOMPARE(buffer[0] + buffer[3], 5);
}

void TestUsbKr960::runApplication()
{
    USBKR960 usb;
    QCOMPARE(usb.connect(), 0);
    device->clearRequests();

    TraceCapture trace;
    usb.RunApplication();
    QCOMPARE(trace.lines(),
             (QStringList{"USBKR960::RunApplication(void)", "UsbDevice::control_send()",
                          "USB Control Send bRequest=4, wValue=0, wIndex=0 - OK."}));
    const QList<RequestRecord> requests = vendorRequests(*device);
    QCOMPARE(requests.size(), 1);
    QCOMPARE(int(requests[0].requestType), 0x40);
    QCOMPARE(int(requests[0].request), int(Kr960Request::RunApplication));
    QCOMPARE(int(requests[0].value), 0);
    QCOMPARE(int(requests[0].index), 0);
    QCOMPARE(int(requests[0].length), 0);
}

QTEST_GUILESS_MAIN(TestUsbKr960)
#include "test_usbkr960.moc"
