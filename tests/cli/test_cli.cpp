// mv604-cli as a production script sees it: exit codes, stdout and stderr, and the files it
// leaves, against a simulated KR960 served by mv604-sim.

#include "image/boot_image.h"
#include "upgrade/upgrade_builder.h"

#include "process_run.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

namespace
{

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeAll(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(bytes), bytes.size());
}

// An application firmware as the build server makes it: a binary turned into Intel HEX by
// objcopy, brand word 0 at 0x0803FFD0.
QByteArray applicationBinary(int size)
{
    QByteArray bytes(size, '\0');
    for (int i = 0; i < size; ++i)
        bytes[i] = char((i * 7) ^ (i >> 8));
    if (size > 0x3BFD1)
        bytes[0x3BFD0] = bytes[0x3BFD1] = 0;
    return bytes;
}

} // namespace

class TestCli : public QObject
{
    Q_OBJECT

    QTemporaryDir work;

    QString path(const QString &name) const { return work.filePath(name); }

    Run cli(const QStringList &arguments) { return runProcess(MV604_CLI, arguments, work.path()); }

    Run simulated(const QStringList &simOptions, const QStringList &arguments)
    {
        return runProcess(MV604_SIM, simOptions + QStringList{"--", MV604_CLI} + arguments,
                          work.path());
    }

    QString makeHex(const QString &name, const QByteArray &binary, quint32 address)
    {
        const QString bin = path(name + ".bin");
        const QString hex = path(name + ".hex");
        writeAll(bin, binary);
        const Run objcopy = runProcess("objcopy",
                                       {"-I", "binary", "-O", "ihex", "--change-addresses",
                                        QString("0x%1").arg(address, 0, 16), bin, hex},
                                       work.path());
        if (objcopy.exitCode != 0)
            qWarning() << objcopy.err;
        return hex;
    }

    QString makeUpgradeFile()
    {
        const QString upg = path("app.upg");
        if (!QFile::exists(upg)) {
            const QString hex = makeHex("app", applicationBinary(0x3C000), 0x08004000);
            if (!buildUpgradeFile(hex, upg).ok())
                return QString();
        }
        return upg;
    }

private slots:
    void initTestCase() { QVERIFY(work.isValid()); }

    void usageErrors_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("message");
        QTest::newRow("no command") << QStringList{} << "missing COMMAND";
        QTest::newRow("unknown command") << QStringList{"flash"} << "unknown command 'flash'";
        QTest::newRow("unknown option") << QStringList{"info", "--fast"} << "Unknown option";
        QTest::newRow("address not hex") << QStringList{"read", "xyz", "16"} << "ADDRESS 'xyz'";
        QTest::newRow("address above 32 bits")
            << QStringList{"read", "0x100000000", "16"} << "ADDRESS '0x100000000'";
        QTest::newRow("length zero") << QStringList{"read", "0x8000000", "0"} << "LENGTH 0";
        QTest::newRow("length too long")
            << QStringList{"ext-read", "0", "1048577"} << "LENGTH 1048577 is out of range";
        QTest::newRow("fill byte too big")
            << QStringList{"ext-fill", "0", "4", "0x1c7"} << "BYTE '0x1c7' is above 0xff";
        QTest::newRow("missing argument") << QStringList{"read", "0x8000000"} << "missing LENGTH";
        QTest::newRow("extra argument") << QStringList{"info", "now"} << "unexpected argument";
        QTest::newRow("create-upg without output")
            << QStringList{"create-upg", "a.hex"} << "missing -o";
        QTest::newRow("week 54") << QStringList{"boot-images", "b.hex",  "--first",
                                                "1",           "--week", "54"}
                                 << "--week 54 is out of range (1 to 53)";
        QTest::newRow("year 100") << QStringList{"boot-images", "b.hex",  "--first",
                                                 "1",           "--year", "100"}
                                  << "--year 100 is out of range (0 to 99)";
        QTest::newRow("count past 9999")
            << QStringList{"boot-images", "b.hex", "--first", "9998", "--count", "2"}
            << "--count 2 is out of range (1 to 1)";
        QTest::newRow("first 0") << QStringList{"boot-images", "b.hex", "--first", "0"}
                                 << "--first 0 is out of range";
    }
    void usageErrors()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, message);
        const Run run = cli(arguments);
        QCOMPARE(run.exitCode, 2);
        QVERIFY2(run.err.contains(message), qPrintable(run.err));
        QCOMPARE(run.err.count('\n'), 1);
    }

    void helpAndVersionOnEveryLevel_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("expected");
        QTest::newRow("help") << QStringList{"--help"} << "upgrade FILE.upg";
        QTest::newRow("version") << QStringList{"--version"} << "2.00";
        QTest::newRow("command help") << QStringList{"boot-images", "--help"} << "--first";
        QTest::newRow("command version") << QStringList{"upgrade", "--version"} << "2.00";
    }
    void helpAndVersionOnEveryLevel()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, expected);
        const Run run = cli(arguments);
        QCOMPARE(run.exitCode, 0);
        QVERIFY2(run.out.contains(expected), qPrintable(run.out));
    }

    void createUpgMatchesTheWindowsBuild()
    {
        const QString hex = makeHex("app", applicationBinary(0x3C000), 0x08004000);
        const Run run = cli({"create-upg", hex, "-o", path("cli.upg")});
        QCOMPARE(run.exitCode, 0);
        QVERIFY(run.out.contains("application checksum: 0x"));
        QVERIFY(run.out.contains("upper checksum: 0x00000000"));
        QVERIFY(buildUpgradeFile(hex, path("library.upg")).ok());
        const QByteArray cliFile = readAll(path("cli.upg"));
        QCOMPARE(cliFile.size(), 393282);
        QCOMPARE(cliFile, readAll(path("library.upg")));
    }

    void createUpgFailuresLeaveNoFile_data()
    {
        QTest::addColumn<QByteArray>("hexText");
        QTest::addColumn<QString>("message");
        QTest::newRow("invalid brand")
            << QByteArray(":020000040803F1\n:02FFD0000100FF\n:00000001FF\n")
            << "Err: Invalid brand!";
        QTest::newRow("blank line")
            << QByteArray(":020000040800F2\n\n:00000001FF\n") << "HexToBin error: -1)";
    }
    void createUpgFailuresLeaveNoFile()
    {
        QFETCH(QByteArray, hexText);
        QFETCH(QString, message);
        writeAll(path("bad.hex"), hexText);
        QFile::remove(path("bad.upg"));
        const Run run = cli({"create-upg", path("bad.hex"), "-o", path("bad.upg")});
        QCOMPARE(run.exitCode, 1);
        QVERIFY2(run.err.contains(message), qPrintable(run.err));
        QVERIFY(!QFile::exists(path("bad.upg")));
    }

    void createUpgMissingHex()
    {
        const Run run = cli({"create-upg", path("absent.hex"), "-o", path("absent.upg")});
        QCOMPARE(run.exitCode, 1);
        QVERIFY(run.err.contains("HexToBin error: -8)"));
        QVERIFY(!QFile::exists(path("absent.upg")));
    }

    void bootImagesMatchTheLibrary()
    {
        QByteArray boot(0x4000, '\0');
        for (int i = 0; i < 0x3FD0; ++i)
            boot[i] = char(i * 13);
        const QString hex = makeHex("boot", boot, 0x08000000);
        QDir(work.path()).mkdir("images");
        const Run run = cli({"boot-images", hex, "--year", "26", "--week", "49", "--first", "41",
                             "--count", "2", "--dir", path("images")});
        QCOMPARE(run.exitCode, 0);
        QByteArray expected;
        QCOMPARE(loadBootImage(hex, expected), 0);
        for (const QString serial : {"264900041", "264900042"}) {
            stampSerial(expected, serial);
            QCOMPARE(readAll(path("images/Mv604_Bootloader_" + serial + ".bin")), expected);
            QVERIFY(run.out.contains(serial));
        }
        QCOMPARE(QDir(path("images")).entryList(QDir::Files).size(), 2);
    }

    void upgradeOfADeviceInItsBootloader()
    {
        const QString upg = makeUpgradeFile();
        const Run run =
            simulated({"--mode", "bootloader", "--serial", "264900007"}, {"upgrade", upg});
        QCOMPARE(run.exitCode, 0);
        const QStringList lines = run.out.split('\n', Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 6);
        QCOMPARE(lines.at(0), upg);
        QCOMPARE(lines.at(1), QString("264900007b"));
        QCOMPARE(lines.at(3), QString("Bootloader mode"));
        QCOMPARE(lines.at(4), QString("Writting firmware ... "));
        QCOMPARE(lines.at(5), QString("OK"));
        QVERIFY2(run.err.contains("progress: 100%"), qPrintable(run.err));
    }

    void failedUpgradesExitWithOne_data()
    {
        QTest::addColumn<QStringList>("simOptions");
        QTest::addColumn<QString>("lastLine");
        QTest::newRow("page write fails") << QStringList{"--fail", "3:5"} << "ERROR";
        QTest::newRow("page reads back different")
            << QStringList{"--corrupt-page", "0x08006000"} << "Verify ERROR";
    }
    void failedUpgradesExitWithOne()
    {
        QFETCH(QStringList, simOptions);
        QFETCH(QString, lastLine);
        const Run run = simulated(simOptions, {"upgrade", makeUpgradeFile()});
        QCOMPARE(run.exitCode, 1);
        QCOMPARE(run.out.split('\n', Qt::SkipEmptyParts).last(), lastLine);
        QVERIFY2(run.err.contains("upgrade failed: " + lastLine), qPrintable(run.err));
    }

    void upgradeOfAMissingFile()
    {
        const Run run = cli({"upgrade", path("nothing.upg")});
        QCOMPARE(run.exitCode, 1);
        QVERIFY(run.err.contains("cannot open"));
    }

    void listShowsEveryDevice()
    {
        const Run two = simulated({"--devices", "2"}, {"list"});
        QCOMPARE(two.exitCode, 0);
        QCOMPARE(two.out.count("bus 001 device"), 2);
        QVERIFY2(two.out.contains("mode bootloader  access ok"), qPrintable(two.out));
    }

    void emptyBus()
    {
        const Run list = simulated({"--devices", "0"}, {"list"});
        QCOMPARE(list.exitCode, 0);
        QCOMPARE(list.out, QString("no KR960 attached\n"));
        const Run info = simulated({"--devices", "0"}, {"info"});
        QCOMPARE(info.exitCode, 1);
        QVERIFY2(info.err.contains("no KR960 found"), qPrintable(info.err));
        const Run upgrade = simulated({"--devices", "0"}, {"upgrade", makeUpgradeFile()});
        QCOMPARE(upgrade.exitCode, 1);
        QVERIFY2(upgrade.err.contains("upgrade failed: USB Timeout Check USB Cable"),
                 qPrintable(upgrade.err));
    }

    void listNamesAPermissionProblem()
    {
        const Run run = simulated({"--permission-denied"}, {"list"});
        QCOMPARE(run.exitCode, 0);
        QVERIFY2(run.out.contains("no permission"), qPrintable(run.out));
    }

    void infoOfBothModes_data()
    {
        QTest::addColumn<QString>("mode");
        QTest::addColumn<QString>("expected");
        QTest::newRow("bootloader") << "bootloader"
                                    << "mode: bootloader";
        QTest::newRow("application") << "application"
                                     << "mode: application";
    }
    void infoOfBothModes()
    {
        QFETCH(QString, mode);
        QFETCH(QString, expected);
        const Run run = simulated({"--mode", mode, "--serial", "123456789"}, {"info"});
        QCOMPARE(run.exitCode, 0);
        QVERIFY(run.out.contains("serial: 123456789"));
        QVERIFY2(run.out.contains(expected), qPrintable(run.out));
    }

    void deviceCommandsWithoutDeviceNameTheCause()
    {
        const Run run = simulated({"--permission-denied"}, {"info"});
        QCOMPARE(run.exitCode, 1);
        QVERIFY2(run.err.contains("No permission to open the KR960: install the udev rule"),
                 qPrintable(run.err));
    }

    void externalFlashRoundTrip()
    {
        QByteArray bytes(4096, '\0');
        for (int i = 0; i < bytes.size(); ++i)
            bytes[i] = char(i * 31 + 7);
        writeAll(path("ext.bin"), bytes);
        const QString state = path("state");
        QDir(work.path()).mkdir("state");
        const Run write = simulated({"--state-dir", state}, {"ext-write", path("ext.bin")});
        QCOMPARE(write.exitCode, 0);
        QVERIFY(write.out.contains("Write OK"));
        const Run read =
            simulated({"--state-dir", state}, {"ext-read", "0", "4096", "-o", path("back.bin")});
        QCOMPARE(read.exitCode, 0);
        QCOMPARE(readAll(path("back.bin")), bytes);
        const Run fill = simulated({"--state-dir", state}, {"ext-fill", "0x10", "3", "ab"});
        QCOMPARE(fill.exitCode, 0);
        const Run dump = simulated({"--state-dir", state}, {"ext-read", "0x10", "3"});
        QVERIFY2(dump.out.contains(" ab ab ab"), qPrintable(dump.out));
    }

    void extWriteRefusesUnalignedFile()
    {
        writeAll(path("six.bin"), QByteArray(6, 'x'));
        const Run run = simulated({}, {"ext-write", path("six.bin")});
        QCOMPARE(run.exitCode, 1);
        QVERIFY(run.err.contains("Length should be aligned to 4"));
    }
};

QTEST_GUILESS_MAIN(TestCli)
#include "test_cli.moc"
