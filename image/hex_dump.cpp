#include "image/hex_dump.h"

namespace
{

constexpr int BytesPerLine = 16;
// "\n0x" + up to 8 offset digits + ":" + 16 * " hh" + " < " + 16 characters + " >"
constexpr int MaxLineLength = 3 + 8 + 1 + 3 * BytesPerLine + 3 + BytesPerLine + 2;

const char HexDigits[] = "0123456789abcdef";

// Writes the text into a buffer sized once up front; appending piece by piece made dumps of a
// few hundred kilobytes noticeably slow in the log commands.
class DumpWriter
{
public:
    DumpWriter(QByteArray &text, qsizetype start) : text(text), out(text.data() + start) {}

    void put(const char *piece)
    {
        while (*piece)
            *out++ = *piece++;
    }
    void putSpaces(int count)
    {
        while (count-- > 0)
            *out++ = ' ';
    }
    void putHexByte(unsigned char byte)
    {
        *out++ = ' ';
        *out++ = HexDigits[byte >> 4];
        *out++ = HexDigits[byte & 0xf];
    }
    // At least four digits, more when the offset needs them.
    void putOffset(quint32 offset)
    {
        int digits = 4;
        while (digits < 8 && (offset >> (4 * digits)) != 0)
            ++digits;
        put("\n0x");
        for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4)
            *out++ = HexDigits[(offset >> shift) & 0xf];
        *out++ = ':';
    }
    void putCharacter(unsigned char byte)
    {
        // Printable ASCII and DEL are shown as they are; control and 8-bit bytes as a dot.
        *out++ = static_cast<signed char>(byte) > 0x1f ? static_cast<char>(byte) : '.';
    }
    void finish() { text.truncate(out - text.constData()); }

private:
    QByteArray &text;
    char *out;
};

void writeLine(DumpWriter &writer, const unsigned char *bytes, quint32 offset, int count)
{
    writer.putOffset(offset);
    for (int i = 0; i < count; ++i)
        writer.putHexByte(bytes[i]);
    writer.putSpaces(3 * (BytesPerLine - count));
    writer.put(" < ");
    for (int i = 0; i < count; ++i)
        writer.putCharacter(bytes[i]);
    writer.putSpaces(BytesPerLine - count);
    writer.put(" >");
}

} // namespace

QByteArray HexDump(const void *data, int length)
{
    const auto *bytes = static_cast<const unsigned char *>(data);
    const qsizetype lines = length / BytesPerLine + (length % BytesPerLine != 0);

    char header[48];
    const int headerLength =
        qsnprintf(header, sizeof header, "\n src address: 0x%08llx",
                  static_cast<unsigned long long>(reinterpret_cast<quintptr>(data)));
    QByteArray text(header, headerLength);
    text.resize(headerLength + lines * MaxLineLength);

    DumpWriter writer(text, headerLength);
    for (qsizetype offset = 0; offset < length; offset += BytesPerLine) {
        const int count = int(qMin<qsizetype>(BytesPerLine, length - offset));
        writeLine(writer, bytes + offset, quint32(offset), count);
    }
    writer.finish();
    return text;
}

QString hexDumpText(const QByteArray &bytes)
{
    return QString::fromLatin1(HexDump(bytes.constData(), int(bytes.size())));
}
