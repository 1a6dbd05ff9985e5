#include "hex_records.h"
#include "image/hex_to_bin.h"

#include <QTemporaryDir>
#include <QtTest>

namespace
{

constexpr int GuardBytes = 16;
constexpr char GuardValue = char(0xEE);

struct Loaded {
    int result = 0;
    QByteArray image;
    bool guardIntact = true;
};

QByteArray zeros(int count)
{
    return QByteArray(count, '\0');
}

} // namespace

class TestHexToBin : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir dir;
    int fileCount = 0;

    QString hexFile(const QByteArray &text)
    {
        const QString path = dir.filePath(QStringLiteral("f%1.hex").arg(++fileCount));
        if (!writeFile(path, text))
            qFatal("cannot write %s", qPrintable(path));
        return path;
    }

    // The image is followed by guard bytes so that a store past `last` shows.
    Loaded load(const QByteArray &text, quint32 first, quint32 last, char fill = '\0')
    {
        const int size = int(last - first + 1);
        QByteArray buffer(size, fill);
        buffer.append(QByteArray(GuardBytes, GuardValue));
        Loaded loaded;
        loaded.result =
            HexToBin(hexFile(text), reinterpret_cast<unsigned char *>(buffer.data()), first, last);
        loaded.image = buffer.left(size);
        loaded.guardIntact = buffer.mid(size) == QByteArray(GuardBytes, GuardValue);
        return loaded;
    }

private slots:
    void resultCodes_data();
    void resultCodes();
    void storedBytes_data();
    void storedBytes();
    void recordLengthLimit_data();
    void recordLengthLimit();
    void bootloaderWindowLoadsExactly();
    void bytesBeforeErrorKept_data();
    void bytesBeforeErrorKept();
    void linearBaseStartsAtZeroEveryCall();
    void unopenableFile_data();
    void unopenableFile();
};

void TestHexToBin::resultCodes_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<int>("expected");

    const QByteArray data = hexDataRecord(0, countingBytes(16));
    const QByteArray eof = hexEndOfFile();

    QTest::newRow("empty file") << QByteArray() << int(HexOk);
    QTest::newRow("end of file only") << eof << int(HexOk);
    QTest::newRow("no end-of-file record") << data << int(HexOk);
    QTest::newRow("blank line before end") << data + "\n" + eof << int(HexShortLine);
    QTest::newRow("blank CRLF line") << data + "\r\n" + eof << int(HexShortLine);
    QTest::newRow("blank line after end") << data + eof + "\n" << int(HexOk);
    QTest::newRow("garbage after end") << eof + "garbage\n" << int(HexOk);
    QTest::newRow("10 characters with LF") << QByteArray(":00000001\n") << int(HexShortLine);
    QTest::newRow("11 characters with CRLF") << QByteArray(":00000001\r\n") << int(HexOk);
    QTest::newRow("11 characters, no line end") << QByteArray(":00000001FF") << int(HexOk);
    QTest::newRow("10 characters, no line end") << QByteArray(":00000001F") << int(HexShortLine);
    QTest::newRow("leading space") << " " + eof << int(HexNoColon);
    QTest::newRow("semicolon") << QByteArray(";00000001FF\n") << int(HexNoColon);
    QTest::newRow("count not hex") << QByteArray(":G0000001FF\n") << int(HexBadCount);
    QTest::newRow("address not hex") << QByteArray(":0000X001FF\n") << int(HexBadAddress);
    QTest::newRow("type not hex") << QByteArray(":000000G1FF\n") << int(HexBadType);
    QTest::newRow("data byte not hex") << QByteArray(":02000000AAGG54\n") << int(HexBadData);
    QTest::newRow("data past line end") << QByteArray(":04000000AABB\n") << int(HexBadData);
    QTest::newRow("data past end of text") << QByteArray(":04000000AABBCC") << int(HexBadData);
    QTest::newRow("type 02") << hexRecord(0, 0x02, QByteArray("\x10\x00", 2)) + eof
                             << int(HexBadRecord);
    QTest::newRow("type 03") << hexRecord(0, 0x03, countingBytes(4)) + eof << int(HexBadRecord);
    QTest::newRow("type 06") << hexRecord(0, 0x06, QByteArray()) + eof << int(HexBadRecord);
    QTest::newRow("type FF") << hexRecord(0, 0xFF, QByteArray()) + eof << int(HexBadRecord);
    QTest::newRow("extended address not hex")
        << QByteArray(":02000004GG00F2\n") + eof << int(HexBadRecord);
    QTest::newRow("type 05 skipped")
        << hexRecord(0, 0x05, countingBytes(4)) + data + eof << int(HexOk);
    QTest::newRow("wrong checksum")
        << hexRecord(0, 0x00, countingBytes(4), "\n", 1) + eof << int(HexOk);
    QTest::newRow("lower-case digits")
        << QByteArray(":02000000abcd85\n:00000001ff\n") << int(HexOk);
}

void TestHexToBin::resultCodes()
{
    QFETCH(QByteArray, text);
    QFETCH(int, expected);
    const Loaded loaded = load(text, 0, 0xFF);
    QCOMPARE(loaded.result, expected);
    QVERIFY(loaded.guardIntact);
}

void TestHexToBin::storedBytes_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<quint32>("first");
    QTest::addColumn<quint32>("last");
    QTest::addColumn<QByteArray>("expected");

    const QByteArray bytes = countingBytes(16);
    const QByteArray eof = hexEndOfFile();
    const QByteArray at0008 = hexLinearBase(0x0800) + hexDataRecord(0x0008, bytes) + eof;
    const QByteArray wrapping = hexLinearBase(0x0800) + hexDataRecord(0xFFF8, bytes) + eof;
    const QByteArray topWrap = hexLinearBase(0xFFFF) + hexDataRecord(0xFFF8, bytes) + eof;

    QTest::newRow("record straddles first")
        << at0008 << 0x08000010u << 0x0800001Fu << bytes.mid(8) + zeros(8);
    QTest::newRow("record straddles last")
        << at0008 << 0x08000000u << 0x0800000Bu << zeros(8) + bytes.left(4);
    QTest::newRow("one-byte window") << at0008 << 0x0800000Du << 0x0800000Du << bytes.mid(5, 1);
    QTest::newRow("window below record") << at0008 << 0x08000000u << 0x08000007u << zeros(8);
    QTest::newRow("window above record") << at0008 << 0x08000018u << 0x0800001Fu << zeros(8);
    QTest::newRow("64 KiB wrap within record")
        << wrapping << 0x0800FFF0u << 0x0801000Fu << zeros(8) + bytes + zeros(8);
    QTest::newRow("64 KiB wrap leaves low segment alone")
        << wrapping << 0x08000000u << 0x0800000Fu << zeros(16);
    QTest::newRow("top of address space")
        << topWrap << 0xFFFFFFF0u << 0xFFFFFFFFu << zeros(8) + bytes.left(8);
    QTest::newRow("window across 0x80000000")
        << hexLinearBase(0x7FFF) + hexDataRecord(0xFFF8, bytes) + eof << 0x7FFFFFF0u << 0x8000000Fu
        << zeros(8) + bytes + zeros(8);
    QTest::newRow("address wraps to 0") << topWrap << 0u << 0xFu << bytes.mid(8) + zeros(8);
    QTest::newRow("no base record means base 0")
        << hexDataRecord(0x0004, bytes.left(4)) + eof << 0u << 0x7u << zeros(4) + bytes.left(4);
    QTest::newRow("extended address ignores its count")
        << QByteArray(":0000000408000000\n") + hexDataRecord(0, bytes.left(4)) + eof << 0x08000000u
        << 0x08000003u << bytes.left(4);
    QTest::newRow("later base replaces earlier")
        << hexLinearBase(0x0700) + hexLinearBase(0x0800) + hexDataRecord(0, bytes.left(4)) + eof
        << 0x08000000u << 0x08000003u << bytes.left(4);
    QTest::newRow("lower-case digits") << QByteArray(":020000040800f2\n:0200000011ab42\n") + eof
                                       << 0x08000000u << 0x08000001u << QByteArray("\x11\xab");
    QTest::newRow("wrong checksum loads")
        << hexLinearBase(0x0800) + hexRecord(0, 0x00, bytes.left(4), "\n", 7) + eof << 0x08000000u
        << 0x08000003u << bytes.left(4);
    QTest::newRow("start address record skipped")
        << hexRecord(0, 0x05, QByteArray("\x08\x00\x00\x00", 4)) + hexDataRecord(0, bytes.left(2))
        << 0u << 1u << bytes.left(2);
    QTest::newRow("data after end of file not read")
        << eof + hexDataRecord(0, bytes.left(2)) << 0u << 1u << zeros(2);
    // Fields go through the same lenient number conversion everywhere: padding and a 0x prefix
    // are accepted.
    QTest::newRow("0x prefix in address")
        << QByteArray(":020x1000AABB00\n") << 0x10u << 0x11u << QByteArray("\xAA\xBB");
    QTest::newRow("space in data byte")
        << QByteArray(":02000000 A0B00\n") << 0u << 1u << QByteArray("\x0A\x0B");
}

void TestHexToBin::storedBytes()
{
    QFETCH(QByteArray, text);
    QFETCH(quint32, first);
    QFETCH(quint32, last);
    QFETCH(QByteArray, expected);
    const Loaded loaded = load(text, first, last);
    QCOMPARE(loaded.result, int(HexOk));
    QCOMPARE(loaded.image.toHex(' '), expected.toHex(' '));
    QVERIFY(loaded.guardIntact);
}

void TestHexToBin::recordLengthLimit_data()
{
    QTest::addColumn<int>("dataBytes");
    QTest::addColumn<QByteArray>("afterChecksum");
    QTest::addColumn<QByteArray>("expectedLineEnd");
    QTest::addColumn<int>("expected");
    QTest::addColumn<int>("stored");

    // 25 data bytes make a 61-character record: with CR LF that is the 63 characters a line holds.
    QTest::newRow("25, LF") << 25 << QByteArray() << QByteArray("\n") << int(HexOk) << 25;
    QTest::newRow("25, CRLF") << 25 << QByteArray() << QByteArray("\r\n") << int(HexOk) << 25;
    QTest::newRow("25 + 1 character, LF")
        << 25 << QByteArray(" ") << QByteArray("\n") << int(HexOk) << 25;
    QTest::newRow("25 + 1 character, CRLF")
        << 25 << QByteArray(" ") << QByteArray("\r\n") << int(HexShortLine) << 25;
    QTest::newRow("26, LF") << 26 << QByteArray() << QByteArray("\n") << int(HexShortLine) << 26;
    QTest::newRow("26, CRLF") << 26 << QByteArray() << QByteArray("\r\n") << int(HexShortLine)
                              << 26;
    QTest::newRow("27, LF") << 27 << QByteArray() << QByteArray("\n") << int(HexShortLine) << 27;
    QTest::newRow("27, CRLF") << 27 << QByteArray() << QByteArray("\r\n") << int(HexShortLine)
                              << 27;
    QTest::newRow("28, LF") << 28 << QByteArray() << QByteArray("\n") << int(HexBadData) << 27;
    QTest::newRow("28, CRLF") << 28 << QByteArray() << QByteArray("\r\n") << int(HexBadData) << 27;
    QTest::newRow("32, LF") << 32 << QByteArray() << QByteArray("\n") << int(HexBadData) << 27;
}

void TestHexToBin::recordLengthLimit()
{
    QFETCH(int, dataBytes);
    QFETCH(QByteArray, afterChecksum);
    QFETCH(QByteArray, expectedLineEnd);
    QFETCH(int, expected);
    QFETCH(int, stored);

    const char *lineEnd = expectedLineEnd.constData();
    const QByteArray text = hexLinearBase(0x0800, lineEnd) +
                            hexRecord(0x0000, 0x00, countingBytes(dataBytes), "") + afterChecksum +
                            lineEnd + hexEndOfFile(lineEnd);
    const Loaded loaded = load(text, 0x08000000, 0x0800003F);
    QCOMPARE(loaded.result, expected);
    QCOMPARE(loaded.image.toHex(' '), (countingBytes(stored) + zeros(64 - stored)).toHex(' '));
}

void TestHexToBin::bootloaderWindowLoadsExactly()
{
    QByteArray firmware;
    for (int i = 0; i < 0x4000; ++i)
        firmware.append(char((i * 7 + (i >> 8)) & 0xff));

    QByteArray text = hexLinearBase(0x07FF) + hexDataRecord(0xFFF0, countingBytes(16, 0x80));
    text += hexLinearBase(0x0800);
    for (int offset = 0; offset < firmware.size(); offset += 16)
        text += hexDataRecord(quint16(offset), firmware.mid(offset, 16));
    text += hexDataRecord(0x4000, countingBytes(16, 0x90)) + hexEndOfFile();

    const Loaded loaded = load(text, 0x08000000, 0x08003FFF, char(0x5A));
    QCOMPARE(loaded.result, int(HexOk));
    QVERIFY(loaded.image == firmware);
    QVERIFY(loaded.guardIntact);
}

void TestHexToBin::bytesBeforeErrorKept_data()
{
    QTest::addColumn<QByteArray>("failingLine");
    QTest::addColumn<int>("expected");
    QTest::addColumn<QByteArray>("keptOfFailing");

    QTest::newRow("bad data byte")
        << QByteArray(":04001000A1A2A3ZZ00\n") << int(HexBadData) << QByteArray("\xA1\xA2\xA3");
    QTest::newRow("data past line end")
        << QByteArray(":04001000A1A2\n") << int(HexBadData) << QByteArray("\xA1\xA2");
    QTest::newRow("blank line") << QByteArray("\n") << int(HexShortLine) << QByteArray();
    QTest::newRow("no colon") << QByteArray("x04001000A1A2A3A400\n") << int(HexNoColon)
                              << QByteArray();
    QTest::newRow("segment record")
        << QByteArray(":020000021000EC\n") << int(HexBadRecord) << QByteArray();
}

void TestHexToBin::bytesBeforeErrorKept()
{
    QFETCH(QByteArray, failingLine);
    QFETCH(int, expected);
    QFETCH(QByteArray, keptOfFailing);

    const QByteArray earlier = countingBytes(16);
    const QByteArray text = hexDataRecord(0x0000, earlier) + failingLine +
                            hexDataRecord(0x0020, countingBytes(16, 0x40)) + hexEndOfFile();
    const Loaded loaded = load(text, 0, 0x2F);
    QCOMPARE(loaded.result, expected);
    const QByteArray image = earlier + keptOfFailing + zeros(32 - keptOfFailing.size());
    QCOMPARE(loaded.image.toHex(' '), image.toHex(' '));
}

void TestHexToBin::linearBaseStartsAtZeroEveryCall()
{
    const QByteArray withBase = hexLinearBase(0x0800) + hexDataRecord(0, countingBytes(4));
    QCOMPARE(load(withBase, 0x08000000, 0x08000003).result, int(HexOk));

    const QByteArray withoutBase = hexDataRecord(0, countingBytes(4, 0x30)) + hexEndOfFile();
    const Loaded loaded = load(withoutBase, 0, 3);
    QCOMPARE(loaded.result, int(HexOk));
    QCOMPARE(loaded.image, countingBytes(4, 0x30));
}

void TestHexToBin::unopenableFile_data()
{
    QTest::addColumn<QString>("path");
    QTest::newRow("missing file") << dir.filePath(QStringLiteral("missing.hex"));
    QTest::newRow("directory") << dir.path();
    QTest::newRow("empty name") << QString();
}

void TestHexToBin::unopenableFile()
{
    QFETCH(QString, path);
    QByteArray image(64, char(0x5A));
    const int result = HexToBin(path, reinterpret_cast<unsigned char *>(image.data()), 0, 63);
    QCOMPARE(result, int(HexCannotOpen));
    QCOMPARE(image, QByteArray(64, char(0x5A)));
}

QTEST_GUILESS_MAIN(TestHexToBin)
#include "test_hex_to_bin.moc"
