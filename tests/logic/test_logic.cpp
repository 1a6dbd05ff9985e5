// The core's pure decisions, row by row: record names as older versions wrote them, which board
// a choice picks, which boards share a serial, when a done board counts as unplugged, and the
// station's and the report's first-pass yield; the production week a boot image defaults to.

#include "device/chosen_board.h"
#include "image/boot_image.h"
#include "production/line_report.h"
#include "production/run_record.h"
#include "production/run_records.h"
#include "production/station_bookkeeping.h"
#include "upgrade/upgrader.h"

#include <QJsonDocument>
#include <QtTest>

namespace
{

// "1-1.2=264900001": a readable board on port 1-1.2; "=?" unreadable; "-" no port.
QList<AttachedBoard> boardsFrom(const QString &text)
{
    QList<AttachedBoard> boards;
    for (const QString &word : text.split(' ', Qt::SkipEmptyParts)) {
        const QStringList parts = word.split('=');
        AttachedBoard board;
        board.readable = parts.at(1) != "?";
        board.reported = board.readable ? parts.at(1).toLatin1() : QByteArray();
        board.identity = {BoardSerial::production(board.reported),
                          parts.at(0) == "-" ? QString() : parts.at(0)};
        boards << board;
    }
    return boards;
}

// Figures as the tables write them: "2 1 2 1 0.5".
template <typename... Values> QString figures(Values... values)
{
    return QStringList{QString::number(values)...}.join(' ');
}

} // namespace

class TestLogic : public QObject
{
    Q_OBJECT

private slots:
    // The names older versions wrote are read as known and written back unchanged; a newer
    // tool's, come back through a spool, are kept as they were. (Which value each upgrade result
    // names is held against the upgrader's own names below.)
    void recordNamesReadAndWrittenUnchanged_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<QString>("result");
        for (const char *result :
             {"ok", "write-failed", "verify-failed", "read-failed", "stopped", "crashed",
              "cannot-open", "no-device", "interrupted", "bad-file"})
            QTest::addRow("upgrade %s", result) << "upgrade" << result;
        // clang-format off
        QTest::newRow("verify differs") << "verify" << "differs";
        QTest::newRow("ext-write failed") << "ext-write" << "failed";
        QTest::newRow("boot-images ok") << "boot-images" << "ok";
        QTest::newRow("a newer tool's") << "flash-all" << "brownout";
        // clang-format on
    }
    void recordNamesReadAndWrittenUnchanged()
    {
        QFETCH(QString, command);
        QFETCH(QString, result);
        const QByteArray line =
            QString("{\"application_checksum\":\"0x0badf00d\",\"command\":\"%1\",\"duration_s\":"
                    "1.5,\"ended\":\"2026-12-01T10:00:01.500Z\",\"file\":\"app.upg\","
                    "\"file_sha256\":\"ab12\",\"host\":\"st1\",\"id\":\"r1\",\"log\":\"OK\","
                    "\"pages_verified\":120,\"pages_written\":120,\"port\":\"1-1.2\",\"result\":"
                    "\"%2\",\"serial\":\"264900001\",\"signing_key_id\":null,\"started\":"
                    "\"2026-12-01T10:00:00.000Z\",\"tool_version\":\"2.00\",\"trusted_comment\":"
                    "null,\"upper_checksum\":null}\n")
                .arg(command, result)
                .toUtf8();
        RunRecord record;
        QVERIFY(runRecordFromJson(QJsonDocument::fromJson(line).object(), &record));
        const bool newer = command == "flash-all";
        QCOMPARE(record.command == RunCommand::Unknown, newer);
        QCOMPARE(record.result == RunResult::Unknown, newer);
        QCOMPARE(runRecordLine(record), line);
    }

    // The record names an upgrade's ending as the upgrader's logs always have.
    void upgradeOutcomesNamedAsTheUpgraderNamesThem()
    {
        for (int outcome = int(UpgradeOutcome::NotRun); outcome <= int(UpgradeOutcome::Stopped);
             ++outcome)
            QCOMPARE(runResultName(runResultOf(UpgradeOutcome(outcome))),
                     upgradeOutcomeName(UpgradeOutcome(outcome)));
    }

    void pickBoard_data()
    {
        QTest::addColumn<QString>("attached");
        QTest::addColumn<QString>("serial");
        QTest::addColumn<QString>("port");
        QTest::addColumn<QString>("expected");
        // clang-format off
        QTest::newRow("nothing attached") << "" << "" << "" << "none attached";
        QTest::newRow("no choice: the first listed") << "1-1.2=? 1-1.1=264900001" << "" << "" << "found 1-1.2 ";
        QTest::newRow("readable before unreadable") << "1-1.1=? 1-1.2=264900001" << "264900001" << "" << "found 1-1.2 264900001";
        QTest::newRow("unreadable may be the one") << "1-1.1=? 1-1.2=264900002" << "264900001" << "" << "found 1-1.1 264900001";
        QTest::newRow("in its bootloader") << "1-1.3=264900001b" << "264900001" << "" << "found 1-1.3 264900001";
        QTest::newRow("other serial") << "1-1.1=264900002" << "264900001" << "" << "not attached";
        QTest::newRow("by port") << "1-1.1=264900001 1-1.2=264900002" << "" << "1-1.2" << "found 1-1.2 264900002";
        QTest::newRow("shared serial, no port asked") << "1-1.1=264900001 1-1.2=264900001" << "264900001" << "" << "duplicate 1-1.1,1-1.2";
        QTest::newRow("shared serial told apart by port") << "1-1.1=264900001 1-1.2=264900001" << "264900001" << "1-1.2" << "found 1-1.2 264900001";
        QTest::newRow("shared serial, ports unknown") << "-=264900001 -=264900001" << "" << "" << "duplicate ,";
        // clang-format on
    }
    void pickBoard()
    {
        QFETCH(QString, attached);
        QFETCH(QString, serial);
        QFETCH(QString, port);
        const ChosenBoard chosen = ::pickBoard(boardsFrom(attached), {serial.toLatin1(), port});
        const QString found = chosen.board.port + ' ' + QString::fromLatin1(chosen.board.serial);
        const QString got = chosen.search == BoardSearch::Found ? "found " + found
                            : chosen.search == BoardSearch::Duplicate
                                ? "duplicate " + chosen.duplicatePorts.join(',')
                            : chosen.search == BoardSearch::NotAttached ? "not attached"
                                                                        : "none attached";
        QFETCH(QString, expected);
        QCOMPARE(got, expected);
    }

    void sharedSerials_data()
    {
        QTest::addColumn<QString>("attached");
        QTest::addColumn<QString>("expected");
        // clang-format off
        QTest::newRow("all different") << "1-1.1=264900001 1-1.2=264900002" << "";
        QTest::newRow("two share") << "1-1.1=264900001 1-1.2=264900002 1-1.3=264900001" << "264900001 1-1.1,1-1.3";
        QTest::newRow("application and bootloader") << "1-1.1=264900001 1-1.2=264900001b" << "264900001 1-1.1,1-1.2";
        QTest::newRow("unreadable boards share nothing") << "1-1.1=? 1-1.2=?" << "";
        QTest::newRow("ports unknown") << "-=264900001 1-1.2=264900001" << "264900001 ,1-1.2 cannot be kept apart";
        // clang-format on
    }
    void sharedSerials()
    {
        QFETCH(QString, attached);
        QStringList got;
        for (const SharedSerial &shared : serialsSharedByBoards(boardsFrom(attached)))
            got << QString::fromLatin1(shared.serial) + ' ' + shared.ports().join(',') +
                       (shared.portsKnown() ? "" : " cannot be kept apart");
        QFETCH(QString, expected);
        QCOMPARE(got.join(';'), expected);
    }

    // Walks of the bus at times in ms, "on" or "off" the board; it passed or failed before.
    void unplugDebounce_data()
    {
        QTest::addColumn<bool>("passed");
        QTest::addColumn<QString>("walks");
        QTest::addColumn<bool>("stillDone");
        // clang-format off
        QTest::newRow("on the bus") << true << "on@0 on@100000" << true;
        QTest::newRow("first walk without it") << true << "off@100000" << true;
        QTest::newRow("off just short of the unplug") << true << "off@100 off@3099" << true;
        QTest::newRow("off as long as the unplug") << true << "off@100 off@3100" << false;
        QTest::newRow("back meanwhile") << true << "off@0 on@2000 off@2500 off@5000" << true;
        QTest::newRow("failed: off once is enough") << false << "off@100" << false;
        // clang-format on
    }
    void unplugDebounce()
    {
        QFETCH(bool, passed);
        QFETCH(QString, walks);
        QHash<QString, DoneBoard> done{{"1-1.1", {"264900001", passed, false, 0}}};
        for (const QString &walk : walks.split(' ')) {
            const QStringList parts = walk.split('@');
            const QSet<QString> present =
                parts.at(0) == "on" ? QSet<QString>{"1-1.1"} : QSet<QString>{};
            forgetUnpluggedBoards(done, present, parts.at(1).toLongLong(), 3000);
        }
        QFETCH(bool, stillDone);
        QCOMPARE(done.contains("1-1.1"), stillDone);
    }

    // Runs as "ok:A", "failed:B", "shared:C" (its serial on another board too), in order.
    void stationTotals_data()
    {
        QTest::addColumn<QString>("runs");
        QTest::addColumn<QString>("expected"); // passed failed firstRuns firstRunsPassed yield
        // clang-format off
        QTest::newRow("retried board") << "failed:A ok:A" << "1 1 1 0 0";
        QTest::newRow("two boards, one retried") << "ok:A failed:B ok:B" << "2 1 2 1 0.5";
        QTest::newRow("shared serial counts nowhere") << "ok:A shared:B" << "1 0 1 1 1";
        // clang-format on
    }
    void stationTotals()
    {
        StationTotals totals;
        QSet<QString> seen;
        QFETCH(QString, runs);
        QFETCH(QString, expected);
        for (const QString &run : runs.split(' ')) {
            const QStringList parts = run.split(':');
            const bool shared = parts.at(0) == "shared";
            const bool passed =
                countRun(totals, seen, parts.at(1), parts.at(0) != "failed", shared);
            QVERIFY(!(shared && passed));
        }
        QCOMPARE(figures(totals.passed, totals.failed, totals.firstRuns, totals.firstRunsPassed,
                         totals.firstPassYield()),
                 expected);
    }

    // Upgrade runs as "serial:result@minute" in start order; minute 0 is 10:00 UTC.
    void reportYield_data()
    {
        QTest::addColumn<QString>("runs");
        QTest::addColumn<QString>("since");
        QTest::addColumn<QString>("expected"); // runs boards passed failed firstPass yield
        // clang-format off
        QTest::newRow("retried board") << "1:write-failed@0 1:ok@1 2:ok@2" << "" << "3 2 2 0 1 0.5";
        QTest::newRow("never passed") << "1:ok@0 2:verify-failed@1 2:stopped@2" << "" << "3 2 1 1 1 0.5";
        QTest::newRow("no serial: a run, no board") << "1:ok@0 :no-device@1" << "" << "2 1 1 0 1 1";
        QTest::newRow("first run before the window") << "1:write-failed@0 1:ok@30 2:ok@40" << "2026-12-01T10:20:00.000Z" << "1 1 1 0 1 1";
        // clang-format on
    }
    void reportYield()
    {
        const QDateTime ten(QDate(2026, 12, 1), QTime(10, 0), Qt::UTC);
        QFETCH(QString, runs);
        QFETCH(QString, since);
        QFETCH(QString, expected);
        QList<RunRecord> records;
        for (const QString &text : runs.split(' ')) {
            const QStringList parts = text.split(QRegularExpression("[:@]"));
            RunRecord run =
                newRunRecord(RunCommand::Upgrade, ten.addSecs(60 * parts.at(2).toInt()));
            run.serial = parts.at(0);
            run.setResultText(parts.at(1));
            records << run;
        }
        const QList<YieldFigures> all =
            yieldFiguresOf(records, since, [](const RunRecord &) { return "all"; });
        QCOMPARE(all.size(), 1);
        const YieldFigures &f = all.first();
        QCOMPARE(figures(f.runs, f.boards, f.passed, f.failed, f.firstPass, f.firstPassYield()),
                 expected);
    }

    // The default year goes with the ISO week: never a week twice, never one that did not exist.
    void productionWeek_data()
    {
        QTest::addColumn<QDate>("day");
        QTest::addColumn<int>("year");
        QTest::addColumn<int>("week");
        QTest::newRow("2025-12-29, in week 1 of 2026") << QDate(2025, 12, 29) << 26 << 1;
        QTest::newRow("2025-01-02") << QDate(2025, 1, 2) << 25 << 1;
        QTest::newRow("2027-01-01, in week 53 of 2026") << QDate(2027, 1, 1) << 26 << 53;
        QTest::newRow("2026-12-09") << QDate(2026, 12, 9) << 26 << 50;
    }
    void productionWeek()
    {
        QFETCH(QDate, day);
        QFETCH(int, year);
        QFETCH(int, week);
        QCOMPARE(productionYearChoices().at(currentYearChoice(day)).toInt(), year);
        QCOMPARE(productionWeekChoices().at(currentWeekChoice(day)).toInt(), week);
    }
};

QTEST_GUILESS_MAIN(TestLogic)
#include "test_logic.moc"
