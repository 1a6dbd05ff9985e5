// The packages a production PC installs: lintian finds nothing to report, the files are in their
// places, and the production package needs neither the simulator nor umockdev.

#include "process_run.h"

#include <QTemporaryDir>
#include <QtTest>

class TestPackaging : public QObject
{
    Q_OBJECT

    QTemporaryDir output;
    QString deb(const QString &p) { return output.filePath(p + "_" MV604_VERSION "_amd64.deb"); }

private slots:
    void initTestCase()
    {
        const ProcessRun cpack = runProcess("cpack",
                                            {"-G", "DEB", "-B", output.path(), "--config",
                                             QString(MV604_BUILD_DIR) + "/CPackConfig.cmake"},
                                            QString(), {}, 300000);
        QVERIFY2(cpack.exitCode == 0, qPrintable(cpack.out + cpack.err));
    }

    void package_data()
    {
        QTest::addColumn<QString>("holds"); // under ./usr/
        QTest::addColumn<QString>("dependsOn");
        QTest::newRow("mv604")
            << "bin/mv604 bin/mv604-cli bin/mv604-station libexec/mv604/mv604-worker "
               "lib/udev/rules.d/60-kr960.rules "
               "share/man/man1/mv604.1.gz share/man/man1/mv604-cli.1.gz "
               "share/man/man1/mv604-station.1.gz share/bash-completion/completions/mv604-cli "
               "share/applications/mv604.desktop share/applications/mv604-station.desktop "
               "share/icons/hicolor/48x48/apps/mv604.png share/mv604/translations/kr960_pl.qm"
            << "libusb-0.1-4";
        QTest::newRow("mv604-sim") << "bin/mv604-sim share/man/man1/mv604-sim.1.gz"
                                   << "umockdev";
    }
    void package()
    {
        QFETCH(QString, holds);
        QFETCH(QString, dependsOn);
        const QString package = QTest::currentDataTag();
        const ProcessRun lintian = runProcess(
            "lintian", {"--fail-on", "error,warning", deb(package)}, QString(), {}, 300000);
        QVERIFY2(lintian.exitCode == 0, qPrintable(lintian.out + lintian.err));
        const QString contents = runProcess("dpkg-deb", {"-c", deb(package)}).out;
        for (const QString &path : holds.split(' '))
            QVERIFY2(contents.contains(" ./usr/" + path + "\n"), qPrintable(contents));
        QStringList names;
        for (const QString &dependency :
             runProcess("dpkg-deb", {"-f", deb(package), "Depends"}).out.trimmed().split(", "))
            names << dependency.section(' ', 0, 0);
        QVERIFY2(names.removeDuplicates() == 0 && names.contains(dependsOn),
                 qPrintable(names.join(" ")));
        if (package == "mv604") // the simulator and umockdev stay out of the production package
            QVERIFY(!names.contains("umockdev") && !contents.contains("mv604-sim"));
    }
};

QTEST_GUILESS_MAIN(TestPackaging)
#include "test_packaging.moc"
