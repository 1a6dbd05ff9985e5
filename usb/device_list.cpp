#include "usb/device_list.h"

#include "usb/string_descriptor.h"
#include "usb/usb_device.h"
#include "usb/usb_port.h"

#include <QThread>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <tuple>
#include <usb.h>

namespace
{

QString accessError(int error)
{
    if (error == EACCES || error == EPERM)
        return QStringLiteral("no permission (install the udev rule 60-kr960.rules)");
    return QString::fromLocal8Bit(std::strerror(error));
}

// A walk of the bus that met a device on its way off the bus (a restart, an unplug) is taken
// again, a few times: the device is then either gone or back under its new number.
constexpr int WalksWhileDevicesLeave = 4;
constexpr int PauseBetweenWalksMs = 100;

// The node of a device that left the bus answers ENODEV (or is gone: ENOENT).
bool leftTheBus(int error)
{
    return error == ENODEV || error == ENOENT;
}

// The error of the open or the serial read; 0 when the serial was read.
int readSerial(struct usb_device *dev, AttachedDevice &device)
{
    errno = 0;
    usb_dev_handle *handle = usb_open(dev);
    if (!handle) {
        const int error = errno ? errno : EACCES;
        device.openError = accessError(error);
        return error;
    }
    QByteArray serial;
    const int received = fetchSerialNumber(handle, &serial);
    usb_close(handle);
    // libusb-0.1 falls back to a read-only node, on which every request is refused.
    if (received < 0) {
        device.openError = accessError(-received);
        return -received;
    }
    device.opened = true;
    device.serial = serial;
    return 0;
}

// "1-1.10" after "1-1.9": the port's numbers, compared as numbers.
QList<int> portNumbers(const QString &port)
{
    QList<int> numbers;
    for (const QString &part : QString(port).replace('-', '.').split('.', Qt::SkipEmptyParts))
        numbers.append(part.toInt());
    return numbers;
}

bool listedBefore(const AttachedDevice &a, const AttachedDevice &b)
{
    return std::make_tuple(a.bus, portNumbers(a.port), a.deviceNumber) <
           std::make_tuple(b.bus, portNumbers(b.port), b.deviceNumber);
}

// The devices that stayed on the bus while they were looked at; `someLeft` tells whether one
// left meanwhile. One that left is no device of its own: it is not listed.
QList<AttachedDevice> walkBus(quint16 vendorId, quint16 productId, const QString &onlyPort,
                              bool *someLeft)
{
    usb_init();
    usb_find_busses();
    usb_find_devices();
    const UsbPortMap ports(onlyPort);
    QList<AttachedDevice> devices;
    for (struct usb_bus *bus = usb_get_busses(); bus; bus = bus->next) {
        for (struct usb_device *dev = bus->devices; dev; dev = dev->next) {
            if (dev->descriptor.idVendor != vendorId || dev->descriptor.idProduct != productId)
                continue;
            AttachedDevice device;
            // libusb-0.1 names buses and devices after their files under /dev/bus/usb.
            device.bus = std::atoi(bus->dirname);
            device.deviceNumber = std::atoi(dev->filename);
            device.port = ports.portOf(device.bus, device.deviceNumber);
            if (!onlyPort.isEmpty() && device.port != onlyPort)
                continue;
            if (leftTheBus(readSerial(dev, device))) {
                *someLeft = true;
                continue;
            }
            devices.append(device);
        }
    }
    std::sort(devices.begin(), devices.end(), listedBefore);
    return devices;
}

} // namespace

QList<AttachedDevice> listAttachedDevices(quint16 vendorId, quint16 productId,
                                          const QString &onlyPort)
{
    QList<AttachedDevice> devices;
    for (int walk = 1; walk <= WalksWhileDevicesLeave; ++walk) {
        bool someLeft = false;
        UsbDevice::withBusLocked(
            [&] { devices = walkBus(vendorId, productId, onlyPort, &someLeft); });
        if (!someLeft)
            break;
        if (walk < WalksWhileDevicesLeave)
            QThread::msleep(PauseBetweenWalksMs);
    }
    return devices;
}
