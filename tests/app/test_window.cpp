// The main window as an operator meets it: what the form shows, which command each button runs,
// the translation, the connection commands on a simulated KR960, and the window while its worker
// programs the device.

#include "app/main_window_title.h"
#include "app/translation_loader.h"
#include "dialog_script.h"
#include "trace_capture.h"
#include "workbench.h"

#include <QTranslator>
#include <algorithm>
#include <cstdlib>

using kr960sim::Fault;

class TestWindow : public QObject, public Workbench
{
    Q_OBJECT

    QString upgradePath;
    QByteArray application; // as the upgrade file holds it

private slots:
    void initTestCase()
    {
        QVERIFY2(plugIn(), "needs umockdev's preload");
        upgradePath = workDir.filePath("app.upg");
        application = fixtures::applicationWithChecksum(distinctBytes(Kr960::ApplicationSize, 3));
        QVERIFY(writeFile(upgradePath, fixtures::upgradeFileBytes(application)));
    }
    void init() { freshWindow(); }

    // Operators see Change Firmware, the flash bar and the log; the rest waits for the workshop.
    // The log is in a fixed-width font, so the dumps' columns line up.
    void formAsShown()
    {
        window->setWindowTitle(mainWindowTitle());
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.data()));
        QCOMPARE(window->windowTitle(), QStringLiteral("Mv604 v2.00"));
        QStringList visible;
        for (QWidget *widget :
             window->findChildren<QWidget *>(QRegularExpression("^(push|progress|txt)")))
            if (widget->isVisible())
                visible << widget->objectName();
        visible.sort();
        QCOMPARE(visible, (QStringList{"progressBarFlash", "pushButtonFirmware", "txt"}));
        QCOMPARE(logOf(*window)->font().family(), QStringLiteral("Courier New"));
        QStringList bars;
        for (QProgressBar *bar : window->findChildren<QProgressBar *>())
            bars << bar->text();
        QCOMPARE(bars,
                 (QStringList{"Flash 0%", "External Flash Write 0%", "External Flash Verify 0%"}));
    }

    void connectReportsItsOutcome_data()
    {
        QTest::addColumn<int>("state"); // 0 plugged, 1 no permission, 2 unplugged
        QTest::addColumn<QString>("log");
        QTest::newRow("device") << 0 << "Connect OK";
        QTest::newRow("no permission") << 1
                                       << "Connect ERROR|No permission to open the KR960: install "
                                          "the udev rule 60-kr960.rules (see README) and plug the "
                                          "device in again.";
        QTest::newRow("nothing attached") << 2 << "Connect ERROR";
    }
    void connectReportsItsOutcome()
    {
        QFETCH(int, state);
        QFETCH(QString, log);
        bus->setPermissionDenied(device, state == 1);
        if (state == 2)
            bus->unplug(device);
        window->slotpushButtonConnect(false);
        bus->setPermissionDenied(device, false);
        if (state == 2)
            bus->replug(device);
        QCOMPARE(logLines(*window).join('|'), log);
    }

    // Run Application restarts the device into its application, then connects afresh.
    void runApplicationRestartsAndReconnects()
    {
        window->slotpushButtonRunApplication(false);
        QCOMPARE(requestCodes(*device).mid(0, 3), (QList<int>{0xFF, 0xFE, 4}));
        QVERIFY(device->waitUntilPlugged(5000));
        QCOMPARE(int(device->mode()), int(kr960sim::Mode::Application)); // init() puts it back
    }

    // 191 values, 351..541 shuffled by the unseeded rand(): the log's "draw -> value" lines and
    // dane.csv's "v,...,;" hold the same table, the same for every start of the tool.
    void disconnectWritesTheTable()
    {
        std::srand(1); // as at the start of a process
        logOf(*window)->append("left from before");
        window->slotpushButtonDisconnect(false);
        const QStringList lines = logLines(*window);
        QCOMPARE(lines.size(), 191);
        QCOMPARE(lines.first(), QStringLiteral("1804289383 -> 403"));
        QCOMPARE(lines.last(), QStringLiteral("1364180570 -> 475"));
        QStringList values;
        for (const QString &line : lines)
            values << line.section(" -> ", 1);
        QFile csv("dane.csv");
        QVERIFY(csv.open(QIODevice::ReadOnly));
        QCOMPARE(QString::fromLatin1(csv.readAll()), values.join(',') + ",;");
        std::sort(values.begin(), values.end());
        for (int i = 0; i < 191; ++i)
            QCOMPARE(values.at(i), QString::number(351 + i));

        // A table file that cannot be opened is left alone, without Qt's warning about it.
        csv.close();
        QVERIFY(csv.remove() && QDir().mkdir("dane.csv"));
        QTest::failOnWarning(QRegularExpression("not open"));
        window->slotpushButtonDisconnect(false);
        QCOMPARE(logLines(*window).size(), 191);
        QVERIFY(QDir().rmdir("dane.csv"));
    }

    void translationFromTheWorkingDirectory_data()
    {
        QTest::addColumn<QStringList>("files");
        QTest::addColumn<QString>("locale");
        QTest::addColumn<QString>("connectText");
        const QString polish = QStringLiteral("Połącz");
        QTest::newRow("pl_PL takes kr960_pl") << QStringList{"kr960_pl.qm"} << "pl_PL" << polish;
        QTest::newRow("other locale, no en") << QStringList{"kr960_pl.qm"} << "de_DE"
                                             << "Connect";
        QTest::newRow("other locale takes en") << QStringList{"kr960_en.qm"} << "de_DE" << polish;
        // Started from the desktop entry, from a folder without any: the installed one is found.
        QTest::newRow("beside the program") << QStringList{"beside"} << "pl_PL" << polish;
    }
    void translationFromTheWorkingDirectory()
    {
        QFETCH(QStringList, files);
        QFETCH(QString, locale);
        QFETCH(QString, connectText);
        QTemporaryDir dir;
        const QString beside = QCoreApplication::applicationDirPath() + "/kr960_pl.qm";
        QFile::remove(beside);
        for (const QString &name : files)
            QVERIFY(QFile::copy(MV604_PL_QM, name == "beside" ? beside : dir.filePath(name)));
        QVERIFY(QDir::setCurrent(dir.path()));
        QTranslator translator;
        installTranslation(translator, locale);
        KR960_Bootloader translated;
        QCoreApplication::removeTranslator(&translator);
        QDir::setCurrent(workDir.path());
        QFile::remove(beside);
        QCOMPARE(button(translated, "pushButtonConnect")->text(), connectText);
    }

    // While the worker programs the device every other device command keeps off it: the device
    // sees only the worker's page requests, and the upgrade ends "OK" with the file's bytes.
    void deviceCommandsWaitForTheUpgrade()
    {
        device->setLatencyMs(2);
        QVERIFY(startUpgrade(upgradePath));
        DialogScript script;
        for (const QString slot :
             {"Connect", "Disconnect", "Read", "Write", "WritePage", "Firmware", "WriteExtFlashBin",
              "RunApplication", "WriteExternalFlash", "ReadExternalFlash"}) {
            const int percent = progressBar(*window, "progressBarFlash")->value();
            QFile::remove("dane.csv");
            TraceCapture trace;
            logOf(*window)->clear(); // so the refusal below is this command's
            button(*window, "pushButton" + slot)->click();
            QVERIFY2(window->upgradeWorker()->isRunning(), qPrintable(slot));
            // The button's own trace line is still written; only the device call is skipped.
            const QString own = slot == "Firmware"
                                    ? "Dt731_bootloader::slotpushButtonCHF(bool t)"
                                    : "KR960_Bootloader::slotpushButton" + slot + "(bool t)";
            QCOMPARE(trace.lines().filter("::slotpushButton"),
                     slot == "RunApplication" ? QStringList() : QStringList{own});
            QVERIFY2(!trace.contains("USB Connect") && !trace.contains("USB Disconnect"),
                     qPrintable(slot));
            QCOMPARE(logOf(*window)->toPlainText().section('\n', -1), "Upgrade in progress");
            // Disconnect still writes its table: the table has nothing to do with the device.
            QVERIFY2(QFile::exists("dane.csv") == (slot == "Disconnect"), qPrintable(slot));
            QVERIFY(progressBar(*window, "progressBarFlash")->value() >= percent);
        }
        QVERIFY(window->upgradeWorker()->wait(60000));
        device->setLatencyMs(0);
        QCOMPARE(script.unexpectedDialogs(), 0);
        QCOMPARE(window->upgradeWorker()->outcome(), UpgradeOutcome::Ok);
        QCOMPARE(flashOf(*device, Kr960::ApplicationStart, Kr960::ApplicationSize), application);
        QCOMPARE(vendorRequests(*device, 3).size(), size_t(120));
        for (int code : requestCodes(*device))
            QVERIFY2(QList<int>({0xFF, 0xFE, 1, 3}).contains(code),
                     qPrintable(QString::number(code)));
    }

    // Closing the window mid-upgrade stops the worker at a safe point before the device goes.
    void closingTheWindowStopsTheUpgrade()
    {
        device->setLatencyMs(2);
        QVERIFY(startUpgrade(upgradePath));
        Upgrader *worker = window->upgradeWorker();
        TraceCapture trace;
        window.reset();
        device->setLatencyMs(0);
        QVERIFY(worker->isFinished());
        QCOMPARE(worker->outcome(), UpgradeOutcome::Stopped);
        QVERIFY(trace.contains("Upgrade stopped"));
    }
};

QTEST_MAIN(TestWindow)
#include "test_window.moc"
