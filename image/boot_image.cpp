#include "image/boot_image.h"

#include "device/kr960_memory_map.h"
#include "files/file_io.h"
#include "image/hex_to_bin.h"

#include <QDir>
#include <QtEndian>

namespace
{
QStringList twoDigitChoices(int first, int last)
{
    QStringList choices;
    for (int value = first; value <= last; ++value)
        choices.append(QStringLiteral("%1").arg(value, 2, 10, QLatin1Char('0')));
    return choices;
}
} // namespace

HexLoad loadBootImage(const QString &hexFileName, QByteArray &image)
{
    image = QByteArray(BootImage::Size, '\0');
    return loadHexFile(hexFileName, reinterpret_cast<unsigned char *>(image.data()),
                       Kr960::BootloaderStart, Kr960::BootloaderEnd);
}

bool hasValidBrand(const QByteArray &image)
{
    return qFromLittleEndian<quint16>(image.constData() + BootImage::BrandOffset) == 0;
}

QStringList productionYearChoices()
{
    return twoDigitChoices(0, 99);
}

QStringList productionWeekChoices()
{
    return twoDigitChoices(1, 53);
}

ProductionWeek productionWeekOf(const QDate &day)
{
    // The ISO week and the ISO week-based year it belongs to: 2025-12-29 is in week 1 of 2026,
    // 2027-01-01 in week 53 of 2026. The calendar year would give a week twice or one that
    // never was, and serials that repeat.
    int year = 0;
    const int week = day.weekNumber(&year);
    return {year % 100, week};
}

int currentYearChoice(const QDate &today)
{
    return productionWeekOf(today).year;
}

int currentWeekChoice(const QDate &today)
{
    return productionWeekOf(today).week - 1;
}

int maximumBootImageCount(int firstNumber)
{
    return qMax(1, BootImage::LastProductionNumber - firstNumber);
}

QString bootImageFileName(const QString &serial)
{
    return QStringLiteral("Mv604_Bootloader_") + serial + QStringLiteral(".bin");
}

void stampSerial(QByteArray &image, const QString &serial)
{
    const QByteArray digits = serial.toLatin1().left(BootImage::SerialLength);
    image.replace(BootImage::SerialOffset, digits.size(), digits);
}

bool writeBootImageFile(const QString &fileName, const QByteArray &image, QString *error)
{
    return writeFileAtomically(fileName, image, error);
}

BuildResult loadProductionBootloader(const QString &hexFileName, QByteArray &image)
{
    const HexLoad loaded = loadBootImage(hexFileName, image);
    if (loaded.result < 0)
        return BuildResult::failedHex(loaded.result, loaded.openError);
    // Only bootloaders built for our own brand may go into production.
    return hasValidBrand(image) ? BuildResult() : BuildResult::invalidBrand();
}

BuildResult writeBootImages(QByteArray &image, const BootImageSeries &series,
                            const std::function<void(const QString &serial)> &stamped,
                            const std::function<void(const QString &path)> &written)
{
    const QDir directory(series.directory);
    for (int number = series.firstNumber; number < series.firstNumber + series.count; ++number) {
        const QString serial = productionSerial(series.year, series.week, number);
        if (stamped)
            stamped(serial);
        stampSerial(image, serial);
        const QString path = series.directory == QStringLiteral(".")
                                 ? bootImageFileName(serial)
                                 : directory.filePath(bootImageFileName(serial));
        QString error;
        if (!writeBootImageFile(path, image, &error))
            return BuildResult::cannotWrite(path, error);
        if (written)
            written(path);
    }
    return BuildResult();
}
