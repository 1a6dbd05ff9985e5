#pragma once

// The command line of mv604-sim: how the simulated KR960 behaves and which program to run.

#include "sim/simulated_kr960.h"

#include <QString>
#include <QStringList>

#include <map>
#include <vector>

namespace kr960sim
{

// A step of the hot-plug script: device `device` (1-based) leaves or joins the bus `atMs`
// after the command starts.
struct PlugEvent {
    int device = 1;
    int atMs = 0;
    bool plug = true;
};

struct SimOptions {
    DeviceConfig config;
    int devices = 1;
    QStringList ports;   // of devices 1..N; empty: 1-1.1, 1-1.2, ...
    QStringList serials; // of devices 1..N, repeats allowed; empty: counting up from --serial
    std::map<int, Mode> modeOf; // device (1-based): its mode at start, instead of config.mode
    std::vector<FaultRule> faults;
    std::vector<uint32_t> corruptPages;
    int restartAtSerialRead = 0;
    int faultDevice = 0; // the device the fault knobs hit (1-based); 0: every device
    bool permissionDenied = false;
    std::vector<PlugEvent> plugScript; // in time order
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

namespace kr960sim
{
// A device whose first scripted step plugs it in starts off the bus.
bool startsUnplugged(const SimOptions &options, int device);
} // namespace kr960sim
