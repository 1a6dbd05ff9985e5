#include "usb/string_descriptor.h"

#include <algorithm>

namespace
{
constexpr int HeaderSize = 2;
constexpr int Capacity = 256;
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

QByteArray textBeforeFirstZero(const QByteArray &bytes)
{
    const int zero = bytes.indexOf('\0');
    return zero < 0 ? bytes : bytes.left(zero);
}
