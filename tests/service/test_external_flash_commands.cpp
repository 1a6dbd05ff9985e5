#include "choose_file.h"
#include "dialog_script.h"
#include "image/word_scrambler.h"
#include "service/remembered_inputs.h"
#include "service_test_support.h"
#include "trace_capture.h"

#include <QFile>
#include <QProgressBar>
#include <QTest>

using kr960sim::Fault;
using kr960sim::FaultRule;

namespace
{
QByteArray encoded(QByteArray bytes)
{
    EncodeWords(bytes.data(), int(bytes.size()));
    return bytes;
}

QByteArray concatenated(const std::vector<kr960sim::RequestRecord> &records)
{
    QByteArray bytes;
    for (const auto &record : records)
        bytes += toBytes(record.data);
    return bytes;
}
} // namespace

class TestExternalFlashCommands : public QObject, private ServiceWorkbench
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(plugInDevice()); }
    void init()
    {
        device->clearFaults();
        device->setExternalFlash(0, std::vector<uint8_t>(0x2000, 0xFF));
        openFreshWindow();
    }
    void cleanup() { window.reset(); }

    void binFileRoundTrip()
    {
        const QByteArray contents = distinctBytes(4096, 7);
        const QString file = binFile("firmware.bin", contents);
        DialogScript script;
        script.then(chooseFile(file)).acknowledge();
        window->slotpushButtonWriteExtFlashBin(false);
        QVERIFY(script.done());

        QCOMPARE(script.seen()[0].title, "Open File");
        QCOMPARE(script.seen()[0].offered["filters"].toStringList(), QStringList{"Bin (*.bin)"});
        const SeenDialog &box = script.seen()[1];
        QCOMPARE(box.title, "Info");
        QCOMPARE(box.label, "Write OK");
        QCOMPARE(box.offered["icon"].toInt(), int(QMessageBox::Information));

        const auto writes = vendorRequests(*device, 6);
        QCOMPARE(writes.size(), size_t(16));
        QCOMPARE(writes.front().value, 0);
        QCOMPARE(writes.back().value, 0x0F00);
        QCOMPARE(concatenated(writes), encoded(contents));
        QCOMPARE(vendorRequests(*device, 5).size(), size_t(8));
        QCOMPARE(toBytes(device->externalFlash(0, 4096)), encoded(contents));
    }

    void binFileOfWrongLengthIsRefused_data()
    {
        QTest::addColumn<int>("size");
        QTest::newRow("six bytes") << 6;
        QTest::newRow("empty") << 0;
        QTest::newRow("one word and one byte") << 5;
    }
    void binFileOfWrongLengthIsRefused()
    {
        QFETCH(int, size);
        const QString file = binFile("odd.bin", distinctBytes(size));
        TraceCapture trace;
        DialogScript script;
        script.then(chooseFile(file)).acknowledge();
        window->slotpushButtonWriteExtFlashBin(false);
        QVERIFY(script.done());

        const SeenDialog &box = script.seen()[1];
        QCOMPARE(box.title, "Length error");
        QCOMPARE(box.label, "Length should be aligned to 4");
        QCOMPARE(box.offered["icon"].toInt(), int(QMessageBox::Critical));
        QVERIFY(trace.contains(QString("length error %1").arg(size)));
        QVERIFY(device->requests().empty());
    }

    // The flash changes after the last block went out and before the read-back starts.
    void changedReadBackIsReported()
    {
        const QByteArray contents = distinctBytes(1024, 3);
        auto *writeBar = window->findChild<QProgressBar *>("progressBarExtFlashWr");
        QVERIFY(writeBar);
        auto sim = device;
        connect(writeBar, &QProgressBar::valueChanged, this, [sim](int percent) {
            if (percent == 100)
                sim->setExternalFlash(700, {0x00});
        });
        DialogScript script;
        script.then(chooseFile(binFile("firmware.bin", contents))).acknowledge();
        window->slotpushButtonWriteExtFlashBin(false);
        QVERIFY(script.done());
        QCOMPARE(script.seen()[1].title, "Error");
        QCOMPARE(script.seen()[1].label, "memcmp");
        QCOMPARE(script.seen()[1].offered["icon"].toInt(), int(QMessageBox::Critical));
    }

    void transferThatGivesUpIsReported_data()
    {
        QTest::addColumn<int>("request");
        QTest::addColumn<QString>("message");
        QTest::addColumn<int>("reads");
        QTest::newRow("write") << 6 << "WriteExternalFlashToAddress" << 0;
        QTest::newRow("read-back") << 5 << "ReadExternalFlashFromAddress" << 101;
    }
    void transferThatGivesUpIsReported()
    {
        QFETCH(int, request);
        QFETCH(QString, message);
        QFETCH(int, reads);
        device->addFault(FaultRule{request, 1, 0, Fault::ShortReply});
        DialogScript script;
        script.then(chooseFile(binFile("firmware.bin", distinctBytes(512)))).acknowledge();
        window->slotpushButtonWriteExtFlashBin(false);
        QVERIFY(script.done());
        QCOMPARE(script.seen()[1].title, "Error");
        QCOMPARE(script.seen()[1].label, message);
        QCOMPARE(int(vendorRequests(*device, 5).size()), reads);
    }

    void retriedBlocksStillVerify()
    {
        device->addFault(FaultRule{6, 2, 3, Fault::Stall});
        device->addFault(FaultRule{5, 1, 2, Fault::ShortReply});
        const QByteArray contents = distinctBytes(2048, 11);
        DialogScript script;
        script.then(chooseFile(binFile("firmware.bin", contents))).acknowledge();
        window->slotpushButtonWriteExtFlashBin(false);
        QVERIFY(script.done());
        QCOMPARE(script.seen()[1].label, "Write OK");
        QCOMPARE(toBytes(device->externalFlash(0, 2048)), encoded(contents));
    }

    void fillOfThreeBytesGoesUnscrambled()
    {
        DialogScript script;
        script.answerText("0x100").answerInt(3).answerText("0xAB");
        window->slotpushButtonWriteExternalFlash(false);
        QVERIFY(script.done());

        QCOMPARE(script.seen().size(), 3);
        for (const SeenDialog &dialog : script.seen())
            QCOMPARE(dialog.title, "Write To External Flash Kr960");
        QCOMPARE(script.seen()[0].label, "Address (hex)");
        QCOMPARE(script.seen()[0].offered["value"].toString(), "0x0");
        QCOMPARE(script.seen()[1].label, "Length (dec)");
        QCOMPARE(script.seen()[1].offered["value"].toInt(), 1);
        QCOMPARE(script.seen()[1].offered["maximum"].toInt(), 1048576);
        QCOMPARE(script.seen()[2].label, "Data(hex)");
        QCOMPARE(script.seen()[2].offered["value"].toString(), "0x1");

        const auto writes = vendorRequests(*device, 6);
        QCOMPARE(writes.size(), size_t(1));
        QCOMPARE(writes[0].value, 0x0100);
        QCOMPARE(writes[0].index, 0);
        QCOMPARE(toBytes(writes[0].data), QByteArray(3, char(0xAB)));

        const QStringList log = logText(*window).split('\n');
        QCOMPARE(log.at(0), "lenght:        3");
        QCOMPARE(log.at(1), "address: 0x     100");
        const QList<DumpLine> dump = dumpLines(logText(*window));
        QCOMPARE(dump.size(), 1);
        QCOMPARE(dump[0].bytes, QByteArray(3, char(0xAB)));
    }

    void fillUsesTheLowByteAndRemembers()
    {
        {
            DialogScript script;
            script.answerText("800000").answerInt(64).answerText("0x1C7");
            window->slotpushButtonWriteExternalFlash(false);
            QVERIFY(script.done());
        }

        const QByteArray sent = concatenated(vendorRequests(*device, 6));
        QCOMPARE(sent, encoded(QByteArray(64, char(0xC7))));
        QCOMPARE(dumpBytes(logText(*window)), sent);
        QCOMPARE(logText(*window).split('\n').at(1), "address: 0x  800000");
        QCOMPARE(toBytes(device->externalFlash(0x800000, 64)), sent);

        DialogScript next;
        next.acceptDefault().acceptDefault().cancel();
        window->slotpushButtonWriteExternalFlash(false);
        QVERIFY(next.done());
        QCOMPARE(next.seen()[0].offered["value"].toString(), "0x800000");
        QCOMPARE(next.seen()[1].offered["value"].toInt(), 64);
        QCOMPARE(next.seen()[2].offered["value"].toString(), "0x1c7");
    }

    void badTextIsRefused_data()
    {
        QTest::addColumn<bool>("write");
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("data");
        QTest::newRow("write, address 12G") << true << "12G"
                                            << "0xAB";
        QTest::newRow("write, data zz") << true << "0x10"
                                        << "zz";
        QTest::newRow("read, address 12G") << false << "12G"
                                           << "";
        QTest::newRow("read, above 32 bits") << false << "1FFFFFFFF"
                                             << "";
    }
    void badTextIsRefused()
    {
        QFETCH(bool, write);
        QFETCH(QString, address);
        QFETCH(QString, data);
        setLogText(*window, "before");
        {
            DialogScript script;
            script.answerText(address).answerInt(8);
            if (write)
                script.answerText(data);
            script.acknowledge();
            externalFlashCommand(write).runOn(*window);
            QVERIFY(script.done());
            QCOMPARE(script.seen().last().title, "error");
            QCOMPARE(script.seen().last().label, "Conversion error");
            QCOMPARE(script.seen().last().offered["icon"].toInt(), int(QMessageBox::Warning));
            QVERIFY(device->requests().empty());
            QCOMPARE(logText(*window), "before");
        }

        const bool badAddress = address.contains('G') || address.size() > 8;
        DialogScript next;
        next.cancel();
        externalFlashCommand(write).runOn(*window);
        QVERIFY(next.done());
        QCOMPARE(next.seen()[0].offered["value"].toString(), badAddress ? "0x0" : address);
    }

    void readShowsDecodedContents()
    {
        const QByteArray contents = distinctBytes(512, 5);
        device->setExternalFlash(0, toVector(encoded(contents)));
        DialogScript script;
        script.acceptDefault().acceptDefault();
        window->slotpushButtonReadExternalFlash(false);
        QVERIFY(script.done());

        QCOMPARE(script.seen()[0].title, "Read External Flash From Kr960");
        QCOMPARE(script.seen()[0].offered["value"].toString(), "0x0");
        QCOMPARE(script.seen()[1].offered["value"].toInt(), 512);
        QCOMPARE(script.seen()[1].offered["minimum"].toInt(), 1);
        QCOMPARE(script.seen()[1].offered["maximum"].toInt(), 1048576);
        const auto reads = vendorRequests(*device, 5);
        QCOMPARE(reads.size(), size_t(1));
        QCOMPARE(reads[0].length, 512);
        QCOMPARE(fullDumpLines(logText(*window)), 32);
        QCOMPARE(dumpBytes(logText(*window)), contents);
    }

    void readAcrossTheWordAddressSplit()
    {
        const QByteArray contents = distinctBytes(600, 9);
        device->setExternalFlash(0x30100, toVector(encoded(contents)));
        DialogScript script;
        script.answerText(" 0x30100 ").answerInt(600);
        window->slotpushButtonReadExternalFlash(false);
        QVERIFY(script.done());
        const auto reads = vendorRequests(*device, 5);
        QCOMPARE(reads.size(), size_t(2));
        QCOMPARE(reads[0].value, 0x0100);
        QCOMPARE(reads[0].index, 0x0003);
        QCOMPARE(reads[1].value, 0x0300);
        QCOMPARE(dumpBytes(logText(*window)), contents);
        QCOMPARE(externalFlashInputs.readAddress, 0x30100u);
        QCOMPARE(externalFlashInputs.readLength, 600);
    }

    void inputsAreSeparateFromTheMemoryCommands()
    {
        memoryCommandInputs.lastReadAddress = 0x08001234;
        memoryCommandInputs.lastReadLength = 99;
        DialogScript script;
        script.acceptDefault().cancel();
        window->slotpushButtonReadExternalFlash(false);
        QVERIFY(script.done());
        QCOMPARE(script.seen()[0].offered["value"].toString(), "0x0");
        QCOMPARE(script.seen()[1].offered["value"].toInt(), 512);
    }

private:
    QString binFile(const QString &name, const QByteArray &contents)
    {
        const QString path = workDir.filePath(name);
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(contents) != contents.size())
            return QString();
        return path;
    }
};

QTEST_MAIN(TestExternalFlashCommands)
#include "test_external_flash_commands.moc"
