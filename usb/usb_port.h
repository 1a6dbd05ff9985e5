#pragma once

#include <QHash>
#include <QPair>
#include <QString>

// Linux names the physical port a device is plugged into by its path from the root hub: bus,
// then the hub ports ("1-1.4.2"). That is the name of the device's folder under
// /sys/bus/usb/devices, which also holds its bus and device numbers. libusb-0.1 gives only those
// numbers (the names of the bus folder and the device file, "001" and "005"), so the port is the
// folder whose busnum and devnum match. A board that restarts enumerates anew with another
// device number on the same port; an empty port means the host cannot tell (no sysfs, no match).
// The map reads every device's port at once: one look at sysfs for a whole walk of the bus. A
// walk for one port reads only that port's folder: sixteen boards on a hub, each with its own
// process, would otherwise read every folder at every connect.
class UsbPortMap
{
public:
    explicit UsbPortMap(const QString &onlyPort = QString()); // reads sysfs
    // libusb-0.1's names of the bus folder and the device file ("001", "005").
    QString portOf(const char *busDirName, const char *deviceFileName) const;
    QString portOf(int busNumber, int deviceNumber) const;

private:
    QHash<QPair<int, int>, QString> ports;
};
