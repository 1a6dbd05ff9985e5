// The hex dump text against lines written out by hand.

#include "image/hex_dump.h"

#include <QtTest>

class TestHexDump : public QObject
{
    Q_OBJECT

private slots:
    void dump_data();
    void dump();
};

void TestHexDump::dump_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("line"); // which line to compare, counted from 0 after the header
    QTest::addColumn<QByteArray>("text");
    const QByteArray ab("ABCDEFGHIJKLMNOP\x00\x7f\x80\x20", 20);
    QTest::newRow("nothing") << QByteArray() << -1 << QByteArray();
    QTest::newRow("a full line, no short line")
        << ab.left(16) << 0
        << QByteArray("0x0000: 41 42 43 44 45 46 47 48 49 4a 4b 4c 4d 4e 4f 50"
                      " < ABCDEFGHIJKLMNOP >");
    QTest::newRow("short line") << ab << 1
                                << "0x0010: 00 7f 80 20" + QByteArray(36, ' ') + " < .\x7f. " +
                                       QByteArray(12, ' ') + " >";
    QByteArray big(0x10010, '\xff');
    QTest::newRow("five-digit offsets") << big << 0x1000
                                        << "0x10000:" + QByteArray(16, ' ').replace(" ", " ff") +
                                               " < " + QByteArray(16, '.') + " >";
}

void TestHexDump::dump()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, line);
    QFETCH(QByteArray, text);
    const QByteArray dump = HexDump(bytes.constData(), int(bytes.size()));
    const QList<QByteArray> lines = dump.split('\n');
    QCOMPARE(lines.size(), 2 + (bytes.size() + 15) / 16);
    QCOMPARE(lines[1],
             QString::asprintf(" src address: 0x%08llx", qulonglong(bytes.constData())).toLatin1());
    if (line >= 0)
        QCOMPARE(lines[2 + line], text);
}

QTEST_GUILESS_MAIN(TestHexDump)
#include "test_hex_dump.moc"
