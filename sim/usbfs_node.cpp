#include "sim/usbfs_node.h"

#include "sim/usb_descriptors.h"

#include <sys/ioctl.h>

#include <linux/usbdevice_fs.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>

namespace kr960sim
{

namespace
{

// The descriptor file keeps a read position per open fd, as the kernel's does.
constexpr const char *ReadPositionKey = "kr960-read-position";

void completeWith(UMockdevIoctlClient *client, int result)
{
    if (result >= 0)
        umockdev_ioctl_client_complete(client, result, 0);
    else
        umockdev_ioctl_client_complete(client, -1, -result);
}

void *resolveArgument(UMockdevIoctlClient *client, size_t size)
{
    UMockdevIoctlData *argument = umockdev_ioctl_client_get_arg(client);
    UMockdevIoctlData *resolved = umockdev_ioctl_data_resolve(argument, 0, size, nullptr);
    return resolved ? resolved->data : nullptr;
}

int connectInfo(UMockdevIoctlClient *client, const UsbfsNode &node)
{
    auto *info =
        static_cast<usbdevfs_connectinfo *>(resolveArgument(client, sizeof(usbdevfs_connectinfo)));
    if (!info)
        return -EFAULT;
    info->devnum = unsigned(node.deviceNumber);
    info->slow = 0;
    return 0;
}

void answerControl(UMockdevIoctlClient *client, const UsbfsNode &node, const CompleteLater &later)
{
    UMockdevIoctlData *argument = umockdev_ioctl_client_get_arg(client);
    UMockdevIoctlData *setup =
        umockdev_ioctl_data_resolve(argument, 0, sizeof(usbdevfs_ctrltransfer), nullptr);
    if (!setup) {
        completeWith(client, -EFAULT);
        return;
    }
    const auto *transfer = reinterpret_cast<const usbdevfs_ctrltransfer *>(setup->data);
    const uint16_t length = transfer->wLength;
    uint8_t *data = nullptr;
    if (length > 0) {
        UMockdevIoctlData *buffer = umockdev_ioctl_data_resolve(
            setup, offsetof(usbdevfs_ctrltransfer, data), length, nullptr);
        if (!buffer) {
            completeWith(client, -EFAULT);
            return;
        }
        data = buffer->data;
    }
    int delayUs = 0;
    const int result =
        node.device->handleControl(transfer->bRequestType, transfer->bRequest, transfer->wValue,
                                   transfer->wIndex, data, length, &delayUs);
    if (delayUs <= 0) {
        completeWith(client, result);
        return;
    }
    // The client (and the data it resolved) must outlive the wait; completing is thread-safe.
    g_object_ref(client);
    later(delayUs, [client, result] {
        completeWith(client, result);
        g_object_unref(client);
    });
}

} // namespace

void answerRead(UMockdevIoctlClient *client, const UsbfsNode &)
{
    static const std::vector<uint8_t> file = descriptorFile();
    UMockdevIoctlData *buffer = umockdev_ioctl_client_get_arg(client);
    const size_t position = GPOINTER_TO_SIZE(g_object_get_data(G_OBJECT(client), ReadPositionKey));
    const size_t wanted = size_t(std::max(buffer->data_len, 0));
    const size_t count = std::min(wanted, file.size() - std::min(position, file.size()));
    if (count > 0)
        umockdev_ioctl_data_update(buffer, 0, const_cast<guint8 *>(file.data() + position),
                                   int(count));
    g_object_set_data(G_OBJECT(client), ReadPositionKey, GSIZE_TO_POINTER(position + count));
    umockdev_ioctl_client_complete(client, long(count), 0);
}

void answerIoctl(UMockdevIoctlClient *client, const UsbfsNode &node, const CompleteLater &later)
{
    const unsigned long request = umockdev_ioctl_client_get_request(client);
    if (node.permissionDenied) {
        completeWith(client, -EPERM);
        return;
    }
    switch (request) {
    case USBDEVFS_CONNECTINFO:
        completeWith(client, connectInfo(client, node));
        return;
    case USBDEVFS_CONTROL:
        answerControl(client, node, later);
        return;
    case USBDEVFS_SETCONFIGURATION:
    case USBDEVFS_CLAIMINTERFACE:
    case USBDEVFS_RELEASEINTERFACE:
    case USBDEVFS_SETINTERFACE:
    case USBDEVFS_CLEAR_HALT:
    case USBDEVFS_RESET:
        completeWith(client, 0);
        return;
    case USBDEVFS_IOCTL: // the hub port query of the bus walk
        completeWith(client, -ENOSYS);
        return;
    case USBDEVFS_GETDRIVER:
    case USBDEVFS_DISCONNECT:
        completeWith(client, -ENODATA); // no kernel driver is bound to the interface
        return;
    case USBDEVFS_BULK: // the bootloader has no use for its bulk endpoints
        completeWith(client, -EPIPE);
        return;
    default:
        completeWith(client, -ENOTTY);
        return;
    }
}

void answerGone(UMockdevIoctlClient *client)
{
    umockdev_ioctl_client_complete(client, -1, ENODEV);
}

} // namespace kr960sim
