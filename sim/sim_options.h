#pragma once

// The command line of mv604-sim: how the simulated KR960 behaves and which program to run.

#include "sim/simulated_kr960.h"

#include <QString>
#include <QStringList>

#include <vector>

namespace kr960sim
{

struct SimOptions {
    DeviceConfig config;
    int devices = 1;
    std::vector<FaultRule> faults;
    std::vector<uint32_t> corruptPages;
    bool permissionDenied = false;
    QString stateDirectory;
    QString logFile;
    QStringList command; // after "--"
    bool helpRequested = false;
};

// Fills `options` from argv-style arguments (the program name first); false with `error` set
// when they make no sense.
bool parseSimOptions(const QStringList &arguments, SimOptions &options, QString &error);
QString simUsage();

} // namespace kr960sim
