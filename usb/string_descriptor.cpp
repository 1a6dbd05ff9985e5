#include "usb/string_descriptor.h"

#include <algorithm>
#include <usb.h>

namespace
{
constexpr int HeaderSize = 2;
constexpr int Capacity = 256;
constexpr unsigned char StringDescriptorType = 3;
constexpr unsigned char SerialStringIndex = 3;
} // namespace

// Only whole units count: a length that ends inside a unit leaves its lone low byte out.
QByteArray serialFromStringDescriptor(const unsigned char *descriptor, int received)
{
    QByteArray serial;
    if (!descriptor || received < HeaderSize)
        return serial;
    const int end = std::min({int(descriptor[0]), received, Capacity});
    for (int i = HeaderSize; i + 1 < end; i += 2) {
        const unsigned unit = descriptor[i] | descriptor[i + 1] << 8;
        if (unit == 0)
            break;
        serial.append(char(descriptor[i]));
    }
    return serial;
}

int fetchSerialNumber(usb_dev_handle *handle, QByteArray *serial)
{
    unsigned char descriptor[Capacity] = {};
    const int received =
        usb_get_descriptor(handle, StringDescriptorType, SerialStringIndex, descriptor, Capacity);
    *serial = serialFromStringDescriptor(descriptor, received);
    return received;
}
