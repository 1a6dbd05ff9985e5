#pragma once

#include <QString>

// Linux names the physical port a device is plugged into by its path from the root hub: bus,
// then the hub ports ("1-1.4.2"). That is the name of the device's folder under
// /sys/bus/usb/devices, which also holds its bus and device numbers. libusb-0.1 gives only those
// numbers (the names of the bus folder and the device file, "001" and "005"), so the port is the
// folder whose busnum and devnum match. A board that restarts enumerates anew with another
// device number on the same port. Empty when the host cannot tell (no sysfs, or no match).
QString usbPortPath(int busNumber, int deviceNumber);

// The same for libusb-0.1's names of the bus folder and device file.
QString usbPortPath(const char *busDirName, const char *deviceFileName);
