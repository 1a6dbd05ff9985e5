#pragma once

// Bootloader firmware as Intel HEX text for the boot image tests: 16 data bytes a record under
// one extended linear base, as our build tools emit it.

#include "hex_records.h"

#include <QByteArray>
#include <QtGlobal>

inline QByteArray intelHexRecord(quint16 address, quint8 type, const QByteArray &data)
{
    return hexRecord(address, type, data, "\r\n");
}

// `bytes` stand for device addresses from `start` on; all of them must share start's upper half.
inline QByteArray intelHex(quint32 start, const QByteArray &bytes)
{
    const quint16 upper = quint16(start >> 16);
    QByteArray text = intelHexRecord(0, 0x04, QByteArray(1, char(upper >> 8)) + char(upper & 0xFF));
    for (int offset = 0; offset < bytes.size(); offset += 16)
        text += intelHexRecord(quint16(start + quint32(offset)), 0x00, bytes.mid(offset, 16));
    return text;
}

inline QByteArray intelHexEnd()
{
    return intelHexRecord(0, 0x01, QByteArray());
}

// A recognisable 16 KiB bootloader: no zero bytes except the brand word, so every byte the
// builder leaves alone can be told from the zero fill.
inline QByteArray sampleBootloader()
{
    QByteArray image(0x4000, '\0');
    for (int i = 0; i < image.size(); ++i)
        image[i] = char(1 + (i * 7) % 251);
    image[0x3FD0] = 0;
    image[0x3FD1] = 0;
    return image;
}
