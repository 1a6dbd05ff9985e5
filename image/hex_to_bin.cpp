#include "image/hex_to_bin.h"

#include <QFile>

namespace
{

// Lines are read into a 64-byte buffer: a longer line continues as the next one, which limits a
// record to 25 data bytes. The firmware files we are given keep to that limit.
constexpr qint64 LineBufferSize = 64;
constexpr int MinimumLineLength = 11;

enum RecordType : uint {
    DataRecord = 0x00,
    EndOfFileRecord = 0x01,
    ExtendedLinearAddressRecord = 0x04,
    StartLinearAddressRecord = 0x05,
};

// Fields sit at fixed positions counted from the colon; a field past the line end reads as
// empty text and so fails to convert.
bool hexField(const QString &line, int position, int digits, uint &value)
{
    bool ok = false;
    value = QStringView(line).mid(position, digits).toUInt(&ok, 16);
    return ok;
}

struct Window {
    unsigned char *image;
    quint32 first;
    quint32 last;
    qint64 stored = 0;

    void store(quint32 address, uint byte)
    {
        if (address < first || address > last)
            return;
        image[address - first] = static_cast<unsigned char>(byte);
        ++stored;
    }
};

int storeData(const QString &line, uint count, quint32 recordStart, Window &window)
{
    for (uint i = 0; i < count; ++i) {
        uint byte;
        if (!hexField(line, 9 + 2 * int(i), 2, byte))
            return HexBadData;
        window.store(recordStart + i, byte);
    }
    return HexOk;
}

// Sets `finished` on the end-of-file record; lines after it are never read.
int handleRecord(const QString &line, quint32 &base, Window &window, bool &finished)
{
    if (line.size() < MinimumLineLength)
        return HexShortLine;
    if (line.at(0) != QLatin1Char(':'))
        return HexNoColon;

    uint count, address, type;
    if (!hexField(line, 1, 2, count))
        return HexBadCount;
    if (!hexField(line, 3, 4, address))
        return HexBadAddress;
    if (!hexField(line, 7, 2, type))
        return HexBadType;

    switch (type) {
    case DataRecord:
        return storeData(line, count, base + address, window);
    case EndOfFileRecord:
        finished = true;
        return HexOk;
    case ExtendedLinearAddressRecord: {
        uint upper;
        if (!hexField(line, 9, 4, upper))
            return HexBadRecord;
        base = quint32(upper) << 16;
        return HexOk;
    }
    case StartLinearAddressRecord:
        return HexOk;
    default:
        return HexBadRecord;
    }
}

// The two's complement of the sum of a record's bytes before its checksum, and the checksum
// field itself; false when the field is not there.
bool checksumOf(const QString &line, uint count, quint8 &stated, quint8 &sum)
{
    uint total = 0;
    for (uint i = 0; i < count + 4; ++i) {
        uint byte;
        if (!hexField(line, 1 + 2 * int(i), 2, byte))
            return false;
        total += byte;
    }
    uint field;
    if (!hexField(line, 1 + 2 * int(count + 4), 2, field))
        return false;
    stated = quint8(field);
    sum = quint8(0x100 - (total & 0xFF));
    return true;
}

// Notes the first record whose checksum does not hold. Only a line read whole can be checked;
// a longer one fails the load anyway.
void checkRecordChecksum(const QString &line, int lineNumber, HexLoad &load)
{
    uint count;
    if (load.checksumLine != 0 || !hexField(line, 1, 2, count))
        return;
    quint8 stated = 0, sum = 0;
    const bool given = checksumOf(line, count, stated, sum);
    if (given && stated == sum)
        return;
    load.checksumLine = lineNumber;
    load.checksumGiven = given;
    load.statedChecksum = stated;
    load.recordSum = sum;
}

} // namespace

int HexToBin(const QString &fileName, unsigned char *image, quint32 first, quint32 last)
{
    return loadHexFile(fileName, image, first, last).result;
}

HexLoad loadHexFile(const QString &fileName, unsigned char *image, quint32 first, quint32 last)
{
    HexLoad load;
    // No text-mode translation: a CR before the LF stays in the line and counts towards its length.
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly)) {
        load.result = HexCannotOpen;
        load.openError = file.errorString();
        return load;
    }

    Window window{image, first, last};
    quint32 base = 0;
    char buffer[LineBufferSize];
    bool finished = false;
    // A line longer than the buffer arrives in pieces; only the first begins a record.
    bool lineStarts = true;
    int lineNumber = 0;
    while (load.result == HexOk && !finished) {
        const qint64 length = file.readLine(buffer, LineBufferSize);
        if (length <= 0)
            break;
        const QString piece = QString::fromLatin1(buffer, length);
        if (lineStarts) {
            ++lineNumber;
            uint count;
            load.recordBytes = hexField(piece, 1, 2, count) ? int(count) : -1;
        }
        load.result = handleRecord(piece, base, window, finished);
        if (load.result == HexOk && lineStarts)
            checkRecordChecksum(piece, lineNumber, load);
        lineStarts = buffer[length - 1] == '\n';
    }
    load.line = load.result == HexOk ? 0 : lineNumber;
    load.endOfFile = finished;
    load.storedBytes = window.stored;
    return load;
}
