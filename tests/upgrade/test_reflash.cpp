// Re-flashing with unchanged pages skipped, and comparing without writing: mv604-cli under
// mv604-sim, judged by the simulator's request log and the flash it keeps between runs.

#include "process_run.h"
#include "upgrade_fixtures.h"

#include <QDir>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>
#include <numeric>

namespace
{

constexpr int PageSize = 2048;
constexpr int ApplicationOffset = 0x4000; // of 0x08004000 in the simulator's saved flash
constexpr int ApplicationSize = 0x3C000;

using PageList = QList<int>;

// The last byte of each page: a compare that stops short of the page's end misses it.
QByteArray withPagesChanged(QByteArray area, const PageList &pages)
{
    for (int page : pages)
        area[page * PageSize + PageSize - 1] ^= char(0x01);
    return area;
}

PageList pageRange(int first, int last)
{
    PageList pages(last - first + 1);
    std::iota(pages.begin(), pages.end(), first);
    return pages;
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Pages the device took (request 3 answered in full), in the order written.
PageList pagesWritten(const QString &log)
{
    static const QRegularExpression write(
        "bRequest=3 wValue=0x([0-9a-f]{4}) wIndex=0x([0-9a-f]{4}) wLength=2048 result=2048");
    PageList pages;
    for (auto match = write.globalMatch(log); match.hasNext();) {
        const QRegularExpressionMatch hit = match.next();
        const quint32 address =
            hit.captured(2).toUInt(nullptr, 16) << 16 | hit.captured(1).toUInt(nullptr, 16);
        pages.append(int((address - 0x08004000) / PageSize));
    }
    return pages;
}

} // namespace

class TestReflash : public QObject
{
    Q_OBJECT

    QTemporaryDir work;
    const QByteArray firmware = fixtures::firmwareBytes(ApplicationSize, 16);

    QString path(const QString &name) const { return work.filePath(name); }

    void putOnDevice(const QByteArray &area)
    {
        QByteArray flash(0x60000, char(0xFF));
        flash.replace(ApplicationOffset, area.size(), area);
        QVERIFY(QDir(work.path()).mkpath("state"));
        QVERIFY(writeFile(path("state/internal-flash.bin"), flash));
    }

    QByteArray areaOnDevice() const
    {
        return readAll(path("state/internal-flash.bin")).mid(ApplicationOffset, ApplicationSize);
    }
    QString requestLog() const { return QString::fromLatin1(readAll(path("requests.log"))); }

    ProcessRun cliOnDevice(const QStringList &simOptions, const QStringList &arguments)
    {
        const QStringList sim{"--state-dir", path("state"), "--log", path("requests.log")};
        return runProcess(MV604_SIM, sim + simOptions + QStringList{"--", MV604_CLI} + arguments,
                          work.path());
    }

private slots:
    void initTestCase()
    {
        QVERIFY(work.isValid());
        QVERIFY(writeFile(path("app.upg"), fixtures::upgradeFileBytes(firmware)));
    }

    void runs_data()
    {
        QTest::addColumn<QStringList>("command");
        QTest::addColumn<QStringList>("simOptions");
        QTest::addColumn<PageList>("differOnDevice");
        QTest::addColumn<PageList>("written");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QStringList>("lastLines");
        const QStringList skip{"upgrade", "--skip-unchanged"};
        QTest::newRow("identical firmware writes nothing")
            << skip << QStringList{} << PageList{} << PageList{} << 0
            << QStringList{"Pages written: 0, already current: 120", "OK"};
        QTest::newRow("only the differing pages are written")
            << skip << QStringList{} << PageList{0, 57, 58, 119} << PageList{0, 57, 58, 119} << 0
            << QStringList{"Pages written: 4, already current: 116", "OK"};
        QTest::newRow("a written page that reads back wrong fails")
            << skip << QStringList{"--corrupt-page", "0x08007000"} << PageList{} << PageList{6} << 1
            << QStringList{"ERROR", "Pages written: 1, already current: 119", "Verify ERROR"};
        QTest::newRow("without the option every page is written as always")
            << QStringList{"upgrade"} << QStringList{} << PageList{} << pageRange(0, 119) << 0
            << QStringList{"Writting firmware ... ", "OK"};
        QTest::newRow("verify names the differing ranges")
            << QStringList{"verify"} << QStringList{} << PageList{2, 3, 4, 10, 119} << PageList{}
            << 1
            << QStringList{"0x08005000-0x080067ff", "0x08009000-0x080097ff",
                           "0x0803f800-0x0803ffff"};
        QTest::newRow("verify of a device in its application")
            << QStringList{"verify"} << QStringList{"--mode", "application"} << PageList{}
            << PageList{} << 0 << QStringList{"all 120 pages match"};
    }
    void runs()
    {
        QFETCH(QStringList, command);
        QFETCH(QStringList, simOptions);
        QFETCH(PageList, differOnDevice);
        QFETCH(PageList, written);
        QFETCH(int, exitCode);
        QFETCH(QStringList, lastLines);
        putOnDevice(withPagesChanged(firmware, differOnDevice));

        const bool verifyRun = command.first() == "verify";
        const ProcessRun run = cliOnDevice(simOptions, command + QStringList{path("app.upg")});
        QVERIFY2(run.exitCode == exitCode, qPrintable(run.out + run.err));
        const QStringList lines = run.out.split('\n', Qt::SkipEmptyParts);
        QCOMPARE(verifyRun ? lines : lines.mid(lines.size() - lastLines.size()), lastLines);
        const QString log = requestLog();
        QCOMPARE(pagesWritten(log), written);
        QCOMPARE(log.count("bRequest=3 "), written.size()); // nothing else written, nothing lost
        QVERIFY(!log.contains("bRequest=4 "));              // no restart
        // verify leaves the device as it was; an upgrade leaves it holding the file's firmware.
        QVERIFY(areaOnDevice() ==
                withPagesChanged(firmware, verifyRun ? differOnDevice : PageList{}));
    }

    // The cable is pulled as page 60 is sent; run again, the upgrade writes only the rest.
    void interruptedUpgradeResumes()
    {
        putOnDevice(QByteArray(ApplicationSize, char(0xFF)));
        // Vendor requests: identity, brand, version block, then read, write, read per page.
        const ProcessRun pulled = cliOnDevice({"--vanish-after", QString::number(3 + 3 * 60 + 1)},
                                              {"upgrade", "--skip-unchanged", path("app.upg")});
        QCOMPARE(pulled.exitCode, 1);
        QVERIFY(pulled.out.endsWith("\nERROR\n"));
        QCOMPARE(pagesWritten(requestLog()), pageRange(0, 59));

        const ProcessRun again = cliOnDevice({}, {"upgrade", "--skip-unchanged", path("app.upg")});
        QVERIFY2(again.exitCode == 0, qPrintable(again.out + again.err));
        QVERIFY(again.out.contains("Pages written: 60, already current: 60\nOK\n"));
        QCOMPARE(pagesWritten(requestLog()), pageRange(60, 119));
        QVERIFY(areaOnDevice() == firmware);
    }
};

QTEST_GUILESS_MAIN(TestReflash)
#include "test_reflash.moc"
