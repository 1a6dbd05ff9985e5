#pragma once

#include <QtGlobal>

// Firmware, device memory and external flash travel as 32-bit little-endian words scrambled with
// ScramblerKey. The key phase restarts at the first byte of every call, so a stream cut into
// pieces gives the same bytes only when the cuts fall on multiples of 128 bytes. The last
// length % 4 bytes are never touched.
int EncodeWords(void *buffer, int length);
int DecodeWords(void *buffer, int length);
