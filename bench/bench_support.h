#pragma once

// What the benchmark programs share: a quiet trace and firmware-like bytes.

#include "device/kr960_memory_map.h"

#include <QByteArray>
#include <QString>
#include <QtGlobal>
#include <cstdio>

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
