#pragma once

#include "device/kr960_memory_map.h"

#include <QByteArray>
#include <QDate>
#include <QString>
#include <QStringList>

// A production bootloader image: the first 16 KiB of device flash, loaded from the bootloader's
// Intel HEX file and stamped with the nine-digit production serial YYWW0NNNN of one device.
namespace BootImage
{
constexpr int Size = int(Kr960::BootloaderSize);
constexpr int BrandOffset = 0x3FD0;
constexpr int SerialOffset = 0x3FF0;
constexpr int SerialLength = 9;
constexpr int FirstProductionNumber = 1;
constexpr int LastProductionNumber = 9999;
} // namespace BootImage

// Fills `image` with 16 KiB of zeros and loads the HEX file over 0x08000000..0x08003FFF.
// Returns the loader's result; on a negative one the image holds what was loaded before the error.
int loadBootImage(const QString &hexFileName, QByteArray &image);

// Only bootloaders built for our own brand (brand word 0) may go into production.
bool hasValidBrand(const QByteArray &image);

// The choices offered for the serial's year (00..99) and week (01..53), and which one is today's.
QStringList productionYearChoices();
QStringList productionWeekChoices();
int currentYearChoice(const QDate &today);
int currentWeekChoice(const QDate &today);

// How many devices a run may stamp from `firstNumber` on; at least one.
int maximumBootImageCount(int firstNumber);

// "YY" + "WW" + "0" + the production number in four digits.
QString productionSerial(const QString &year, const QString &week, int number);
QString bootImageFileName(const QString &serial);

// Writes the serial's nine digits at 0x3FF0 and nothing after them.
void stampSerial(QByteArray &image, const QString &serial);

// Creates or replaces the file with the whole image. A file that cannot be written completely is
// not left behind: a truncated bootloader must never reach the programming station.
bool writeBootImageFile(const QString &fileName, const QByteArray &image);
