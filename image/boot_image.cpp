#include "image/boot_image.h"

#include "device/kr960_memory_map.h"
#include "image/hex_to_bin.h"

#include <QSaveFile>
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

int loadBootImage(const QString &hexFileName, QByteArray &image)
{
    image = QByteArray(BootImage::Size, '\0');
    return HexToBin(hexFileName, reinterpret_cast<unsigned char *>(image.data()),
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

int currentYearChoice(const QDate &today)
{
    return today.year() % 100;
}

int currentWeekChoice(const QDate &today)
{
    return today.weekNumber() - 1;
}

int maximumBootImageCount(int firstNumber)
{
    return qMax(1, BootImage::LastProductionNumber - firstNumber);
}

QString productionSerial(const QString &year, const QString &week, int number)
{
    return year + week + QLatin1Char('0') +
           QStringLiteral("%1").arg(number, 4, 10, QLatin1Char('0'));
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

bool writeBootImageFile(const QString &fileName, const QByteArray &image)
{
    // QSaveFile writes beside the target and renames only after every byte went out, so a
    // failure leaves no partial image under the final name. Its commit does not notice a failed
    // flush of buffered data (a full disk, a file size limit), hence the explicit flush.
    QSaveFile file(fileName);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    if (file.write(image) != image.size() || !file.flush()) {
        file.cancelWriting();
        return false;
    }
    return file.commit();
}
