#pragma once

// Firmware, HEX and upgrade files for the upgrade, screenshot and soak suites, made by hand (HEX
// by GNU objcopy), never with the code under test.

#include "hex_records.h"
#include "image/scrambler_key.h"
#include "sim/simulated_kr960.h"
#include "upgrade/upgrader.h"

#include <QProcess>
#include <QStandardPaths>
#include <QtEndian>

namespace fixtures
{
// A firmware that looks like one: every byte different from its neighbours, no long zero runs.
inline QByteArray firmwareBytes(int size, quint32 seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (char &byte : bytes)
        byte = char((seed = seed * 1664525u + 1013904223u) >> 24);
    return bytes;
}

// An area as the builder leaves it: the wrapping sum of its other little-endian words in its last
// four bytes; in the application area the brand word, 48 bytes before its end, is 0.
inline QByteArray applicationWithChecksum(QByteArray area, bool application = true)
{
    if (application)
        area.replace(area.size() - 0x30, 2, QByteArray(2, '\0'));
    quint32 sum = 0;
    for (int i = 0; i + 4 < area.size(); i += 4)
        sum += qFromLittleEndian<quint32>(area.constData() + i);
    qToLittleEndian(sum, area.data() + area.size() - 4);
    return area;
}

// (w XOR k) + k with k = key[j % 32] for word j of the buffer.
inline QByteArray scrambled(QByteArray plain)
{
    for (int j = 0; 4 * j + 4 <= plain.size(); ++j) {
        const quint32 k = ScramblerKey[j % 32],
                      w = qFromLittleEndian<quint32>(plain.data() + 4 * j);
        qToLittleEndian(quint32((w ^ k) + k), plain.data() + 4 * j);
    }
    return plain;
}

inline QByteArray be32(quint32 value)
{
    return QByteArray::fromHex(QByteArray::number(value, 16).rightJustified(8, '0'));
}

// A data-stream text item: big-endian byte length, then UTF-16BE code units.
inline QByteArray textItem(const QString &text)
{
    QByteArray bytes = be32(quint32(text.size() * 2));
    for (QChar c : text)
        bytes += QByteArray(1, char(c.unicode() >> 8)) + char(c.unicode() & 0xFF);
    return bytes;
}

// A well-formed upgrade file whose image holds `application` at 0x08004000.
inline QByteArray upgradeFileBytes(const QByteArray &application)
{
    const QByteArray image = QByteArray(0x4000, '\0') + application + QByteArray(0x20000, '\0');
    return textItem("Mv604 Upgrade File Header") + textItem("02") + be32(0x60000) +
           scrambled(image);
}

inline bool objcopyAvailable()
{
    return !QStandardPaths::findExecutable("objcopy").isEmpty();
}

using HexRegion = std::pair<quint32, QByteArray>; // device address, bytes

// One objcopy run per region; the records are joined under one end-of-file record.
inline bool writeHex(const QString &hexPath, const QList<HexRegion> &regions)
{
    QByteArray records;
    const QString bin = hexPath + ".bin", part = hexPath + ".part";
    for (const HexRegion &region : regions) {
        QFile hex(part);
        if (!writeFile(bin, region.second) ||
            QProcess::execute("objcopy", {"-I", "binary", "-O", "ihex", "--change-addresses",
                                          QString::number(region.first), bin, part}) != 0 ||
            !hex.open(QIODevice::ReadOnly))
            return false;
        records += hex.readAll().replace(":00000001FF\r\n", ""); // objcopy ends lines with CR LF
    }
    return QFile::remove(bin) && QFile::remove(part) &&
           writeFile(hexPath, records + ":00000001FF\n");
}

inline QByteArray flashOf(const kr960sim::SimulatedKr960 &device, quint32 address, int length)
{
    const std::vector<uint8_t> bytes = device.flash(address, quint32(length));
    return QByteArray(reinterpret_cast<const char *>(bytes.data()), int(bytes.size()));
}
} // namespace fixtures
