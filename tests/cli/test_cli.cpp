// mv604-cli as a production script sees it: exit codes, stdout and stderr, and the files it
// leaves, against simulated KR960s served by mv604-sim.

#include "process_run.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

class TestCli : public QObject
{
    Q_OBJECT

    QTemporaryDir work;

    QString path(const QString &name) const { return work.filePath(name); }
    void writeFile(const QString &name, const QByteArray &bytes)
    {
        QFile file(path(name));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(bytes);
    }
    // Runs the tool, under mv604-sim when simOptions is not "-".
    ProcessRun cli(const QStringList &simOptions, const QStringList &arguments)
    {
        if (simOptions == QStringList{"-"})
            return runProcess(MV604_CLI, arguments, work.path());
        return runProcess(MV604_SIM, simOptions + QStringList{"--", MV604_CLI} + arguments,
                          work.path());
    }

private slots:
    // An application firmware as a build server makes it: objcopy's Intel HEX of a binary.
    void initTestCase()
    {
        QByteArray application(0x3C000, '\0');
        for (int i = 0; i < application.size(); ++i)
            application[i] = char((i * 7) ^ (i >> 8));
        application[0x3BFD0] = application[0x3BFD1] = 0; // the brand word
        writeFile("app.bin", application);
        writeFile("six.bin", "abcdef");
        QFile big(path("big.bin")); // 4 GiB + 4 bytes: its size must not wrap to 4
        QVERIFY(big.open(QIODevice::WriteOnly) && big.resize((qint64(4) << 30) + 4));
        QCOMPARE(runProcess("objcopy",
                            {"-I", "binary", "-O", "ihex", "--change-addresses", "0x08004000",
                             "app.bin", "app.hex"},
                            work.path())
                     .exitCode,
                 0);
        QCOMPARE(cli({"-"}, {"create-upg", "app.hex", "-o", "app.upg"}).exitCode, 0);
    }

    // Exit 0 success, 1 the operation failed, 2 usage; failures say why in one line on stderr.
    void exitCodesAndMessages_data()
    {
        QTest::addColumn<QStringList>("sim");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("expected"); // in stdout for 0, stderr otherwise
        const QStringList none{"-"};
        QTest::newRow("no command") << none << QStringList{} << 2 << "missing COMMAND";
        QTest::newRow("unknown command")
            << none << QStringList{"flash"} << 2 << "unknown command 'flash'";
        QTest::newRow("version") << none << QStringList{"--version"} << 0 << "mv604-cli 2.00";
        QTest::newRow("command help") << none << QStringList{"read", "--help"} << 0 << "ADDRESS";
        QTest::newRow("bad address")
            << none << QStringList{"read", "0x1g", "4"} << 2 << "not a hexadecimal number";
        QTest::newRow("length too long")
            << none << QStringList{"read", "0", "1048577"} << 2 << "out of range";
        QTest::newRow("create-upg without -o")
            << none << QStringList{"create-upg", "app.hex"} << 2 << "missing -o";
        QTest::newRow("boot-images count 0")
            << none << QStringList{"boot-images", "app.hex", "--first", "1", "--count", "0"} << 2
            << "out of range";
        QTest::newRow("create-upg of a missing file")
            << none << QStringList{"create-upg", "no.hex", "-o", "x.upg"} << 1
            << "HexToBin error: -8) in no.hex";
        QTest::newRow("boot-images")
            << none << QStringList{"boot-images", "app.hex", "--first", "9997",   "--count",
                                   "2",           "--year",  "26",      "--week", "49"}
            << 0
            << "264909997 Mv604_Bootloader_264909997.bin\n264909998 "
               "Mv604_Bootloader_264909998.bin\n";
        QTest::newRow("boot-images past 9999")
            << none << QStringList{"boot-images", "app.hex", "--first", "9998", "--count", "2"} << 2
            << "out of range";
        QTest::newRow("upgrade")
            << QStringList{"--serial", "264900007"} << QStringList{"upgrade", "app.upg"} << 0
            << "264900007b\nKR960 BL 1.07\nBootloader mode\nWritting firmware ... \nOK\n";
        QTest::newRow("upgrade from the application")
            << QStringList{"--mode", "application"} << QStringList{"upgrade", "app.upg"} << 0
            << "Apllication mode\nReset device\n";
        QTest::newRow("upgrade, page refused")
            << QStringList{"--fail", "3:5"} << QStringList{"upgrade", "app.upg"} << 1
            << "upgrade failed: ERROR (write-failed)";
        QTest::newRow("upgrade, page differs")
            << QStringList{"--corrupt-page", "0x08006000"} << QStringList{"upgrade", "app.upg"} << 1
            << "upgrade failed: Verify ERROR (verify-failed)";
        QTest::newRow("upgrade, no device")
            << QStringList{"--devices", "0"} << QStringList{"upgrade", "app.upg"} << 1
            << "upgrade failed: USB Timeout Check USB Cable (no-device)";
        QTest::newRow("upgrade of a missing file")
            << none << QStringList{"upgrade", "no.upg"} << 1 << "cannot open no.upg";
        QTest::newRow("info")
            << QStringList{"--mode", "application", "--serial", "123456789"} << QStringList{"info"}
            << 0 << "serial: 123456789\nmode: application\nbootloader version: KR960 BL 1.07\n";
        QTest::newRow("info, no permission")
            << QStringList{"--permission-denied"} << QStringList{"info"} << 1
            << "No permission to open the KR960: install the udev rule";
        QTest::newRow("list") << QStringList{"--devices", "2"} << QStringList{"list"} << 0
                              << "serial 264900002b  mode bootloader  access ok";
        QTest::newRow("list, empty bus")
            << QStringList{"--devices", "0"} << QStringList{"list"} << 0 << "no KR960 attached";
        QTest::newRow("read fails")
            << QStringList{"--fail", "1:1"} << QStringList{"read", "8000000", "16"} << 1
            << "reading 16 bytes of memory at 0x8000000 failed";
        QTest::newRow("read, without a header")
            << QStringList{} << QStringList{"read", "0x8003ff0", "9"} << 0
            << "0x0000: 32 36 34 39 30 30 30 30 31";
        QTest::newRow("ext-read fails")
            << QStringList{"--short", "5:1:0"} << QStringList{"ext-read", "0", "1024"} << 1
            << "reading 1024 bytes of external flash at 0x0 failed";
        QTest::newRow("ext-write of 4 GiB + 4")
            << QStringList{} << QStringList{"ext-write", "big.bin"} << 1
            << "big.bin: The file is larger than the external flash (16 MiB)";
        QTest::newRow("ext-write of an unaligned file")
            << QStringList{} << QStringList{"ext-write", "six.bin"} << 1
            << "Length should be aligned to 4";
        QTest::newRow("ext-write fails")
            << QStringList{"--fail", "6:1:0"} << QStringList{"ext-write", "app.bin"} << 1
            << "WriteExternalFlashToAddress";
        QTest::newRow("run-app") << QStringList{} << QStringList{"run-app"} << 0
                                 << "application started";
    }
    void exitCodesAndMessages()
    {
        QFETCH(QStringList, sim);
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QFETCH(QString, expected);
        const ProcessRun run = cli(sim, arguments);
        QVERIFY2(run.exitCode == exitCode, qPrintable(run.out + run.err));
        QVERIFY2((exitCode == 0 ? run.out : run.err).contains(expected),
                 qPrintable(run.out + run.err));
        if (expected.startsWith("0x0000"))
            QVERIFY(run.out.startsWith(expected));
        if (exitCode != 0)
            QVERIFY(run.err.section('\n', -2).startsWith("mv604-cli: "));
        QVERIFY(!QFile::exists(path("x.upg")));
    }

    // What ext-write puts into external flash, ext-read gives back; ext-fill writes its byte.
    void externalFlashRoundTrip()
    {
        const QStringList state{"--state-dir", path("state")};
        QVERIFY(QDir(work.path()).mkpath("state"));
        QCOMPARE(cli(state, {"ext-write", "app.bin"}).exitCode, 0);
        QCOMPARE(cli(state, {"ext-read", "0", "245760", "-o", "back.bin"}).exitCode, 0);
        QFile app(path("app.bin")), back(path("back.bin"));
        QVERIFY(app.open(QIODevice::ReadOnly) && back.open(QIODevice::ReadOnly));
        QCOMPARE(back.readAll(), app.readAll());
        QCOMPARE(cli(state, {"ext-fill", "0x10", "3", "ab"}).exitCode, 0);
        const ProcessRun dump = cli(state, {"ext-read", "0x10", "3"});
        QVERIFY2(dump.out.contains(": ab ab ab "), qPrintable(dump.out));
    }
};

QTEST_GUILESS_MAIN(TestCli)
#include "test_cli.moc"
