#pragma once

// Firmware, HEX and upgrade files for the upgrade, reflash and soak suites, made by hand, never
// with the code under test (HexToBin itself is checked against GNU objcopy and srec_cat).

#include "hex_records.h"
#include "image/scrambler_key.h"
#include "sim/simulated_kr960.h"
#include "upgrade/upgrader.h"

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

// The pauses of a run against the simulated device, which restarts at once: short enough for
// hundreds of runs, long enough for its thread to answer in between.
inline RestartTiming simulatedRestart(int retryMs = 10, int giveUpMs = 300, int connectedTries = 10)
{
    RestartTiming timing;
    timing.restartWaitMs = 20;
    timing.disconnectWaitMs = 10;
    timing.retryMs = retryMs;
    timing.reconnectGiveUpMs = giveUpMs;
    timing.connectedTries = connectedTries;
    return timing;
}

using HexRegion = std::pair<quint32, QByteArray>; // device address, bytes

// Records of 16 bytes; each region and each 64 KiB segment starts with its linear base record.
inline bool writeHex(const QString &hexPath, const QList<HexRegion> &regions)
{
    QByteArray text;
    for (const auto &[address, bytes] : regions)
        for (int i = 0; i < bytes.size(); i += 16) {
            const quint32 at = address + quint32(i);
            if (i == 0 || at % 0x10000 < 16)
                text += hexLinearBase(quint16(at >> 16));
            text += hexRecord(quint16(at), 0, bytes.mid(i, 16));
        }
    return writeFile(hexPath, text + hexRecord(0, 1, {}));
}

} // namespace fixtures

inline QByteArray toBytes(const std::vector<uint8_t> &data)
{
    return QByteArray(reinterpret_cast<const char *>(data.data()), int(data.size()));
}
inline std::vector<uint8_t> toVector(const QByteArray &bytes)
{
    return std::vector<uint8_t>(bytes.begin(), bytes.end());
}
inline QByteArray flashOf(const kr960sim::SimulatedKr960 &device, quint32 address, int length)
{
    return toBytes(device.flash(address, quint32(length)));
}
