#include "usb/usb_device.h"

#include "usb/string_descriptor.h"
#include "usb/usb_port.h"

#include <QDebug>
#include <QMutexLocker>
#include <algorithm>
#include <cerrno>
#include <optional>
#include <usb.h>

QMutex UsbDevice::usbMutex;

namespace
{

constexpr int VendorOut = 0x40; // host to device, vendor, device recipient
constexpr int VendorIn = 0xC0;  // device to host, vendor, device recipient
constexpr int TimeoutMs = 2000;
constexpr int BulkOutEndpoint = 0x02;
constexpr int BulkInEndpoint = 0x81;
constexpr int Configuration = 1;
constexpr int Interface = 0;
constexpr quint8 IdentityRequest = 0xFF;
constexpr quint8 BrandRequest = 0xFE;

quint16 littleEndianWord(const unsigned char *bytes)
{
    return quint16(bytes[0] | bytes[1] << 8);
}

// The ids are traced as a 16-bit short promoted for %x, so 0x8000 and above show as ffff8000.
unsigned int asTracedShort(quint16 value)
{
    return static_cast<unsigned int>(static_cast<int>(static_cast<qint16>(value)));
}

void traceTransfer(const char *direction, quint8 bRequest, quint16 wValue, quint16 wIndex,
                   int length, int result)
{
    const char *outcome = result >= 0 ? "OK" : "ERROR";
    if (length != 0)
        qDebug("USB Control %s bRequest=%d, wValue=%d, wIndex=%d, dataLength=%d - %s.", direction,
               bRequest, wValue, wIndex, length, outcome);
    else
        qDebug("USB Control %s bRequest=%d, wValue=%d, wIndex=%d - %s.", direction, bRequest,
               wValue, wIndex, outcome);
}

bool isPermissionError(int error)
{
    return error == EACCES || error == EPERM;
}

} // namespace

UsbDevice::UsbDevice() : QObject(nullptr) {}

UsbDevice::~UsbDevice()
{
    qDebug() << "UsbDevice destructor";
    if (handle)
        disconnect();
}

int UsbDevice::connect()
{
    QMutexLocker locker(&usbMutex);
    return connectPrivate();
}

void UsbDevice::disconnect()
{
    QMutexLocker locker(&usbMutex);
    disconnectPrivate();
}

int UsbDevice::connectPrivate()
{
    qDebug() << "USB Connect";
    closeWithoutRelease();

    // The bus is read anew every time: the device re-enumerates when it leaves its bootloader.
    usb_init();
    usb_find_busses();
    usb_find_devices();

    ConnectFailure failure = ConnectFailure::NoDevice;
    std::optional<UsbPortMap> ports; // read once, when the first candidate shows up
    for (struct usb_bus *bus = usb_get_busses(); bus; bus = bus->next) {
        qDebug() << "bus:" << static_cast<const void *>(bus);
        for (struct usb_device *dev = bus->devices; dev; dev = dev->next) {
            traceDevice(bus->devices, dev);
            if (!showsOurIds(dev))
                continue;
            if (!ports)
                ports.emplace(filter.port);
            const ConnectFailure outcome =
                tryCandidate(ports->portOf(bus->dirname, dev->filename), dev);
            if (outcome == ConnectFailure::None) {
                lastFailure = ConnectFailure::None;
                return 0;
            }
            failure = std::max(failure, outcome);
        }
    }
    lastFailure = failure;
    return -1;
}

// A stale handle may belong to a device that has already left the bus, so it is closed without
// trying to release its interface first.
void UsbDevice::closeWithoutRelease()
{
    if (!handle)
        return;
    usb_close(handle);
    handle = nullptr;
    handlePort.clear();
}

void UsbDevice::traceDevice(const void *firstDevice, const struct usb_device *dev) const
{
    const auto &descriptor = dev->descriptor;
    qDebug() << "bus->devices:" << firstDevice;
    qDebug() << "dev->descriptor.idVendor:" << Qt::hex << unsigned(descriptor.idVendor);
    qDebug() << "dev->descriptor.idProduct:" << Qt::hex << unsigned(descriptor.idProduct);
    qDebug() << "dev->descriptor.iSerialNumber:" << Qt::hex << unsigned(descriptor.iSerialNumber);
    qDebug() << "dev->descriptor.bMaxPacketSize0:" << Qt::hex
             << unsigned(descriptor.bMaxPacketSize0);
}

bool UsbDevice::showsOurIds(const struct usb_device *dev) const
{
    return dev->descriptor.idVendor == vendorId && dev->descriptor.idProduct == productId;
}

// A device on another port than the one asked for is not even opened.
UsbDevice::ConnectFailure UsbDevice::tryCandidate(const QString &port, struct usb_device *dev)
{
    if (!filter.port.isEmpty() && port != filter.port)
        return ConnectFailure::NotChosen;
    const ConnectFailure outcome = openAndProve(dev);
    if (outcome == ConnectFailure::None)
        handlePort = port;
    return outcome;
}

UsbDevice::ConnectFailure UsbDevice::openAndProve(struct usb_device *dev)
{
    errno = 0;
    handle = usb_open(dev);
    if (!handle)
        return isPermissionError(errno) ? ConnectFailure::NoPermission : ConnectFailure::OpenFailed;
    qDebug() << "usb_opened ";

    const ConnectFailure serial = checkSerial();
    if (serial != ConnectFailure::None)
        return serial;
    const int configured = usb_set_configuration(handle, Configuration);
    if (configured < 0) {
        disconnectPrivate();
        return isPermissionError(-configured) ? ConnectFailure::NoPermission
                                              : ConnectFailure::ConfigurationRefused;
    }
    qDebug() << "usb_set_configuration ";

    if (usb_claim_interface(handle, Interface) < 0) {
        disconnectPrivate();
        return ConnectFailure::ClaimRefused;
    }
    qDebug() << "usb_claim_interface ";

    const ConnectFailure identity = proveIdentity();
    if (identity != ConnectFailure::None)
        return identity;
    return proveBrand();
}

// With a serial asked for, the candidate is told by its serial before it is configured or
// claimed: setting the configuration of a device that another process has claimed would disturb
// that process's run. The handle is closed without a release, since nothing was claimed.
UsbDevice::ConnectFailure UsbDevice::checkSerial()
{
    if (!filter.acceptsSerial)
        return ConnectFailure::None;
    QByteArray serial;
    const int received = fetchSerialNumber(handle, &serial);
    if (filter.acceptsSerial(serial))
        return ConnectFailure::None;
    closeWithoutRelease();
    if (received < 0 && isPermissionError(-received))
        return ConnectFailure::NoPermission;
    return ConnectFailure::NotChosen;
}

// A failed request has closed the handle already; a short or wrong reply leaves it to us.
UsbDevice::ConnectFailure UsbDevice::proveIdentity()
{
    unsigned char reply[2] = {0, 0};
    const int received = control_receivePrivate(IdentityRequest, 0, 0, reply, sizeof reply);
    qDebug() << "control_receivePrivate(" << int(IdentityRequest) << 0 << 0 << char(reply[0])
             << char(reply[1]) << int(sizeof reply) << ")";
    if (received != int(sizeof reply)) {
        if (handle)
            disconnectPrivate();
        return ConnectFailure::IdentityMismatch;
    }
    const quint16 identity = littleEndianWord(reply);
    qDebug("\nkrid: %x", asTracedShort(identity));
    qDebug("\nUSB_HN052_ID: %x", asTracedShort(deviceId));
    if (identity != deviceId) {
        disconnectPrivate();
        return ConnectFailure::IdentityMismatch;
    }
    return ConnectFailure::None;
}

UsbDevice::ConnectFailure UsbDevice::proveBrand()
{
    unsigned char reply[2] = {0, 0};
    const int received = control_receivePrivate(BrandRequest, 0, 0, reply, sizeof reply);
    if (received != int(sizeof reply)) {
        if (handle)
            disconnectPrivate();
        return ConnectFailure::BrandMismatch;
    }
    const quint16 brand = littleEndianWord(reply);
    qDebug("\nbrandid: %x", asTracedShort(brand));
    qDebug("\nAPP_BRAND_ID: %x", asTracedShort(brandId));
    if (brand != brandId) {
        disconnectPrivate();
        return ConnectFailure::BrandMismatch;
    }
    return ConnectFailure::None;
}

void UsbDevice::disconnectPrivate()
{
    qDebug() << "USB Disconnect";
    if (!handle)
        return;
    usb_release_interface(handle, Interface);
    usb_close(handle);
    handle = nullptr;
    handlePort.clear();
}

int UsbDevice::control_receive(quint8 bRequest, quint16 wValue, quint16 wIndex,
                               unsigned char *buffer, int length)
{
    QMutexLocker locker(&usbMutex);
    return control_receivePrivate(bRequest, wValue, wIndex, buffer, length);
}

int UsbDevice::control_receivePrivate(quint8 bRequest, quint16 wValue, quint16 wIndex,
                                      unsigned char *buffer, int length)
{
    // A negative length would reach the kernel as a huge wLength over the caller's buffer. It is
    // the caller's mistake, not the link's: refused before any connect, an open link stays open.
    if (length < 0) {
        traceTransfer("Receive", bRequest, wValue, wIndex, length, -1);
        return -1;
    }
    if (!handle && connectPrivate() != 0)
        return -1;

    int result = -1;
    if (length > 0 && buffer)
        result = usb_control_msg(handle, VendorIn, bRequest, wValue, wIndex,
                                 reinterpret_cast<char *>(buffer), length, TimeoutMs);
    traceTransfer("Receive", bRequest, wValue, wIndex, length, result);
    if (result < 0) {
        disconnectPrivate();
        return -1;
    }
    return result;
}

int UsbDevice::control_send(quint8 bRequest, quint16 wValue, quint16 wIndex, unsigned char *data,
                            int length)
{
    QMutexLocker locker(&usbMutex);
    qDebug() << "UsbDevice::control_send()";
    // As for control_receivePrivate: a caller's negative length leaves the link alone.
    if (length < 0) {
        traceTransfer("Send", bRequest, wValue, wIndex, length, -1);
        return -1;
    }
    if (!handle && connectPrivate() != 0)
        return -1;

    int result = -1;
    if (!data || length == 0)
        result =
            usb_control_msg(handle, VendorOut, bRequest, wValue, wIndex, nullptr, 0, TimeoutMs);
    else
        result = usb_control_msg(handle, VendorOut, bRequest, wValue, wIndex,
                                 reinterpret_cast<char *>(data), length, TimeoutMs);
    traceTransfer("Send", bRequest, wValue, wIndex, length, result);
    if (result < 0) {
        disconnectPrivate();
        return -1;
    }
    return result;
}

// Bulk transfers neither connect nor close: no command relies on them.
int UsbDevice::bulk_write(unsigned char *buffer, int length)
{
    QMutexLocker locker(&usbMutex);
    if (!buffer || length < 1 || !handle)
        return -1;
    return usb_bulk_write(handle, BulkOutEndpoint, reinterpret_cast<const char *>(buffer), length,
                          TimeoutMs);
}

int UsbDevice::bulk_read(unsigned char *buffer, int length)
{
    QMutexLocker locker(&usbMutex);
    if (!buffer || length < 1 || !handle)
        return -1;
    return usb_bulk_read(handle, BulkInEndpoint, reinterpret_cast<char *>(buffer), length,
                         TimeoutMs);
}

// Under the lock: the other thread may close the handle after a failed transfer at any moment.
QByteArray UsbDevice::serial_number()
{
    QMutexLocker locker(&usbMutex);
    QByteArray serial;
    if (handle)
        fetchSerialNumber(handle, &serial);
    return serial;
}

int UsbDevice::is_connected()
{
    QMutexLocker locker(&usbMutex);
    return handle ? 0 : -1;
}

void UsbDevice::set_vid_pid(quint16 vid, quint16 pid)
{
    QMutexLocker locker(&usbMutex);
    vendorId = vid;
    productId = pid;
}

void UsbDevice::set_device_id(quint16 id)
{
    QMutexLocker locker(&usbMutex);
    deviceId = id;
}

void UsbDevice::set_brand_id(quint16 id)
{
    QMutexLocker locker(&usbMutex);
    brandId = id;
}

void UsbDevice::setBoardFilter(const BoardFilter &filter)
{
    QMutexLocker locker(&usbMutex);
    this->filter = filter;
}

QString UsbDevice::connectedPort() const
{
    QMutexLocker locker(&usbMutex);
    return handlePort;
}

UsbDevice::ConnectFailure UsbDevice::lastConnectFailure() const
{
    return lastFailure;
}

void UsbDevice::withBusLocked(const std::function<void()> &walk)
{
    QMutexLocker locker(&usbMutex);
    walk();
}
