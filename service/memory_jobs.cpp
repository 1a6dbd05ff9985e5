#include "service/memory_jobs.h"

#include "device/usbkr960.h"

QByteArray readDeviceMemory(USBKR960 &usb, quint32 address, int length, int *result)
{
    QByteArray buffer(length, MemoryService::UnreadByte);
    const int read = usb.ReadMemoryFromAddress(reinterpret_cast<unsigned char *>(buffer.data()),
                                               address, quint32(length));
    if (result)
        *result = read;
    return buffer;
}

QByteArray memoryTestPattern()
{
    QByteArray pattern(MemoryService::TestPatternLength, '\0');
    for (int i = 0; i < pattern.size(); ++i)
        pattern[i] = char(i % 256);
    return pattern;
}

int sendMemoryTestPattern(USBKR960 &usb, QByteArray &pattern)
{
    return usb.control_send(Kr960Request::TestPattern, 0, 0,
                            reinterpret_cast<unsigned char *>(pattern.data()), int(pattern.size()));
}

int fillTestPage(USBKR960 &usb, quint8 value)
{
    QByteArray page(MemoryService::PageSize, char(value));
    return usb.WritePageToAddress(reinterpret_cast<unsigned char *>(page.data()),
                                  MemoryService::FillPageAddress);
}
