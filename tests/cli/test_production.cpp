// The production line through mv604-cli under mv604-sim: the board chosen by serial or port among
// several, every board at once, the station, and the records, judged by the simulator's request
// log and the flash each board keeps, never by what the tool says of itself.

#include "upgrade/upgrade_file.h"

#include "process_run.h"
#include "request_log.h"
#include "started_processes.h"
#include "upgrade_fixtures.h"

#include <QCryptographicHash>
#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

namespace
{
// Per board: -1 never talked to and no record, -2 a "cannot-open" record, else its page writes.
using PageWrites = QList<int>;
} // namespace

class TestProduction : public QObject
{
    Q_OBJECT

    QTemporaryDir work;
    const QByteArray application =
        fixtures::applicationWithChecksum(fixtures::firmwareBytes(UpgradeFile::ApplicationSize, 7));
    const QByteArray fileBytes = fixtures::upgradeFileBytes(application);

    QString path(const QString &name) const { return work.filePath(name); }
    QByteArray readAll(const QString &name) const { return readFile(path(name)); }

    // `run` on three fresh boards on ports 1-1.1 to 1-1.3: mv604-cli's arguments, mv604-sim's
    // options before a '|'. `fresh`: the boards' flash and the log start anew.
    QString onThreeBoards(const QString &run, bool fresh = true)
    {
        if (fresh) {
            QDir(path("state")).removeRecursively();
            QDir().mkpath(path("state"));
            QFile::remove(path("production.log"));
            QFile::remove(path("line.db"));
        }
        QFile::remove(path("requests.log"));
        const QString boards = "--state-dir %1 --log %2 --devices 3 ";
        return boards.arg(path("state"), path("requests.log")) +
               (run.contains('|') ? run : "|" + run);
    }

    QList<LoggedRequest> requests() const { return readRequestLog(path("requests.log")); }
    int pagesTakenBy(int board) const { return pageWritesOf(path("requests.log"), board); }

    QByteArray applicationAreaOf(int board) const
    {
        const QString suffix = board == 1 ? QString() : QString("-%1").arg(board);
        return readAll("state/internal-flash" + suffix + ".bin")
            .mid(UpgradeFile::ApplicationOffset, UpgradeFile::ApplicationSize);
    }

    QList<QJsonObject> records() const
    {
        QList<QJsonObject> all;
        for (const QByteArray &line : readAll("production.log").split('\n'))
            if (!line.isEmpty())
                all << QJsonDocument::fromJson(line).object();
        return all;
    }

    // One record per board that has one: its board by serial and port, the exact bytes of the
    // file, and the pages the board really took.
    void checkRecords(const QString &run, const QStringList &results, const QString &file)
    {
        const QRegularExpression serialsOption("--serials ([0-9,]+)");
        const QString listed = serialsOption.match(run).captured(1);
        const QStringList serials = listed.isEmpty()
                                        ? QStringList{"264900001", "264900002", "264900003"}
                                        : listed.split(',');
        QSet<QString> ports;
        for (const QJsonObject &record : records()) {
            const QString port = record["port"].toString();
            const int board = port.section('.', -1).toInt();
            const QString expected = results.value(board - 1);
            QVERIFY2(port.startsWith("1-1.") && !expected.isEmpty(), qPrintable(port));
            ports << port;
            // A board that cannot be opened cannot tell its serial either.
            QCOMPARE(record["serial"].toString(),
                     expected == "cannot-open" ? QString() : serials.at(board - 1));
            QCOMPARE(record["result"].toString(), expected);
            QCOMPARE(record["file"].toString(), file);
            QCOMPARE(record["file_sha256"].toString(),
                     QCryptographicHash::hash(fileBytes, QCryptographicHash::Sha256).toHex());
            const int written = record["pages_written"].toInt(), taken = pagesTakenBy(board);
            // A worker killed outright cannot have told of a page it was just sending.
            QVERIFY2(written == taken || (expected == "crashed" && written == taken - 1),
                     qPrintable(QString("%1: %2 of %3").arg(port).arg(written).arg(taken)));
            QVERIFY(record["started"].toString().endsWith('Z') &&
                    record["started"].toString() <= record["ended"].toString());
        }
        QCOMPARE(ports.size(), int(results.size() - results.count(QString())));
    }

private slots:
    void initTestCase()
    {
        QVERIFY(work.isValid() && writeFile(path("app.upg"), fileBytes) &&
                writeFile(path("fw_v2.upg"), fileBytes) && writeFile(path("-fw.upg"), fileBytes));
    }

    void runs_data()
    {
        QTest::addColumn<QString>("before"); // runs on the same boards first, separated by ';'
        QTest::addColumn<QString>("run");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<PageWrites>("pageWrites");
        const QString twins = "--serials 264900001,264900001,264900003 | ";
        const auto row = [](const char *name) -> QTestData & { return QTest::newRow(name); };
        // clang-format off
        row("info by serial") << "" << "--serial 264900002b info" << 0 << "serial: 264900002b\nport: 1-1.2\n" << PageWrites{-1, 0, -1};
        row("read by port") << "" << "--port 1-1.3 read 8003ff0 9" << 0 << "0x0000: 32 36 34 39 30 30 30 30 33" << PageWrites{-1, -1, 0};
        row("ext-fill by serial and port") << "" << "--serial 264900003 --port 1-1.3 ext-fill 0 4 ab" << 0 << "filled 4 bytes" << PageWrites{-1, -1, 0};
        row("run-app by port") << "" << "--port 1-1.1 run-app" << 0 << "application started" << PageWrites{0, -1, -1};
        row("list by port") << "" << "--port 1-1.2 list" << 0 << "port 1-1.2     serial 264900002b" << PageWrites{-1, -1, -1};
        row("verify by serial reads that board, not a programmed one") << "--port 1-1.1 upgrade app.upg;--port 1-1.3 upgrade app.upg" << "--serial 264900002 verify app.upg" << 1 << "120 of 120 pages differ" << PageWrites{-1, 0, -1};
        row("verify of one page that reads back wrong") << "--port 1-1.1 upgrade app.upg" << "--corrupt-page 0x08006000 | --port 1-1.1 verify app.upg" << 1 << "1 of 120 pages differ" << PageWrites{0, -1, -1};
        row("verify, reads fail from the fifth page on") << "--port 1-1.1 upgrade app.upg" << "--fail 1:5:0 | --port 1-1.1 verify app.upg" << 1 << "reading the page at 0x08006000 failed" << PageWrites{0, -1, -1};
        row("serial and port of two boards") << "" << "--serial 264900001 --port 1-1.2 info" << 1 << "no KR960 with serial 264900001 on port 1-1.2" << PageWrites{-1, -1, -1};
        row("port not attached") << "" << "--port 1-1.9 ext-read 0 4" << 1 << "no KR960 on port 1-1.9" << PageWrites{-1, -1, -1};
        row("upgrade of a serial not attached") << "" << "--serial 264900009 upgrade app.upg" << 1 << "no KR960 with serial 264900009" << PageWrites{-1, -1, -1};
        row("upgrade by port follows its board through the restart") << "" << "--mode application | --port 1-1.3 upgrade app.upg" << 0 << "Serial:264900003b\nWritting firmware ... \nOK\n" << PageWrites{-1, -1, 120};
        row("a slow restart next to boards in their bootloader") << "" << "--mode-of 1:application --restart-delay 3500 | upgrade fw_v2.upg --log production.log" << 0 << "\nOK\n" << PageWrites{120, -1, -1};
        row("one serial on two boards, chosen by port") << "" << twins + "--serial 264900001 --port 1-1.2 upgrade app.upg" << 0 << "\nOK\n" << PageWrites{-1, 120, -1};
        row("one serial on two boards, all at once") << "" << twins + "upgrade --all app.upg --log production.log" << 1 << "serial 264900001 is reported by 2 boards (1-1.1, 1-1.2): their records cannot be told apart" << PageWrites{120, 120, 120};
        row("all at once, the second's fourth page write stalls") << "" << "--faults-on 2 --fail 3:4 | upgrade --all app.upg --log production.log" << 1 << "264900002  1-1.2      write-failed         3" << PageWrites{120, 3, 120};
        row("all at once, the second's read-back never comes") << "" << "--faults-on 2 --fail 1:10:4 | upgrade --all app.upg" << 1 << "264900002 1-1.2: a page could not be read back" << PageWrites{120, 120, 120};
        row("all at once, a board restarts as the walk reads its serial") << "" << "--faults-on 2 --mode-of 2:application --restart-delay 0 --restart-at-serial-read 1 | upgrade --all app.upg --log production.log" << 0 << "264900002  1-1.2      OK" << PageWrites{120, 120, 120};
        row("all at once, a board leaves as the walk reads its serial") << "" << "--faults-on 2 --no-return --restart-at-serial-read 1 | upgrade --all app.upg --log production.log" << 0 << "264900003  1-1.3      OK" << PageWrites{120, -1, 120};
        row("all at once, one board cannot be opened") << "" << "--faults-on 2 --permission-denied | upgrade --all app.upg --log production.log" << 1 << "mv604-cli: 1-1.2: cannot be opened: no permission (install the udev rule" << PageWrites{120, -2, 120};
        row("all at once, a file name like an option") << "" << "upgrade --all -- -fw.upg" << 0 << "264900003  1-1.3      OK" << PageWrites{120, 120, 120};
        row("all at once, in the line's database") << "" << "upgrade --all app.upg --db sqlite:line.db" << 0 << "264900002  1-1.2      OK" << PageWrites{120, 120, 120};
        row("a database that cannot be used touches no board") << "" << "upgrade --all app.upg --db sqlite:no/line.db" << 1 << "sqlite:no/line.db" << PageWrites{-1, -1, -1};
        row("all at once, a log that fills up") << "" << "upgrade --all app.upg --log /dev/full" << 1 << "264900001  1-1.1      not-recorded" << PageWrites{120, 120, 120};
        // clang-format on
    }
    void runs()
    {
        QFETCH(QString, before);
        QFETCH(QString, run);
        QFETCH(int, exitCode);
        QFETCH(QString, expected);
        QFETCH(PageWrites, pageWrites);
        onThreeBoards(QString());
        for (const QString &first : before.split(';', Qt::SkipEmptyParts))
            QCOMPARE(runCli(onThreeBoards(first, false), work.path()).exitCode, 0);
        const ProcessRun result = runCli(onThreeBoards(run, false), work.path());
        QVERIFY2(result.exitCode == exitCode && (result.out + result.err).contains(expected),
                 qPrintable(result.out + result.err));
        for (int board = 1; board <= 3; ++board) {
            const int writes = qMax(0, pageWrites[board - 1]);
            QCOMPARE(requestsTo(requests(), board) > 0, pageWrites[board - 1] >= 0);
            QCOMPARE(pagesTakenBy(board), writes);
            QCOMPARE(applicationAreaOf(board) == application,
                     writes == 120 || before.contains(QString("1-1.%1").arg(board)));
        }
        QStringList results; // each board's record must show ("": none)
        for (int writes : pageWrites)
            results << (writes == -1    ? ""
                        : writes == -2  ? "cannot-open"
                        : writes == 120 ? "ok"
                                        : "write-failed");
        if (run.contains("--log production.log"))
            checkRecords(run, results, run.section(' ', -3, -3));
        if (run.contains("sqlite:line.db")) // cross-checked with SQLite's own client
            QCOMPARE(runProcess("sqlite3",
                                {path("line.db"), "select serial, port, result, "
                                                  "pages_written from run_records order by port"})
                         .out,
                     "264900001|1-1.1|ok|120\n264900002|1-1.2|ok|120\n264900003|1-1.3|ok|120\n");
        if (run.contains("/dev/full"))
            QVERIFY(result.err.contains("cannot write the log /dev/full: No space left on device"));
    }

    // However a run is stopped, each board's record tells what the board got; a file replaced
    // during the run does not change what the record says was programmed.
    void interruptions_data()
    {
        QTest::addColumn<QString>("run");
        QTest::addColumn<QString>("action"); // once board 2 (or the only one) took 20 pages
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QStringList>("results"); // of each board's record
        const QString slow = "--page-program-ms 15 | ";
        const QString all = slow + "upgrade --all app.upg --log production.log";
        // clang-format off
        QTest::newRow("SIGTERM to the process group") << all << "group TERM" << 1 << QStringList{"stopped", "stopped", "stopped"};
        QTest::newRow("Ctrl-C during one upgrade") << slow + "--port 1-1.2 upgrade app.upg --log production.log" << "INT" << 130 << QStringList{"", "stopped", ""};
        QTest::newRow("a worker killed outright") << all << "kill 1-1.2" << 1 << QStringList{"ok", "crashed", "ok"};
        QTest::newRow("the file replaced during the run") << slow + "--port 1-1.2 upgrade app.upg --log production.log" << "replace" << 0 << QStringList{"", "ok", ""};
        QTest::newRow("the file replaced under a watching station") << "--page-program-ms 15 --plug 3@2500 | upgrade --watch app.upg --log production.log" << "replace, then TERM" << 0 << QStringList{"ok", "ok", "ok"};
        // clang-format on
    }
    void interruptions()
    {
        QFETCH(QString, run);
        QFETCH(QString, action);
        QFETCH(int, exitCode);
        QFETCH(QStringList, results);
        QVERIFY(writeFile(path("app.upg"), fileBytes));
        QProcess process; // in a process group of its own
        process.setWorkingDirectory(work.path());
        process.start("setsid", cliCommandLine(onThreeBoards(run)));
        const bool reached = QTest::qWaitFor([&] { return pagesTakenBy(2) >= 20; }, 30000);
        const pid_t leader = pid_t(process.processId());
        if (action == "group TERM") {
            QVERIFY(signalStartedGroup(leader, SIGTERM));
        } else if (action == "INT") { // mv604-sim passes it on, as a terminal does
            QVERIFY(signalStarted(leader, SIGINT));
        } else if (action.startsWith("replace")) {
            writeFile(path("app.upg"), fixtures::upgradeFileBytes(QByteArray(0x3C000, '\0')));
            if (action.endsWith("TERM")) { // once the board plugged in after it is done too
                QVERIFY(QTest::qWaitFor([&] { return records().size() == 3; }, 30000));
                QVERIFY(signalStarted(leader, SIGTERM));
            }
        } else {
            for (const pid_t worker :
                 descendantsRunning(leader, "--port " + action.section(' ', 1)))
                QVERIFY(signalStarted(worker, SIGKILL));
        }
        const bool ended = process.waitForFinished(60000);
        const QString output = process.readAllStandardOutput() + process.readAllStandardError();
        QVERIFY2(reached && ended && process.exitStatus() == QProcess::NormalExit &&
                     process.exitCode() == exitCode,
                 qPrintable(output));
        checkRecords(run, results, "app.upg");
        if (run.contains("--watch"))
            QCOMPARE(output.count("app.upg changed on disk"), 1);
        for (const QJsonObject &record : records()) // which signal ended a worker
            QCOMPARE(record["log"].toString().startsWith("ended by signal 9 (SIGKILL)"),
                     record["result"] == "crashed");
        for (int board = 1; board <= 3; ++board)
            QCOMPARE(applicationAreaOf(board) == application, results[board - 1] == "ok");
    }

    // The station (upgrade --watch) stopped by SIGTERM once its boards are done and a phantom run
    // had time to start: its summary, exactly one record per run of a real board, and each board
    // took what its records say.
    void stations_data()
    {
        QTest::addColumn<QString>("line");          // mv604-sim's options, then --watch's own
        QTest::addColumn<QString>("summary");       // after "station stopped: "
        QTest::addColumn<PageWrites>("pageWrites"); // each board took in all; -1: fewer than 120
        QTest::addColumn<int>("runs");
        PageWrites sixteen(16, 120);
        sixteen[6] =
            -1; // pulled among its pages on an idle machine, maybe restarting on a loaded one
        // clang-format off
        // At a real board's timing, each restarting into its bootloader, one plugged in late and
        // one pulled out at 5 s (among its pages: its restart is over by 3 s).
        QTest::newRow("sixteen at a real board's timing") << "--devices 16 --mode application --latency 2 --transfer-us-per-kib 1000 --page-program-ms 30 --plug 16@1500 --unplug 7@5000 |" << "15 passed, 1 failed, first-pass yield 94%" << sixteen << 16;
        // Board 3 plugged in later; board 1 unplugged and plugged in again, so programmed twice,
        // the others once, although each re-enumerates during its own run. Board 2 cannot be
        // opened: it is reported once. Board 1's second run ends about a second after 5.6 s.
        QTest::newRow("each plugged board once") << "--devices 3 --mode application --faults-on 2 --permission-denied --plug 3@1500 --unplug 1@5000 --plug 1@5600 | --unplugged-after 300" << "3 passed, 1 failed, first-pass yield 67%" << PageWrites{240, 0, 120} << 4;
        // clang-format on
    }
    void stations()
    {
        QFETCH(QString, line);
        QFETCH(QString, summary);
        QFETCH(PageWrites, pageWrites);
        QFETCH(int, runs);
        QFile::remove(path("production.log"));
        QFile::remove(path("requests.log"));
        QProcess station;
        station.setWorkingDirectory(work.path());
        const QStringList command = cliCommandLine(
            line.section('|', 0, 0) + " --log " + path("requests.log") +
            " | upgrade --watch app.upg --log production.log" + line.section('|', 1));
        station.start(command.first(), command.mid(1));
        QVERIFY(QTest::qWaitFor([&] { return records().size() >= runs; }, 40000));
        QTest::qWait(2000); // time for a phantom run to start
        QVERIFY(signalStarted(pid_t(station.processId()), SIGTERM));
        QVERIFY(station.waitForFinished(30000) && station.exitCode() == 1);
        const QString out = station.readAllStandardOutput();
        QVERIFY2(out.contains("station stopped: " + summary) &&
                     out.count("cannot-open") == pageWrites.count(0),
                 qPrintable(out + station.readAllStandardError()));
        QCOMPARE(records().size(), runs);
        PageWrites recorded(pageWrites.size(), 0);
        for (const QJsonObject &record : records()) {
            const int board = record["port"].toString().section('.', -1).toInt();
            const bool opened = pageWrites.value(board - 1) != 0; // else it cannot tell its serial
            QVERIFY2(record["serial"].toString() ==
                             (opened ? QString::number(264900000 + board) : QString()) &&
                         (record["result"] == "ok") == (pageWrites.value(board - 1) >= 120),
                     QJsonDocument(record).toJson().constData());
            recorded[board - 1] += record["pages_written"].toInt();
        }
        for (int board = 1; board <= pageWrites.size(); ++board) {
            QCOMPARE(recorded[board - 1], pagesTakenBy(board));
            if (pageWrites[board - 1] >= 0)
                QCOMPARE(pagesTakenBy(board), pageWrites[board - 1]);
            else
                QVERIFY(pagesTakenBy(board) < 120);
        }
    }

    // While one process programs board 2, every other command keeps off it at once: a second
    // command on its port is refused with the holder's PID, and --all programs the others.
    void aBoardInUseIsLeftAlone()
    {
        // All three commands on one simulated bus, the later two once board 2 took 20 pages.
        const QString commands =
            QString(
                "%1 --port 1-1.2 upgrade app.upg > /dev/null & "
                "for i in $(seq 300); do [ -e go ] && break; sleep 0.1; done; "
                "%1 --port 1-1.2 run-app 2> refused.txt; echo $? > rc.txt; "
                "%1 upgrade --all app.upg --log production.log > all.txt 2>&1; echo $? >> rc.txt; "
                "wait $!; echo $? >> rc.txt")
                .arg(MV604_CLI);
        onThreeBoards(QString());
        QFile::remove(path("go"));
        QProcess holder;
        holder.setWorkingDirectory(work.path());
        holder.start(MV604_SIM,
                     {"--state-dir", path("state"), "--log", path("requests.log"), "--devices", "3",
                      "--page-program-ms", "15", "--", "sh", "-c", commands});
        QVERIFY(QTest::qWaitFor([&] { return pagesTakenBy(2) >= 20; }, 30000));
        QVERIFY(writeFile(path("go"), {}) && holder.waitForFinished(60000));
        const QRegularExpression inUse(
            "the board on port 1-1.2 is in use by PID [1-9][0-9]* \\(mv604-cli upgrade\\)");
        QVERIFY2(QString(readAll("refused.txt")).contains(inUse), readAll("refused.txt"));
        QVERIFY2(QString(readAll("all.txt")).contains(inUse), readAll("all.txt"));
        QCOMPARE(readAll("rc.txt"), "1\n1\n0\n"); // run-app, --all, the first upgrade
        for (int board = 1; board <= 3; ++board)
            QCOMPARE(pagesTakenBy(board), 120);    // board 2's from its first upgrade alone
        QCOMPARE(requestsTo(requests(), 2, 4), 0); // never restarted by the second command
        QCOMPARE(records().size(), 3);
    }
};

QTEST_GUILESS_MAIN(TestProduction)
#include "test_production.moc"
