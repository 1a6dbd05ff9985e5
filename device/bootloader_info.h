#pragma once

#include "device/board_identity.h"

#include <QByteArray>

// The 32-byte block at 0x08003FD0 carries the bootloader's version text in its last 16 bytes,
// zero-padded (a text of 16 characters has no terminator).
constexpr int BootloaderVersionBlockSize = 32;
QByteArray versionTextOfBlock(const QByteArray &block);
