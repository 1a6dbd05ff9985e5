// Pictures of the window as an operator sees it: at start, and while it programs a simulated
// KR960 that it has just restarted into its bootloader.

#include "app/kr960_bootloader.h"
#include "dialog_script.h"
#include "sim/simulated_bus.h"
#include "upgrade/upgrade_builder.h"
#include "upgrade/upgrader.h"
#include "upgrade_fixtures.h"

#include <QDir>
#include <QProgressBar>
#include <QTemporaryDir>
#include <QTextBrowser>
#include <QtTest>

using namespace kr960sim;

class TestScreenshots : public QObject
{
    Q_OBJECT

    QTemporaryDir work;

    static QString outputDirectory()
    {
        const QString dir = qEnvironmentVariable("MV604_SCREENSHOT_DIR");
        return dir.isEmpty() ? QDir::currentPath() : dir;
    }

    static void save(QWidget &window, const QString &name)
    {
        const QString path = QDir(outputDirectory()).filePath(name);
        QVERIFY2(window.grab().save(path), qPrintable(path));
    }

private slots:
    void initTestCase() { QVERIFY(work.isValid()); }

    void windowAtStart()
    {
        KR960_Bootloader window;
        window.setWindowTitle("Mv604 v2.00");
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        save(window, "main-window.png");
    }

    void windowDuringAnUpgrade()
    {
        if (!fixtures::objcopyAvailable())
            QSKIP("objcopy is not installed");
        const QString hex = work.filePath("firmware.hex");
        QVERIFY(fixtures::writeHex(
            hex, {{0x08004000,
                   fixtures::applicationWithChecksum(fixtures::firmwareBytes(0x3C000, 0x5eed))}}));
        const QString upg = work.filePath("firmware.upg");
        QVERIFY(buildUpgradeFile(hex, upg).ok());

        SimulatedBus bus;
        DeviceConfig config;
        config.mode = Mode::Application;
        config.restartDelayMs = 100;
        config.latencyMs = 2;
        bus.addDevice(config);

        KR960_Bootloader window;
        window.setWindowTitle("Mv604 v2.00");
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        DialogScript script;
        script.chooseFile(upg);
        window.slotpushButtonFirmware(false);
        auto *bar = window.findChild<QProgressBar *>("progressBarFlash");
        QTRY_VERIFY_WITH_TIMEOUT(bar->value() >= 40, 30000);
        save(window, "upgrade-in-progress.png");
        window.upgradeWorker()->stop();
    }
};

QTEST_MAIN(TestScreenshots)
#include "test_screenshots.moc"
