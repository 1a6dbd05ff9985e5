#pragma once

#include "usb/usb_device.h"

// The KR960 bootloader's vendor requests.
namespace Kr960Request
{
constexpr quint8 ReadMemory = 1;         // IN, address in wValue/wIndex, up to 2048 bytes scrambled
constexpr quint8 TestPattern = 2;        // OUT, 512 plain bytes
constexpr quint8 WritePage = 3;          // OUT, address in wValue/wIndex, 2048 bytes scrambled
constexpr quint8 RunApplication = 4;     // OUT, no data
constexpr quint8 ReadExternalFlash = 5;  // IN, up to 512 bytes scrambled
constexpr quint8 WriteExternalFlash = 6; // OUT, up to 256 bytes scrambled
constexpr quint8 Brand = 0xFE;           // IN, 2 bytes
constexpr quint8 Identity = 0xFF;        // IN, 2 bytes
} // namespace Kr960Request

class USBKR960 : public UsbDevice
{
    Q_OBJECT

public:
    USBKR960();
    ~USBKR960() override;

    int ReadMemoryFromAddress(unsigned char *buffer, quint32 address, quint32 length);
    int WritePageToAddress(unsigned char *buffer, quint32 address);
    // `received` gets the number of bytes that arrived, complete chunks from the start: all of
    // `length` on success, and where the data stops on failure.
    int ReadExternalFlashFromAddress(unsigned char *buffer, quint32 address, quint32 length,
                                     quint32 *received = nullptr);
    int WriteExternalFlashToAddress(unsigned char *buffer, quint32 address, quint32 length);
    void RunApplication();

signals:
    void sendPercentExtFlashWrite(int percent);
    void sendPercentExtFlashRead(int percent);
};
