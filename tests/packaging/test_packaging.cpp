// The packages a production PC installs: lintian finds nothing to report, the files are in their
// places, tab completion of mv604-cli works as installed, and the udev rule matches the KR960.

#include <QFile>
#include <QProcess>
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

// Completes the last word as bash does on Tab, with the completion file and mv604-cli of the
// package unpacked in $1/root, in a directory with fw.hex and fw.upg; prints one candidate a line.
const char completeScript[] = R"(
usr=$1/root/usr; mkdir -p "$1/here" && cd "$1/here" && touch fw.hex fw.upg && shift || exit 3
source /usr/share/bash-completion/bash_completion && source "$usr/share/bash-completion/completions/mv604-cli" || exit 3
PATH=$usr/bin:$PATH
COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); COMP_LINE="$*"; COMP_POINT=${#COMP_LINE}
function=$(complete -p mv604-cli | awk '{ print $3 }')
"$function" mv604-cli "${COMP_WORDS[-1]}" "${COMP_WORDS[-2]}"
printf '%s\n' "${COMPREPLY[@]}"
)";

} // namespace

class TestPackaging : public QObject
{
    Q_OBJECT

    QTemporaryDir output;
    QString deb(const QString &p) { return output.filePath(p + "_" MV604_VERSION "_amd64.deb"); }
    QString contents(const QString &name) { return run("dpkg-deb", {"-c", deb(name)}); }
    QString depends(const QString &name) { return run("dpkg-deb", {"-f", deb(name), "Depends"}); }

private slots:
    void initTestCase()
    {
        QVERIFY2(!QStandardPaths::findExecutable("lintian").isEmpty(), "run scripts/install-deps");
        int exitCode = -1;
        const QString log = run("cpack",
                                {"-G", "DEB", "-B", output.path(), "--config",
                                 QString(MV604_BUILD_DIR) + "/CPackConfig.cmake"},
                                &exitCode);
        QVERIFY2(exitCode == 0, qPrintable(log));
        run("dpkg-deb", {"-x", deb("mv604"), output.filePath("root")}, &exitCode);
        QCOMPARE(exitCode, 0);
    }

    void lintianReportsNothing_data()
    {
        QTest::addColumn<QString>("package");
        QTest::newRow("production") << "mv604";
        QTest::newRow("simulator") << "mv604-sim";
    }
    void lintianReportsNothing()
    {
        QFETCH(QString, package);
        int exitCode = -1;
        const QString report =
            run("lintian", {"--fail-on", "error,warning", deb(package)}, &exitCode);
        QVERIFY2(exitCode == 0, qPrintable(report));
    }

    void packageHolds_data()
    {
        QTest::addColumn<QString>("package");
        for (const char *path :
             {"bin/mv604", "bin/mv604-cli", "lib/udev/rules.d/60-kr960.rules",
              "share/applications/mv604.desktop", "share/icons/hicolor/48x48/apps/mv604.png",
              "share/mv604/translations/kr960_pl.qm", "share/man/man1/mv604.1.gz",
              "share/man/man1/mv604-cli.1.gz", "share/bash-completion/completions/mv604-cli"})
            QTest::newRow(path) << "mv604";
        for (const char *path : {"bin/mv604-sim", "share/man/man1/mv604-sim.1.gz"})
            QTest::newRow(path) << "mv604-sim";
    }
    void packageHolds()
    {
        QFETCH(QString, package);
        const QString path = QString(" ./usr/") + QTest::currentDataTag() + "\n";
        QVERIFY2(contents(package).contains(path), qPrintable(contents(package)));
    }

    void dependenciesAreListedOnce()
    {
        QStringList names;
        for (const QString &dependency : depends("mv604").trimmed().split(", "))
            names << dependency.section(' ', 0, 0);
        QVERIFY2(names.removeDuplicates() == 0 && names.contains("libusb-0.1-4"),
                 qPrintable(names.join(' ')));
        // The simulator and umockdev stay out of the production package.
        QVERIFY(!names.contains("umockdev") && !contents("mv604").contains("mv604-sim"));
        QVERIFY(depends("mv604-sim").contains("umockdev"));
    }

    // The words typed, the last one being completed; what Tab offers, and what it must not.
    void completionOffers_data()
    {
        QTest::addColumn<QString>("offered");
        QTest::addColumn<QString>("notOffered");
        const auto row = [](const char *words, const char *offered, const char *notOffered) {
            QTest::newRow(words) << QString(offered) << QString(notOffered);
        };
        row("mv604-cli ", "create-upg", "fw.hex");
        row("mv604-cli create-upg --o", "--output", "--first");
        row("mv604-cli create-upg ", "fw.hex", "fw.upg");
        row("mv604-cli upgrade ", "fw.upg", "fw.hex");
        row("mv604-cli create-upg fw.hex -o ", "fw.upg", "fw.hex");
    }
    void completionOffers()
    {
        QFETCH(QString, offered);
        QFETCH(QString, notOffered);
        int exitCode = -1;
        const QStringList words = QString(QTest::currentDataTag()).split(' ');
        const QStringList candidates =
            run("bash", QStringList{"-c", completeScript, "bash", output.path()} + words, &exitCode)
                .split('\n');
        QVERIFY2(exitCode == 0 && candidates.contains(offered) && !candidates.contains(notOffered),
                 qPrintable(candidates.join(' ')));
    }

    void udevRuleMatchesTheDevice()
    {
        QFile rule(output.filePath("root/usr/lib/udev/rules.d/60-kr960.rules"));
        QVERIFY(rule.open(QIODevice::ReadOnly));
        const QByteArray text = rule.readAll();
        QVERIFY(text.contains("ATTR{idVendor}==\"16c0\", ATTR{idProduct}==\"0790\""));
        QVERIFY(text.contains("TAG+=\"uaccess\"") && text.contains("GROUP=\"plugdev\""));
    }
};

QTEST_GUILESS_MAIN(TestPackaging)
#include "test_packaging.moc"
