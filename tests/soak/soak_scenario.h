#pragma once

// Random but reproducible trouble for one soak run: which faults the simulated KR960 throws, in
// which mode it starts, how it restarts and whether a device that vanishes is plugged in again.
// Everything is drawn from one seeded generator, so a seed replays the whole soak.

#include "sim/simulated_kr960.h"

#include <QRandomGenerator>
#include <QString>
#include <QStringList>

#include <vector>

namespace soak
{

struct Scenario {
    kr960sim::Mode mode = kr960sim::Mode::Bootloader;
    int restartDelayMs = 20;
    bool staysInApplication = false;
    bool comesBackAfterRestart = true;
    int latencyMs = 0;
    std::vector<kr960sim::FaultRule> faults;
    std::vector<quint32> corruptPages;
    int replugAfterMs = -1; // after a vanish; -1: it stays away until the fault-free run

    bool vanishes() const
    {
        for (const kr960sim::FaultRule &rule : faults)
            if (rule.fault == kr960sim::Fault::Vanish)
                return true;
        return false;
    }

    QString describe() const
    {
        static const char *const faultNames[] = {"timeout", "stall", "short", "vanish"};
        QStringList parts;
        parts << (mode == kr960sim::Mode::Application ? "application" : "bootloader");
        if (mode == kr960sim::Mode::Application)
            parts << QString("restart %1 ms%2%3")
                         .arg(restartDelayMs)
                         .arg(staysInApplication ? ", stays in application" : "")
                         .arg(comesBackAfterRestart ? "" : ", never back");
        if (latencyMs > 0)
            parts << QString("latency %1 ms").arg(latencyMs);
        for (const kr960sim::FaultRule &rule : faults)
            parts << QString("%1 on request %2 #%3 x%4")
                         .arg(faultNames[int(rule.fault)])
                         .arg(rule.request == -1 ? QString("any")
                                                 : QString::number(rule.request, 16))
                         .arg(rule.nth)
                         .arg(rule.count);
        for (quint32 page : corruptPages)
            parts << QString("read-back of 0x%1 lies").arg(page, 8, 16, QChar('0'));
        if (vanishes())
            parts << (replugAfterMs < 0 ? QString("stays away")
                                        : QString("replugged after %1 ms").arg(replugAfterMs));
        return parts.join("; ");
    }
};

// How many requests of each kind a run makes, so that the n-th one a fault waits for exists.
struct RequestCounts {
    int memoryReads;    // request 1
    int pageWrites;     // request 3
    int identityReads;  // 0xFF and 0xFE, one each per connection
    int externalReads;  // request 5
    int externalWrites; // request 6
};

inline kr960sim::FaultRule randomFault(QRandomGenerator &random, const std::vector<int> &requests,
                                       const RequestCounts &counts)
{
    kr960sim::FaultRule rule;
    rule.request = requests[random.bounded(int(requests.size()))];
    // Vanishing is the rarest trouble: most runs should reach the page loop.
    const int kind = random.bounded(10);
    rule.fault = kind < 3   ? kr960sim::Fault::Timeout
                 : kind < 6 ? kr960sim::Fault::Stall
                 : kind < 9 ? kr960sim::Fault::ShortReply
                            : kr960sim::Fault::Vanish;
    switch (rule.request) {
    case 1:
        rule.nth = 1 + random.bounded(counts.memoryReads);
        break;
    case 3:
        rule.nth = 1 + random.bounded(counts.pageWrites);
        break;
    case 5:
        rule.nth = 1 + random.bounded(counts.externalReads);
        break;
    case 6:
        rule.nth = 1 + random.bounded(counts.externalWrites);
        break;
    case 4:
        rule.nth = 1; // only a device in its application is sent the restart
        break;
    case -1:
        rule.nth = 1 + random.bounded(counts.memoryReads + counts.pageWrites);
        break;
    default:
        rule.nth = 1 + random.bounded(counts.identityReads);
        break;
    }
    const int length = random.bounded(10);
    rule.count = length < 7 ? 1 : length < 9 ? 2 + random.bounded(3) : 0;
    if (rule.fault == kr960sim::Fault::Vanish)
        rule.count = 1; // gone is gone: a repeat would only hit the replugged device
    return rule;
}

inline void addRandomFaults(Scenario &scenario, QRandomGenerator &random,
                            const std::vector<int> &requests, const RequestCounts &counts)
{
    const int faults = random.bounded(7) == 0 ? 0 : 1 + random.bounded(3);
    for (int i = 0; i < faults; ++i)
        scenario.faults.push_back(randomFault(random, requests, counts));
    // A millisecond a request makes a run several times longer: a few runs are enough.
    if (random.bounded(12) == 0)
        scenario.latencyMs = 1;
    if (scenario.vanishes() && random.bounded(5) < 3)
        scenario.replugAfterMs = random.bounded(200);
}

inline Scenario randomUpgradeScenario(QRandomGenerator &random)
{
    Scenario scenario;
    if (random.bounded(10) < 3) {
        scenario.mode = kr960sim::Mode::Application;
        scenario.restartDelayMs = 5 + random.bounded(40);
        scenario.staysInApplication = random.bounded(10) == 0;
        scenario.comesBackAfterRestart = random.bounded(10) != 0;
    }
    addRandomFaults(scenario, random, {1, 1, 3, 3, 4, 0xFF, 0xFE, -1}, {125, 120, 6, 0, 0});
    if (random.bounded(6) == 0)
        for (int i = 1 + random.bounded(2); i > 0; --i)
            scenario.corruptPages.push_back(kr960sim::WritableStart +
                                            quint32(random.bounded(120)) * kr960sim::PageSize);
    return scenario;
}

inline Scenario randomExternalFlashScenario(QRandomGenerator &random, int length)
{
    Scenario scenario;
    const int writes = (length + 255) / 256;
    const int reads = (length + 511) / 512;
    addRandomFaults(scenario, random, {5, 5, 6, 6, 0xFF, 0xFE}, {0, 0, 3, reads, writes});
    return scenario;
}

} // namespace soak
