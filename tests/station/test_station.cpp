// mv604-station as an operator at a fixture meets it: the file it shows and when it may start, a
// line of simulated boards that mv604-cli workers program, a tile per board with its ending in
// words and colour, the line's counts, and a station closed or terminated during its runs.

#include "station/board_tile.h"
#include "station/station_window.h"

#include "dialog_script.h"
#include "upgrade_fixtures.h"
#include "vendor_requests.h"

#include "sim/simulated_bus.h"

#include <QtTest>
#include <QtWidgets>

#include <sys/stat.h>

class TestStation : public QObject
{
    Q_OBJECT

    QTemporaryDir work;
    const QString upg = work.filePath("app.upg");
    const QByteArray upgBytes = fixtures::upgradeFileBytes(
        fixtures::applicationWithChecksum(fixtures::firmwareBytes(Kr960::ApplicationSize, 5)));
    QScopedPointer<kr960sim::SimulatedBus> bus;
    std::vector<std::shared_ptr<SimulatedKr960>> boards;

    static QPushButton *button(const QWidget &w, const char *name)
    {
        return w.findChild<QPushButton *>(name);
    }
    static QString text(const QWidget &w, const char *name)
    {
        return w.findChild<QLabel *>(name)->text();
    }

    // What an operator reads of each tile, its colour in words: "serial|pages|colour|ending".
    static QStringList tilesAsSeen(const QWidget &window)
    {
        QStringList tiles;
        for (const BoardTile *tile : window.findChildren<BoardTile *>()) {
            const int hue = tile->palette().color(QPalette::Window).hue();
            const char *colour = hue < 0                 ? "grey"
                                 : hue < 25 || hue > 335 ? "red"
                                 : hue < 75              ? "amber"
                                                         : "green";
            tiles << QString("%1|%2|%3|%4")
                         .arg(text(*tile, "serial"))
                         .arg(tile->findChild<QProgressBar *>("pages")->value())
                         .arg(colour, text(*tile, "ending"));
        }
        tiles.sort();
        return tiles;
    }

    // Each board's run recorded as stopped, with the pages the board really took.
    static void checkStopped(const QString &log, const QMap<QString, int> &pageWrites)
    {
        const QList<QByteArray> lines = readFile(log).trimmed().split('\n');
        QCOMPARE(lines.size(), pageWrites.size());
        for (const QByteArray &line : lines) {
            const QJsonObject record = QJsonDocument::fromJson(line).object();
            const int writes = pageWrites.value(record["serial"].toString(), -1);
            QVERIFY2(record["result"] == "stopped" && record["pages_written"] == writes &&
                         record["pages_verified"] == writes && writes > 0 && writes < 120,
                     line.constData());
        }
    }

    // Boards with serials 264900001, 264900002, ... on a fresh bus.
    void plugLine(int count, int pageProgramMs = 0)
    {
        boards.clear();
        bus.reset(); // one testbed at a time
        bus.reset(new kr960sim::SimulatedBus);
        for (int i = 1; i <= count; ++i) {
            kr960sim::DeviceConfig config;
            config.serial = std::to_string(264900000 + i);
            config.pageProgramMs = pageProgramMs;
            boards.push_back(bus->addDevice(config));
        }
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(kr960sim::SimulatedBus::preloadActive(), "needs umockdev's preload");
        QStandardPaths::setTestModeEnabled(true);
        QSettings().clear();
        QVERIFY(writeFile(upg, upgBytes));
    }

    void startNeedsAUsableFileAndLog_data()
    {
        QTest::addColumn<QByteArray>("bytes"); // null: no such file; "fifo", "/dev/zero": those
        QTest::addColumn<QString>("log");
        QTest::addColumn<QString>("shown");
        QTest::addColumn<bool>("startable");
        QTest::addColumn<bool>("runs");
        // Of upgBytes: QCryptographicHash's digest, the application area's last word.
        QTest::newRow("an upgrade file") << upgBytes << ""
                                         << "chosen.upg|SHA-256 6512c2159cef   application "
                                            "checksum 0x70212c68   upper checksum 0x00000000|"
                                         << true << true;
        QTest::newRow("a file of another kind")
            << QByteArray("not an upgrade file") << ""
            << "chosen.upg: Wrong file header|" << false << false;
        QTest::newRow("no such file") << QByteArray() << ""
                                      << "|cannot open " << false << false;
        // Refused before a byte is read: a FIFO would block, /dev/zero never ends.
        QTest::newRow("a FIFO") << QByteArray("fifo") << ""
                                << "chosen.upg: not a regular file: a FIFO|" << false << false;
        QTest::newRow("/dev/zero") << QByteArray("/dev/zero") << ""
                                   << "zero|cannot open /dev/zero: not a regular file: a "
                                      "character device|"
                                   << false << false;
        QTest::newRow("a log in a missing folder")
            << upgBytes << "/nonexistent/line.jsonl"
            << "|cannot write the log /nonexistent/line.jsonl: " << true << false;
    }
    // Chosen now and remembered from the last start: a remembered file that is no longer usable
    // is forgotten with a notice, never holding up the start.
    void startNeedsAUsableFileAndLog()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, log);
        QFETCH(QString, shown);
        QFETCH(bool, startable);
        QFETCH(bool, runs);
        plugLine(0);
        QString path = work.filePath("chosen.upg");
        QFile::remove(path);
        if (bytes == "fifo")
            QVERIFY(mkfifo(QFile::encodeName(path).constData(), 0600) == 0);
        else if (bytes == "/dev/zero")
            path = "/dev/zero";
        else
            QVERIFY(bytes.isNull() || writeFile(path, bytes));
        QSettings().setValue("station/upgradeFile", path);
        StationWindow window(MV604_WORKER, log);
        QCOMPARE(text(window, "message").contains("can no longer be used"), !startable);
        window.chooseUpgradeFile(path);
        QCOMPARE(button(window, "start")->isEnabled(), startable);
        QTest::mouseClick(button(window, "start"), Qt::LeftButton);
        const QString seen = text(window, "fileName") + '|' + text(window, "fileFacts") + '|' +
                             text(window, "message");
        QVERIFY2(seen.contains(shown), qPrintable(seen));
        QCOMPARE(button(window, "stop")->isEnabled(), runs);
        // The next start offers the same file only when it was accepted.
        QCOMPARE(text(StationWindow(MV604_WORKER, log), "fileFacts"),
                 startable ? text(window, "fileFacts") : QString());
    }

    // The file is chosen in the dialog and Start pressed, as an operator would.
    void aLineOfBoards_data()
    {
        QTest::addColumn<int>("count");
        QTest::addColumn<int>("stalling"); // the board whose fourth page write stalls, or 0
        QTest::addColumn<int>("refused");  // the board without access, or 0
        QTest::addColumn<QStringList>("tiles");
        QTest::addColumn<QString>("counts");
        QTest::newRow("four boards, the third stalls")
            << 4 << 3 << 0
            << QStringList{"264900001|120|green|passed", "264900002|120|green|passed",
                           "264900003|3|red|a page could not be written",
                           "264900004|120|green|passed"}
            << "3 passed|1 failed|first-pass yield 75 %";
        QTest::newRow("a board without the udev rule")
            << 2 << 0 << 2
            << QStringList{"264900001|120|green|passed",
                           "serial unknown|0|amber|cannot be opened: no permission (install the "
                           "udev rule 60-kr960.rules)"}
            << "1 passed|1 failed|first-pass yield 50 %";
    }
    void aLineOfBoards()
    {
        QFETCH(int, count);
        QFETCH(int, stalling);
        QFETCH(int, refused);
        QFETCH(QStringList, tiles);
        QFETCH(QString, counts);
        plugLine(count);
        if (stalling)
            boards[stalling - 1]->addFault({3, 4, 1, kr960sim::Fault::Stall});
        if (refused)
            bus->setPermissionDenied(boards[refused - 1], true);
        StationWindow window(MV604_WORKER, QString());
        window.show();
        DialogScript script({"file:" + upg});
        QTest::mouseClick(button(window, "chooseFile"), Qt::LeftButton);
        QVERIFY(script.done());
        QTest::mouseClick(button(window, "start"), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(tilesAsSeen(window).size() == tiles.size() &&
                                     tilesAsSeen(window).filter("|grey|").isEmpty(),
                                 20000);
        QCOMPARE(text(window, "passed") + '|' + text(window, "failed") + '|' +
                     text(window, "yield"),
                 counts);
        const QStringList seen = tilesAsSeen(window);
        for (int i = 0; i < tiles.size(); ++i)
            QVERIFY2(seen[i].startsWith(tiles[i]), qPrintable(seen[i]));
        if (qEnvironmentVariableIsSet("MV604_STATION_PNG")) // cmake --build build -t station_png
            QVERIFY(window.grab().save(qEnvironmentVariable("MV604_STATION_PNG")));
    }

    // Closed during its runs, the window stays until each run is recorded as stopped.
    void closingWaitsUntilTheRunsAreRecorded()
    {
        plugLine(2, 40);
        const QString log = work.filePath("closed.jsonl");
        StationWindow window(MV604_WORKER, log);
        window.chooseUpgradeFile(upg);
        window.show();
        QTest::mouseClick(button(window, "start"), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(
            tilesAsSeen(window).size() == 2 &&
                tilesAsSeen(window).filter(QRegularExpression("\\|[01]\\|")).isEmpty(),
            20000);
        window.close();
        QVERIFY(window.isVisible() && readFile(log).isEmpty());
        QTRY_VERIFY_WITH_TIMEOUT(!window.isVisible(), 20000);
        checkStopped(log, {{"264900001", int(vendorRequests(*boards[0], 3).size())},
                           {"264900002", int(vendorRequests(*boards[1], 3).size())}});
    }

    // SIGTERM, as a session ends it: the program under mv604-sim stops its runs, records them
    // and exits. It finds mv604-cli beside it in the build tree.
    void sigtermEndsTheRunsAndTheProgram()
    {
        QProcess station;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        for (const char *name : {"LD_PRELOAD", "UMOCKDEV_DIR", "MV604_WORKER"})
            environment.remove(name);
        environment.insert("XDG_CONFIG_HOME", work.filePath("config"));
        station.setProcessEnvironment(environment);
        station.setWorkingDirectory(work.path());
        station.start(MV604_SIM,
                      {"--devices", "2", "--page-program-ms", "40", "--log", "requests.log", "--",
                       MV604_STATION, "--start", "--log", "terminated.jsonl", "app.upg"});
        const auto pageWrites = [&](int device) {
            const QByteArray head = "device " + QByteArray::number(device) + " ";
            int writes = 0;
            for (const QByteArray &line : readFile(work.filePath("requests.log")).split('\n'))
                writes += line.startsWith(head) && line.contains(" bRequest=3 ");
            return writes;
        };
        QTRY_VERIFY_WITH_TIMEOUT(pageWrites(1) >= 2 && pageWrites(2) >= 2, 20000);
        station.terminate();
        QVERIFY(station.waitForFinished(20000) && station.exitCode() == 0);
        checkStopped(work.filePath("terminated.jsonl"),
                     {{"264900001", pageWrites(1)}, {"264900002", pageWrites(2)}});
    }
};

QTEST_MAIN(TestStation)
#include "test_station.moc"
