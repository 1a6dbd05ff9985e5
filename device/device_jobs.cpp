#include "device/device_jobs.h"

#include "device/bootloader_info.h"
#include "device/kr960_memory_map.h"
#include "device/usbkr960.h"

QByteArray readSerialText(UsbDevice &usb)
{
    return BoardSerial::reported(usb.serial_number());
}

int readBootloaderVersion(USBKR960 &usb, QByteArray *versionText)
{
    QByteArray block(BootloaderVersionBlockSize, '\0');
    if (usb.ReadMemoryFromAddress(reinterpret_cast<unsigned char *>(block.data()),
                                  Kr960::BootloaderVersionBlock, BootloaderVersionBlockSize) != 0)
        return -1;
    *versionText = versionTextOfBlock(block);
    return 0;
}

void startApplication(USBKR960 &usb)
{
    usb.RunApplication();
    usb.disconnect();
    usb.connect();
}
