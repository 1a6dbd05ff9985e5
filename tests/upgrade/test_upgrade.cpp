// The upgrade file built from a HEX file against one made by hand; the worker on a simulated KR960
// for every way a run ends: log, outcome, percentages, page requests and flash afterwards.

#include "device/usbkr960.h"
#include "request_log.h"
#include "sim/simulated_bus.h"
#include "upgrade/upgrade_builder.h"
#include "upgrade_fixtures.h"

#include <QTemporaryDir>
#include <QtTest>

using namespace fixtures;
using namespace kr960sim;
using Device = std::shared_ptr<SimulatedKr960>;
using Knob = std::function<Device(SimulatedBus &)>; // plugs the device and turns its knobs
Q_DECLARE_METATYPE(Knob)
Q_DECLARE_METATYPE(UpgradeOutcome)

namespace
{
Knob plug(Mode mode = Mode::Bootloader, const std::function<void(SimulatedKr960 &)> &turn = {},
          const char *serial = "264900001")
{
    return [=](SimulatedBus &bus) {
        Device device = bus.addDevice({mode, serial});
        device->setRestartDelayMs(50);
        if (turn)
            turn(*device);
        return device;
    };
}
Knob fault(int request, int nth, int count, Fault kind = Fault::Stall)
{
    return plug(Mode::Bootloader, [=](SimulatedKr960 &d) {
        d.addFault({request, nth, count, kind});
    });
}
} // namespace

class TestUpgrade : public QObject
{
    Q_OBJECT
    QTemporaryDir dir;
    const QByteArray application = applicationWithChecksum(firmwareBytes(0x3C000, 7));
    SimulatedBus bus;
    USBKR960 usb;
    Upgrader upgrader{&usb};
    Device device;
    std::vector<Device> others; // boards beside `device` that must be left alone
    QStringList lines;
    QList<int> percents;

private slots:
    void initTestCase()
    {
        QVERIFY2(SimulatedBus::preloadActive(), "run under LD_PRELOAD=libumockdev-preload.so.0");
        upgrader.setTiming(simulatedRestart());
        // clang-format off
        connect(&upgrader, &Upgrader::sendText, this, [this](QString s) { lines << s; }, Qt::DirectConnection);
        connect(&upgrader, &Upgrader::progressed, this, [this](const PageProgress &p) { percents << p.percent(); }, Qt::DirectConnection);
        // clang-format on
    }
    void cleanup()
    {
        if (device)
            bus.unplug(std::exchange(device, nullptr));
        for (const Device &other : std::exchange(others, {}))
            bus.unplug(other);
        upgrader.setBoard(std::nullopt);
    }
    // The worker run to its end on `bytes` written as `name`; a null name: no file chosen.
    bool upgradeWith(const QString &name, const QByteArray &bytes)
    {
        lines.clear();
        percents.clear();
        if (!name.isNull() && !writeFile(name, bytes))
            return false;
        upgrader.slotSetFileName(name);
        upgrader.start();
        upgrader.wait();
        return true;
    }

    // Data in the bootloader area, the tail and past the image is dropped; each area's last word
    // becomes the sum of its other words. A firmware with a brand word gets no file.
    void builtFileBytes()
    {
        const QByteArray upper = firmwareBytes(0x1C000, 2), fill(0x800, '\xA5'),
                         app =
                             applicationWithChecksum(firmwareBytes(0x3C000, 1)).chopped(4) + "junk";
        const QString hex = dir.filePath("fw.hex"), upg = dir.filePath("fw.upg");
        QVERIFY(writeHex(hex, {{0x08004000, app}, {0x0803FFD1, "\1"}}));
        QCOMPARE(buildUpgradeFile(hex, upg).text(), "Err: Invalid brand!");
        QVERIFY(!QFile::exists(upg));
        // clang-format off
        QVERIFY(writeHex(hex, {{0x08000000, fill}, {0x08004000, app}, {0x08040000, upper}, {0x0805C000, fill}, {0x08060000, fill}}));
        // clang-format on
        QCOMPARE(buildUpgradeFile(hex, upg).text(), "");
        const QByteArray bytes = readFile(upg);
        // Item lengths big-endian: 50 bytes of UTF-16BE header, 4 of version, then 0x60000.
        QCOMPARE(bytes.left(0x42).toHex(), "00000032004d0076003600300034002000550070006700720061"
                                           "00640065002000460069006c0065002000480065006100640065"
                                           "0072000000040030003200060000");
        const QByteArray zeros(0x4000, '\0');
        QVERIFY(bytes.mid(0x42) == scrambled(zeros + applicationWithChecksum(app) +
                                             applicationWithChecksum(upper, false) + zeros));
    }

    void endings_data()
    {
        QTest::addColumn<QByteArray>("bytes"); // of the upgrade file; "none": no file chosen
        QTest::addColumn<Knob>("knob");
        QTest::addColumn<QStringList>("log"); // after the file name
        QTest::addColumn<UpgradeOutcome>("outcome");
        QTest::addColumn<int>("pages"); // programmed and reported in percent; -1: no percent at all
        const QByteArray good = upgradeFileBytes(application), items = good.left(62),
                         image = good.mid(66);
        using O = UpgradeOutcome;
        // clang-format off
        const QStringList ok{"264900001b", "KR960 BL 1.07", "Bootloader mode", "Writting firmware ... ", "OK"}, timeout{"USB Timeout\nCheck USB Cable"},
            notBack{"264900001", "KR960 BL 1.07", "Apllication mode", "Reset device", "USB timout\nCheck USB cable"}, verify = ok.mid(0, 4) + QStringList{"ERROR", "Verify ERROR"};
        const auto corrupt = [](quint32 page) { return plug(Mode::Bootloader, [=](SimulatedKr960 &d) { d.corruptReadBack(0x08004000 + page * 2048); }); };
        const auto row = [](const char *name) -> QTestData & { return QTest::newRow(name); };
        row("bootloader mode") << good << plug() << ok << O::Ok << 120;
        const QStringList restarted = notBack.mid(0, 4) + QStringList{"Disconnect", "Connect", "Serial:264900001b", "Writting firmware ... ", "OK"};
        row("application mode") << good << plug(Mode::Application) << restarted << O::Ok << 120;
        const auto refusedAfterRestart = [](int times) { return plug(Mode::Application, [=](SimulatedKr960 &d) { d.addFault({0xFF, 3, times}); }); };
        row("the fresh connect after the restart refused 3 times") << good << refusedAfterRestart(3) << restarted << O::Ok << 120;
        row("the fresh connect after the restart refused 4 times") << good << refusedAfterRestart(4) << restarted.mid(0, 6) + QStringList{"Serial:", "USB timout\nCheck USB cable"} << O::NoDevice << 0;
        row("identity refused 3 times, bytes after the image") << good + "more" << fault(0xFF, 1, 3) << ok << O::Ok << 120;
        row("identity refused 4 times") << good << fault(0xFF, 1, 4) << timeout << O::NoDevice << 0;
        row("no device") << good << Knob([](SimulatedBus &) { return Device(); }) << timeout << O::NoDevice << 0;
        row("no file chosen") << QByteArray("none") << plug() << QStringList() << O::NotRun << -1;
        row("longer image item") << items + be32(0x60004) + image + "more" << plug() << ok << O::Ok << 120;
        const auto bad = [&](const char *name, const QByteArray &bytes, const char *line) { row(name) << bytes << plug() << QStringList{line} << O::BadFile << -1; };
        bad("empty file", "", "Wrong file header");
        bad("header in lower case", textItem("mv604 upgrade file header") + good.mid(54), "Wrong file header");
        bad("version 2", items.left(54) + textItem("2") + good.mid(62), "Wrong file version");
        bad("version '02 '", items.left(54) + textItem("02 ") + good.mid(62), "Wrong file version");
        bad("no version", items.left(54), "Wrong file version");
        bad("image length one short", items + be32(0x5FFFF) + image, "Wrong file size");
        bad("null image", items + be32(0xFFFFFFFF) + image, "Wrong file size");
        bad("file cut short", good.chopped(1), "Wrong file size");
        bad("longer item cut short", items + be32(0x60001) + image, "Wrong file size");
        bad("length beyond the file", items + be32(0x7FFFFFF0) + image, "Wrong file size");
        const auto flipped = [&](int offset) { QByteArray bytes = good; bytes[66 + offset] ^= 1; return bytes; };
        bad("application byte flipped", flipped(0x5235), "Wrong file checksum");
        bad("application checksum flipped", flipped(0x3FFFF), "Wrong file checksum");
        bad("upper area's last word flipped", flipped(0x5BFF8), "Wrong file checksum");
        bad("upper checksum flipped", flipped(0x5BFFC), "Wrong file checksum");
        row("byte after the upper area flipped") << flipped(0x5C000) << plug() << ok << O::Ok << 120;
        row("version unreadable") << good << fault(1, 1, 1) << QStringList{"264900001b", "Bootloader Version Read Error"} << O::NoDevice << 0;
        row("unknown mode") << good << plug(Mode::Bootloader, {}, "1234567") << QStringList{"1234567b", "KR960 BL 1.07", "Serial:1234567b"} << O::NoDevice << 0;
        row("stays in its application") << good << plug(Mode::Application, [](SimulatedKr960 &d) { d.setStaysInApplication(true); }) << notBack << O::NoDevice << 0;
        row("never back after restart") << good << plug(Mode::Application, [](SimulatedKr960 &d) { d.setComesBackAfterRestart(false); }) << notBack << O::NoDevice << 0;
        row("page 5 write refused") << good << fault(3, 5, 1) << ok.mid(0, 4) + QStringList{"ERROR"} << O::WriteFailed << 4;
        row("page 119 reads back different") << good << corrupt(119) << verify << O::VerifyFailed << 120;
        // A read that fails is asked again (three times), and is not taken for a wrong page.
        row("page 7 read-back times out once") << good << fault(1, 9, 1, Fault::Timeout) << ok << O::Ok << 120;
        row("page 7 read-back stalls 3 times") << good << fault(1, 9, 3) << ok << O::Ok << 120;
        row("page 7 read-back times out 4 times") << good << fault(1, 9, 4, Fault::Timeout) << ok.mid(0, 4) + QStringList{"ERROR", "Read back ERROR"} << O::ReadFailed << 120;
        // clang-format on
    }
    // Pages are written and read back in order at 0x08004000 + 2048 n; a failed run leaves the
    // pages after its last one as they were.
    void endings()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(Knob, knob);
        QFETCH(QStringList, log);
        QFETCH(UpgradeOutcome, outcome);
        QFETCH(int, pages);
        device = knob(bus);
        const QByteArray before = device ? flashOf(*device, 0x08004000, 0x3C800) : QByteArray();
        const QString name = bytes == "none" ? QString() : dir.filePath(QTest::currentDataTag());
        QVERIFY(upgradeWith(name, bytes));
        QCOMPARE(lines, name.isNull() ? log : QStringList{name} + log);
        QCOMPARE(upgrader.outcome(), outcome);
        QList<int> expectedPercents;
        QStringList seen, expected;
        for (int page = 0; page <= pages; ++page) {
            expectedPercents << page * 100 / 120;
            for (const char *request : {"3@", "1@"})
                expected << request + QString::number(0x08004000 + 2048 * page, 16);
        }
        QCOMPARE(percents, expectedPercents);
        if (!device)
            return;
        QVERIFY(pages >= 0 || vendorRequests(*device).empty()); // a bad file never reaches it
        pages = qMax(0, pages);
        QVERIFY(flashOf(*device, 0x08004000, 0x3C800) ==
                application.left(2048 * pages) + before.mid(2048 * pages));
        for (const RequestRecord &r : vendorRequests(*device)) {
            const QString request =
                QString("%1@%2").arg(r.request).arg(r.index << 16 | r.value, 0, 16);
            const bool readAgain = r.request == 1 && !seen.isEmpty() && seen.last() == request;
            if (r.request == 3 || (r.request == 1 && !seen.isEmpty() && !readAgain))
                seen << request;
        }
        QCOMPARE(seen, expected.mid(0, 2 * pages + (outcome == UpgradeOutcome::WriteFailed)));
    }

    // A board that comes back in its application uses up one of the caller's tries (four here, ten
    // elsewhere) at each connect: the run asks exactly that often (the first connection aside),
    // then gives up.
    void restartTries()
    {
        const int tries = 4;
        device =
            plug(Mode::Application, [](SimulatedKr960 &d) { d.setStaysInApplication(true); })(bus);
        upgrader.setTiming(simulatedRestart(10, 300, tries));
        QVERIFY(upgradeWith(dir.filePath("tries.upg"), upgradeFileBytes(application)));
        upgrader.setTiming(simulatedRestart());
        QCOMPARE(upgrader.outcome(), UpgradeOutcome::NoDevice);
        QCOMPARE(int(vendorRequests(*device, 0xFF).size()), 1 + tries);
        QVERIFY(vendorRequests(*device, 3).empty());
    }

    // Several boards on the bus, the board to program restarting slowly while the others wait in
    // their bootloaders: that board is programmed through its restart, and no other is restarted
    // or sent a page, whatever its mode and place in the walk. Given none, the run keeps to the
    // board it met first (the window's worker has no choice of its own to keep it there).
    void keepsToItsBoard_data()
    {
        QTest::addColumn<QString>("modes"); // of the boards in plugging order: a, b
        QTest::addColumn<int>("given");     // which of them is to be programmed
        QTest::addColumn<QString>("by");    // "port": by serial and port, "serial" alone, "": none
        // clang-format off
        QTest::newRow("the second of two in their applications") << "aa" << 1 << "port";
        QTest::newRow("the first, another in its bootloader") << "ab" << 0 << "port";
        QTest::newRow("in its bootloader after one in its application") << "ab" << 1 << "port";
        QTest::newRow("the middle of three, by serial alone") << "bab" << 1 << "serial";
        QTest::newRow("none given, another in its bootloader") << "ba" << 1 << "";
        // clang-format on
    }
    void keepsToItsBoard()
    {
        QFETCH(QString, modes);
        QFETCH(int, given);
        QFETCH(QString, by);
        for (int i = 0; i < modes.size(); ++i) {
            const QByteArray serial = "26490000" + QByteArray::number(i + 1);
            const Device board = plug(
                modes[i] == 'a' ? Mode::Application : Mode::Bootloader,
                [&](SimulatedKr960 &d) { d.setRestartDelayMs(i == given ? 150 : 50); },
                serial.constData())(bus);
            if (i == given)
                device = board;
            else
                others.push_back(board);
            if (i != given && by.isEmpty()) // whatever the walk's order, not taken first
                board->addFault({0xFF, 1, 1, Fault::Stall});
        }
        const BoardIdentity board{"26490000" + QByteArray::number(given + 1),
                                  QString::fromStdString(bus.port(device))};
        if (!by.isEmpty())
            upgrader.setBoard(BoardIdentity{board.serial, by == "port" ? board.port : QString()});
        QVERIFY(upgradeWith(dir.filePath("given.upg"), upgradeFileBytes(application)));
        QCOMPARE(upgrader.outcome(), UpgradeOutcome::Ok);
        QCOMPARE(upgrader.report().board, board);
        QVERIFY(flashOf(*device, 0x08004000, 0x3C000) == application);
        for (const Device &other : others)
            QVERIFY(vendorRequests(*other, 3).empty() && vendorRequests(*other, 4).empty());
    }

    // A worker given no device ends as when none answers.
    void withoutDevice()
    {
        Upgrader orphan(nullptr);
        orphan.slotSetFileName(dir.filePath("bootloader mode"));
        orphan.start();
        orphan.wait();
        QCOMPARE(orphan.outcome(), UpgradeOutcome::NoDevice);
    }
};

QTEST_GUILESS_MAIN(TestUpgrade)
#include "test_upgrade.moc"
