// The service commands of the window on a simulated KR960: what each dialog offers and
// remembers, what reaches the device, what the log and boxes say, and what bad input does.

#include "dialog_script.h"
#include "trace_capture.h"
#include "workbench.h"

using kr960sim::Fault;

class TestServiceCommands : public QObject, public Workbench
{
    Q_OBJECT

    QStringList run(const QString &slot, const QStringList &answers)
    {
        DialogScript script(answers);
        QMetaObject::invokeMethod(window.data(), qPrintable("slotpushButton" + slot),
                                  Q_ARG(bool, false));
        return script.seen();
    }

private slots:
    void initTestCase() { QVERIFY2(plugIn(), "needs umockdev's preload"); }
    void init() { freshWindow(); }

    // Each command's dialogs the first time, then after answers: what the next run offers.
    // Dialogs and answers are ';'-separated; %1 stands for the command's title.
    void dialogsOfferAndRemember_data()
    {
        QTest::addColumn<QString>("slot");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("first");
        QTest::addColumn<QString>("answers");
        QTest::addColumn<QString>("second");
        const QString length = "int|%1|Length (dec)|";
        const auto row = [](const char *name) -> QTestData & { return QTest::newRow(name); };
        // clang-format off
        row("Read") << "Read" << "Read From Kr960" << "text|%1|Address (hex)|0x8000000;" + length + "256|1|1048576" << "text:8001000;int:1048576" << "text|%1|Address (hex)|0x8001000;" + length + "1048576|1|1048576";
        row("WritePage") << "WritePage" << "Fill pattern" << "int|%1|Number (dec)|0|0|255" << "int:255" << "int|%1|Number (dec)|255|0|255";
        row("WriteExternalFlash") << "WriteExternalFlash" << "Write To External Flash Kr960" << "text|%1|Address (hex)|0x0;" + length + "1|1|1048576;text|%1|Data(hex)|0x1"
                                  << "text:0X3fc;int:300;text:a5" << "text|%1|Address (hex)|0x3fc;" + length + "300|1|1048576;text|%1|Data(hex)|0xa5";
        row("ReadExternalFlash") << "ReadExternalFlash" << "Read External Flash From Kr960" << "text|%1|Address (hex)|0x0;" + length + "512|1|1048576" << "text:0x30100;int:1" << "text|%1|Address (hex)|0x30100;" + length + "1|1|1048576";
        row("WriteExtFlashBin") << "WriteExtFlashBin" << "Open File" << "file|%1||Bin (*.bin)" << "cancel" << "file|%1||Bin (*.bin)";
        // A bad address is refused with a box and remembered as 0; the length is kept.
        row("Read, bad address") << "Read" << "Read From Kr960" << "text|%1|Address (hex)|0x8000000;" + length + "256|1|1048576;message|error|Conversion error" << "text:0x100000000;int:77;ok" << "text|%1|Address (hex)|0x0;" + length + "77|1|1048576";
        // clang-format on
    }
    void dialogsOfferAndRemember()
    {
        QFETCH(QString, slot);
        QFETCH(QString, title);
        QFETCH(QString, first);
        QFETCH(QString, answers);
        QFETCH(QString, second);
        QCOMPARE(run(slot, answers.split(';')), first.arg(title).split(';'));
        // Taking what is offered, the last dialog cancelled: the command sends nothing more.
        QStringList takeOffers(int(second.count(';')), "ok");
        QCOMPARE(run(slot, takeOffers << "cancel"), second.arg(title).split(';'));
    }

    // Read shows device memory decoded; Write sends the 512-byte pattern; WritePage fills the
    // page at 0x08005000; WriteExternalFlash writes its fill scrambled (ReadExternalFlash: below).
    void commandsReachTheDevice()
    {
        const QByteArray memory = distinctBytes(3000, 1);
        device->setFlash(0x08001000, toVector(memory));
        run("Read", {"text:0x8001000", "int:3000"});
        QCOMPARE(dumpBytes(logOf(*window)->toPlainText()), memory);

        run("Write", {});
        QByteArray pattern;
        for (int i = 0; i < 512; ++i)
            pattern += char(i);
        QCOMPARE(toBytes(vendorRequests(*device, 2).back().data), pattern);

        run("WritePage", {"int:90"});
        QCOMPARE(flashOf(*device, 0x08005000, 2048), QByteArray(2048, char(90)));
        QCOMPARE(flashOf(*device, 0x08005800, 1), QByteArray(1, char(0xFF)));

        run("WriteExternalFlash", {"text:0xfff0", "int:40", "text:0x1a5"});
        QCOMPARE(toBytes(device->externalFlash(0xfff0, 40)), scrambled(QByteArray(40, char(0xa5))));
        QCOMPARE(dumpBytes(logOf(*window)->toPlainText()), scrambled(QByteArray(40, char(0xa5))));
    }

    // ReadExternalFlash shows the stored bytes unscrambled (an address typed without 0x); bytes a
    // failed read did not deliver show as 00, and the log says from where.
    void externalFlashReadShowsWhatDidNotArrive_data()
    {
        QTest::addColumn<int>("fromRequest"); // the first read that comes back short for ever
        QTest::addColumn<int>("received");
        QTest::newRow("all arrives") << 0 << 1100;
        QTest::newRow("second chunk lost") << 2 << 512;
        QTest::newRow("nothing arrives") << 1 << 0;
    }
    void externalFlashReadShowsWhatDidNotArrive()
    {
        QFETCH(int, fromRequest);
        QFETCH(int, received);
        const QByteArray stored = distinctBytes(1100, 1);
        device->setExternalFlash(0x2000, toVector(scrambled(stored)));
        if (fromRequest)
            device->addFault({5, fromRequest, 0, Fault::ShortReply});
        run("ReadExternalFlash", {"text:2000", "int:1100"});
        const QStringList lines = logLines(*window);
        QCOMPARE(dumpBytes(lines.join('\n')),
                 stored.left(received) + QByteArray(1100 - received, '\0'));
        const QString failure = QString("Read failed: bytes from offset 0x%1 on were not "
                                        "received (shown as 00)")
                                    .arg(received, 4, 16, QChar('0'));
        QCOMPARE(lines.last() == failure, received < 1100);
    }

    // Write a .bin file to external flash and verify it: each ending has its box.
    void binFileWrittenAndVerified_data()
    {
        QTest::addColumn<int>("size");
        QTest::addColumn<int>("faultRequest"); // fails for ever; 0: none
        QTest::addColumn<bool>("changeAfterWrite");
        QTest::addColumn<QString>("box");
        QTest::newRow("ok") << 4096 << 0 << false << "message|Info|Write OK";
        QTest::newRow("unaligned")
            << 1001 << 0 << false << "message|Length error|Length should be aligned to 4";
        QTest::newRow("empty") << 0 << 0 << false
                               << "message|Length error|Length should be aligned to 4";
        QTest::newRow("larger than the flash")
            << (16 << 20) + 4 << 0 << false
            << "message|Length error|The file is larger than the external flash (16 MiB)";
        QTest::newRow("write fails")
            << 512 << 6 << false << "message|Error|WriteExternalFlashToAddress";
        QTest::newRow("read fails")
            << 512 << 5 << false << "message|Error|ReadExternalFlashFromAddress";
        QTest::newRow("flash differs") << 1024 << 0 << true << "message|Error|memcmp";
    }
    void binFileWrittenAndVerified()
    {
        QFETCH(int, size);
        QFETCH(int, faultRequest);
        QFETCH(bool, changeAfterWrite);
        QFETCH(QString, box);
        const QByteArray contents = distinctBytes(size, 5);
        if (faultRequest)
            device->addFault({faultRequest, 1, 0, Fault::Stall});
        auto sim = device;
        if (changeAfterWrite)
            connect(progressBar(*window, "progressBarExtFlashWr"), &QProgressBar::valueChanged,
                    this, [sim](int percent) {
                        if (percent == 100)
                            sim->setExternalFlash(700, {0x00});
                    });
        QVERIFY(writeFile(workDir.filePath("data.bin"), contents));
        const QStringList seen =
            run("WriteExtFlashBin", {"file:" + workDir.filePath("data.bin"), "ok"});
        QCOMPARE(seen.value(1), box);
        if (box.contains("Length error"))
            QVERIFY(device->requests().empty());
        if (box.endsWith("Write OK"))
            QCOMPARE(toBytes(device->externalFlash(0, uint(size))), scrambled(contents));
    }
};

QTEST_MAIN(TestServiceCommands)
#include "test_service_commands.moc"
