// CreateUpg and Change Firmware through the window with its real dialogs: a file built from an
// objcopy HEX file programs a simulated KR960.

#include "app/kr960_bootloader.h"
#include "dialog_script.h"
#include "sim/simulated_bus.h"
#include "upgrade_fixtures.h"

#include <QProgressBar>
#include <QTemporaryDir>
#include <QTextBrowser>
#include <QtTest>

using namespace fixtures;

class TestUpgradeCommands : public QObject
{
    Q_OBJECT
    QTemporaryDir dir;
    const QByteArray application = withChecksum(firmwareBytes(0x3C000, 11));

    static QStringList log(const KR960_Bootloader &window)
    {
        const QString text = window.findChild<QTextBrowser *>("txt")->toPlainText();
        return text.isEmpty() ? QStringList() : text.split('\n');
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(kr960sim::SimulatedBus::preloadActive(), "run under umockdev's preload");
        QVERIFY(QDir::setCurrent(dir.path())); // the dialogs start in "."
        if (!objcopyAvailable())
            QSKIP("GNU objcopy makes the HEX files");
        QVERIFY(writeHex("good.hex", {{0x08004000, application}}));
    }
    void builtFileProgramsTheDevice();
};

// CreateUpg clears the log; a second Change Firmware during the run is refused without a dialog.
void TestUpgradeCommands::builtFileProgramsTheDevice()
{
    kr960sim::SimulatedBus bus;
    auto device = bus.addDevice();
    device->setLatencyMs(1);
    KR960_Bootloader window;
    window.findChild<QTextBrowser *>("txt")->append("from before");
    auto *bar = window.findChild<QProgressBar *>("progressBarFlash");
    bar->setValue(37);
    const QString upg = dir.filePath("fw.upg");
    DialogScript script;
    script.chooseFile(dir.filePath("good.hex")).chooseFile(upg).then([&](QWidget *dialog) {
        QCOMPARE(bar->value(), 0); // reset before the operator is asked
        chooseFile(upg)(dialog);
    });
    window.slotpushButtonCreateUpg(false);
    QCOMPARE(QFileInfo(upg).size(), 393282);
    window.slotpushButtonFirmware(false);
    QVERIFY(QTest::qWaitFor([&] { return log(window).contains("Writting firmware ... "); }));
    window.slotpushButtonFirmware(false);
    QVERIFY(QTest::qWaitFor([&] { return log(window).endsWith("OK"); }, 30000));
    QVERIFY(script.done());

    QStringList lines = log(window);
    QCOMPARE(lines.removeAll("Upgrade in progress"), 1);
    QCOMPARE(lines, QStringList({upg, "264900001b", "KR960 BL 1.07", "Bootloader mode",
                                 "Writting firmware ... ", "OK"}));
    QCOMPARE(bar->value(), 100);
    QVERIFY(flashOf(*device, 0x08004000, 0x3C000) == application);
}

QTEST_MAIN(TestUpgradeCommands)
#include "test_upgrade_commands.moc"
