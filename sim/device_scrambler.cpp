#include "sim/device_scrambler.h"

#include "image/scrambler_key.h"

namespace kr960sim
{

namespace
{

// Words travel little-endian whatever the host's byte order.
uint32_t loadWord(const uint8_t *bytes)
{
    return uint32_t(bytes[0]) | uint32_t(bytes[1]) << 8 | uint32_t(bytes[2]) << 16 |
           uint32_t(bytes[3]) << 24;
}

void storeWord(uint8_t *bytes, uint32_t word)
{
    bytes[0] = uint8_t(word);
    bytes[1] = uint8_t(word >> 8);
    bytes[2] = uint8_t(word >> 16);
    bytes[3] = uint8_t(word >> 24);
}

template <typename Transform> void transformWords(uint8_t *bytes, size_t length, Transform step)
{
    const size_t words = length / 4;
    for (size_t j = 0; j < words; ++j) {
        const uint32_t key = ScramblerKey[j % ScramblerKeyWords];
        storeWord(bytes + 4 * j, step(loadWord(bytes + 4 * j), key));
    }
}

} // namespace

void deviceEncode(uint8_t *bytes, size_t length)
{
    transformWords(bytes, length,
                   [](uint32_t word, uint32_t key) { return uint32_t((word ^ key) + key); });
}

void deviceDecode(uint8_t *bytes, size_t length)
{
    transformWords(bytes, length,
                   [](uint32_t word, uint32_t key) { return uint32_t(word - key) ^ key; });
}

} // namespace kr960sim
