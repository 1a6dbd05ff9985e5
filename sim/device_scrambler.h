#pragma once

// The device's own half of the word scrambler: the bootloader encodes what it sends and decodes
// what it receives, each request's data on its own, the key phase starting at its first byte.
// Kept apart from the tool's EncodeWords/DecodeWords so that the device side writes no trace
// lines and stays independent of the code under test; only the key table is shared.

#include <cstddef>
#include <cstdint>

namespace kr960sim
{

void deviceEncode(uint8_t *bytes, size_t length);
void deviceDecode(uint8_t *bytes, size_t length);

} // namespace kr960sim
