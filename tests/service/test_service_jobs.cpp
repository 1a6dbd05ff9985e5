#include "service/external_flash_jobs.h"
#include "service/hex_input.h"

#include <QTest>

class TestServiceJobs : public QObject
{
    Q_OBJECT

private slots:
    void hexInput_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<uint>("value");
        QTest::newRow("plain digits") << "8000100" << true << 0x8000100u;
        QTest::newRow("0x prefix") << "0x8000100" << true << 0x8000100u;
        QTest::newRow("0X prefix") << "0X1c7" << true << 0x1C7u;
        QTest::newRow("upper and lower case") << "aBcD" << true << 0xABCDu;
        QTest::newRow("surrounding spaces") << "  0x100 " << true << 0x100u;
        QTest::newRow("largest") << "0xFFFFFFFF" << true << 0xFFFFFFFFu;
        QTest::newRow("zero") << "0" << true << 0u;
        QTest::newRow("letters") << "xyz" << false << 0u;
        QTest::newRow("trailing non-digit") << "12G" << false << 0u;
        QTest::newRow("above 32 bits") << "0x100000000" << false << 0u;
        QTest::newRow("empty") << "" << false << 0u;
        QTest::newRow("prefix alone") << "0x" << false << 0u;
        QTest::newRow("inner space") << "80 00" << false << 0u;
    }
    void hexInput()
    {
        QFETCH(QString, text);
        QFETCH(bool, valid);
        QFETCH(uint, value);
        quint32 parsed = 0xDEADBEEF;
        QCOMPARE(parseHexInput(text, parsed), valid);
        QCOMPARE(parsed, value);
    }

    void hexOffer_data()
    {
        QTest::addColumn<uint>("value");
        QTest::addColumn<QString>("offer");
        QTest::newRow("flash base") << 0x08000000u << "0x8000000";
        QTest::newRow("zero") << 0u << "0x0";
        QTest::newRow("lower case") << 0x1C7u << "0x1c7";
        QTest::newRow("largest") << 0xFFFFFFFFu << "0xffffffff";
    }
    void hexOffer()
    {
        QFETCH(uint, value);
        QFETCH(QString, offer);
        QCOMPARE(hexInputOffer(value), offer);
        quint32 back = 0;
        QVERIFY(parseHexInput(offer, back));
        QCOMPARE(back, value);
    }

    void binLength_data()
    {
        QTest::addColumn<qint64>("length");
        QTest::addColumn<bool>("acceptable");
        QTest::newRow("empty") << qint64(0) << false;
        QTest::newRow("one byte") << qint64(1) << false;
        QTest::newRow("one word") << qint64(4) << true;
        QTest::newRow("six") << qint64(6) << false;
        QTest::newRow("4096") << qint64(4096) << true;
        QTest::newRow("4097") << qint64(4097) << false;
    }
    void binLength()
    {
        QFETCH(qint64, length);
        QFETCH(bool, acceptable);
        QCOMPARE(binLengthAcceptable(length), acceptable);
    }
};

QTEST_GUILESS_MAIN(TestServiceJobs)
#include "test_service_jobs.moc"
