#include "image/word_scrambler.h"

#include "image/scrambler_key.h"

#include <QDebug>
#include <QtEndian>
#include <cstring>

namespace
{

// The buffer may sit at any byte address, so words are copied out and back rather than cast.
template <typename Transform>
unsigned char *transformWords(void *buffer, int length, Transform transform)
{
    auto *bytes = static_cast<unsigned char *>(buffer);
    const int words = length >> 2;
    for (int j = 0; j < words; ++j, bytes += 4) {
        quint32 stored;
        std::memcpy(&stored, bytes, sizeof stored);
        const quint32 key = ScramblerKey[j % ScramblerKeyWords];
        const quint32 result = transform(qFromLittleEndian(stored), key);
        stored = qToLittleEndian(result);
        std::memcpy(bytes, &stored, sizeof stored);
    }
    return bytes;
}

unsigned long long addressOf(const void *pointer)
{
    return static_cast<unsigned long long>(reinterpret_cast<quintptr>(pointer));
}

} // namespace

int EncodeWords(void *buffer, int length)
{
    qDebug("Encoding started @ 0x%08llx", addressOf(buffer));
    const unsigned char *end =
        transformWords(buffer, length, [](quint32 w, quint32 k) { return (w ^ k) + k; });
    qDebug("Encoding end @ 0x%08llx", addressOf(end));
    return 0;
}

int DecodeWords(void *buffer, int length)
{
    transformWords(buffer, length, [](quint32 w, quint32 k) { return (w - k) ^ k; });
    return 0;
}
