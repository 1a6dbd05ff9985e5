// Re-flashing with unchanged pages skipped, and comparing without writing: mv604-cli under
// mv604-sim, judged by the simulator's request log and the flash it keeps between runs.

#include "process_run.h"
#include "request_log.h"
#include "upgrade_fixtures.h"

#include <QDir>
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
} // namespace

class TestReflash : public QObject
{
    Q_OBJECT

    QTemporaryDir work;
    const QByteArray firmware =
        fixtures::applicationWithChecksum(fixtures::firmwareBytes(ApplicationSize, 16));

    QString path(const QString &name) const { return work.filePath(name); }

    void putOnDevice(const QByteArray &area)
    {
        QByteArray flash(0x60000, char(0xFF));
        QVERIFY(QDir(work.path()).mkpath("state") &&
                writeFile(path("app.upg"), fixtures::upgradeFileBytes(firmware)) &&
                writeFile(path("state/internal-flash.bin"),
                          flash.replace(ApplicationOffset, area.size(), area)));
    }

    // Pages the device took in the last run, in the order written.
    PageList pagesWritten() const
    {
        PageList pages;
        for (const LoggedRequest &logged : readRequestLog(path("requests.log")))
            if (isPageWrite(logged.record))
                pages.append(int((addressOf(logged.record) - 0x08004000) / PageSize));
        return pages;
    }

    // `run`: mv604-cli's arguments before the upgrade file, mv604-sim's options before a '|'.
    ProcessRun cliOnDevice(const QString &run)
    {
        const QString device = "--state-dir %1 --log %2 ";
        return runCli(device.arg(path("state"), path("requests.log")) +
                          (run.contains('|') ? run : "|" + run) + " app.upg",
                      work.path());
    }

private slots:
    void runs_data()
    {
        QTest::addColumn<QString>("run");
        QTest::addColumn<PageList>("differOnDevice");
        QTest::addColumn<PageList>("written");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("ending"); // of the output
        const QString skip = "upgrade --skip-unchanged";
        // clang-format off
        QTest::newRow("identical firmware writes nothing") << skip << PageList{} << PageList{} << 0 << "Pages written: 0, already current: 120\nOK\n";
        QTest::newRow("only the differing pages are written") << skip << PageList{0, 57, 58, 119} << PageList{0, 57, 58, 119} << 0 << "Pages written: 4, already current: 116\nOK\n";
        QTest::newRow("a written page that reads back wrong fails") << "--corrupt-page 0x08007000 | " + skip << PageList{} << PageList{6} << 1 << "ERROR\nPages written: 1, already current: 119\nVerify ERROR\n";
        QTest::newRow("a page that cannot be read first is written, not current") << "--fail 1:2:4 | " + skip << PageList{} << PageList{0} << 0 << "Pages written: 1, already current: 119\nOK\n";
        QTest::newRow("verify fails on a page it cannot read") << "--fail 1:3:4 | verify" << PageList{} << PageList{} << 1 << QString();
        QTest::newRow("verify reads a page again after a stall") << "--fail 1:3:3 | verify" << PageList{} << PageList{} << 0 << "all 120 pages match\n";
        QTest::newRow("a page read again after a stall is current") << "--fail 1:2:3 | " + skip << PageList{} << PageList{} << 0 << "Pages written: 0, already current: 120\nOK\n";
        QTest::newRow("without the option every page is written as always") << "upgrade" << PageList{} << pageRange(0, 119) << 0 << "\nOK\n";
        QTest::newRow("verify names the differing ranges") << "verify" << PageList{2, 3, 4, 10, 119} << PageList{} << 1 << "0x08005000-0x080067ff\n0x08009000-0x080097ff\n0x0803f800-0x0803ffff\n";
        // clang-format on
    }
    void runs()
    {
        QFETCH(QString, run);
        QFETCH(PageList, differOnDevice);
        QFETCH(PageList, written);
        QFETCH(int, exitCode);
        QFETCH(QString, ending);
        putOnDevice(withPagesChanged(firmware, differOnDevice));
        const ProcessRun result = cliOnDevice(run);
        QVERIFY2(result.exitCode == exitCode && result.out.endsWith(ending),
                 qPrintable(result.out + result.err));
        QCOMPARE(pagesWritten(), written);
        // verify leaves the device as it was; an upgrade leaves it holding the file's firmware.
        QVERIFY(
            readFile(path("state/internal-flash.bin")).mid(ApplicationOffset, ApplicationSize) ==
            (run == "verify" ? withPagesChanged(firmware, differOnDevice) : firmware));
    }

    // The cable is pulled as page 60 is sent; run again, the upgrade writes only the rest.
    void interruptedUpgradeResumes()
    {
        putOnDevice(QByteArray(ApplicationSize, char(0xFF)));
        // Vendor requests: identity, brand, version block, then read, write, read per page.
        const ProcessRun pulled = cliOnDevice("--vanish-after 184 | upgrade --skip-unchanged");
        QVERIFY(pulled.exitCode == 1 && pulled.out.endsWith("\nERROR\n"));
        QCOMPARE(pagesWritten(), pageRange(0, 59));
        const ProcessRun again = cliOnDevice("upgrade --skip-unchanged");
        QVERIFY2(again.exitCode == 0 &&
                     again.out.endsWith("Pages written: 60, already current: 60\nOK\n"),
                 qPrintable(again.out + again.err));
        QCOMPARE(pagesWritten(), pageRange(60, 119));
    }
};

QTEST_GUILESS_MAIN(TestReflash)
#include "test_reflash.moc"
