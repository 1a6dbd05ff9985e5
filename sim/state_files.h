#pragma once

// Device memory kept between runs of mv604-sim: the plain internal flash (0x08000000 on) in
// "internal-flash.bin" and the stored external flash in "external-flash.bin"; device n > 1 of a
// run adds "-n" to both names.

#include "sim/simulated_kr960.h"

#include <QString>

namespace kr960sim
{

QString internalFlashFile(const QString &directory, int deviceIndex);
QString externalFlashFile(const QString &directory, int deviceIndex);

// Loads what the files hold (missing files leave the device as it is).
void loadDeviceState(SimulatedKr960 &device, const QString &directory, int deviceIndex);
bool saveDeviceState(const SimulatedKr960 &device, const QString &directory, int deviceIndex);

} // namespace kr960sim
