#pragma once

#include <QString>
#include <QtGlobal>

// Operators type addresses and data as hexadecimal text, with or without a "0x" prefix.
// Returns false for text that is not a 32-bit hexadecimal number; `value` is then 0, which is
// what the next dialog offers.
bool parseHexInput(const QString &text, quint32 &value);

// The initial text of an address or data dialog: "0x" and lower-case digits.
QString hexInputOffer(quint32 value);
