// Every byte value and length must give a dump that reads back to the same bytes: one header,
// one line per 16 bytes, hex and character columns of fixed width.

#include "image/hex_dump.h"

#include <QList>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace
{
constexpr int BytesPerLine = 16;

// The checks are not the code under test: their branches would only steer the fuzzer, and their
// coverage hooks made long inputs several times slower.
#define ORACLE __attribute__((no_sanitize("coverage")))

ORACLE int offsetDigits(size_t offset)
{
    int digits = 4;
    while (digits < 8 && (offset >> (4 * digits)) != 0)
        ++digits;
    return digits;
}

ORACLE char shownAs(unsigned char byte)
{
    return byte >= 0x20 && byte <= 0x7f ? char(byte) : '.';
}

const char HexDigits[] = "0123456789abcdef";

// Checks one line against the bytes it stands for, character by character: the columns start
// after "0x", the offset digits and the colon. Kept free of allocations so that long inputs
// still run at a useful rate.
ORACLE bool lineMatches(const QByteArray &line, const unsigned char *bytes, size_t offset,
                        int count)
{
    const int digits = offsetDigits(offset);
    const int hexColumn = 2 + digits + 1;
    const int charColumn = hexColumn + 3 * BytesPerLine + 3;
    if (line.size() != charColumn + BytesPerLine + 2)
        return false;
    const char *text = line.constData();
    if (text[0] != '0' || text[1] != 'x' || text[hexColumn - 1] != ':')
        return false;
    for (int d = 0; d < digits; ++d)
        if (text[2 + d] != HexDigits[(offset >> (4 * (digits - 1 - d))) & 0xf])
            return false;
    if (memcmp(text + charColumn - 3, " < ", 3) != 0 ||
        memcmp(text + charColumn + BytesPerLine, " >", 2) != 0)
        return false;
    for (int i = 0; i < BytesPerLine; ++i) {
        const char *group = text + hexColumn + 3 * i;
        const bool groupOk = i < count ? group[0] == ' ' && group[1] == HexDigits[bytes[i] >> 4] &&
                                             group[2] == HexDigits[bytes[i] & 0xf]
                                       : memcmp(group, "   ", 3) == 0;
        if (!groupOk || text[charColumn + i] != (i < count ? shownAs(bytes[i]) : ' '))
            return false;
    }
    return true;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::vector<unsigned char> bytes(data, data + size);
    const QByteArray dump = HexDump(bytes.data(), int(bytes.size()));
    const QList<QByteArray> lines = dump.split('\n');
    if (lines.size() != 2 + int((size + BytesPerLine - 1) / BytesPerLine) || !lines.at(0).isEmpty())
        abort();
    if (!lines.at(1).startsWith(" src address: 0x") || lines.at(1).size() < 24)
        abort();
    for (int i = 2; i < lines.size(); ++i) {
        const size_t offset = size_t(i - 2) * BytesPerLine;
        const int count = int(std::min<size_t>(BytesPerLine, size - offset));
        if (!lineMatches(lines.at(i), bytes.data() + offset, offset, count))
            abort();
    }
    return 0;
}
