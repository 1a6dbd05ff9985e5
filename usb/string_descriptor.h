#pragma once

#include <QByteArray>

// The serial number as the tool shows it: the low byte of every UTF-16LE unit after the 2-byte
// header, up to the first zero unit or the end of the descriptor (the smallest of its length
// byte, the bytes received and 256).
QByteArray serialFromStringDescriptor(const unsigned char *descriptor, int received);

struct usb_dev_handle;

// Fetches string descriptor 3, the serial number, into a 256-byte buffer (language id 0, as
// usb_get_descriptor asks) and gives its text. Returns the bytes received, or libusb's negative
// error (the text is then empty).
int fetchSerialNumber(usb_dev_handle *handle, QByteArray *serial);
