#include "image/build_result.h"

#include <QCoreApplication>

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
