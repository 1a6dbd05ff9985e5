// The serial number comes from the device: whatever it sends, the parser stays within the bytes
// received and the smallest of length byte, bytes received and 256, and yields the low byte of
// each unit up to the first zero unit. A unit such as U+0A00 legitimately yields a zero byte, so
// zero bytes in the serial are no fault; the worker cuts its log line there.

#include "usb/string_descriptor.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <vector>

namespace
{
int unitCount(const std::vector<unsigned char> &received)
{
    if (received.size() < 2)
        return 0;
    const int end = std::min({int(received[0]), int(received.size()), 256});
    return std::max(0, (end - 2) / 2);
}

unsigned unitAt(const std::vector<unsigned char> &received, int index)
{
    return received[2 + 2 * index] | received[3 + 2 * index] << 8;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // An exact-size copy lets AddressSanitizer catch any read past what arrived.
    const std::vector<unsigned char> received(data, data + size);
    const QByteArray serial = serialFromStringDescriptor(received.data(), int(received.size()));

    const int units = unitCount(received);
    if (serial.size() > units || serial.size() > 127)
        abort();
    for (int i = 0; i < serial.size(); ++i)
        if (unitAt(received, i) == 0 || quint8(serial.at(i)) != received[2 + 2 * i])
            abort();
    // A serial shorter than the descriptor must have ended at a zero unit.
    if (serial.size() < units && unitAt(received, int(serial.size())) != 0)
        abort();
    return 0;
}
