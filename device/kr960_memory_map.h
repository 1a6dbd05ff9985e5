#pragma once

#include <QtGlobal>

// The KR960's internal flash as the bootloader exposes it.
namespace Kr960
{
constexpr quint32 FlashBase = 0x08000000;
constexpr quint32 PageSize = 2048;

constexpr quint32 BootloaderStart = 0x08000000;
constexpr quint32 BootloaderEnd = 0x08003FFF;
constexpr quint32 BootloaderSize = 0x4000;
constexpr quint32 BootloaderBrandAddress = 0x08003FD0;
constexpr quint32 BootloaderVersionBlock = 0x08003FD0; // 32 bytes, version text in the last 16
constexpr quint32 ProductionSerialAddress = 0x08003FF0;

constexpr quint32 ApplicationStart = 0x08004000;
constexpr quint32 ApplicationEnd = 0x0803FFFF;
constexpr quint32 ApplicationSize = 0x3C000; // 120 pages
constexpr quint32 ApplicationPages = ApplicationSize / PageSize;
constexpr quint32 ApplicationBrandAddress = 0x0803FFD0;

constexpr quint32 UpperStart = 0x08040000;
constexpr quint32 UpperEnd = 0x0805BFFF;

constexpr quint32 ImageSize = 0x60000; // 0x08000000..0x0805FFFF

// Where a device address lies in an image that starts at the flash base.
constexpr int imageOffset(quint32 address)
{
    return int(address - FlashBase);
}

constexpr quint16 VendorId = 0x16C0;
constexpr quint16 ProductId = 0x0790;
constexpr quint16 DeviceId = 0x0115; // answer to request 0xFF
constexpr quint16 BrandId = 0x0000;  // answer to request 0xFE
} // namespace Kr960
