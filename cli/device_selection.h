#pragma once

#include <QByteArray>
#include <QStringList>

class USBKR960;

// Which KR960 the device commands talk to. `--serial NNNNNNNNN` before the command word (or the
// environment variable MV604_SERIAL) names one; without it they take the first KR960 found.

// Takes --serial N or --serial=N from before the command word, else MV604_SERIAL; a serial
// that is not nine digits is a usage failure.
void takeDeviceSelection(QStringList &arguments);
QByteArray selectedSerial(); // empty: none asked for

// Connects the device asked for, or fails naming why ("no KR960 with serial N").
void connectSelectedOrFail(USBKR960 &usb);
// Tells the transport which device to walk to; connecting is left to the caller (the worker).
void selectDevice(USBKR960 &usb);
// Fails unless the serial asked for is on the bus (nothing is configured or claimed).
void requireSelectedAttached();

[[noreturn]] void failNoSuchSerial(const QByteArray &serial);

// The nine digits of a serial as the device reports it, without the bootloader's 'b'.
QByteArray serialWithoutBootloaderMark(const QByteArray &reported);
