#pragma once

// The host side of the simulator's tests: plain libusb-0.1 calls, as any program would make
// them, with nothing of the product's transport in between.

#include <usb.h>

#include <cstdint>
#include <string>
#include <vector>

namespace rawusb
{

constexpr uint16_t VendorId = 0x16C0;
constexpr uint16_t ProductId = 0x0790;
constexpr int TimeoutMs = 2000;

struct Found {
    std::string bus; // directory name, "001"
    int number = 0;  // device number from the node name
    struct usb_device *device = nullptr;
};

// A fresh bus walk (usb_init, usb_find_busses, usb_find_devices) listing every KR960.
inline std::vector<Found> scan()
{
    usb_init();
    usb_find_busses();
    usb_find_devices();
    std::vector<Found> found;
    for (usb_bus *bus = usb_get_busses(); bus; bus = bus->next) {
        for (struct usb_device *device = bus->devices; device; device = device->next) {
            if (device->descriptor.idVendor == VendorId &&
                device->descriptor.idProduct == ProductId)
                found.push_back({bus->dirname, std::atoi(device->filename), device});
        }
    }
    return found;
}

// Opens the KR960 with that device number (any when 0), configured and claimed.
inline usb_dev_handle *open(int number = 0)
{
    for (const Found &candidate : scan()) {
        if (number != 0 && candidate.number != number)
            continue;
        usb_dev_handle *handle = usb_open(candidate.device);
        if (!handle)
            continue;
        if (usb_set_configuration(handle, 1) < 0 || usb_claim_interface(handle, 0) < 0) {
            usb_close(handle);
            continue;
        }
        return handle;
    }
    return nullptr;
}

inline void close(usb_dev_handle *handle)
{
    if (!handle)
        return;
    usb_release_interface(handle, 0);
    usb_close(handle);
}

inline int receive(usb_dev_handle *handle, int request, uint32_t address, uint8_t *data, int length)
{
    return usb_control_msg(handle, 0xC0, request, int(address & 0xFFFF), int(address >> 16),
                           reinterpret_cast<char *>(data), length, TimeoutMs);
}

inline int send(usb_dev_handle *handle, int request, uint32_t address, uint8_t *data, int length)
{
    return usb_control_msg(handle, 0x40, request, int(address & 0xFFFF), int(address >> 16),
                           reinterpret_cast<char *>(data), length, TimeoutMs);
}

inline int word(usb_dev_handle *handle, int request)
{
    uint8_t reply[2] = {};
    if (receive(handle, request, 0, reply, 2) != 2)
        return -1;
    return reply[0] | reply[1] << 8;
}

// String descriptor 3, low bytes of its UTF-16LE units.
inline std::string serial(usb_dev_handle *handle)
{
    char buffer[256] = {};
    const int received = usb_get_descriptor(handle, USB_DT_STRING, 3, buffer, sizeof buffer);
    std::string text;
    const int end = received < uint8_t(buffer[0]) ? received : uint8_t(buffer[0]);
    for (int i = 2; i + 1 < end; i += 2)
        text += buffer[i];
    return text;
}

} // namespace rawusb
