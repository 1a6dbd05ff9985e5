// The README's pictures of the window: at start, and while it programs a simulated KR960 that
// it has just restarted into its bootloader. MV604_SCREENSHOT_DIR=<repo>/docs refreshes them.

#include "app/main_window_title.h"
#include "dialog_script.h"
#include "workbench.h"

class TestScreenshots : public QObject
{
    Q_OBJECT

    QTemporaryDir work;

    static void save(QWidget &window, const QString &name)
    {
        const QString dir = qEnvironmentVariable("MV604_SCREENSHOT_DIR", QDir::currentPath());
        QVERIFY(window.grab().save(QDir(dir).filePath(name)));
    }

private slots:
    void windowAtStartAndDuringAnUpgrade()
    {
        const QString upg = work.filePath("firmware.upg");
        QVERIFY(!writeUpgradeFileWith(upg, distinctBytes(UpgradeFile::ApplicationSize)).isEmpty());
        SimulatedBus bus;
        kr960sim::DeviceConfig config;
        config.mode = kr960sim::Mode::Application;
        config.restartDelayMs = 100;
        config.latencyMs = 2;
        bus.addDevice(config);

        KR960_Bootloader window;
        window.setWindowTitle(mainWindowTitle());
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        save(window, "main-window.png");
        DialogScript script;
        script.chooseFile(upg);
        window.slotpushButtonFirmware(false);
        QTRY_VERIFY_WITH_TIMEOUT(progressBar(window, "progressBarFlash")->value() >= 40, 30000);
        save(window, "upgrade-in-progress.png");
        window.upgradeWorker()->stop();
    }
};

QTEST_MAIN(TestScreenshots)
#include "test_screenshots.moc"
