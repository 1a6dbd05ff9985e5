#pragma once

// Firmware images, HEX files and upgrade files for the upgrade suites, and the worker's waits cut
// down for them. HEX files come from GNU objcopy, so the HEX side is checked against a tool that
// none of us wrote.

#include "image/word_scrambler.h"
#include "upgrade/upgrade_file.h"
#include "upgrade/upgrader.h"

#include <QByteArray>
#include <QDataStream>
#include <QFile>
#include <QList>
#include <QProcess>
#include <QStandardPaths>
#include <QString>
#include <QtEndian>

namespace fixtures
{

// The simulated device restarts within tens of milliseconds, so the worker's waits can be too.
inline UpgradeTiming fastTiming(int connectRetryMs, int reconnectGiveUpMs)
{
    UpgradeTiming timing;
    timing.connectRetryMs = connectRetryMs;
    timing.restartWaitMs = 20;
    timing.disconnectWaitMs = 10;
    timing.reconnectGiveUpMs = reconnectGiveUpMs;
    return timing;
}

// A firmware that looks like one: every byte different from its neighbours, no long zero runs.
inline QByteArray firmwareBytes(int size, quint32 seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    quint32 state = seed;
    for (int i = 0; i < size; ++i) {
        state = state * 1664525u + 1013904223u;
        bytes[i] = char(state >> 24);
    }
    return bytes;
}

// The application window as the builder must leave it: firmware with a zero brand word and the
// application checksum in its last four bytes.
inline QByteArray applicationWithChecksum(QByteArray application)
{
    const int brand = UpgradeFile::BrandOffset - UpgradeFile::ApplicationOffset;
    application[brand] = 0;
    application[brand + 1] = 0;
    quint32 sum = 0;
    for (int i = 0; i + 4 < application.size(); i += 4)
        sum += qFromLittleEndian<quint32>(application.constData() + i);
    qToLittleEndian(sum, application.data() + application.size() - 4);
    return application;
}

struct HexRegion {
    quint32 address;
    QByteArray bytes;
};

inline bool objcopyAvailable()
{
    return !QStandardPaths::findExecutable("objcopy").isEmpty();
}

// One objcopy run per region; the records are joined and end with a single end-of-file record.
inline bool writeHex(const QString &hexPath, const QList<HexRegion> &regions)
{
    QByteArray records;
    for (int r = 0; r < regions.size(); ++r) {
        const QString bin = hexPath + QString(".%1.bin").arg(r);
        const QString part = hexPath + QString(".%1.hex").arg(r);
        QFile binFile(bin);
        if (!binFile.open(QIODevice::WriteOnly) || binFile.write(regions[r].bytes) < 0)
            return false;
        binFile.close();
        const int exit = QProcess::execute(
            "objcopy", {"-I", "binary", "-O", "ihex", "--change-addresses",
                        QString("0x%1").arg(regions[r].address, 8, 16, QChar('0')), bin, part});
        QFile partFile(part);
        if (exit != 0 || !partFile.open(QIODevice::ReadOnly))
            return false;
        for (const QByteArray &line : partFile.readAll().split('\n'))
            if (!line.isEmpty() && !line.startsWith(":00000001FF"))
                records += line + '\n';
        QFile::remove(bin);
        QFile::remove(part);
    }
    records += ":00000001FF\n";
    QFile hex(hexPath);
    return hex.open(QIODevice::WriteOnly) && hex.write(records) == records.size();
}

inline QByteArray be32(quint32 value)
{
    QByteArray bytes(4, Qt::Uninitialized);
    qToBigEndian(value, bytes.data());
    return bytes;
}

inline QByteArray utf16(const QString &text, bool bigEndian)
{
    QByteArray bytes;
    for (QChar c : text) {
        const char high = char(c.unicode() >> 8), low = char(c.unicode() & 0xFF);
        bytes += bigEndian ? QByteArray{&high, 1} + QByteArray{&low, 1}
                           : QByteArray{&low, 1} + QByteArray{&high, 1};
    }
    return bytes;
}

// A text item as the data stream stores it: byte length, then UTF-16 code units.
inline QByteArray textItem(const QString &text, bool bigEndian = true)
{
    return be32(quint32(text.size() * 2)) + utf16(text, bigEndian);
}

inline QByteArray scrambled(QByteArray plainImage)
{
    EncodeWords(plainImage.data(), int(plainImage.size()));
    return plainImage;
}

// A plain image of the whole flash whose application area is `application`.
inline QByteArray plainImageWith(const QByteArray &application)
{
    QByteArray image(UpgradeFile::ImageSize, '\0');
    image.replace(UpgradeFile::ApplicationOffset, application.size(), application);
    return image;
}

inline bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// The exact bytes of a well-formed upgrade file for the given application area.
inline QByteArray upgradeFileBytes(const QByteArray &application)
{
    return textItem(UpgradeFile::HeaderText) + textItem(UpgradeFile::VersionText) +
           be32(UpgradeFile::ImageSize) + scrambled(plainImageWith(application));
}

} // namespace fixtures
