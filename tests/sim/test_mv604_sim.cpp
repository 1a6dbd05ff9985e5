// mv604-sim as a process: it runs a child with a simulated KR960 on the child's USB bus.

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

namespace
{

struct Run {
    int exitCode = -1;
    QString output;
};

Run runSim(const QStringList &arguments)
{
    QProcess process;
    process.start(MV604_SIM_PATH, arguments);
    process.waitForFinished(60000);
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            QString::fromLocal8Bit(process.readAllStandardOutput()).trimmed()};
}

// mv604-sim [options] -- usb_probe PROBE...
Run probe(QStringList options, const QStringList &probeArguments)
{
    options << "--" << USB_PROBE_PATH;
    return runSim(options + probeArguments);
}

} // namespace

class TestMv604Sim : public QObject
{
    Q_OBJECT

private slots:
    void returnsTheChildsExitCode_data()
    {
        QTest::addColumn<QString>("script");
        QTest::addColumn<int>("exitCode");
        QTest::newRow("success") << "exit 0" << 0;
        QTest::newRow("failure") << "exit 3" << 3;
    }
    void returnsTheChildsExitCode()
    {
        QFETCH(QString, script);
        QFETCH(int, exitCode);
        QCOMPARE(runSim({"--", "sh", "-c", script}).exitCode, exitCode);
    }

    void answersHelpAndRefusesNonsense_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::newRow("help") << QStringList{"--help"} << 0;
        QTest::newRow("unknown option") << QStringList{"--frobnicate", "--", "true"} << 2;
        QTest::newRow("no command") << QStringList{"--mode", "bootloader"} << 2;
        QTest::newRow("bad mode") << QStringList{"--mode", "dfu", "--", "true"} << 2;
        QTest::newRow("bad serial") << QStringList{"--serial", "12ab", "--", "true"} << 2;
        QTest::newRow("bad fault") << QStringList{"--fail", "1", "--", "true"} << 2;
    }
    void answersHelpAndRefusesNonsense()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QCOMPARE(runSim(arguments).exitCode, exitCode);
    }

    void servesTheDeviceToTheChild_data()
    {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<QStringList>("probeArguments");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("output");
        QTest::newRow("bootloader serial")
            << QStringList{} << QStringList{"serial"} << 0 << "264900001b";
        QTest::newRow("application serial")
            << QStringList{"--mode", "application"} << QStringList{"serial"} << 0 << "264900001";
        QTest::newRow("own serial")
            << QStringList{"--serial", "123456789"} << QStringList{"serial"} << 0 << "123456789b";
        QTest::newRow("identity") << QStringList{} << QStringList{"identity"} << 0 << "0115";
        QTest::newRow("wrong identity")
            << QStringList{"--identity", "0116"} << QStringList{"identity"} << 0 << "0116";
        QTest::newRow("stalled identity")
            << QStringList{"--fail", "255:1"} << QStringList{"identity"} << 1 << "";
        QTest::newRow("timed-out identity")
            << QStringList{"--timeout", "0xff:1"} << QStringList{"identity"} << 1 << "";
        QTest::newRow("short identity")
            << QStringList{"--short", "255:1"} << QStringList{"identity"} << 1 << "";
        QTest::newRow("vanished") << QStringList{"--vanish-after", "0"} << QStringList{"identity"}
                                  << 1 << "";
        QTest::newRow("no permission")
            << QStringList{"--permission-denied"} << QStringList{"serial"} << 1 << "";
        QTest::newRow("two devices")
            << QStringList{"--devices", "2"} << QStringList{"count"} << 0 << "2";
    }
    void servesTheDeviceToTheChild()
    {
        QFETCH(QStringList, options);
        QFETCH(QStringList, probeArguments);
        QFETCH(int, exitCode);
        QFETCH(QString, output);
        const Run run = probe(options, probeArguments);
        QCOMPARE(run.exitCode, exitCode);
        QCOMPARE(run.output, output);
    }

    void keepsTheStateBetweenRuns()
    {
        QTemporaryDir state;
        const QStringList options{"--state-dir", state.path()};
        QCOMPARE(probe(options, {"write-ext", "0x30100", "hello"}).exitCode, 0);
        QCOMPARE(QFileInfo(QDir(state.path()).filePath("internal-flash.bin")).size(), 0x60000);
        QCOMPARE(QFileInfo(QDir(state.path()).filePath("external-flash.bin")).size(), 16 << 20);
        const Run second = probe(options, {"read-ext", "0x30100", "5"});
        QCOMPARE(second.exitCode, 0);
        QCOMPARE(second.output, QString("hello"));
    }

    void logsOneLinePerRequest()
    {
        QTemporaryDir directory;
        const QString log = directory.filePath("requests.log");
        QCOMPARE(probe({"--log", log}, {"identity"}).exitCode, 0);
        QFile file(log);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QStringList lines = QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 1);
        QCOMPARE(lines[0], QString("device 1 bmRequestType=0xc0 bRequest=255 wValue=0x0000 "
                                   "wIndex=0x0000 wLength=2 result=2"));
    }
};

QTEST_GUILESS_MAIN(TestMv604Sim)
#include "test_mv604_sim.moc"
