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

void answerIoctl(UMockdevIoctlClient *client, const UsbfsNode &node)
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
    case USBDEVFS_CONTROL: {
        PendingControl pending;
        bool answered = false;
        if (takeControlTransfer(client, node, pending, answered))
            answerControl(client, pending);
        return;
    }
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

bool takeControlTransfer(UMockdevIoctlClient *client, const UsbfsNode &node,
                         PendingControl &pending, bool &answered)
{
    answered = false;
    if (node.permissionDenied || umockdev_ioctl_client_get_request(client) != USBDEVFS_CONTROL)
        return false;
    UMockdevIoctlData *argument = umockdev_ioctl_client_get_arg(client);
    UMockdevIoctlData *setup =
        umockdev_ioctl_data_resolve(argument, 0, sizeof(usbdevfs_ctrltransfer), nullptr);
    const auto *transfer =
        setup ? reinterpret_cast<const usbdevfs_ctrltransfer *>(setup->data) : nullptr;
    UMockdevIoctlData *buffer = nullptr;
    if (transfer && transfer->wLength > 0)
        buffer = umockdev_ioctl_data_resolve(setup, offsetof(usbdevfs_ctrltransfer, data),
                                             transfer->wLength, nullptr);
    if (!transfer || (transfer->wLength > 0 && !buffer)) {
        completeWith(client, -EFAULT);
        answered = true;
        return false;
    }
    pending.device = node.device;
    pending.requestType = transfer->bRequestType;
    pending.request = transfer->bRequest;
    pending.value = transfer->wValue;
    pending.index = transfer->wIndex;
    pending.length = transfer->wLength;
    pending.data = buffer ? buffer->data : nullptr;
    return true;
}

void answerControl(UMockdevIoctlClient *client, const PendingControl &pending)
{
    completeWith(client,
                 pending.device->handleControl(pending.requestType, pending.request, pending.value,
                                               pending.index, pending.data, pending.length));
}

void answerGone(UMockdevIoctlClient *client)
{
    umockdev_ioctl_client_complete(client, -1, ENODEV);
}

} // namespace kr960sim
