// The image tools against bytes worked out by hand: the Intel HEX loader's result codes and record
// layouts (and GNU objcopy's and srec_cat's files), the scrambler's words, the hex dump's lines.

#include "hex_records.h"
#include "image/hex_dump.h"
#include "image/hex_to_bin.h"
#include "image/scrambler_key.h"
#include "image/word_scrambler.h"
#include "trace_capture.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>

class TestImageTools : public QObject
{
    Q_OBJECT
    QTemporaryDir dir;

    // The window is as long as `expected`; a store past its end shows in the guard bytes.
    static void load(const QString &path, quint32 first, int result, const QByteArray &expected)
    {
        QByteArray image = QByteArray(expected.size(), '\0') + QByteArray(16, char(0xEE));
        const quint32 last = first + quint32(expected.size()) - 1;
        QCOMPARE(HexToBin(path, reinterpret_cast<uchar *>(image.data()), first, last), result);
        QCOMPARE(image.toHex(' '), (expected + QByteArray(16, char(0xEE))).toHex(' '));
    }

private slots:
    void hexToBin_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<quint32>("first");
        QTest::addColumn<int>("result");
        QTest::addColumn<QByteArray>("image");
        const QByteArray b = distinctBytes(16, 1), eof = hexRecord(0, 1, {}), z4(4, '\0'),
                         z8(8, '\0'), d4 = hexRecord(0, 0, b.left(4)), base = hexLinearBase(0x0800);
        const auto row = [](const char *name) -> QTestData & { return QTest::newRow(name); };
        // clang-format off
        row("empty file") << QByteArray() << 0u << 0 << z4;
        row("no end-of-file record") << d4 << 0u << 0 << b.left(4);
        row("blank line ends the load") << d4 + "\n" + hexRecord(4, 0, b) << 0u << -1 << b.left(4) + z4;
        row("10 characters") << QByteArray(":00000001\n") << 0u << -1 << z4;
        row("11 characters with CR LF") << QByteArray(":00000001\r\n") << 0u << 0 << z4;
        row("leading space") << " " + d4 << 0u << -2 << z4;
        row("count not hex") << QByteArray(":G0000001FF\n") << 0u << -3 << z4;
        row("address not hex") << QByteArray(":0000X001FF\n") << 0u << -4 << z4;
        row("type not hex") << QByteArray(":000000G1FF\n") << 0u << -5 << z4;
        row("bad data byte") << QByteArray(":04000000A1A2ZZA400\n") << 0u << -6 << QByteArray("\xA1\xA2\0\0", 4);
        row("data past the line end") << QByteArray(":04000000AABB\n") << 0u << -6 << QByteArray("\xAA\xBB\0\0", 4);
        row("type 02, not handled") << d4 + ":020000021000EC\n" + eof << 0u << -7 << b.left(4);
        row("extended address not hex") << QByteArray(":02000004GG00F2\n") << 0u << -7 << z4;
        row("missing file") << QByteArray("missing") << 0u << -8 << z4;
        row("type 05 skipped, wrong checksum") << hexRecord(0, 5, b) + hexRecord(0, 0, b.left(4), "\n", 3) << 0u << 0 << b.left(4);
        row("lower-case digits") << QByteArray(":020000040800f2\n:0200000011ab42\n") << 0x08000000u << 0 << QByteArray("\x11\xab\0\0", 4);
        row("data after the end not read") << eof + d4 << 0u << 0 << z4;
        // A line holds 63 characters: 25 data bytes fit with CR LF, 26 split the record.
        row("25 bytes with CR LF") << hexRecord(0, 0, distinctBytes(25, 1), "\r\n") << 0u << 0 << distinctBytes(25, 1);
        row("26 bytes") << hexRecord(0, 0, distinctBytes(26, 1)) << 0u << -1 << distinctBytes(26, 1);
        row("window cuts a record at both ends") << base + hexRecord(8, 0, b) << 0x0800000Cu << 0 << b.mid(4, 8);
        row("window wider than a record") << base + hexRecord(8, 0, b) << 0x08000004u << 0 << z4 + b + z4;
        row("64 KiB crossed within a record") << base + hexRecord(0xFFF8, 0, b) << 0x0800FFF0u << 0 << z8 + b + z8;
        row("extended linear address") << hexLinearBase(0x0801) + d4 << 0x08010000u << 0 << b.left(4);
        row("later base replaces earlier") << hexLinearBase(0x0700) + base + d4 << 0x08000000u << 0 << b.left(4);
        // clang-format on
    }
    void hexToBin()
    {
        QFETCH(QByteArray, text);
        QFETCH(quint32, first);
        QFETCH(int, result);
        QFETCH(QByteArray, image);
        const QString path = dir.filePath(QTest::currentDataTag());
        QVERIFY(text == "missing" || writeFile(path, text));
        load(path, first, result, image);
    }

    // Each tool's HEX of a binary crossing 64 KiB at 0x08010000 (srec_cat with short, odd and
    // longest lines); one window straddles the binary's both ends.
    void hexToBinReadsToolOutput()
    {
        QByteArray firmware(0x14000, '\0');
        for (int i = 0; i < firmware.size(); ++i)
            firmware[i] = char(i * 7 + (i >> 8) + (i >> 16));
        const QString bin = dir.filePath("fw.bin"), hex = dir.filePath("fw.hex");
        QVERIFY(writeFile(bin, firmware));
        const QString srec =
            "srec_cat %1 -binary -offset 0x08000000 -o %2 -intel -output_block_size=";
        for (const QString &command :
             QStringList{"objcopy -I binary -O ihex --change-addresses 0x08000000 %1 %2",
                         srec + "1", srec + "7 -crlf", srec + "25 -crlf"}) {
            QCOMPARE(QProcess::execute("sh", {"-c", command.arg(bin, hex)}), 0);
            load(hex, 0x07FFFF00, 0, QByteArray(0x100, '\0') + firmware + QByteArray(0x100, '\0'));
            load(hex, 0x08004000, 0, firmware.mid(0x4000));
        }
    }

    // Zero words become 2k, k = key[j % 32] for word j of each call: only cuts at multiples of
    // 128 bytes leave the result alone. The tail is never touched.
    void scrambler()
    {
        QByteArray zeros(262, '\0'), halves = zeros, shifted = zeros;
        TraceCapture trace;
        EncodeWords(zeros.data(), 262);
        const auto at = [](const char *p) { return QString::asprintf("0x%08llx", qulonglong(p)); };
        QCOMPARE(trace.lines(), QStringList({"Encoding started @ " + at(zeros.constData()),
                                             "Encoding end @ " + at(zeros.constData() + 260)}));
        EncodeWords(halves.data(), 128);
        EncodeWords(halves.data() + 128, 134);
        EncodeWords(shifted.data() + 4, 252);
        for (int j = 0; j < 64; ++j)
            QCOMPARE(qFromLittleEndian<quint32>(zeros.constData() + 4 * j),
                     2 * ScramblerKey[j % 32]);
        QCOMPARE(shifted, QByteArray(4, '\0') + zeros.left(252) + QByteArray(6, '\0'));
        QCOMPARE(halves, zeros);
        QCOMPARE(zeros.right(2), QByteArray(2, '\0'));
        DecodeWords(zeros.data(), 262);
        QCOMPARE(zeros, QByteArray(262, '\0'));
        QCOMPARE(trace.lines().size(), 8); // decoding writes no trace
    }

    // Full and short lines; DEL shown as it is, 0x00 and 0x80 as dots; five-digit offsets.
    void hexDump()
    {
        QByteArray bytes("ABCDEFGHIJKLMNOP\x00\x7f\x80\x20", 20);
        QCOMPARE(
            HexDump(bytes.constData(), 20),
            "\n src address: 0x" +
                QByteArray::number(quintptr(bytes.constData()), 16).rightJustified(8, '0') +
                "\n0x0000: 41 42 43 44 45 46 47 48 49 4a 4b 4c 4d 4e 4f 50 < ABCDEFGHIJKLMNOP >"
                "\n0x0010: 00 7f 80 20" +
                QByteArray(36, ' ') + " < .\x7f. " + QByteArray(12, ' ') + " >");
        bytes = QByteArray(0x10010, '\xff');
        QVERIFY(HexDump(bytes.constData(), int(bytes.size()))
                    .endsWith("\n0x10000:" + QByteArray(48, ' ').replace("   ", " ff") + " < " +
                              QByteArray(16, '.') + " >"));
    }
};

QTEST_GUILESS_MAIN(TestImageTools)
#include "test_image_tools.moc"
