#pragma once

#include <QByteArray>

// The classic 16-bytes-a-line dump shown in the log: a header with the buffer's own address,
// then "\n0xOOOO: hh hh ... < chars >" lines; the text ends without a line feed.
QByteArray HexDump(const void *data, int length);
