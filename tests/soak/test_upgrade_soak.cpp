// Seeded upgrades against a simulated KR960 in trouble drawn from one table: no run may hang or
// end Ok unless the device holds the file, and a run without trouble must end Ok, so a device left
// unfit by the run before shows. MV604_SOAK_RUNS and MV604_SOAK_SEED replay another soak.

#include "device/usbkr960.h"
#include "sim/simulated_bus.h"
#include "upgrade_fixtures.h"

#include <QLoggingCategory>
#include <QtTest>

#include <cerrno>

using namespace kr960sim;
using Random = QRandomGenerator;

namespace
{
// Vanishing is the rarest fault, and gone is gone: it is never repeated.
FaultRule rule(int request, int nth, Random &r)
{
    const int kind = r.bounded(10), length = r.bounded(10);
    const Fault fault = Fault(kind < 3 ? 0 : kind < 6 ? 1 : kind < 9 ? 2 : 3);
    return {request, nth, fault == Fault::Vanish || length < 7 ? 1 : length < 9 ? 2 : 0, fault};
}

using Turn = void (*)(SimulatedKr960 &, Random &);
// clang-format off
const std::pair<const char *, Turn> Troubles[] = {
    {"page write", [](SimulatedKr960 &d, Random &r) { d.addFault(rule(3, 1 + r.bounded(120), r)); }},
    {"memory read", [](SimulatedKr960 &d, Random &r) { d.addFault(rule(1, 1 + r.bounded(121), r)); }},
    {"identity", [](SimulatedKr960 &d, Random &r) { d.addFault(rule(r.bounded(2) ? 0xFF : 0xFE, 1 + r.bounded(6), r)); }},
    {"any request", [](SimulatedKr960 &d, Random &r) { d.addFault(rule(-1, 1 + r.bounded(245), r)); }},
    {"lying read-back", [](SimulatedKr960 &d, Random &r) { d.corruptReadBack(0x08004000 + 2048 * r.bounded(120)); }},
    {"restart", [](SimulatedKr960 &d, Random &r) { d.setMode(Mode::Application), d.setRestartDelayMs(5 + r.bounded(40)); }},
    {"restart request", [](SimulatedKr960 &d, Random &r) { d.setMode(Mode::Application), d.addFault(rule(4, 1, r)); }},
    {"stays in application", [](SimulatedKr960 &d, Random &) { d.setMode(Mode::Application), d.setStaysInApplication(true); }},
    {"never back", [](SimulatedKr960 &d, Random &) { d.setMode(Mode::Application), d.setComesBackAfterRestart(false); }},
};
// clang-format on
} // namespace

class TestUpgradeSoak : public QObject
{
    Q_OBJECT
    QTemporaryDir dir;
    std::unique_ptr<SimulatedBus> bus;
    std::shared_ptr<SimulatedKr960> device;
    USBKR960 usb;
    Upgrader upgrader{&usb};
    QStringList lines;

    // Takes the troubles away and brings a vanished device back. Every device number used leaves
    // a dead node that each bus walk opens: now and then a fresh bus forgets them.
    void settle()
    {
        const auto &requests = device->requests();
        const bool vanished =
            std::any_of(requests.begin(), requests.end(),
                        [](const RequestRecord &r) { return r.result == -ENODEV; });
        device->clearFaults();
        device->clearRequests();
        device->setStaysInApplication(false);
        device->setComesBackAfterRestart(true);
        device->setRestartDelayMs(20);
        if (vanished || !device->waitUntilPlugged(60))
            bus->replug(device);
        if (bus->deviceNumber(device) < 8)
            return;
        usb.disconnect();
        device.reset();
        bus.reset(); // one simulated bus at a time
        bus = std::make_unique<SimulatedBus>();
        device = bus->addDevice();
    }

private slots:
    void soak()
    {
        QVERIFY2(SimulatedBus::preloadActive(), "run under LD_PRELOAD=libumockdev-preload.so.0");
        const int runs = qEnvironmentVariable("MV604_SOAK_RUNS", "200").toInt();
        const uint seed = qEnvironmentVariable("MV604_SOAK_SEED", "604").toUInt();
        QLoggingCategory::setFilterRules("default.debug=false"); // thousands of trace lines a run
        upgrader.setTiming(fixtures::simulatedRestart(5, 100));
        connect(
            &upgrader, &Upgrader::sendText, this, [this](QString s) { lines << s; },
            Qt::DirectConnection);
        bus = std::make_unique<SimulatedBus>();
        device = bus->addDevice();
        Random random(seed);
        QMap<QString, int> outcomes;
        for (int run = 0; run < runs; ++run) {
            const QByteArray application = fixtures::applicationWithChecksum(
                fixtures::firmwareBytes(0x3C000, random.generate()));
            QVERIFY(writeFile(dir.filePath("soak.upg"), fixtures::upgradeFileBytes(application)));
            QStringList troubles;
            for (int n = random.bounded(4); n > 0; --n) {
                const auto &[name, turn] = Troubles[random.bounded(int(std::size(Troubles)))];
                turn(*device, random);
                troubles << name;
            }
            lines.clear();
            upgrader.slotSetFileName(dir.filePath("soak.upg"));
            upgrader.start();
            const bool ended = upgrader.wait(QDeadlineTimer(20000));
            const UpgradeOutcome outcome = upgrader.outcome();
            const bool holdsFile = flashOf(*device, 0x08004000, 0x3C000) == application;
            const bool ok = outcome == UpgradeOutcome::Ok;
            const QStringList what{QString("run %1 of seed %2").arg(run).arg(seed),
                                   troubles.join(','), upgradeOutcomeName(outcome),
                                   lines.join('|')};
            QVERIFY2(ended && outcome != UpgradeOutcome::NotRun &&
                         outcome != UpgradeOutcome::Stopped &&
                         (!ok || (holdsFile && lines.last() == "OK" && !lines.contains("ERROR") &&
                                  !troubles.contains("lying read-back"))) &&
                         (ok || !troubles.isEmpty()),
                     qPrintable(what.join("; ")));
            ++outcomes[upgradeOutcomeName(outcome)];
            settle();
        }
        qInfo() << "seed" << seed << outcomes;
        usb.disconnect();
    }
};

QTEST_GUILESS_MAIN(TestUpgradeSoak)
#include "test_upgrade_soak.moc"
