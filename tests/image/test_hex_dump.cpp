#include "image/hex_dump.h"

#include <QtTest>

namespace
{

QByteArray header(const void *data)
{
    return "\n src address: 0x" +
           QByteArray::number(quint64(reinterpret_cast<quintptr>(data)), 16).rightJustified(8, '0');
}

QByteArray spaces(int count)
{
    return QByteArray(count, ' ');
}

char shownAs(unsigned char byte)
{
    return byte >= 0x20 && byte <= 0x7F ? char(byte) : '.';
}

QByteArray patternBytes(int count)
{
    QByteArray bytes(count, '\0');
    for (int i = 0; i < count; ++i)
        bytes[i] = char((i * 37 + (i >> 8)) & 0xff);
    return bytes;
}

} // namespace

class TestHexDump : public QObject
{
    Q_OBJECT

private slots:
    void handWrittenExample();
    void lines_data();
    void lines();
    void everyByteValueInCharacterColumn();
    void fiveDigitOffsets();
};

void TestHexDump::handWrittenExample()
{
    const QByteArray bytes("ABCDEFGHIJKLMNOP\x00\x7f\x80\x20", 20);
    const QByteArray expected = header(bytes.constData()) +
                                "\n0x0000: 41 42 43 44 45 46 47 48 49 4a 4b 4c 4d 4e 4f 50"
                                " < ABCDEFGHIJKLMNOP >"
                                "\n0x0010: 00 7f 80 20" +
                                spaces(36) + " < .\x7f. " + spaces(12) + " >";
    QCOMPARE(HexDump(bytes.constData(), bytes.size()), expected);
}

void TestHexDump::lines_data()
{
    QTest::addColumn<int>("length");
    for (int length : {0, 1, 15, 16, 17, 20, 31, 32, 256, 65536 + 20, 1 << 20})
        QTest::addRow("%d bytes", length) << length;
}

// Reads every line back: offset, hex column of 48 characters, character column of 16, and the
// fixed separators; the bytes read back must be the bytes given.
void TestHexDump::lines()
{
    QFETCH(int, length);
    const QByteArray bytes = patternBytes(length);
    const QByteArray text = HexDump(bytes.constData(), length);

    QVERIFY(text.startsWith(header(bytes.constData())));
    QVERIFY(!text.endsWith('\n'));
    const QList<QByteArray> lines = text.split('\n').mid(2);
    QCOMPARE(lines.size(), (length + 15) / 16);

    for (int n = 0; n < lines.size(); ++n) {
        const QByteArray &line = lines[n];
        const int offset = 16 * n;
        const int count = qMin(16, length - offset);
        const QByteArray prefix =
            "0x" + QByteArray::number(offset, 16).rightJustified(4, '0') + ":";
        QVERIFY2(line.startsWith(prefix), line.constData());

        const QByteArray rest = line.mid(prefix.size());
        QCOMPARE(rest.size(), 48 + 3 + 16 + 2);
        QByteArray hexColumn, characters;
        for (int i = 0; i < count; ++i) {
            const unsigned char byte = bytes[offset + i];
            hexColumn += ' ' + QByteArray::number(byte, 16).rightJustified(2, '0');
            characters += shownAs(byte);
        }
        QCOMPARE(rest.left(48), hexColumn + spaces(48 - hexColumn.size()));
        QCOMPARE(rest.mid(48, 3), QByteArray(" < "));
        QCOMPARE(rest.mid(51, 16), characters + spaces(16 - count));
        QCOMPARE(rest.right(2), QByteArray(" >"));
    }
}

void TestHexDump::everyByteValueInCharacterColumn()
{
    QByteArray bytes(256, '\0');
    for (int i = 0; i < 256; ++i)
        bytes[i] = char(i);
    const QList<QByteArray> lines = HexDump(bytes.constData(), 256).split('\n').mid(2);
    QCOMPARE(lines.size(), 16);

    QByteArray shown;
    for (const QByteArray &line : lines)
        shown += line.mid(7 + 48 + 3, 16);
    for (int i = 0; i < 256; ++i)
        QVERIFY2(shown[i] == shownAs(uchar(i)), qPrintable(QString::number(i, 16)));
    QCOMPARE(shown.mid(0x20, 0x60), bytes.mid(0x20, 0x60));
    QCOMPARE(shown.count('.'), 0x20 + 0x80 + 1);
}

void TestHexDump::fiveDigitOffsets()
{
    const QByteArray bytes = patternBytes(65536 + 20);
    const QByteArray text = HexDump(bytes.constData(), bytes.size());
    QVERIFY(text.contains("\n0xfff0: "));
    QVERIFY(text.contains("\n0x10000: "));
    QVERIFY(text.contains("\n0x10010: "));
    QVERIFY(!text.contains("\n0x0fff0"));
}

QTEST_GUILESS_MAIN(TestHexDump)
#include "test_hex_dump.moc"
