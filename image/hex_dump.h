#pragma once

#include <QByteArray>
#include <QString>

// The classic 16-bytes-a-line dump shown in the log: a header with the buffer's own address,
// then "\n0xOOOO: hh hh ... < chars >" lines; the text ends without a line feed.
QByteArray HexDump(const void *data, int length);

// The dump of a whole byte array, as text for the log.
QString hexDumpText(const QByteArray &bytes);
