// The Intel HEX loader: result codes and record layouts in one table, each row loading into a
// window with guard bytes behind it; and HEX files from GNU objcopy and srec_cat against the
// binary they were made from.

#include "hex_records.h"
#include "image/hex_to_bin.h"

#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

class TestHexToBin : public QObject
{
    Q_OBJECT
    QTemporaryDir dir;

    // The window is as long as `expected`; a store past its end shows in the guard bytes.
    void loadAndCompare(const QString &path, quint32 first, int result, const QByteArray &expected)
    {
        QByteArray image = QByteArray(expected.size(), '\0') + QByteArray(16, char(0xEE));
        const quint32 last = first + quint32(expected.size()) - 1;
        QCOMPARE(HexToBin(path, reinterpret_cast<uchar *>(image.data()), first, last), result);
        QCOMPARE(image.left(expected.size()).toHex(' '), expected.toHex(' '));
        QCOMPARE(image.mid(expected.size()), QByteArray(16, char(0xEE)));
    }

private slots:
    void loads_data();
    void loads();
    void loadsToolOutput_data();
    void loadsToolOutput();
};

void TestHexToBin::loads_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<quint32>("first");
    QTest::addColumn<int>("result");
    QTest::addColumn<QByteArray>("image");
    const QByteArray b = countingBytes(16), eof = hexEndOfFile(), z4(4, '\0'), z8(8, '\0');
    const QByteArray d4 = hexDataRecord(0, b.left(4)), base = hexLinearBase(0x0800);
    const auto row = [](const char *name) -> QTestData & { return QTest::newRow(name); };

    row("empty file") << QByteArray() << 0u << 0 << z4;
    row("no end-of-file record") << d4 << 0u << 0 << b.left(4);
    row("blank line ends the load")
        << d4 + "\n" + hexDataRecord(4, b) + eof << 0u << -1 << b.left(4) + z4;
    row("blank line after the end") << d4 + eof + "\n" << 0u << 0 << b.left(4);
    row("10 characters") << QByteArray(":00000001\n") << 0u << -1 << z4;
    row("11 characters with CR LF") << QByteArray(":00000001\r\n") << 0u << 0 << z4;
    row("leading space") << " " + d4 << 0u << -2 << z4;
    row("count not hex") << QByteArray(":G0000001FF\n") << 0u << -3 << z4;
    row("address not hex") << QByteArray(":0000X001FF\n") << 0u << -4 << z4;
    row("type not hex") << QByteArray(":000000G1FF\n") << 0u << -5 << z4;
    row("bad data byte keeps those before")
        << QByteArray(":04000000A1A2ZZA400\n") << 0u << -6 << QByteArray("\xA1\xA2\0\0", 4);
    row("data past the line end") << QByteArray(":04000000AABB\n") << 0u << -6
                                  << QByteArray("\xAA\xBB\0\0", 4);
    row("type 02") << d4 + ":020000021000EC\n" + eof << 0u << -7 << b.left(4);
    row("type 03") << hexRecord(0, 3, b.left(4)) << 0u << -7 << z4;
    row("type 06") << hexRecord(0, 6, {}) << 0u << -7 << z4;
    row("extended address not hex") << QByteArray(":02000004GG00F2\n") << 0u << -7 << z4;
    row("type 05 skipped") << hexRecord(0, 5, b.left(4)) + d4 << 0u << 0 << b.left(4);
    row("wrong checksum loads") << hexRecord(0, 0, b.left(4), "\n", 3) << 0u << 0 << b.left(4);
    row("lower-case digits") << QByteArray(":020000040800f2\n:0200000011ab42\n") << 0x08000000u << 0
                             << QByteArray("\x11\xab\0\0", 4);
    row("data after the end not read") << eof + d4 << 0u << 0 << z4;
    // A line holds 63 characters: 25 data bytes fit with CR LF, 26 split the record.
    row("25 bytes with CR LF") << hexDataRecord(0, countingBytes(25), "\r\n") << 0u << 0
                               << countingBytes(25);
    row("26 bytes") << hexDataRecord(0, countingBytes(26)) << 0u << -1 << countingBytes(26);
    row("window cuts a record at both ends")
        << base + hexDataRecord(8, b) << 0x0800000Cu << 0 << b.mid(4, 8);
    row("window wider than a record")
        << base + hexDataRecord(8, b) << 0x08000004u << 0 << z4 + b + z4;
    row("64 KiB crossed within a record")
        << base + hexDataRecord(0xFFF8, b) << 0x0800FFF0u << 0 << z8 + b + z8;
    row("extended linear address") << hexLinearBase(0x0801) + d4 << 0x08010000u << 0 << b.left(4);
    row("later base replaces earlier")
        << hexLinearBase(0x0700) + base + d4 << 0x08000000u << 0 << b.left(4);
    row("missing file") << QByteArray("missing") << 0u << -8 << z4;
}

void TestHexToBin::loads()
{
    QFETCH(QByteArray, text);
    QFETCH(quint32, first);
    QFETCH(int, result);
    QFETCH(QByteArray, image);
    const QString path = dir.filePath(QTest::currentDataTag());
    QVERIFY(text == "missing" || writeFile(path, text));
    loadAndCompare(path, first, result, image);
}

void TestHexToBin::loadsToolOutput_data()
{
    QTest::addColumn<QString>("tool");
    QTest::addColumn<QStringList>("options");
    QTest::newRow("objcopy") << "objcopy"
                             << QStringList{
                                    "-I",        "binary", "-O", "ihex", "--change-addresses",
                                    "0x08000000"};
    for (const char *size : {"1", "7", "25"})
        for (QString crlf : {"", "-crlf"})
            QTest::addRow("srec_cat %s %s", size, qPrintable(crlf))
                << "srec_cat" << QStringList{"-binary",
                                             "-offset",
                                             "0x08000000",
                                             "-intel",
                                             "-output_block_size=" + QString(size),
                                             crlf};
}

// The binary crosses the 64 KiB boundary at 0x08010000; windows straddle its start and end.
void TestHexToBin::loadsToolOutput()
{
    QFETCH(QString, tool);
    QFETCH(QStringList, options);
    if (QStandardPaths::findExecutable(tool).isEmpty())
        QSKIP("tool not installed");
    const QByteArray firmware = countingBytes(0x14000, 3).replace('\0', '\x5A');
    const QString bin = dir.filePath("fw.bin"), hex = dir.filePath("fw.hex");
    QVERIFY(writeFile(bin, firmware));
    options.removeAll("");
    const QStringList arguments = tool == "objcopy" ? options + QStringList{bin, hex}
                                                    : QStringList{bin} + options.mid(0, 3) +
                                                          QStringList{"-o", hex} + options.mid(3);
    QCOMPARE(QProcess::execute(tool, arguments), 0);
    const QByteArray pad(0x100, '\0');
    loadAndCompare(hex, 0x07FFFF00, 0, pad + firmware + pad);
    loadAndCompare(hex, 0x08004000, 0, firmware.mid(0x4000));
}

QTEST_GUILESS_MAIN(TestHexToBin)
#include "test_hex_to_bin.moc"
