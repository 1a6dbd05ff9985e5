#pragma once

#include <QByteArray>

class UsbDevice;
class USBKR960;

// Jobs on a connected device that the window, the worker and the command line share.

// The serial number as the device reports it, cut at its first zero byte.
QByteArray readSerialText(UsbDevice &usb);

// Reads the 32-byte version block at 0x08003FD0 and gives its version text. Both the bootloader
// and the application answer the read. Returns 0, or -1 when the read failed.
int readBootloaderVersion(USBKR960 &usb, QByteArray *versionText);

// Tells the bootloader to start the application, then opens the device afresh: the application
// (or, from the application, the restarted bootloader) enumerates anew. Whether it is found at
// once is left to the transport's trace.
void startApplication(USBKR960 &usb);
