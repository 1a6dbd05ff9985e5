#include "choose_file.h"
#include "device/usbkr960.h"
#include "dialog_script.h"
#include "image/word_scrambler.h"
#include "service_test_support.h"
#include "upgrade/upgrade_file.h"
#include "upgrade/upgrader.h"

#include <QFile>
#include <QTest>

using Command = void (KR960_Bootloader::*)(bool);
Q_DECLARE_METATYPE(Command)

class TestServiceDuringUpgrade : public QObject, private ServiceWorkbench
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(plugInDevice());
        QVERIFY(writeBlankUpgradeFile());
    }
    void init()
    {
        openFreshWindow();
        // Slow enough that the upgrade is still writing pages while the commands are tried.
        device->setLatencyMs(10);
    }
    void cleanup()
    {
        if (window)
            window->upgradeWorker()->stop();
        window.reset();
        device->setLatencyMs(0);
    }

    void deviceCommandsWaitForTheUpgrade_data()
    {
        QTest::addColumn<Command>("command");
        QTest::addColumn<int>("ownRequest"); // a request the upgrade itself never sends
        QTest::newRow("Read") << &KR960_Bootloader::slotpushButtonRead << 0;
        QTest::newRow("Write") << &KR960_Bootloader::slotpushButtonWrite << 2;
        QTest::newRow("WritePage") << &KR960_Bootloader::slotpushButtonWritePage << 0;
        QTest::newRow("WriteExtFlashBin") << &KR960_Bootloader::slotpushButtonWriteExtFlashBin << 6;
        QTest::newRow("WriteExternalFlash")
            << &KR960_Bootloader::slotpushButtonWriteExternalFlash << 6;
        QTest::newRow("ReadExternalFlash")
            << &KR960_Bootloader::slotpushButtonReadExternalFlash << 5;
    }
    void deviceCommandsWaitForTheUpgrade()
    {
        QFETCH(Command, command);
        QFETCH(int, ownRequest);
        startUpgrade();
        QVERIFY(window->upgradeWorker()->isRunning());

        DialogScript script;
        (window.data()->*command)(false);
        QVERIFY(window->upgradeWorker()->isRunning());
        QCOMPARE(script.seen().size(), 0);
        QVERIFY(logText(*window).split('\n').contains("Upgrade in progress"));
        if (ownRequest)
            QVERIFY(vendorRequests(*device, ownRequest).empty());
    }

    void commandsWorkAgainAfterTheUpgrade()
    {
        startUpgrade();
        window->upgradeWorker()->stop();
        device->setLatencyMs(0);
        device->clearRequests();
        window->slotpushButtonWrite(false);
        QCOMPARE(vendorRequests(*device, 2).size(), size_t(1));
    }

private:
    void startUpgrade()
    {
        DialogScript script;
        script.then(chooseFile(workDir.filePath("blank.upg")));
        window->slotpushButtonFirmware(false);
        QVERIFY(script.done());
    }

    bool writeBlankUpgradeFile()
    {
        QByteArray image(UpgradeFile::ImageSize, '\0');
        stampChecksums(reinterpret_cast<unsigned char *>(image.data()));
        EncodeWords(image.data(), int(image.size()));
        QFile file(workDir.filePath("blank.upg"));
        return file.open(QIODevice::WriteOnly) && writeUpgradeFile(file, image);
    }
};

QTEST_MAIN(TestServiceDuringUpgrade)
#include "test_service_during_upgrade.moc"
