#include "usb/string_descriptor.h"

#include <QRandomGenerator>
#include <QTest>
#include <vector>

// Descriptor bytes as the device sends them: length byte, type 3, then UTF-16LE units.
static QByteArray descriptor(int lengthByte, const QVector<quint16> &units)
{
    QByteArray bytes;
    bytes.append(char(lengthByte));
    bytes.append(char(3));
    for (quint16 unit : units) {
        bytes.append(char(unit & 0xFF));
        bytes.append(char(unit >> 8));
    }
    return bytes;
}

class TestStringDescriptor : public QObject
{
    Q_OBJECT

private slots:
    void serial_data();
    void serial();
    void nullDescriptorGivesEmpty();
    void bytesPastTheEndNeverMatter();
};

void TestStringDescriptor::serial_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("received");
    QTest::addColumn<QByteArray>("expected");

    const QByteArray abc = descriptor(8, {'A', 'B', 'C'});
    QTest::newRow("ABC") << abc << 8 << QByteArray("ABC");
    QTest::newRow("bootloader serial")
        << descriptor(22, {'2', '6', '4', '9', '0', '0', '0', '0', '1', 'b'}) << 22
        << QByteArray("264900001b");
    QTest::newRow("stops at the first zero unit")
        << descriptor(10, {'A', 0, 'B', 'C'}) << 10 << QByteArray("A");
    QTest::newRow("unit above 0xFF keeps its low byte") << descriptor(8, {0x0141, 0x20AC, 'C'}) << 8
                                                        << QByteArray("A\xAC"
                                                                      "C");
    QTest::newRow("unit 0x0100 is not a terminator")
        << descriptor(6, {0x0100, 'B'}) << 6 << QByteArray("\0B", 2);
    QTest::newRow("length byte smaller than received")
        << descriptor(6, {'A', 'B', 'C', 'D'}) << 10 << QByteArray("AB");
    QTest::newRow("received smaller than length byte")
        << descriptor(10, {'A', 'B', 'C', 'D'}) << 6 << QByteArray("AB");
    QTest::newRow("odd length byte leaves the half unit out")
        << descriptor(7, {'A', 'B', 'C'}) << 8 << QByteArray("AB");
    QTest::newRow("odd received leaves the half unit out")
        << descriptor(8, {'A', 'B', 'C'}) << 7 << QByteArray("AB");
    QTest::newRow("header only") << descriptor(2, {'A'}) << 4 << QByteArray();
    QTest::newRow("length byte 0") << descriptor(0, {'A'}) << 4 << QByteArray();
    QTest::newRow("length byte 1") << descriptor(1, {'A'}) << 4 << QByteArray();
    QTest::newRow("one byte received") << abc << 1 << QByteArray();
    QTest::newRow("nothing received") << abc << 0 << QByteArray();
    QTest::newRow("request failed") << abc << -32 << QByteArray();

    QVector<quint16> full(127, 'x');
    QTest::newRow("longest descriptor") << descriptor(0xFF, full) << 256 << QByteArray(126, 'x');
}

void TestStringDescriptor::serial()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, received);
    QFETCH(QByteArray, expected);

    // The transport hands over its 256-byte buffer whatever the device sent.
    std::vector<unsigned char> buffer(256, 0);
    std::copy(bytes.cbegin(), bytes.cend(), buffer.begin());
    QCOMPARE(serialFromStringDescriptor(buffer.data(), received), expected);
}

void TestStringDescriptor::nullDescriptorGivesEmpty()
{
    QCOMPARE(serialFromStringDescriptor(nullptr, 8), QByteArray());
}

// What lies past the descriptor's end (length byte or bytes received) must never reach the
// serial: random descriptors, then the tail past the end rewritten with non-zero units.
void TestStringDescriptor::bytesPastTheEndNeverMatter()
{
    QRandomGenerator random(0x960);
    for (int round = 0; round < 20000; ++round) {
        std::vector<unsigned char> buffer(256);
        for (auto &byte : buffer)
            byte = uchar(random.bounded(256));
        if (random.bounded(4) == 0)
            buffer[2 + 2 * random.bounded(127)] = 0; // sometimes a low byte of zero
        const int received = random.bounded(-2, 257);
        const QByteArray serial = serialFromStringDescriptor(buffer.data(), received);

        const int end = qMax(0, qMin(int(buffer[0]), received));
        QVERIFY2(serial.size() <= qMax(0, (end - 2) / 2),
                 qPrintable(QString("round %1: %2 bytes from an end of %3")
                                .arg(round)
                                .arg(serial.size())
                                .arg(end)));
        for (int i = qMax(end, 2); i < 256; ++i)
            buffer[i] = uchar(0x5A ^ i);
        QCOMPARE(serialFromStringDescriptor(buffer.data(), received), serial);
    }
}

QTEST_GUILESS_MAIN(TestStringDescriptor)
#include "test_string_descriptor.moc"
