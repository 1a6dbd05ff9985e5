// mv604-cli as a production script sees it: exit codes, stdout and stderr, and the files it
// leaves, against simulated KR960s served by mv604-sim.

#include "hex_records.h"
#include "process_run.h"

#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

class TestCli : public QObject
{
    Q_OBJECT

    QTemporaryDir work;

    QString path(const QString &name) const { return work.filePath(name); }
    ProcessRun cli(const QString &run) { return runCli(run, work.path()); }
    // A tool nobody here wrote, its arguments split at spaces; true when it exits 0.
    bool tool(const QString &commandLine)
    {
        const QStringList words = commandLine.split(' ');
        return runProcess(words.first(), words.mid(1), work.path()).exitCode == 0;
    }

private slots:
    // An application firmware as a build server makes it: objcopy's Intel HEX of a binary.
    void initTestCase()
    {
        QByteArray application(0x3C000, '\0');
        for (int i = 0; i < application.size(); ++i)
            application[i] = char((i * 7) ^ (i >> 8));
        application[0x3BFD0] = application[0x3BFD1] = 0; // the brand word
        QVERIFY(writeFile(path("app.bin"), application) && writeFile(path("six.bin"), "abcdef"));
        const QByteArray base = hexLinearBase(0x0800), eof = hexRecord(0, 1, {});
        QVERIFY(writeFile(path("zero.hex"), base + hexRecord(0x4000, 0, QByteArray(4, 0)) + eof) &&
                QDir(work.path()).mkpath("folder"));
        QFile big(path("big.bin")); // 4 GiB + 4 bytes: its size must not wrap to 4
        QVERIFY(big.open(QIODevice::WriteOnly) && big.resize((qint64(4) << 30) + 4));
        QVERIFY(tool("objcopy -I binary -O ihex --change-addresses 0x08004000 app.bin app.hex"));
        QCOMPARE(cli("create-upg app.hex -o app.upg").exitCode, 0);
        // Damaged HEX as it reaches a build server: cut off at a line end, a byte changed in
        // transit, and records wider than the loader's line (srec_cat, 32 bytes each).
        QList<QByteArray> lines = readFile(path("app.hex")).split('\n');
        QVERIFY(writeFile(path("cut.hex"), lines.mid(0, lines.size() - 2).join('\n') + '\n'));
        lines[1233][9] = '5'; // 0x4D becomes 0x5D
        QVERIFY(writeFile(path("flipped.hex"), lines.join('\n')));
        QVERIFY(tool("srec_cat app.bin -binary -offset 0x08004000 -o wide.hex -intel "
                     "-output_block_size=32"));
        // One byte alone at each side of the application window's two ends.
        for (const quint32 address : {0x08003FFFu, 0x08004000u, 0x0803FFFFu, 0x08040000u})
            QVERIFY(writeFile(path(QString("at%1.hex").arg(address, 0, 16)),
                              hexLinearBase(quint16(address >> 16)) +
                                  hexRecord(quint16(address), 0, "Z") + eof));
        QByteArray damaged = readFile(path("app.upg"));
        damaged[0x5000] = char(damaged[0x5000] ^ 1);
        QVERIFY(writeFile(path("bad.upg"), damaged) &&
                cli("create-upg zero.hex -o zero.upg").exitCode == 0); // zero bytes are data
    }

    // Exit 0 success, 1 the operation failed, 2 usage; failures say why in one line on stderr.
    // `run`: the tool's arguments, under mv604-sim with its options before a '|'.
    void exitCodesAndMessages_data()
    {
        QTest::addColumn<QString>("run");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("expected"); // in stdout for 0, stderr otherwise
        const auto row = [](const char *name) -> QTestData & { return QTest::newRow(name); };
        // clang-format off
        row("no command") << "" << 2 << "missing COMMAND";
        row("unknown command") << "flash" << 2 << "unknown command 'flash'";
        row("version") << "--version" << 0 << "mv604-cli 2.00";
        row("bad address") << "read 0x1g 4" << 2 << "not a hexadecimal number";
        row("create-upg without -o") << "create-upg app.hex" << 2 << "missing -o";
        row("create-upg of a missing file") << "create-upg no.hex -o x.upg" << 1 << "cannot open no.hex: No such file or directory";
        row("create-upg of a HEX file cut off") << "create-upg cut.hex -o x.upg" << 1 << "cut.hex: no end-of-file record";
        row("create-upg of a byte changed in transit") << "create-upg flipped.hex -o x.upg" << 1 << "flipped.hex: line 1234: record checksum 1B, the record sums to 0B";
        row("create-upg of 32-byte records") << "create-upg wide.hex -o x.upg" << 1 << "wide.hex: line 2: 32 data bytes, at most 25 per record (objcopy and srec_cat write 16 by default)";
        row("create-upg of a byte at 0x08003FFF") << "create-upg at8003fff.hex -o x.upg" << 1 << "No data for the application area 0x08004000..0x0803FFFF in at8003fff.hex";
        row("create-upg of a byte at 0x08004000") << "create-upg at8004000.hex -o ok.upg" << 0 << "written: ok.upg";
        row("create-upg of a byte at 0x0803FFFF") << "create-upg at803ffff.hex -o ok.upg" << 0 << "written: ok.upg";
        row("create-upg of a byte at 0x08040000") << "create-upg at8040000.hex -o x.upg" << 1 << "No data for the application area";
        row("verify of 4 GiB + 4") << "| verify big.bin" << 1 << "cannot open big.bin: 4294967300 bytes, far larger than an upgrade file (393282 bytes)";
        row("upgrade of a folder") << "| upgrade folder" << 1 << "cannot open folder: Is a directory";
        row("create-upg of objcopy's firmware") << "create-upg app.hex -o ok.upg" << 0 << "application checksum: 0xb9b22b96";
        row("write fails: full device") << "create-upg app.hex -o /dev/full" << 1 << "Cannot write /dev/full: No space left on device";
        row("open fails: no folder") << "| read 8000000 16 -o no/x.bin" << 1 << "cannot write no/x.bin: cannot create a file in no: No such file or directory";
        row("rename fails: a folder") << "| read 8000000 16 -o folder" << 1 << "cannot write folder: Is a directory";
        row("verify of a damaged file") << "| verify bad.upg" << 1 << "bad.upg: Wrong file checksum";
        row("upgrade of an all-zero file") << "| upgrade zero.upg" << 0 << "Writting firmware ... \nOK\n";
        row("length out of range") << "read 0 99999999999" << 2 << "LENGTH 99999999999 is out of range (1 to 1048576)";
        row("address out of range") << "read 100000000 4" << 2 << "ADDRESS '100000000' is out of range (0 to 0xffffffff)";
        row("--trace before the command") << "--fail 1:1 | --trace info" << 1 << "USB Connect";
        row("--serial=") << "| --serial= upgrade app.upg" << 2 << "--serial is given an empty value";
        row("--serial, then an empty --serial") << "| --serial 264900002 --serial= upgrade app.upg" << 2 << "--serial is given an empty value";
        row("--port=") << "| --port= upgrade app.upg" << 2 << "--port is given an empty value";
        row("a port with a leading zero") << "| --port 1-01 info" << 2 << "--port '1-01' is not a USB port path";
        row("a bus with a leading zero") << "| --port 01-1 info" << 2 << "--port '01-1' is not a USB port path";
        row("list of a serial not attached") << "--devices 2 | --serial 999999999 list" << 1 << "no KR960 with serial 999999999; attached: 264900001b on 1-1.1, 264900002b on 1-1.2";
        row("--serial after the command") << "info --serial 264900001" << 2 << "--serial goes before the command: mv604-cli --serial N info";
        row("boot-images") << "boot-images app.hex --first 9997 --count 2 --year 26 --week 49" << 0
                           << "264909997 Mv604_Bootloader_264909997.bin\n264909998 Mv604_Bootloader_264909998.bin\n";
        row("boot-images past 9999") << "boot-images app.hex --first 9998 --count 2" << 2 << "out of range";
        row("upgrade") << "--serial 264900007 | upgrade app.upg" << 0 << "264900007b\nKR960 BL 1.07\nBootloader mode\nWritting firmware ... \nOK\n";
        row("upgrade, page refused") << "--fail 3:5 | upgrade app.upg" << 1 << "upgrade failed: ERROR (write-failed)";
        row("upgrade, page differs") << "--corrupt-page 0x08006000 | upgrade app.upg" << 1 << "upgrade failed: Verify ERROR (verify-failed)";
        row("upgrade, no device") << "--devices 0 | upgrade app.upg" << 1 << "upgrade failed: USB Timeout Check USB Cable (no-device)";
        row("info") << "--mode application --serial 123456789 | info" << 0 << "serial: 123456789\nport: 1-1.1\nmode: application\nbootloader version: KR960 BL 1.07\n";
        row("info, no permission") << "--permission-denied | info" << 1 << "No permission to open the KR960: install the udev rule";
        row("list") << "--devices 2 | list" << 0 << "serial 264900002b  mode bootloader  access ok";
        row("read fails") << "--fail 1:1 | read 8000000 16" << 1 << "reading 16 bytes of memory at 0x8000000 failed";
        row("read, without a header") << "| read 0x8003ff0 9" << 0 << "0x0000: 32 36 34 39 30 30 30 30 31";
        row("ext-read fails") << "--short 5:1:0 | ext-read 0 1024" << 1 << "reading 1024 bytes of external flash at 0x0 failed";
        row("ext-write of 4 GiB + 4") << "| ext-write big.bin" << 1 << "big.bin: The file is larger than the external flash (16 MiB)";
        row("ext-write of an unaligned file") << "| ext-write six.bin" << 1 << "Length should be aligned to 4";
        row("ext-write fails") << "--fail 6:1:0 | ext-write app.bin" << 1 << "WriteExternalFlashToAddress";
        row("run-app") << "| run-app" << 0 << "application started";
        row("run-app in the application") << "--mode application | run-app" << 0 << "the application is already running";
        row("bootloader from the application") << "--mode application | bootloader" << 0 << "bootloader started";
        const QString needs = " needs the KR960's bootloader, but the board runs its application: restart it into the bootloader first (mv604-cli bootloader)";
        row("ext-read in the application") << "--mode application | ext-read 0 16" << 1 << "ext-read" + needs;
        row("ext-fill in the application") << "--mode application | ext-fill 0 16 ff" << 1 << "ext-fill" + needs;
        row("ext-write in the application") << "--mode application | ext-write app.bin" << 1 << "ext-write" + needs;
        // clang-format on
    }
    void exitCodesAndMessages()
    {
        QFETCH(QString, run);
        QFETCH(int, exitCode);
        QFETCH(QString, expected);
        const ProcessRun result = cli(run);
        QVERIFY2(result.exitCode == exitCode, qPrintable(result.out + result.err));
        QVERIFY2((exitCode == 0 ? result.out : result.err).contains(expected),
                 qPrintable(result.out + result.err));
        if (expected.startsWith("0x0000"))
            QVERIFY(result.out.startsWith(expected));
        if (exitCode != 0)
            QVERIFY(result.err.section('\n', -2).startsWith("mv604-cli: "));
        // HEX data where the application checksum goes is lost: the build says so.
        if (run.startsWith("create-upg") && exitCode == 0)
            QCOMPARE(result.err.contains("Warning: the HEX data at 0x0803FFFC..0x0803FFFF is "
                                         "replaced by the application checksum"),
                     run.contains("app.hex") || run.contains("at803ffff"));
        QVERIFY(!QFile::exists(path("x.upg")));
    }

    // What ext-write puts into external flash, ext-read gives back; ext-fill writes its byte.
    void externalFlashRoundTrip()
    {
        const QString sim = "--state-dir " + path("state") + " | ";
        QVERIFY(QDir(work.path()).mkpath("state"));
        QCOMPARE(cli(sim + "ext-write app.bin").exitCode, 0);
        QCOMPARE(cli(sim + "ext-read 0 245760 -o back.bin").exitCode, 0);
        QCOMPARE(readFile(path("back.bin")), readFile(path("app.bin")));
        QCOMPARE(cli(sim + "ext-fill 0x10 3 ab").exitCode, 0);
        const ProcessRun dump = cli(sim + "ext-read 0x10 3");
        QVERIFY2(dump.out.contains(": ab ab ab "), qPrintable(dump.out));
    }
};

QTEST_GUILESS_MAIN(TestCli)
#include "test_cli.moc"
