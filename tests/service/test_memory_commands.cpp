#include "dialog_script.h"
#include "image/word_scrambler.h"
#include "service/remembered_inputs.h"
#include "service_test_support.h"
#include "trace_capture.h"

#include <QTest>

using kr960sim::Fault;
using kr960sim::FaultRule;

class TestMemoryCommands : public QObject, private ServiceWorkbench
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(plugInDevice());
        // Plain contents the reads must show, decoded, chunk by chunk.
        device->setFlash(0x08000000, toVector(distinctBytes(0x4000)));
    }
    void init()
    {
        device->clearFaults();
        openFreshWindow();
    }
    void cleanup()
    {
        window.reset();
        if (!bus.deviceNumber(device))
            bus.replug(device);
    }

    void firstReadOffersDefaultsAndDumpsOneRequest()
    {
        DialogScript script;
        script.acceptDefault().acceptDefault();
        window->slotpushButtonRead(false);
        QVERIFY(script.done());

        QCOMPARE(script.seen().size(), 2);
        QCOMPARE(script.seen()[0].kind, "text");
        QCOMPARE(script.seen()[0].title, "Read From Kr960");
        QCOMPARE(script.seen()[0].label, "Address (hex)");
        QCOMPARE(script.seen()[0].offered["value"].toString(), "0x8000000");
        QCOMPARE(script.seen()[1].kind, "int");
        QCOMPARE(script.seen()[1].label, "Length (dec)");
        QCOMPARE(script.seen()[1].offered["value"].toInt(), 256);

        const auto reads = vendorRequests(*device, 1);
        QCOMPARE(reads.size(), size_t(1));
        QCOMPARE(reads[0].value, 0x0000);
        QCOMPARE(reads[0].index, 0x0800);
        QCOMPARE(reads[0].length, 256);
        const QString log = logText(*window);
        QCOMPARE(fullDumpLines(log), 16);
        QCOMPARE(dumpLines(log).size(), 16);
        QCOMPARE(dumpBytes(log), distinctBytes(256));
    }

    void longReadGoesInPagesAndEndsWithAShortLine()
    {
        DialogScript script;
        script.acceptDefault().answerInt(3000);
        window->slotpushButtonRead(false);
        QVERIFY(script.done());

        const auto reads = vendorRequests(*device, 1);
        QCOMPARE(reads.size(), size_t(2));
        QCOMPARE(reads[0].length, 2048);
        QCOMPARE(reads[1].length, 952);
        QCOMPARE(reads[1].value, 0x0800);
        QCOMPARE(reads[1].index, 0x0800);
        const QString log = logText(*window);
        QCOMPARE(fullDumpLines(log), 187);
        QCOMPARE(dumpLines(log).size(), 188);
        QCOMPARE(dumpLines(log).last().offset, 2992u);
        QCOMPARE(dumpLines(log).last().bytes.size(), 8);
        QCOMPARE(dumpBytes(log), distinctBytes(3000));
    }

    void addressTextForms_data()
    {
        QTest::addColumn<QString>("text");
        QTest::newRow("without prefix") << "8000100";
        QTest::newRow("with prefix") << "0x8000100";
        QTest::newRow("upper case") << "0X8000100";
    }
    void addressTextForms()
    {
        QFETCH(QString, text);
        DialogScript script;
        script.answerText(text).answerInt(16);
        window->slotpushButtonRead(false);
        QVERIFY(script.done());

        const auto reads = vendorRequests(*device, 1);
        QCOMPARE(reads.size(), size_t(1));
        QCOMPARE(reads[0].value, 0x0100);
        QCOMPARE(reads[0].index, 0x0800);
        QCOMPARE(dumpBytes(logText(*window)), distinctBytes(0x110).mid(0x100));
        QCOMPARE(memoryCommandInputs.lastReadAddress, 0x08000100u);
    }

    void badAddressIsRefusedAndForgotten_data()
    {
        QTest::addColumn<QString>("text");
        QTest::newRow("letters") << "xyz";
        QTest::newRow("above 32 bits") << "0x100000000";
        QTest::newRow("empty") << "";
    }
    void badAddressIsRefusedAndForgotten()
    {
        QFETCH(QString, text);
        setLogText(*window, "before");
        {
            DialogScript script;
            script.answerText(text).answerInt(77).acknowledge();
            window->slotpushButtonRead(false);
            QVERIFY(script.done());
            QCOMPARE(script.seen()[2].kind, "message");
            QCOMPARE(script.seen()[2].title, "error");
            QCOMPARE(script.seen()[2].label, "Conversion error");
            QCOMPARE(script.seen()[2].offered["icon"].toInt(), int(QMessageBox::Warning));
            QVERIFY(vendorRequests(*device, 1).empty());
            QCOMPARE(logText(*window), "before");
        }

        {
            DialogScript next;
            next.cancel();
            window->slotpushButtonRead(false);
            QVERIFY(next.done());
            QCOMPARE(next.seen()[0].offered["value"].toString(), "0x0");
        }

        DialogScript again;
        again.answerText("0x8000000").cancel();
        window->slotpushButtonRead(false);
        QVERIFY(again.done());
        QCOMPARE(again.seen()[1].offered["value"].toInt(), 77);
    }

    void cancelLeavesEverythingAsItWas_data()
    {
        QTest::addColumn<bool>("atAddress");
        QTest::newRow("address") << true;
        QTest::newRow("length") << false;
    }
    void cancelLeavesEverythingAsItWas()
    {
        QFETCH(bool, atAddress);
        setLogText(*window, "before");
        DialogScript script;
        if (atAddress)
            script.cancel();
        else
            script.answerText("0x8001000").then([](QWidget *w) {
                auto *dialog = qobject_cast<QInputDialog *>(w);
                dialog->setIntValue(999);
                dialog->reject();
            });
        window->slotpushButtonRead(false);
        QVERIFY(script.done());
        QCOMPARE(memoryCommandInputs.lastReadAddress, 0x08000000u);
        QCOMPARE(memoryCommandInputs.lastReadLength, 256);
        QVERIFY(device->requests().empty());
        QCOMPARE(logText(*window), "before");
    }

    void lengthStaysWithinItsRange_data()
    {
        QTest::addColumn<int>("typed");
        QTest::addColumn<int>("sent");
        QTest::newRow("zero") << 0 << 1;
        QTest::newRow("negative") << -5 << 1;
    }
    void lengthStaysWithinItsRange()
    {
        QFETCH(int, typed);
        QFETCH(int, sent);
        DialogScript script;
        script.acceptDefault().answerInt(typed);
        window->slotpushButtonRead(false);
        QVERIFY(script.done());
        QCOMPARE(script.seen()[1].offered["minimum"].toInt(), 1);
        QCOMPARE(script.seen()[1].offered["maximum"].toInt(), 1048576);
        const auto reads = vendorRequests(*device, 1);
        QCOMPARE(reads.size(), size_t(1));
        QCOMPARE(int(reads[0].length), sent);
    }

    // The dump always has the requested length: what did not arrive shows as the fill byte.
    void readWithoutDeviceDumpsTheRequestedLength()
    {
        bus.unplug(device);
        DialogScript script;
        script.acceptDefault().answerInt(100);
        window->slotpushButtonRead(false);
        QVERIFY(script.done());
        QCOMPARE(script.seen().size(), 2);
        const QString log = logText(*window);
        QCOMPARE(fullDumpLines(log), 6);
        QCOMPARE(dumpLines(log).last().bytes.size(), 4);
        QCOMPARE(dumpBytes(log), QByteArray(100, '\0'));
    }

    void failedSecondChunkKeepsTheFirst()
    {
        device->addFault(FaultRule{1, 2, 1, Fault::Stall});
        DialogScript script;
        script.acceptDefault().answerInt(4096);
        window->slotpushButtonRead(false);
        QVERIFY(script.done());
        const QByteArray shown = dumpBytes(logText(*window));
        QCOMPARE(shown.size(), 4096);
        QCOMPARE(shown.left(2048), distinctBytes(2048));
        QCOMPARE(shown.mid(2048), QByteArray(2048, '\0'));
    }

    void writeSendsThePlainTestPattern()
    {
        setLogText(*window, "untouched");
        TraceCapture trace;
        window->slotpushButtonWrite(false);

        const auto writes = vendorRequests(*device, 2);
        QCOMPARE(writes.size(), size_t(1));
        QCOMPARE(writes[0].requestType, 0x40);
        QCOMPARE(writes[0].value, 0);
        QCOMPARE(writes[0].index, 0);
        const QByteArray sent = toBytes(writes[0].data);
        QCOMPARE(sent.size(), 512);
        QCOMPARE(quint8(sent[255]), 0xFF);
        QCOMPARE(quint8(sent[256]), 0x00);
        QCOMPARE(quint8(sent[511]), 0xFF);
        for (int i = 0; i < 512; ++i)
            QCOMPARE(quint8(sent[i]), quint8(i));
        QCOMPARE(logText(*window), "untouched");

        const QStringList lines = trace.lines();
        QCOMPARE(lines.first(), "KR960_Bootloader::slotpushButtonWrite(bool t)");
        const QString dump = lines.last();
        QVERIFY2(dump.startsWith("\"\n src address: 0x") && dump.endsWith(" >\""),
                 qPrintable(dump));
        QCOMPARE(fullDumpLines(dump), 32);
        QCOMPARE(dumpBytes(dump), sent);
    }

    void failedWriteTracesNoDump()
    {
        device->addFault(FaultRule{2, 1, 1, Fault::Stall});
        TraceCapture trace;
        window->slotpushButtonWrite(false);
        for (const QString &line : trace.lines())
            QVERIFY2(!line.contains("src address"), qPrintable(line));
    }

    void writePageFillsThePageScrambled()
    {
        TraceCapture trace;
        DialogScript script;
        script.answerInt(165);
        window->slotpushButtonWritePage(false);
        QVERIFY(script.done());
        QCOMPARE(script.seen()[0].title, "Fill pattern");
        QCOMPARE(script.seen()[0].label, "Number (dec)");
        QCOMPARE(script.seen()[0].offered["value"].toInt(), 0);
        QCOMPARE(script.seen()[0].offered["minimum"].toInt(), 0);
        QCOMPARE(script.seen()[0].offered["maximum"].toInt(), 255);

        const auto pages = vendorRequests(*device, 3);
        QCOMPARE(pages.size(), size_t(1));
        QCOMPARE(pages[0].value, 0x5000);
        QCOMPARE(pages[0].index, 0x0800);
        QByteArray expected(2048, char(0xA5));
        EncodeWords(expected.data(), int(expected.size()));
        QCOMPARE(toBytes(pages[0].data), expected);
        QCOMPARE(toBytes(device->flash(0x08005000, 2048)), QByteArray(2048, char(0xA5)));
        QVERIFY(trace.contains("page write OK"));
        QCOMPARE(memoryCommandInputs.lastFillPattern, 165);
    }

    void writePageReportsAFailedRequest()
    {
        device->addFault(FaultRule{3, 1, 1, Fault::Stall});
        TraceCapture trace;
        DialogScript script;
        script.answerInt(1);
        window->slotpushButtonWritePage(false);
        QVERIFY(script.done());
        QVERIFY(trace.contains("page write ERROR"));
        QVERIFY(!trace.contains("page write OK"));
    }

    void cancelledWritePageSendsNothing()
    {
        memoryCommandInputs.lastFillPattern = 17;
        setLogText(*window, "untouched");
        DialogScript script;
        script.cancel();
        window->slotpushButtonWritePage(false);
        QVERIFY(script.done());
        QCOMPARE(script.seen()[0].offered["value"].toInt(), 17);
        QCOMPARE(memoryCommandInputs.lastFillPattern, 17);
        QVERIFY(device->requests().empty());
        QCOMPARE(logText(*window), "untouched");
    }
};

QTEST_MAIN(TestMemoryCommands)
#include "test_memory_commands.moc"
