#pragma once

#include "usb/usb_device.h"

#include <QString>

// One sentence an operator can act on, for the reason the last connect failed.
QString describeConnectFailure(UsbDevice::ConnectFailure failure);

// Only a missing permission gets its own line in the window's log: every other reason is what
// "Check USB Cable" already suggests. Empty when the failure is something else.
QString permissionHint(UsbDevice::ConnectFailure failure);
