#pragma once

#include <QByteArray>

// What the device tells about itself. The bootloader reports the nine-digit production serial
// followed by 'b'; the application reports the nine digits alone.
enum class DeviceMode { Application, Bootloader, Unknown };

DeviceMode modeFromSerial(const QByteArray &serial);

// The 32-byte block at 0x08003FD0 carries the bootloader's version text in its last 16 bytes,
// zero-padded (a text of 16 characters has no terminator).
constexpr int BootloaderVersionBlockSize = 32;
QByteArray versionTextOfBlock(const QByteArray &block);
