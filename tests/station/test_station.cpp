// mv604-station as an operator at a fixture meets it: the file it shows and when it may start, a
// line of simulated boards that mv604-cli workers program, a tile per board with its ending in
// words and colour, the line's counts, and a station closed or terminated during its runs.

#include "station/board_tile.h"
#include "station/station_window.h"

#include "dialog_script.h"
#include "process_run.h"
#include "request_log.h"
#include "upgrade_fixtures.h"

#include "sim/simulated_bus.h"

#include <QtTest>
#include <QtWidgets>

#include <sys/stat.h>

class TestStation : public QObject
{
    Q_OBJECT

    QTemporaryDir work;
    const QString upg = work.filePath("app.upg");
    const QByteArray application =
        fixtures::applicationWithChecksum(fixtures::firmwareBytes(Kr960::ApplicationSize, 5));
    const QByteArray upgBytes = fixtures::upgradeFileBytes(application);

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

    // What an operator reads of each tile, in the order the window shows them (row by row), its
    // colour in words: "port|serial|pages|colour|ending|next step".
    static QStringList tilesAsSeen(const QWidget &window)
    {
        QList<BoardTile *> shown = window.findChildren<BoardTile *>();
        std::sort(shown.begin(), shown.end(), [](const BoardTile *a, const BoardTile *b) {
            return std::pair(a->y(), a->x()) < std::pair(b->y(), b->x());
        });
        QStringList tiles;
        for (const BoardTile *tile : shown) {
            const int hue = tile->palette().color(QPalette::Window).hue();
            const char *colour = hue < 0                 ? "grey"
                                 : hue < 25 || hue > 335 ? "red"
                                 : hue < 75              ? "amber"
                                                         : "green";
            tiles << QStringList{text(*tile, "port"),
                                 text(*tile, "serial"),
                                 QString::number(tile->findChild<QProgressBar *>("pages")->value()),
                                 colour,
                                 text(*tile, "ending"),
                                 text(*tile, "nextStep")}
                         .join('|');
        }
        return tiles;
    }

    // Every tile whole inside the visible part of the tile area: nothing to scroll to.
    static bool allTilesShown(const QWidget &window)
    {
        const QWidget *viewport = window.findChild<QScrollArea *>("tiles")->viewport();
        for (const BoardTile *tile : window.findChildren<BoardTile *>())
            if (!viewport->rect().contains(QRect(tile->mapTo(viewport, QPoint()), tile->size())))
                return false;
        return true;
    }

    // Boards with serials 264900001, 264900002, ... on a fresh bus.
    // `twins`: the second board has the first one's serial.
    void plugLine(int count, const kr960sim::DeviceConfig &like = {}, bool twins = false)
    {
        boards.clear();
        bus.reset(); // one testbed at a time
        bus.reset(new kr960sim::SimulatedBus);
        for (int i = 1; i <= count; ++i)
            plugBoard(twins && i == 2 ? 1 : i, like);
    }
    void plugBoard(int serialNumber, kr960sim::DeviceConfig config = {})
    {
        config.serial = std::to_string(264900000 + serialNumber);
        boards.push_back(bus->addDevice(config));
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(kr960sim::SimulatedBus::preloadActive(), "needs umockdev's preload");
        // The workers' board locks, keyed by port, stay apart from any other suite's 1-1.1.
        qputenv("XDG_RUNTIME_DIR", work.path().toLocal8Bit());
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
        // Of upgBytes: QCryptographicHash's digest, the application area's last word. Refused
        // before a byte is read: a FIFO would block, /dev/zero never ends.
        // clang-format off
        QTest::newRow("an upgrade file") << upgBytes << "" << "chosen.upg|SHA-256 6512c2159cef   application checksum 0x70212c68   upper checksum 0x00000000|" << true << true;
        QTest::newRow("a file of another kind") << QByteArray("not an upgrade file") << "" << "chosen.upg: Wrong file header|" << false << false;
        QTest::newRow("no such file") << QByteArray() << "" << "|cannot open " << false << false;
        QTest::newRow("a FIFO") << QByteArray("fifo") << "" << "chosen.upg: not a regular file but a pipe|" << false << false;
        QTest::newRow("/dev/zero") << QByteArray("/dev/zero") << "" << "zero|cannot open /dev/zero: not a regular file but a device|" << false << false;
        QTest::newRow("a log in a missing folder") << upgBytes << "/nonexistent/line.jsonl" << "|cannot write the log /nonexistent/line.jsonl: " << true << false;
        // clang-format on
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
        QVERIFY(!startable || !text(window, "message").contains("Choose the upgrade file"));
        QTest::mouseClick(button(window, "start"), Qt::LeftButton);
        const QString seen = text(window, "fileName") + '|' + text(window, "fileFacts") + '|' +
                             text(window, "message");
        QVERIFY2(seen.contains(shown), qPrintable(seen));
        QCOMPARE(button(window, "stop")->isEnabled(), runs);
        // The next start offers the same file only when it was accepted, and remembers no other.
        const StationWindow next(MV604_WORKER, log);
        QCOMPARE(text(next, "fileFacts"), startable ? text(window, "fileFacts") : QString());
        QVERIFY(!text(next, "message").contains("can no longer be used"));
    }

    // The file is chosen in the dialog and Start pressed, as an operator would. `line` sets the
    // boards up: "stall:K" (its fourth page write stalls), "refused:K" (no access), "twins"
    // (boards 1 and 2 share a serial), "vanish:K@P" (it leaves the bus at page write P),
    // "plug:K@MS" (plugged in MS after Start), "application" (each restarts into its bootloader
    // first). The line at a real board's timing is test_production's.
    void aLineOfBoards_data()
    {
        QTest::addColumn<int>("count");
        QTest::addColumn<QString>("line");
        QTest::addColumn<QStringList>("tiles");
        QTest::addColumn<QString>("counts");
        const QString again = "unplug and plug in again to retry", passed = "|120|green|passed|";
        const QString udev =
            "|serial unknown|0|amber|cannot be opened: no permission (install the udev rule "
            "60-kr960.rules)|check the cable and the udev rule, then plug in again";
        const QString shared = "|120|red|serial 264900001 is also on 1-1.%1: not counted|give each "
                               "board its own serial";
        const QString pulled =
            "|39|red|the board left the bus at page 40|plug it in again to retry";
        QStringList sixteen;
        for (int i = 1; i <= 16; ++i)
            sixteen << QString("port 1-1.%1|2649000%2").arg(i).arg(i, 2, 10, QChar('0')) +
                           (i == 7 ? pulled : passed);
        // clang-format off
        QTest::newRow("four boards, the third stalls") << 4 << "stall:3" << QStringList{"port 1-1.1|264900001" + passed, "port 1-1.2|264900002" + passed, "port 1-1.3|264900003|3|red|a page could not be written|" + again, "port 1-1.4|264900004" + passed} << "3 passed|1 failed|first-pass yield 75 %";
        QTest::newRow("two boards without the udev rule, so without a serial, on two ports") << 3 << "refused:2 refused:3" << QStringList{"port 1-1.1|264900001" + passed, "port 1-1.2" + udev, "port 1-1.3" + udev} << "1 passed|2 failed|first-pass yield 33 %";
        QTest::newRow("two boards share a serial") << 3 << "twins" << QStringList{"port 1-1.1|264900001" + shared.arg(2), "port 1-1.2|264900001" + shared.arg(1), "port 1-1.3|264900003" + passed} << "1 passed|0 failed|first-pass yield 100 %";
        QTest::newRow("a board pulled out at its 40th page") << 2 << "application vanish:2@40" << QStringList{"port 1-1.1|264900001" + passed, "port 1-1.2|264900002" + pulled} << "1 passed|1 failed|first-pass yield 50 %";
        // The README's picture of a line of sixteen (cmake --build build -t station_png): the
        // line itself, at a real board's timing, is test_production's, and the tiles' fit is
        // tilesFitTheScreen's.
        QTest::newRow("sixteen boards, restarting, plugged and pulled") << 15 << "application vanish:7@40 plug:16@1500" << sixteen << "15 passed|1 failed|first-pass yield 94 %";
        // clang-format on
    }
    void aLineOfBoards()
    {
        QFETCH(int, count);
        QFETCH(QString, line);
        QFETCH(QStringList, tiles);
        QFETCH(QString, counts);
        if (count > 4 && !qEnvironmentVariableIsSet("MV604_STATION_PNG"))
            QSKIP("only for the README's picture");
        kr960sim::DeviceConfig like;
        if (line.contains("application"))
            like.mode = kr960sim::Mode::Application;
        plugLine(count, like, line.contains("twins"));
        const QRegularExpression setting("(\\w+):(\\d+)(?:@(\\d+))?");
        QList<std::pair<int, int>> plugLater; // board, after ms
        for (auto each = setting.globalMatch(line); each.hasNext();) {
            const QRegularExpressionMatch match = each.next();
            const QString what = match.captured(1);
            const int board = match.captured(2).toInt(), at = match.captured(3).toInt();
            if (what == "stall")
                boards[board - 1]->addFault({3, 4, 1, kr960sim::Fault::Stall});
            else if (what == "refused")
                bus->setPermissionDenied(boards[board - 1], true);
            else if (what == "vanish")
                boards[board - 1]->addFault({3, at, 1, kr960sim::Fault::Vanish});
            else if (what == "plug")
                plugLater.append({board, at});
        }
        const QString log = work.filePath("line.jsonl");
        QFile::remove(log);
        StationWindow window(MV604_WORKER, log);
        window.show();
        // Attached before Start: a tile each, ready.
        QTRY_COMPARE(tilesAsSeen(window).filter("|grey|ready|").size(), count);
        DialogScript script({"file:" + upg});
        QTest::mouseClick(button(window, "chooseFile"), Qt::LeftButton);
        QVERIFY(script.done());
        QTest::mouseClick(button(window, "start"), Qt::LeftButton);
        for (const auto &[board, at] : plugLater)
            QTimer::singleShot(at, this, [this, board = board, like] { plugBoard(board, like); });
        if (line.contains("application")) // not "0.0 s programming"
            QTRY_VERIFY(!tilesAsSeen(window).filter("|grey|restarting|").isEmpty());
        QTRY_VERIFY2_WITH_TIMEOUT(tilesAsSeen(window).size() == tiles.size() &&
                                      tilesAsSeen(window).filter("|grey|").isEmpty(),
                                  qPrintable(tilesAsSeen(window).join('\n')), 30000);
        QCOMPARE(text(window, "passed") + '|' + text(window, "failed") + '|' +
                     text(window, "yield"),
                 counts);
        // A count that grows is never cut off, not even before the layout catches up.
        auto *yield = window.findChild<QLabel *>("yield");
        QVERIFY(yield->fontMetrics().horizontalAdvance(yield->text()) <= yield->width());
        yield->setText(yield->text().replace(QRegularExpression("[0-9]+ %"), "100 %"));
        QVERIFY(yield->fontMetrics().horizontalAdvance(yield->text()) <= yield->width());
        const QStringList seen = tilesAsSeen(window);
        for (int i = 0; i < tiles.size(); ++i)
            QVERIFY2(seen[i].startsWith(tiles[i]), qPrintable(seen[i]));
        // One record per real board, on its own port: no phantom from a restart or the walk.
        QStringList ports;
        for (const QByteArray &record : readFile(log).trimmed().split('\n'))
            ports << QJsonDocument::fromJson(record).object()["port"].toString();
        for (const QString &tile : tiles)
            QVERIFY2(ports.removeOne(tile.section('|', 0, 0).section(' ', 1)), qPrintable(tile));
        QVERIFY2(ports.isEmpty(), qPrintable(ports.join(' ')));
        if (qEnvironmentVariableIsSet("MV604_STATION_PNG")) { // cmake --build build -t station_png
            const QString name = tiles.size() == 4 ? "station.png" : "station-16.png";
            if (tiles.size() == 4 || tiles.size() == 16)
                QVERIFY(window.grab().save(
                    QDir(qEnvironmentVariable("MV604_STATION_PNG")).filePath(name)));
        }
    }

    // The file changes on disk during a shift: the station says so and goes on programming the
    // copy it checked, to a board plugged in afterwards too, until the operator reloads. Passed
    // boards that stay on their ports are not programmed again after Stop and Start, and the
    // counts go on.
    void aChangedFileIsNotProgrammedUntilReloaded()
    {
        plugLine(1);
        const QString path = work.filePath("shift.upg");
        QVERIFY(writeFile(path, upgBytes));
        StationWindow window(MV604_WORKER, QString());
        window.chooseUpgradeFile(path);
        const QString facts = text(window, "fileFacts");
        window.show();
        QTest::mouseClick(button(window, "start"), Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(tilesAsSeen(window).filter("|green|").size(), 1, 20000);
        const QByteArray other = fixtures::upgradeFileBytes(
            fixtures::applicationWithChecksum(fixtures::firmwareBytes(Kr960::ApplicationSize, 9)));
        QVERIFY(writeFile(path + ".new", other) &&
                std::rename(qPrintable(path + ".new"), qPrintable(path)) == 0);
        QTRY_VERIFY(text(window, "message").contains("shift.upg changed on disk"));
        QVERIFY(window.findChild<QPushButton *>("reload")->isVisible());
        plugBoard(2);
        QTRY_COMPARE_WITH_TIMEOUT(tilesAsSeen(window).filter("|green|").size(), 2, 20000);
        QCOMPARE(text(window, "fileFacts"), facts);
        for (const auto &board : boards)
            QVERIFY(flashOf(*board, Kr960::ApplicationStart, Kr960::ApplicationSize) ==
                    application);
        QTest::mouseClick(button(window, "stop"), Qt::LeftButton);
        QTRY_VERIFY(button(window, "start")->isEnabled());
        QTest::mouseClick(button(window, "start"), Qt::LeftButton);
        QTest::qWait(1500); // several looks at the bus
        QCOMPARE(vendorRequests(*boards[0], 3).size(), size_t(120));
        QCOMPARE(vendorRequests(*boards[1], 3).size(), size_t(120));
        QCOMPARE(text(window, "passed"), QString("2 passed"));
        QTest::mouseClick(button(window, "reload"), Qt::LeftButton);
        QVERIFY(text(window, "fileFacts") != facts);
    }

    // Sixteen boards at the default size on a 1366x768 screen, twenty-four in a larger window:
    // every tile in view, in port order.
    void tilesFitTheScreen_data()
    {
        QTest::addColumn<int>("count");
        QTest::addColumn<QSize>("size"); // empty: the default
        QTest::newRow("sixteen at the default size") << 16 << QSize();
        QTest::newRow("twenty-four in a larger window") << 24 << QSize(1900, 1000);
    }
    void tilesFitTheScreen()
    {
        QFETCH(int, count);
        QFETCH(QSize, size);
        plugLine(count);
        StationWindow window(MV604_WORKER, QString());
        if (size.isValid())
            window.resize(size);
        window.show();
        QTRY_COMPARE(tilesAsSeen(window).filter("|ready|").size(), count);
        QVERIFY(window.width() <= qMax(1366, size.width()) &&
                window.height() <= qMax(740, size.height()) && allTilesShown(window));
        QVERIFY(tilesAsSeen(window).at(9).startsWith("port 1-1.10|"));
    }

    // The station's own words in Polish, as the main window's.
    void polishTexts()
    {
        plugLine(1);
        QTranslator polish;
        QVERIFY(polish.load(MV604_PL_QM));
        QCoreApplication::installTranslator(&polish);
        QSettings().remove("station/upgradeFile");
        {
            StationWindow window(MV604_WORKER, QString());
            QTRY_COMPARE(tilesAsSeen(window).size(), 1);
            QCOMPARE(text(window, "message"),
                     QString("Wybierz plik aktualizacji i naciśnij Start"));
            QVERIFY2(tilesAsSeen(window).first().endsWith("|gotowa|"),
                     qPrintable(tilesAsSeen(window).first()));
            QCOMPARE(button(window, "stop")->text(), QString("Zatrzymaj"));
        }
        QCoreApplication::removeTranslator(&polish);
    }

    // SIGTERM, as a session ends it, closes the window: the program under mv604-sim stops its
    // runs, stays until each is recorded, and exits. It finds mv604-cli beside it in the build
    // tree.
    void sigtermEndsTheRunsAndTheProgram()
    {
        QProcess station;
        station.setProcessEnvironment(
            environmentWith({"LD_PRELOAD", "UMOCKDEV_DIR", "MV604_WORKER",
                             "XDG_CONFIG_HOME=" + work.filePath("config")}));
        station.setWorkingDirectory(work.path());
        station.start(MV604_SIM,
                      {"--devices", "2", "--page-program-ms", "40", "--log", "requests.log", "--",
                       MV604_STATION, "--start", "--log", "terminated.jsonl", "app.upg"});
        const auto pageWrites = [&](int device) {
            return pageWritesOf(work.filePath("requests.log"), device);
        };
        QTRY_VERIFY_WITH_TIMEOUT(pageWrites(1) >= 2 && pageWrites(2) >= 2, 20000);
        station.terminate();
        QVERIFY(station.waitForFinished(20000) && station.exitCode() == 0);
        // Each board's run recorded as stopped, with the pages the board really took.
        const QList<QByteArray> lines =
            readFile(work.filePath("terminated.jsonl")).trimmed().split('\n');
        QCOMPARE(lines.size(), 2);
        for (const QByteArray &line : lines) {
            const QJsonObject record = QJsonDocument::fromJson(line).object();
            const int writes = pageWrites(record["serial"].toString().toInt() - 264900000);
            QVERIFY2(record["result"] == "stopped" && record["pages_written"] == writes &&
                         record["pages_verified"] == writes && writes > 0 && writes < 120,
                     line.constData());
        }
    }
};

QTEST_MAIN(TestStation)
#include "test_station.moc"
