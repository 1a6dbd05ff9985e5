#include "image/build_result.h"

#include "image/hex_to_bin.h"

#include <QCoreApplication>

namespace
{

// HexToBin reads a line into 64 bytes, which holds a record of at most 25 data bytes.
constexpr int MaximumRecordBytes = 25;

QString tr(const char *text)
{
    return QCoreApplication::translate("KR960_Bootloader", text);
}

QString hexByte(quint8 byte)
{
    return QString("%1").arg(byte, 2, 16, QChar('0')).toUpper();
}

QString hexErrorWords(int code)
{
    switch (code) {
    case HexShortLine:
        return tr("shorter than a record (11 characters), or blank");
    case HexNoColon:
        return tr("does not begin with ':'");
    case HexBadCount:
        return tr("the byte count is not hexadecimal");
    case HexBadAddress:
        return tr("the record address is not hexadecimal");
    case HexBadType:
        return tr("the record type is not hexadecimal");
    case HexBadData:
        return tr("a data byte is not hexadecimal, or the data runs past the line end");
    case HexBadRecord:
        return tr("a record type other than 00, 01, 04 and 05, or a bad extended address");
    default:
        break;
    }
    return QString();
}

QString failedLineWords(const HexLoad &load)
{
    if (load.recordBytes > MaximumRecordBytes)
        return tr("line %1: %2 data bytes, at most %3 per record (objcopy and srec_cat write 16 "
                  "by default)")
            .arg(load.line)
            .arg(load.recordBytes)
            .arg(MaximumRecordBytes);
    return tr("line %1: %2").arg(load.line).arg(hexErrorWords(load.result));
}

QString damageWords(const HexLoad &load)
{
    if (load.checksumLine != 0 && !load.checksumGiven)
        return tr("line %1: the record ends before its checksum").arg(load.checksumLine);
    if (load.checksumLine != 0)
        return tr("line %1: record checksum %2, the record sums to %3")
            .arg(load.checksumLine)
            .arg(hexByte(load.statedChecksum), hexByte(load.recordSum));
    if (!load.endOfFile)
        return tr("no end-of-file record");
    return QString();
}

} // namespace

QString BuildResult::text() const
{
    switch (status) {
    case HexError:
        // The stray ")" is part of the text operators know; kept as it is.
        return QCoreApplication::translate("KR960_Bootloader", "HexToBin error: %1)").arg(hexError);
    case InvalidBrand:
        return QStringLiteral("Err: Invalid brand!");
    case CannotWrite:
        return QCoreApplication::translate("KR960_Bootloader", "Cannot write %1").arg(fileName);
    case DamagedHex:
        return detail;
    case NoApplicationData:
        return QCoreApplication::translate(
            "KR960_Bootloader", "No data for the application area 0x08004000..0x0803FFFF");
    case Ok:
        break;
    }
    return QString();
}

BuildResult BuildResult::failedHex(int code, const QString &cause)
{
    BuildResult result;
    result.status = HexError;
    result.hexError = code;
    result.cause = cause;
    return result;
}

BuildResult BuildResult::checkedHexLoad(const HexLoad &load)
{
    BuildResult result;
    if (load.result != HexOk) {
        result = failedHex(load.result, load.openError);
        if (load.result != HexCannotOpen)
            result.detail = failedLineWords(load);
        return result;
    }
    result.detail = damageWords(load);
    if (!result.detail.isEmpty())
        result.status = DamagedHex;
    return result;
}

BuildResult BuildResult::invalidBrand()
{
    BuildResult result;
    result.status = InvalidBrand;
    return result;
}

BuildResult BuildResult::cannotWrite(const QString &fileName, const QString &cause)
{
    BuildResult result;
    result.status = CannotWrite;
    result.fileName = fileName;
    result.cause = cause;
    return result;
}

BuildResult BuildResult::noApplicationData()
{
    BuildResult result;
    result.status = NoApplicationData;
    return result;
}
