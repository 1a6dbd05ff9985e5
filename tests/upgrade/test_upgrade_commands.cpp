// The CreateUpg and Change Firmware commands through the window's slots, with the real dialogs
// answered as an operator would, against a simulated KR960.

#include "upgrade_fixtures.h"

#include "app/kr960_bootloader.h"
#include "dialog_script.h"
#include "sim/simulated_bus.h"
#include "trace_capture.h"

#include <QMessageBox>
#include <QProgressBar>
#include <QTemporaryDir>
#include <QTextBrowser>
#include <QtTest>

#include <memory>

using namespace fixtures;
using kr960sim::DeviceConfig;
using kr960sim::Mode;
using kr960sim::SimulatedBus;
using kr960sim::SimulatedKr960;

Q_DECLARE_METATYPE(Mode)

namespace
{

constexpr quint32 ApplicationStart = 0x08004000;
constexpr int RunLimitMs = 60000; // a hung worker fails the test instead of blocking it

QStringList logLines(const KR960_Bootloader &window)
{
    const QString text = window.findChild<QTextBrowser *>("txt")->toPlainText();
    return text.isEmpty() ? QStringList() : text.split('\n');
}

QProgressBar *bar(const KR960_Bootloader &window, const char *name)
{
    return window.findChild<QProgressBar *>(name);
}

bool waitForLogLine(const KR960_Bootloader &window, const QString &line)
{
    return QTest::qWaitFor([&] { return logLines(window).contains(line); }, RunLimitMs);
}

// Every way a run ends leaves one of these as the last line of the log.
bool waitForRunEnd(const KR960_Bootloader &window)
{
    static const QStringList lastLines{"OK",
                                       "ERROR",
                                       "Verify ERROR",
                                       "Bootloader Version Read Error",
                                       "Check USB Cable",
                                       "Check USB cable",
                                       "Wrong file header",
                                       "Wrong file version",
                                       "Wrong file size"};
    return QTest::qWaitFor(
        [&] {
            const QStringList lines = logLines(window);
            return !lines.isEmpty() && lastLines.contains(lines.last());
        },
        RunLimitMs);
}

QByteArray flashOf(const SimulatedKr960 &device, quint32 address, int length)
{
    const std::vector<uint8_t> bytes = device.flash(address, quint32(length));
    return QByteArray(reinterpret_cast<const char *>(bytes.data()), int(bytes.size()));
}

} // namespace

class TestUpgradeCommands : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void builtFileProgramsTheDevice_data();
    void builtFileProgramsTheDevice();
    void changeFirmwareAsksForAnUpgradeFile();
    void cancelledFirmwareDialogStartsNothing();
    void changeFirmwareDuringARunIsRefused();

    void createUpgHexDialogCancelledClearsTheLog();
    void createUpgRefusesABrandedFirmware();
    void createUpgStopsAtAHexError_data();
    void createUpgStopsAtAHexError();
    void createUpgSaveCancelledWritesNothing();
    void createUpgReportsAFileItCannotWrite();

private:
    QString firmwareHex(const QString &name, const QByteArray &application);
    QString buildThroughTheWindow(const QString &hexPath, const QString &upgName);

    QTemporaryDir dir;
    QByteArray firmware;
    std::unique_ptr<SimulatedBus> bus;
    std::unique_ptr<KR960_Bootloader> window;
};

void TestUpgradeCommands::initTestCase()
{
    QVERIFY2(SimulatedBus::preloadActive(), "run under LD_PRELOAD=libumockdev-preload.so.0");
    QVERIFY(dir.isValid());
    // The file dialogs start in "." (or fall back to it): with the files there, a chosen name
    // never depends on how fast a dialog has read its start directory.
    QVERIFY(QDir::setCurrent(dir.path()));
    if (!objcopyAvailable())
        QSKIP("GNU objcopy is needed to make the HEX files");
    firmware = applicationWithChecksum(firmwareBytes(UpgradeFile::ApplicationSize, 11));
    firmware.chop(4); // the builder stamps the checksum; the HEX file holds other bytes there
    firmware += "\xDE\xAD\xBE\xEF";
}

void TestUpgradeCommands::init()
{
    bus = std::make_unique<SimulatedBus>();
    window = std::make_unique<KR960_Bootloader>();
}

// The window's destructor stops and waits for a running worker before the bus goes.
void TestUpgradeCommands::cleanup()
{
    window.reset();
    bus.reset();
}

QString TestUpgradeCommands::firmwareHex(const QString &name, const QByteArray &application)
{
    const QString hexPath = dir.filePath(name);
    return writeHex(hexPath, {{ApplicationStart, application}}) ? hexPath : QString();
}

QString TestUpgradeCommands::buildThroughTheWindow(const QString &hexPath, const QString &upgName)
{
    const QString upgPath = dir.filePath(upgName);
    DialogScript script;
    script.chooseFile(hexPath).chooseFile(upgPath);
    window->slotpushButtonCreateUpg(false);
    return script.done() ? upgPath : QString();
}

void TestUpgradeCommands::builtFileProgramsTheDevice_data()
{
    QTest::addColumn<Mode>("mode");
    QTest::addColumn<QStringList>("lines"); // after the file name

    QTest::newRow("device in its bootloader")
        << Mode::Bootloader
        << QStringList{"264900001b", "KR960 BL 1.07", "Bootloader mode", "Writting firmware ... ",
                       "OK"};
    QTest::newRow("device in its application")
        << Mode::Application
        << QStringList{"264900001",  "KR960 BL 1.07", "Apllication mode",  "Reset device",
                       "Disconnect", "Connect",       "Serial:264900001b", "Writting firmware ... ",
                       "OK"};
}

void TestUpgradeCommands::builtFileProgramsTheDevice()
{
    QFETCH(Mode, mode);
    QFETCH(QStringList, lines);
    const QString name = QString("e2e-%1").arg(int(mode)); // a new file: no overwrite question
    const QString upg = buildThroughTheWindow(firmwareHex(name + ".hex", firmware), name + ".upg");
    QVERIFY(!upg.isEmpty());
    QCOMPARE(QFileInfo(upg).size(), UpgradeFile::FileSize);
    QVERIFY(logLines(*window).isEmpty());

    DeviceConfig config;
    config.mode = mode;
    auto device = bus->addDevice(config);
    DialogScript script;
    script.chooseFile(upg);
    window->slotpushButtonFirmware(false);
    QVERIFY(waitForRunEnd(*window));

    QCOMPARE(logLines(*window), QStringList{upg} + lines);
    QCOMPARE(bar(*window, "progressBarFlash")->value(), 100);
    const QByteArray expected = applicationWithChecksum(firmware);
    QVERIFY(flashOf(*device, ApplicationStart, expected.size()) == expected);
}

void TestUpgradeCommands::changeFirmwareAsksForAnUpgradeFile()
{
    for (const char *name : {"progressBarFlash", "progressBarExtFlashWr", "progressBarExtFlashRd"})
        bar(*window, name)->setValue(37);
    TraceCapture trace;
    DialogScript script;
    script.then([&](QWidget *dialog) {
        // The bars are back at 0 before the operator is asked.
        for (const char *name :
             {"progressBarFlash", "progressBarExtFlashWr", "progressBarExtFlashRd"})
            QCOMPARE(bar(*window, name)->value(), 0);
        QCOMPARE(dialog->parentWidget(), nullptr);
        qobject_cast<QDialog *>(dialog)->reject();
    });
    window->slotpushButtonFirmware(false);

    QVERIFY(script.done());
    QCOMPARE(script.seen().size(), 1);
    QCOMPARE(script.seen()[0].title, QString("Open File"));
    QCOMPARE(script.seen()[0].offered["filters"].toStringList(), QStringList{"Upg (*.upg)"});
    QCOMPARE(script.seen()[0].offered["save"].toBool(), false);
    QVERIFY(trace.contains("Dt731_bootloader::slotpushButtonCHF(bool t)"));
}

void TestUpgradeCommands::cancelledFirmwareDialogStartsNothing()
{
    auto device = bus->addDevice();
    TraceCapture trace;
    DialogScript script;
    script.cancel();
    window->slotpushButtonFirmware(false);
    QVERIFY(script.done());
    window.reset(); // waits for the worker

    QVERIFY(!trace.contains("Start firmware upgrade"));
    QVERIFY(device->requests().empty());
}

void TestUpgradeCommands::changeFirmwareDuringARunIsRefused()
{
    const QString upg = buildThroughTheWindow(firmwareHex("busy.hex", firmware), "busy.upg");
    auto device = bus->addDevice();
    device->setLatencyMs(5);
    DialogScript first;
    first.chooseFile(upg);
    window->slotpushButtonFirmware(false);
    QVERIFY(waitForLogLine(*window, "Writting firmware ... "));

    bar(*window, "progressBarExtFlashWr")->setValue(37);
    DialogScript second;
    window->slotpushButtonFirmware(false);
    QVERIFY(logLines(*window).contains("Upgrade in progress"));
    QVERIFY(second.seen().isEmpty());
    QCOMPARE(bar(*window, "progressBarExtFlashWr")->value(), 37);

    QVERIFY(waitForRunEnd(*window));
    QCOMPARE(logLines(*window).last(), QString("OK"));
    QCOMPARE(logLines(*window).count(upg), 1);
    const QByteArray expected = applicationWithChecksum(firmware);
    QVERIFY(flashOf(*device, ApplicationStart, expected.size()) == expected);
}

void TestUpgradeCommands::createUpgHexDialogCancelledClearsTheLog()
{
    window->findChild<QTextBrowser *>("txt")->append("from before");
    TraceCapture trace;
    DialogScript script;
    script.cancel();
    window->slotpushButtonCreateUpg(false);

    QVERIFY(script.done());
    QCOMPARE(script.seen().size(), 1);
    QCOMPARE(script.seen()[0].title, QString("Open File"));
    QCOMPARE(script.seen()[0].offered["filters"].toStringList(), QStringList{"Hex (*.hex)"});
    QVERIFY(logLines(*window).isEmpty());
    QVERIFY(trace.contains("KR960_Bootloader::slotpushButtonCreateUpg(bool t)"));
}

void TestUpgradeCommands::createUpgRefusesABrandedFirmware()
{
    QByteArray branded = firmware;
    branded[UpgradeFile::BrandOffset - UpgradeFile::ApplicationOffset] = 1;
    DialogScript script;
    script.chooseFile(firmwareHex("branded.hex", branded));
    window->slotpushButtonCreateUpg(false);

    QVERIFY(script.done()); // no save dialog
    QCOMPARE(logLines(*window), QStringList{"Err: Invalid brand!"});
}

void TestUpgradeCommands::createUpgStopsAtAHexError_data()
{
    QTest::addColumn<QByteArray>("badLine"); // inserted after the first record
    QTest::addColumn<int>("code");
    QTest::newRow("blank line") << QByteArray("\n") << -1;
    QTest::newRow("line without colon") << QByteArray(" :0400000000000000FC\n") << -2;
    QTest::newRow("extended segment address") << QByteArray(":020000021000EC\n") << -7;
}

void TestUpgradeCommands::createUpgStopsAtAHexError()
{
    QFETCH(QByteArray, badLine);
    QFETCH(int, code);
    const QString hex = firmwareHex("bad.hex", firmware.left(256));
    QFile file(hex);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QByteArray text = file.readAll();
    file.close();
    text.insert(text.indexOf('\n') + 1, badLine);
    QVERIFY(writeFile(hex, text));

    const QString message = QString("HexToBin error: %1)").arg(code);
    DialogScript script;
    script.chooseFile(hex).acknowledge();
    window->slotpushButtonCreateUpg(false);

    QVERIFY(script.done()); // one box, no save dialog
    QCOMPARE(script.seen().size(), 2);
    QCOMPARE(script.seen()[1].kind, QString("message"));
    QCOMPARE(script.seen()[1].title, QString("Error"));
    QCOMPARE(script.seen()[1].label, message);
    QCOMPARE(script.seen()[1].offered["icon"].toInt(), int(QMessageBox::Critical));
    QCOMPARE(logLines(*window), QStringList{message});
}

void TestUpgradeCommands::createUpgSaveCancelledWritesNothing()
{
    QTemporaryDir target;
    const QString hex = firmwareHex("save.hex", firmware);
    DialogScript script;
    script.chooseFile(hex).cancel();
    window->slotpushButtonCreateUpg(false);

    QVERIFY(script.done());
    QCOMPARE(script.seen().size(), 2);
    QCOMPARE(script.seen()[1].title, QString("Save File"));
    QCOMPARE(script.seen()[1].offered["filters"].toStringList(), QStringList{"Upg (*.upg)"});
    QCOMPARE(script.seen()[1].offered["save"].toBool(), true);
    QVERIFY(logLines(*window).isEmpty());
}

void TestUpgradeCommands::createUpgReportsAFileItCannotWrite()
{
    const QString hex = firmwareHex("unwritable.hex", firmware);
    // The file writes through the link into /proc, where not even root may create files.
    const QString target = dir.filePath("unwritable.upg");
    QVERIFY(QFile::link("/proc/no-such-dir/fw.upg", target));
    DialogScript script;
    script.chooseFile(hex).chooseFile(target).acknowledge();
    window->slotpushButtonCreateUpg(false);

    QVERIFY(script.done());
    QCOMPARE(script.seen().size(), 3);
    QCOMPARE(script.seen()[2].title, QString("Error"));
    QCOMPARE(script.seen()[2].label, QString("Cannot write %1").arg(target));
    QVERIFY(!QFileInfo::exists("/proc/no-such-dir/fw.upg"));
}

QTEST_MAIN(TestUpgradeCommands)
#include "test_upgrade_commands.moc"
