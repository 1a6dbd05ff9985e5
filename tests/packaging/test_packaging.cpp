// The packages a production PC installs: the right files in the right places, dependencies that
// a stock Debian resolves, and a udev rule that matches the KR960 in both of its modes.

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

namespace
{

QString run(const QString &program, const QStringList &arguments, int *exitCode = nullptr)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    process.waitForFinished(300000);
    if (exitCode)
        *exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    return QString::fromLocal8Bit(process.readAll());
}

} // namespace

class TestPackaging : public QObject
{
    Q_OBJECT

    QTemporaryDir output;
    QString runtimeDeb;
    QString simulatorDeb;

    QString contents(const QString &deb) { return run("dpkg-deb", {"-c", deb}); }
    QString control(const QString &deb) { return run("dpkg-deb", {"-I", deb}); }

private slots:
    void initTestCase()
    {
        if (QStandardPaths::findExecutable("dpkg-deb").isEmpty())
            QSKIP("dpkg-deb is not installed");
        QVERIFY(output.isValid());
        int exitCode = -1;
        const QString log = run("cpack",
                                {"-G", "DEB", "-B", output.path(), "--config",
                                 QString(MV604_BUILD_DIR) + "/CPackConfig.cmake"},
                                &exitCode);
        QVERIFY2(exitCode == 0, qPrintable(log));
        runtimeDeb = output.filePath(QString("mv604_%1_amd64.deb").arg(MV604_VERSION));
        simulatorDeb = output.filePath(QString("mv604-sim_%1_amd64.deb").arg(MV604_VERSION));
        QVERIFY2(QFile::exists(runtimeDeb), qPrintable(log));
        QVERIFY2(QFile::exists(simulatorDeb), qPrintable(log));
    }

    void runtimePackageHoldsTheTool_data()
    {
        QTest::addColumn<QString>("path");
        QTest::newRow("gui") << "./usr/bin/mv604";
        QTest::newRow("cli") << "./usr/bin/mv604-cli";
        QTest::newRow("udev rule") << "./usr/lib/udev/rules.d/60-kr960.rules";
        QTest::newRow("desktop entry") << "./usr/share/applications/mv604.desktop";
        QTest::newRow("scalable icon") << "./usr/share/icons/hicolor/scalable/apps/mv604.svg";
        QTest::newRow("48 px icon") << "./usr/share/icons/hicolor/48x48/apps/mv604.png";
        QTest::newRow("translation") << "./usr/share/mv604/translations/kr960_pl.qm";
    }
    void runtimePackageHoldsTheTool()
    {
        QFETCH(QString, path);
        QVERIFY2(contents(runtimeDeb)
                     .contains(QRegularExpression("\\s" + QRegularExpression::escape(path) + "$",
                                                  QRegularExpression::MultilineOption)),
                 qPrintable(contents(runtimeDeb)));
    }

    void simulatorStaysOutOfTheProductionPackage()
    {
        QVERIFY(!contents(runtimeDeb).contains("mv604-sim"));
        QVERIFY(!control(runtimeDeb).contains("umockdev"));
        QVERIFY(contents(simulatorDeb).contains("./usr/bin/mv604-sim"));
        QVERIFY(control(simulatorDeb).contains("umockdev"));
    }

    void runtimeDependsOnQtAndLibusb_data()
    {
        QTest::addColumn<QString>("package");
        QTest::newRow("widgets") << "libqt6widgets6";
        QTest::newRow("core") << "libqt6core6";
        QTest::newRow("libusb") << "libusb-0.1-4";
    }
    void runtimeDependsOnQtAndLibusb()
    {
        QFETCH(QString, package);
        const QString info = control(runtimeDeb);
        const QRegularExpression depends("^ Depends: (.*)$", QRegularExpression::MultilineOption);
        const QString line = depends.match(info).captured(1);
        QVERIFY2(line.contains(package), qPrintable(info));
        QVERIFY(info.contains(" Package: mv604\n"));
    }

    void postinstReloadsTheUdevRules()
    {
        QVERIFY(control(runtimeDeb).contains("postinst"));
        QTemporaryDir unpacked;
        run("dpkg-deb", {"-e", runtimeDeb, unpacked.path()});
        QFile postinst(unpacked.filePath("postinst"));
        QVERIFY(postinst.open(QIODevice::ReadOnly));
        QVERIFY(postinst.readAll().contains("udevadm control --reload-rules"));
        QVERIFY(postinst.permissions() & QFileDevice::ExeOwner);
    }

    void udevRuleMatchesTheDevice_data()
    {
        QTest::addColumn<QString>("key");
        QTest::newRow("subsystem") << "SUBSYSTEM==\"usb\"";
        QTest::newRow("vendor") << "ATTR{idVendor}==\"16c0\"";
        QTest::newRow("product") << "ATTR{idProduct}==\"0790\"";
        QTest::newRow("logged-in user") << "TAG+=\"uaccess\"";
        QTest::newRow("plugdev") << "GROUP=\"plugdev\"";
    }
    void udevRuleMatchesTheDevice()
    {
        QFETCH(QString, key);
        QFile rule(QString(MV604_SOURCE_DIR) + "/packaging/60-kr960.rules");
        QVERIFY(rule.open(QIODevice::ReadOnly));
        QStringList rules;
        for (const QString &line : QString::fromUtf8(rule.readAll()).split('\n'))
            if (!line.trimmed().isEmpty() && !line.startsWith('#'))
                rules << line;
        // One rule for both modes: the bootloader and the application show the same ids.
        QCOMPARE(rules.size(), 1);
        QVERIFY2(rules.first().split(", ").contains(key), qPrintable(rules.first()));
    }
};

QTEST_GUILESS_MAIN(TestPackaging)
#include "test_packaging.moc"
