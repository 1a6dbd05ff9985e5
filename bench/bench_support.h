#pragma once

// What the benchmark programs share: a quiet trace, firmware-like bytes and a sample upgrade file,
// the median of repeated runs, a board at a real board's timing and its timed page phase, and the
// line's database as its own client sees it.

#include "device/kr960_memory_map.h"
#include "device/usbkr960.h"
#include "image/word_scrambler.h"
#include "sim/simulated_kr960.h"
#include "upgrade/page_programmer.h"
#include "upgrade/upgrade_file.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QString>
#include <QtGlobal>
#include <algorithm>
#include <cstdio>
#include <vector>

// The transport and the scrambler trace every request; at these rates the trace would be the
// figure being measured. Warnings still show.
inline void dropDebug(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type != QtDebugMsg)
        std::fprintf(stderr, "%s\n", qPrintable(message));
}

// An application area of pseudo-random bytes, the same for every run with the same seed.
inline QByteArray pseudoRandomApplicationArea(quint32 seed = 5)
{
    QByteArray bytes(int(Kr960::ApplicationSize), Qt::Uninitialized);
    for (char &byte : bytes) {
        seed = seed * 1664525u + 1013904223u;
        byte = char(seed >> 24);
    }
    return bytes;
}

// A valid upgrade file of that firmware, as the builder writes one.
inline bool writeSampleUpgradeFile(const QString &path)
{
    QByteArray image(UpgradeFile::ImageSize, '\xff');
    image.replace(UpgradeFile::ApplicationOffset, UpgradeFile::ApplicationSize,
                  pseudoRandomApplicationArea(7));
    image[UpgradeFile::BrandOffset] = image[UpgradeFile::BrandOffset + 1] = 0;
    stampChecksums(reinterpret_cast<unsigned char *>(image.data()));
    EncodeWords(image.data(), int(image.size()));
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && writeUpgradeFile(file, image);
}

// The middle value; -1 for none.
inline double median(std::vector<double> values)
{
    if (values.empty())
        return -1;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// 2 ms a request, `transferUsPerKiB` for its data, 30 ms to program a page.
inline void giveRealBoardTiming(kr960sim::SimulatedKr960 &device, int transferUsPerKiB = 1000)
{
    device.setLatencyMs(2);
    device.setPageProgramMs(30);
    device.setTransferUsPerKiB(transferUsPerKiB);
}

struct PagePhase {
    double seconds = 0;
    PageLoopReport report;
};
// The worker's own page loop, without its thread and signals, timed.
inline PagePhase timePagePhase(USBKR960 &usb, const QByteArray &area,
                               PageWriteMode mode = PageWriteMode::EveryPage)
{
    QElapsedTimer timer;
    timer.start();
    PagePhase phase;
    phase.report = programApplicationArea(usb, area, {}, mode);
    phase.seconds = double(timer.nsecsElapsed()) * 1e-9;
    if (!phase.report.allVerified())
        std::printf("  ^ not every page verified\n");
    return phase;
}

// The throwaway server's database `name`, from the variables pg_virtualenv sets.
inline QString serverUrl(const QString &name)
{
    return QString("postgresql://%1:%2@%3:%4/%5")
        .arg(qEnvironmentVariable("PGUSER"), qEnvironmentVariable("PGPASSWORD"),
             qEnvironmentVariable("PGHOST"), qEnvironmentVariable("PGPORT", "5432"), name);
}

// The sqlite3 or psql client's answer to `statement`, trimmed; empty when it failed.
inline QByteArray clientAnswer(const QString &url, const QString &statement)
{
    QProcess client;
    if (url.startsWith("sqlite:"))
        client.start("sqlite3", {"-batch", url.mid(7), statement});
    else
        client.start("psql", {"-XAtq", "-d", url, "-c", statement});
    if (!client.waitForFinished(60000) || client.exitCode() != 0)
        return {};
    return client.readAllStandardOutput().trimmed();
}
