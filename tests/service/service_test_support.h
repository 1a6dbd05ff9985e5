#pragma once

// What the service command tests look at: the window's log, the dumps in it, and the vendor
// requests that reached the simulated device.

#include "app/kr960_bootloader.h"
#include "sim/simulated_kr960.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <QTextEdit>

#include <vector>

inline QString logText(const KR960_Bootloader &window)
{
    return window.findChild<QTextEdit *>("txt")->toPlainText();
}

inline void setLogText(KR960_Bootloader &window, const QString &text)
{
    window.findChild<QTextEdit *>("txt")->setPlainText(text);
}

struct DumpLine {
    uint offset = 0;
    QByteArray bytes;
};

// The data lines of a dump ("0xOOOO: hh hh ... < chars >"); the header and other lines are skipped.
inline QList<DumpLine> dumpLines(const QString &text)
{
    QList<DumpLine> lines;
    for (const QString &line : text.split('\n')) {
        const int colon = line.indexOf(':');
        if (!line.startsWith("0x") || colon < 0 || line.mid(colon + 1 + 48, 3) != " < ")
            continue;
        bool ok = false;
        DumpLine dump;
        dump.offset = line.mid(2, colon - 2).toUInt(&ok, 16);
        if (!ok)
            continue;
        dump.bytes = QByteArray::fromHex(line.mid(colon + 1, 48).simplified().toLatin1());
        lines.append(dump);
    }
    return lines;
}

inline QByteArray dumpBytes(const QString &text)
{
    QByteArray bytes;
    for (const DumpLine &line : dumpLines(text))
        bytes += line.bytes;
    return bytes;
}

inline int fullDumpLines(const QString &text)
{
    int count = 0;
    for (const DumpLine &line : dumpLines(text))
        count += line.bytes.size() == 16 ? 1 : 0;
    return count;
}

// Vendor requests with this bRequest, in the order they reached the device.
inline std::vector<kr960sim::RequestRecord> vendorRequests(const kr960sim::SimulatedKr960 &device,
                                                           int request)
{
    std::vector<kr960sim::RequestRecord> matching;
    for (const kr960sim::RequestRecord &record : device.requests())
        if ((record.requestType & 0x60) == 0x40 && record.request == request)
            matching.push_back(record);
    return matching;
}

inline QByteArray toBytes(const std::vector<uint8_t> &data)
{
    return QByteArray(reinterpret_cast<const char *>(data.data()), int(data.size()));
}

inline std::vector<uint8_t> toVector(const QByteArray &bytes)
{
    return std::vector<uint8_t>(bytes.begin(), bytes.end());
}

// Bytes that never repeat within 251, so a shifted or swapped chunk shows.
inline QByteArray distinctBytes(int count, int seed = 0)
{
    QByteArray bytes(count, '\0');
    for (int i = 0; i < count; ++i)
        bytes[i] = char((i + seed) % 251);
    return bytes;
}
