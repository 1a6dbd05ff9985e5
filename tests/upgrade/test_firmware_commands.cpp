// The window's firmware commands with their real dialogs: CreateBootBin's offers, image files, log
// and message box for good runs and every way a run stops; CreateUpg too, then Change Firmware.

#include "dialog_script.h"
#include "workbench.h"

using namespace fixtures;

namespace
{
// No zero bytes but the brand word, so the zero fill and a stray serial byte show.
QByteArray bootloader(int brandByte = -1)
{
    QByteArray image(0x4000, '\0');
    for (int i = 0; i < image.size(); ++i)
        image[i] = char(i == 0x3FD0 || i == 0x3FD1 ? i == brandByte : 1 + (i * 7) % 251);
    return image;
}

// Records of 17 bytes with CR LF, each overlapping the next; the last reach past the area.
QByteArray hexOf(const QByteArray &image, const QByteArray &extra = {})
{
    QByteArray text = hexLinearBase(0x0800, "\r\n");
    for (int offset = 0; offset <= image.size(); offset += 16)
        text += hexRecord(quint16(offset), 0, image.mid(offset, 16) + "x", "\r\n");
    return text + extra + hexRecord(0, 1, {}, "\r\n");
}

} // namespace

class TestFirmwareCommands : public QObject
{
    Q_OBJECT
    QTemporaryDir dir;
    const QString hex = dir.filePath("in/b.hex");
    const QByteArray application = applicationWithChecksum(firmwareBytes(0x3C000, 11));

    static QString fileName(const QString &serial) { return "Mv604_Bootloader_" + serial + ".bin"; }
    QStringList run(const QByteArray &hexText, rlim_t sizeLimit = RLIM_INFINITY)
    {
        [&] { QVERIFY(writeFile(hex, hexText)); }();
        KR960_Bootloader window;
        FileSizeLimit limit(sizeLimit);
        const bool upg = QByteArray(QTest::currentDataTag()).startsWith("CreateUpg");
        button(window, upg ? "pushButtonCreateUpg" : "pushButtonCreateBootBin")->click();
        return logLines(window);
    }

private slots:
    void init() // the dialogs start in "."
    {
        QVERIFY(QDir(dir.path()).removeRecursively() && QDir().mkpath(dir.filePath("in")));
        QVERIFY(QDir::setCurrent(dir.path()));
    }

    void dialogsOfferTodayAndTheLimits()
    {
        DialogScript script({"file:" + hex, "ok", "ok", "ok", "cancel"});
        QCOMPARE(run(hexOf(bootloader())), QStringList{"prod_number 1"});
        QVERIFY(script.done());
        const QString yy = QDate::currentDate().toString("yy"),
                      ww = QString::number(100 + QDate::currentDate().weekNumber()).mid(1);
        // clang-format off
        QCOMPARE(script.seen(), QStringList({"file|Open File||Hex (*.hex)", "item|Production year|Year(YY)|100|" + yy, "item|Production week|Week(WW)|53|" + ww,
                                             "int|Production number|Number(NNNN)|1|1|9999", "int|Iteration|Count:|1|1|9998"}));
        // clang-format on
    }

    void writesImages_data()
    {
        QTest::addColumn<QByteArray>("hexText");
        QTest::addColumn<int>("first"); // 0: no production dialogs
        QTest::addColumn<int>("count");
        QTest::addColumn<QStringList>("log");
        QTest::addColumn<QString>("box");
        QTest::addColumn<QStringList>("serials"); // of the image files left
        const QByteArray good = hexOf(bootloader());
        const QString made = "New bootloader + serial:Mv604_Bootloader_%1.bin",
                      hexError = "HexToBin error: -7)",
                      noData = "No data for the application area 0x08004000..0x0803FFFF";
        // clang-format off
        QTest::newRow("three") << good << 1 << 3 << QStringList{"prod_number 1", "iter 3", "264900001", made.arg("264900001"), "264900002", made.arg("264900002"), "264900003", made.arg("264900003")} << "" << QStringList{"264900001", "264900002", "264900003"};
        QTest::newRow("9998 allows one") << good << 9998 << 5 << QStringList{"prod_number 9998", "iter 1", "264909998", made.arg("264909998")} << "" << QStringList{"264909998"};
        QTest::newRow("9999 forces one") << good << 9999 << 5 << QStringList{"prod_number 9999", "iter 1", "264909999", made.arg("264909999")} << "" << QStringList{"264909999"};
        QTest::newRow("brand low byte") << hexOf(bootloader(0x3FD0)) << 0 << 0 << QStringList{"Err: Invalid brand!"} << "" << QStringList();
        QTest::newRow("brand high byte") << hexOf(bootloader(0x3FD1)) << 0 << 0 << QStringList{"Err: Invalid brand!"} << "" << QStringList();
        QTest::newRow("segment record") << hexOf(bootloader(), ":020000021000EC\r\n") << 0 << 0 << QStringList{hexError} << hexError << QStringList();
        QTest::newRow("second image blocked") << good << 1 << 3 << QStringList{"prod_number 1", "iter 3", "264900001", made.arg("264900001"), "264900002"} << "Cannot write " + fileName("264900002") << QStringList{"264900001"};
        QTest::newRow("disk full") << good << 1 << 2 << QStringList{"prod_number 1", "iter 2", "264900001"} << "Cannot write " + fileName("264900001") << QStringList();
        // CreateUpg offers no file for a HEX file without a byte for the application, nor for one
        // HexToBin would take but damaged in transit (the builder's other refusals: test_cli).
        QTest::newRow("CreateUpg: empty file") << QByteArray() << 0 << 0 << QStringList{noData} << noData << QStringList();
        const QString badSum = "line 3: record checksum B1, the record sums to 90";
        QTest::newRow("CreateUpg: a record checksum that does not hold") << hexLinearBase(0x0800, "\r\n") + hexRecord(0x4000, 0, QByteArray(16, '\0'), "\r\n") + hexRecord(0x4010, 0, QByteArray(16, '\1'), "\r\n", 0x21) + hexRecord(0, 1, {}) << 0 << 0 << QStringList{badSum} << badSum << QStringList();
        // clang-format on
    }
    void writesImages()
    {
        QFETCH(QByteArray, hexText);
        QFETCH(int, first);
        QFETCH(int, count);
        QFETCH(QStringList, log);
        QFETCH(QString, box);
        QFETCH(QStringList, serials);
        const QByteArray tag = QTest::currentDataTag();
        QVERIFY(tag != "second image blocked" || QDir().mkdir(fileName("264900002")));
        QStringList answers{"file:" + hex};
        if (first > 0)
            answers << "text:26"
                    << "text:49" << QString("int:%1").arg(first) << QString("int:%1").arg(count);
        DialogScript script(box.isEmpty() ? answers : answers << "ok");
        QCOMPARE(run(hexText, tag == "disk full" ? 8192 : RLIM_INFINITY), log);
        QVERIFY(script.done());
        QVERIFY(box.isEmpty() || script.seen().last().endsWith("|" + box));
        QStringList names;
        for (const QString &serial : serials) {
            QFile file(fileName(serial));
            QVERIFY(file.open(QIODevice::ReadOnly));
            QCOMPARE(file.readAll(), bootloader().replace(0x3FF0, 9, serial.toLatin1()));
            names << file.fileName();
        }
        QCOMPARE(QDir().entryList(QDir::Files | QDir::Hidden), names);
    }

    // CreateUpg resets the bar before asking and clears the log; Change Firmware then programs
    // the file (a second press during the run is refused: see the window suite).
    void builtFileProgramsTheDevice()
    {
        QVERIFY2(SimulatedBus::preloadActive(), "run under umockdev's preload");
        QVERIFY(writeHex(dir.filePath("good.hex"), {{0x08004000, application}}));
        SimulatedBus bus;
        const auto device = bus.addDevice();
        KR960_Bootloader window;
        logOf(window)->append("from before");
        auto *bar = progressBar(window, "progressBarFlash");
        bar->setValue(37);
        const QString upg = dir.filePath("fw.upg");
        DialogScript script({"file:" + dir.filePath("good.hex"), "file:" + upg});
        script.then([&](QWidget *dialog) {
            QCOMPARE(bar->value(), 0);
            DialogScript::chooseFile(qobject_cast<QFileDialog *>(dialog), upg);
        });
        button(window, "pushButtonCreateUpg")->click();
        button(window, "pushButtonFirmware")->click();
        QVERIFY(QTest::qWaitFor([&] { return logLines(window).endsWith("OK"); }, 30000));
        QVERIFY(script.done());
        QCOMPARE(logLines(window),
                 QStringList({"Warning: the HEX data at 0x0803FFFC..0x0803FFFF is replaced by the "
                              "application checksum",
                              upg, "264900001b", "KR960 BL 1.07", "Bootloader mode",
                              "Writting firmware ... ", "OK"}));
        QCOMPARE(bar->value(), 100);
        QVERIFY(flashOf(*device, 0x08004000, 0x3C000) == application);
    }
};

QTEST_MAIN(TestFirmwareCommands)
#include "test_firmware_commands.moc"
