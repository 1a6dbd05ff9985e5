// Hundreds of upgrades in a row against a simulated KR960 that times out, stalls, answers short,
// lies on read-back, vanishes and restarts, drawn by a seeded generator from one table of
// troubles. No run may hang, and none may end Ok unless the device holds the file; every run
// without trouble must end Ok, so a device left unfit by the run before shows.
// MV604_SOAK_RUNS and MV604_SOAK_SEED replay a longer or another soak; the seed is printed.

#include "device/usbkr960.h"
#include "sim/simulated_bus.h"
#include "upgrade_fixtures.h"

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
    const Fault fault = kind < 3   ? Fault::Timeout
                        : kind < 6 ? Fault::Stall
                        : kind < 9 ? Fault::ShortReply
                                   : Fault::Vanish;
    return {request, nth,
            fault == Fault::Vanish || length < 7 ? 1
            : length < 9                         ? 2 + r.bounded(3)
                                                 : 0,
            fault};
}

const struct Trouble {
    const char *name;
    void (*turn)(SimulatedKr960 &, Random &);
} Troubles[] = {
    {"page write",
     [](SimulatedKr960 &d, Random &r) { d.addFault(rule(3, 1 + r.bounded(120), r)); }},
    {"memory read",
     [](SimulatedKr960 &d, Random &r) { d.addFault(rule(1, 1 + r.bounded(121), r)); }},
    {"identity",
     [](SimulatedKr960 &d, Random &r) {
         d.addFault(rule(r.bounded(2) ? 0xFF : 0xFE, 1 + r.bounded(6), r));
     }},
    {"any request",
     [](SimulatedKr960 &d, Random &r) { d.addFault(rule(-1, 1 + r.bounded(245), r)); }},
    {"lying read-back",
     [](SimulatedKr960 &d, Random &r) { d.corruptReadBack(0x08004000 + 2048 * r.bounded(120)); }},
    {"restart",
     [](SimulatedKr960 &d, Random &r) {
         d.setMode(Mode::Application), d.setRestartDelayMs(5 + r.bounded(40));
     }},
    {"restart request",
     [](SimulatedKr960 &d, Random &r) { d.setMode(Mode::Application), d.addFault(rule(4, 1, r)); }},
    {"stays in application",
     [](SimulatedKr960 &d, Random &) {
         d.setMode(Mode::Application), d.setStaysInApplication(true);
     }},
    {"never back",
     [](SimulatedKr960 &d, Random &) {
         d.setMode(Mode::Application), d.setComesBackAfterRestart(false);
     }},
};
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

    // Every device number used leaves a dead node that each bus walk opens; a real bus forgets
    // unplugged devices, and a fresh simulated one does too.
    void plugFreshDevice()
    {
        usb.disconnect();
        device.reset();
        bus.reset(); // before the new one: one simulated bus at a time
        bus = std::make_unique<SimulatedBus>();
        device = bus->addDevice();
    }
    // Takes the troubles away and brings a vanished device back, in whatever mode it is.
    void settle()
    {
        bool vanished = false;
        for (const RequestRecord &record : device->requests())
            vanished |= record.result == -ENODEV;
        device->clearFaults();
        device->clearRequests();
        device->setStaysInApplication(false);
        device->setComesBackAfterRestart(true);
        device->setRestartDelayMs(20);
        if (vanished || !device->waitUntilPlugged(200))
            bus->replug(device);
        if (bus->deviceNumber(device) >= 8)
            plugFreshDevice();
    }

private slots:
    void soak();
};

void TestUpgradeSoak::soak()
{
    QVERIFY2(SimulatedBus::preloadActive(), "run under LD_PRELOAD=libumockdev-preload.so.0");
    const int runs = qEnvironmentVariableIsSet("MV604_SOAK_RUNS")
                         ? qEnvironmentVariableIntValue("MV604_SOAK_RUNS")
                         : 200;
    const quint32 seed = qEnvironmentVariableIsSet("MV604_SOAK_SEED")
                             ? qEnvironmentVariableIntValue("MV604_SOAK_SEED")
                             : 604;
    qInfo("soak: %d runs, seed %u", runs, seed);
    // The product's trace is thousands of lines a run; the soak reports its own figures.
    static QtMessageHandler previous = nullptr;
    previous =
        qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &c, const QString &m) {
            if (type != QtDebugMsg && previous)
                previous(type, c, m);
        });
    upgrader.setTiming(fixtures::fastTiming(5, 100));
    connect(
        &upgrader, &Upgrader::sendText, this, [this](QString s) { lines << s; },
        Qt::DirectConnection);
    plugFreshDevice();
    Random random(seed);
    QMap<QString, int> outcomes;
    for (int run = 0; run < runs; ++run) {
        const QByteArray application = fixtures::firmwareBytes(0x3C000, random.generate());
        QVERIFY(writeFile(dir.filePath("soak.upg"), fixtures::upgradeFileBytes(application)));
        QStringList troubles;
        for (int n = random.bounded(4); n > 0; --n) {
            const Trouble &trouble = Troubles[random.bounded(int(std::size(Troubles)))];
            trouble.turn(*device, random);
            troubles << trouble.name;
        }
        lines.clear();
        upgrader.slotSetFileName(dir.filePath("soak.upg"));
        upgrader.start();
        const bool ended = upgrader.wait(QDeadlineTimer(20000));
        const UpgradeOutcome outcome = upgrader.outcome();
        const bool holdsFile = fixtures::flashOf(*device, 0x08004000, 0x3C000) == application;
        const QString what =
            QString("run %1 of seed %2 [%3]: %4, log %5")
                .arg(run)
                .arg(seed)
                .arg(troubles.join(", "), upgradeOutcomeName(outcome), lines.join(" | "));
        QVERIFY2(ended, qPrintable("hung: " + what));
        QVERIFY2(outcome != UpgradeOutcome::NotRun && outcome != UpgradeOutcome::Stopped,
                 qPrintable(what));
        QVERIFY2(outcome != UpgradeOutcome::Ok ||
                     (holdsFile && lines.last() == "OK" && !lines.contains("ERROR")),
                 qPrintable("false OK: " + what));
        QVERIFY2(!troubles.isEmpty() || outcome == UpgradeOutcome::Ok,
                 qPrintable("no trouble, no OK: " + what));
        ++outcomes[upgradeOutcomeName(outcome)];
        settle();
    }
    QStringList counts;
    for (auto it = outcomes.cbegin(); it != outcomes.cend(); ++it)
        counts << QString("%1 %2").arg(it.key()).arg(it.value());
    qInfo("soak outcomes: %s", qPrintable(counts.join(", ")));
    qInstallMessageHandler(previous);
    usb.disconnect();
}

QTEST_GUILESS_MAIN(TestUpgradeSoak)
#include "test_upgrade_soak.moc"
