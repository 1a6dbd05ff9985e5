#pragma once

#include <QByteArray>

// The serial number as the tool shows it: the low byte of every UTF-16LE unit after the 2-byte
// header, up to the first zero unit or the end of the descriptor (the smallest of its length
// byte, the bytes received and 256).
QByteArray serialFromStringDescriptor(const unsigned char *descriptor, int received);

// A unit above 0xFF whose low byte is zero puts a zero byte into the serial; what follows it is
// not shown. Every front end cuts the serial here before showing or comparing it.
QByteArray textBeforeFirstZero(const QByteArray &bytes);
