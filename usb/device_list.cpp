#include "usb/device_list.h"

#include "usb/string_descriptor.h"
#include "usb/usb_device.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <usb.h>

namespace
{

constexpr int SerialStringIndex = 3;
constexpr int StringDescriptorCapacity = 256;

// libusb-0.1 names buses and devices after their directories under /dev/bus/usb.
int numberOf(const char *name)
{
    return std::atoi(name);
}

QString accessError(int error)
{
    if (error == EACCES || error == EPERM)
        return QStringLiteral("no permission (install the udev rule 60-kr960.rules)");
    return QString::fromLocal8Bit(std::strerror(error));
}

void readSerial(struct usb_device *dev, AttachedDevice &device)
{
    errno = 0;
    usb_dev_handle *handle = usb_open(dev);
    if (!handle) {
        device.openError = accessError(errno ? errno : EACCES);
        return;
    }
    unsigned char descriptor[StringDescriptorCapacity] = {};
    const int received = usb_get_descriptor(handle, USB_DT_STRING, SerialStringIndex, descriptor,
                                            StringDescriptorCapacity);
    usb_close(handle);
    // libusb-0.1 falls back to a read-only node, on which every request is refused.
    if (received < 0) {
        device.openError = accessError(-received);
        return;
    }
    device.opened = true;
    device.serial = textBeforeFirstZero(serialFromStringDescriptor(descriptor, received));
}

QList<AttachedDevice> walkBus(quint16 vendorId, quint16 productId)
{
    usb_init();
    usb_find_busses();
    usb_find_devices();
    QList<AttachedDevice> devices;
    for (struct usb_bus *bus = usb_get_busses(); bus; bus = bus->next) {
        for (struct usb_device *dev = bus->devices; dev; dev = dev->next) {
            if (dev->descriptor.idVendor != vendorId || dev->descriptor.idProduct != productId)
                continue;
            AttachedDevice device;
            device.bus = numberOf(bus->dirname);
            device.deviceNumber = numberOf(dev->filename);
            readSerial(dev, device);
            devices.append(device);
        }
    }
    // libusb-0.1 lists the newest device first; people and scripts expect bus order.
    std::sort(devices.begin(), devices.end(), [](const AttachedDevice &a, const AttachedDevice &b) {
        return std::make_pair(a.bus, a.deviceNumber) < std::make_pair(b.bus, b.deviceNumber);
    });
    return devices;
}

} // namespace

QList<AttachedDevice> listAttachedDevices(quint16 vendorId, quint16 productId)
{
    QList<AttachedDevice> devices;
    UsbDevice::withBusLocked([&] { devices = walkBus(vendorId, productId); });
    return devices;
}
