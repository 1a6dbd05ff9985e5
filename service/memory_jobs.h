#pragma once

#include "device/kr960_memory_map.h"

#include <QByteArray>
#include <QtGlobal>

class USBKR960;

namespace MemoryService
{
constexpr int MaximumReadLength = 0x100000;
constexpr int TestPatternLength = 512;
constexpr quint32 FillPageAddress = 0x08005000;
constexpr int PageSize = int(Kr960::PageSize);
// What the dump shows for bytes that a failed read did not deliver.
constexpr char UnreadByte = '\0';
} // namespace MemoryService

// Reads `length` bytes of device memory, decoded. A failed read still returns `length` bytes:
// those that arrived before the failure and UnreadByte after them. `result` receives the
// device's result when given.
QByteArray readDeviceMemory(USBKR960 &usb, quint32 address, int length, int *result = nullptr);

// 512 bytes, byte i = i mod 256, so a dropped or swapped byte shows at once on the device side.
QByteArray memoryTestPattern();

// Sends the pattern plain with request 2; returns the transport's result (512 when all went).
int sendMemoryTestPattern(USBKR960 &usb, QByteArray &pattern);

// Fills the page at FillPageAddress with `value`; returns 0 when the device took the page.
int fillTestPage(USBKR960 &usb, quint8 value);
