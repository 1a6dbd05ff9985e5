// Reads that tell the truth about what did not arrive, refusals that keep to the letter, the
// transport's guard, the translation where it is installed, and the command line's output; all
// against one simulated KR960.

#include "app/kr960_bootloader.h"
#include "app/translation_loader.h"
#include "choose_file.h"
#include "device/usbkr960.h"
#include "dialog_script.h"
#include "image/word_scrambler.h"
#include "service/external_flash_jobs.h"
#include "sim/simulated_bus.h"
#include "trace_capture.h"
#include "upgrade/upgrade_file.h"
#include "upgrade/upgrader.h"
#include "vendor_requests.h"

#include <QProcess>
#include <QProgressBar>
#include <QTemporaryDir>
#include <QTextEdit>
#include <QtTest>

using namespace kr960sim;

namespace
{
QByteArray distinct(int count)
{
    QByteArray bytes(count, '\0');
    for (int i = 0; i < count; ++i)
        bytes[i] = char(i % 251 + 1);
    return bytes;
}
std::vector<uint8_t> bytesOf(const QByteArray &bytes)
{
    return {bytes.begin(), bytes.end()};
}
QByteArray encoded(QByteArray bytes)
{
    EncodeWords(bytes.data(), int(bytes.size()));
    return bytes;
}
QStringList logLines(KR960_Bootloader &w)
{
    return w.findChild<QTextEdit *>("txt")->toPlainText().split('\n');
}
QByteArray dumpBytes(const QStringList &lines)
{
    QByteArray bytes;
    for (const QString &line : lines)
        if (line.startsWith("0x") && line.contains(" < "))
            bytes += QByteArray::fromHex(line.section(':', 1).section(" < ", 0, 0).toLatin1());
    return bytes;
}
} // namespace

class TestReviewFixes : public QObject
{
    Q_OBJECT
    QTemporaryDir work;
    SimulatedBus bus;
    std::shared_ptr<SimulatedKr960> device;
    QString path(const QString &name) const { return work.filePath(name); }
    void sparseFile(const QString &name, qint64 size)
    {
        QFile file(path(name));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.resize(size));
    }

private slots:
    void initTestCase()
    {
        QVERIFY(SimulatedBus::preloadActive() && work.isValid() && QDir::setCurrent(work.path()));
        device = bus.addDevice();
        device->setFlash(0x08050000, bytesOf(distinct(4096)));
        device->setExternalFlash(0, bytesOf(encoded(distinct(1024))));
        // A blank application image, for the upgrade that the refusals run beside.
        QByteArray image(UpgradeFile::ImageSize, '\0');
        stampChecksums(reinterpret_cast<uchar *>(image.data()));
        QFile upg(path("blank.upg"));
        QVERIFY(upg.open(QIODevice::WriteOnly) && writeUpgradeFile(upg, encoded(image)));
    }
    void init() { device->clearFaults(), device->setLatencyMs(0), device->clearRequests(); }

    void externalFlashReadShowsWhatDidNotArrive_data()
    {
        QTest::addColumn<int>("fromRequest"); // first read request that comes back short for ever
        QTest::addColumn<int>("received");
        QTest::newRow("all arrives") << 0 << 1024;
        QTest::newRow("second chunk lost") << 2 << 512;
        QTest::newRow("nothing arrives") << 1 << 0;
    }
    void externalFlashReadShowsWhatDidNotArrive()
    {
        QFETCH(int, fromRequest);
        QFETCH(int, received);
        if (fromRequest)
            device->addFault({5, fromRequest, 0, Fault::ShortReply});
        KR960_Bootloader window;
        DialogScript script;
        script.answerText("0x0").answerInt(1024);
        window.slotpushButtonReadExternalFlash(false);
        QVERIFY(script.done());
        const QStringList lines = logLines(window);
        QCOMPARE(dumpBytes(lines), distinct(received) + QByteArray(1024 - received, '\0'));
        const QString failure = QString("Read failed: bytes from offset 0x%1 on were not received "
                                        "(shown as 00)")
                                    .arg(received, 4, 16, QChar('0'));
        QCOMPARE(lines.last() == failure, received < 1024);
    }

    void failedMemoryChunkLeavesTheCallersFill()
    {
        USBKR960 usb;
        device->addFault({1, 2, 1, Fault::ShortReply});
        QByteArray buffer(4096, '\xEE');
        QCOMPARE(
            usb.ReadMemoryFromAddress(reinterpret_cast<uchar *>(buffer.data()), 0x08050000, 4096),
            -1);
        QCOMPARE(buffer, distinct(2048) + QByteArray(2048, '\xEE'));
    }

    // Refused by its size alone: nothing is read whole and nothing reaches the device.
    void binFileLargerThanTheExternalFlash()
    {
        sparseFile("big.bin", (qint64(16) << 20) + 4);
        KR960_Bootloader window;
        DialogScript script;
        script.chooseFile(path("big.bin")).acknowledge();
        window.slotpushButtonWriteExtFlashBin(false);
        QVERIFY(script.done());
        QCOMPARE(script.seen().value(1).title, "Length error");
        QCOMPARE(script.seen().value(1).label, binWriteText(BinWriteResult::TooLarge));
        QVERIFY(vendorRequests(*device).isEmpty());
    }

    void refusedDuringAnUpgrade_data()
    {
        QTest::addColumn<QByteArray>("slot");
        QTest::addColumn<QString>("ownTrace");
        for (const char *name : {"Connect", "Read", "Write", "WritePage", "WriteExtFlashBin",
                                 "WriteExternalFlash", "ReadExternalFlash", "Disconnect"})
            QTest::newRow(name) << QByteArray("slotpushButton") + name
                                << QString("KR960_Bootloader::slotpushButton%1(bool t)").arg(name);
        QTest::newRow("RunApplication") << QByteArray("slotpushButtonRunApplication") << QString();
    }
    void refusedDuringAnUpgrade()
    {
        QFETCH(QByteArray, slot);
        QFETCH(QString, ownTrace);
        QFile::remove(path("dane.csv"));
        device->setLatencyMs(10);
        KR960_Bootloader window;
        TraceCapture trace;
        window.upgradeWorker()->slotSetFileName(path("blank.upg"));
        window.upgradeWorker()->start();
        QTRY_VERIFY(window.findChild<QProgressBar *>("progressBarFlash")->value() > 0);
        trace.clear();
        DialogScript script;
        QVERIFY(QMetaObject::invokeMethod(&window, slot, Q_ARG(bool, false)));
        const QStringList traced = trace.lines();
        const QStringList lines = logLines(window);
        window.upgradeWorker()->stop();
        QCOMPARE(script.unexpectedDialogs(), 0);
        QCOMPARE(lines.last(), "Upgrade in progress");
        QVERIFY(ownTrace.isEmpty() || traced.contains(ownTrace));
        for (const char *deviceCall :
             {"USB Disconnect", "USB Connect", "USBKR960::RunApplication(void)"})
            QVERIFY(!traced.contains(deviceCall));
        const bool table = slot.endsWith("Disconnect");
        QCOMPARE(QFile::exists(path("dane.csv")), table);
        if (table)
            QCOMPARE(lines.size(), 192);
    }

    // A table file that cannot be opened is left alone, without Qt's warning about a closed file.
    void tableThatCannotOpenIsNotWritten()
    {
        QFile::remove(path("dane.csv"));
        QVERIFY(QDir(work.path()).mkpath("dane.csv"));
        QTest::failOnWarning(QRegularExpression("not open"));
        KR960_Bootloader window;
        window.slotpushButtonDisconnect(false);
        QCOMPARE(logLines(window).size(), 191);
        QVERIFY(QDir(work.path()).rmdir("dane.csv"));
    }

    // A negative length is the caller's mistake: no connect, and an open link stays open.
    void negativeLengthLeavesTheLinkAlone()
    {
        for (bool send : {false, true})
            for (bool open : {false, true}) {
                USBKR960 usb;
                QVERIFY(!open || usb.connect() == 0);
                device->clearRequests();
                uchar buffer[4] = {};
                QCOMPARE(send ? usb.control_send(2, 0, 0, buffer, -1)
                              : usb.control_receive(1, 0, 0x0800, buffer, -1),
                         -1);
                QVERIFY(vendorRequests(*device).isEmpty());
                QCOMPARE(usb.is_connected(), open ? 0 : -1);
            }
    }

    // Started from a directory without .qm files, the installed translation is found.
    void translationWhereItIsInstalled()
    {
        QCOMPARE(installedTranslationDirectories().value(0), QString(MV604_TRANSLATIONS_DIR));
        const QString besideExecutable = QCoreApplication::applicationDirPath() + "/kr960_pl.qm";
        QFile::remove(besideExecutable);
        QVERIFY(QFile::copy(MV604_PL_QM, besideExecutable));
        QTranslator translator;
        installTranslation(translator, "pl_PL");
        const QString shown = QCoreApplication::translate("KR960_BootloaderClass", "Connect");
        QCoreApplication::removeTranslator(&translator);
        QFile::remove(besideExecutable);
        QCOMPARE(shown, QString("Połącz"));
    }

    // What a production script sees: the exit code and every line of stdout (or of stderr).
    void commandLine_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("output");
        QTest::newRow("info in the application")
            << QStringList{"info"} << 0
            << "serial: 264900001\nmode: application\nbootloader version: KR960 BL 1.07\n";
        QTest::newRow("read without header")
            << QStringList{"read", "8050000", "16"} << 0
            << "0x0000: 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f 10 < ................ >\n";
        QTest::newRow("read -o raw")
            << QStringList{"read", "8050000", "16", "-o", "raw"} << 0 << "";
        QTest::newRow("ext-read fails")
            << QStringList{"ext-read", "0", "1024"} << 1
            << "mv604-cli: reading 1024 bytes of external flash at 0x0 failed\n";
        QTest::newRow("ext-write of 4 GiB + 4, not 4")
            << QStringList{"ext-write", "big.bin"} << 1
            << "mv604-cli: big.bin: The file is larger than the external flash (16 MiB)\n";
    }
    void commandLine()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QFETCH(QString, output);
        sparseFile("big.bin", (qint64(4) << 30) + 4);
        device->setMode(arguments.first() == "info" ? Mode::Application : Mode::Bootloader);
        device->addFault({5, 1, 0, Fault::ShortReply});
        QProcess cli;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("UMOCKDEV_DIR", QString::fromStdString(bus.rootDirectory()));
        cli.setProcessEnvironment(environment);
        cli.setWorkingDirectory(work.path());
        cli.start(MV604_CLI, arguments);
        QVERIFY(cli.waitForFinished(60000));
        device->setMode(Mode::Bootloader);
        QCOMPARE(cli.exitCode(), exitCode);
        QCOMPARE(QString(exitCode ? cli.readAllStandardError() : cli.readAllStandardOutput()),
                 output);
        QFile raw(path("raw"));
        if (arguments.contains("-o"))
            QVERIFY(raw.open(QIODevice::ReadOnly) && raw.readAll() == distinct(16));
    }
};

QTEST_MAIN(TestReviewFixes)
#include "test_review_fixes.moc"
