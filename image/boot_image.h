#pragma once

#include "device/kr960_memory_map.h"
#include "device/production_serial.h"
#include "image/build_result.h"
#include "image/hex_to_bin.h"

#include <QByteArray>
#include <QDate>
#include <QString>
#include <QStringList>

#include <functional>

// A production bootloader image: the first 16 KiB of device flash, loaded from the bootloader's
// Intel HEX file and stamped with the nine-digit production serial YYWW0NNNN of one device.
namespace BootImage
{
constexpr int Size = int(Kr960::BootloaderSize);
constexpr int BrandOffset = Kr960::imageOffset(Kr960::BootloaderBrandAddress);
constexpr int SerialOffset = Kr960::imageOffset(Kr960::ProductionSerialAddress);
constexpr int SerialLength = 9;
constexpr int FirstProductionNumber = 1;
constexpr int LastProductionNumber = 9999;
} // namespace BootImage

// Fills `image` with 16 KiB of zeros and loads the HEX file over 0x08000000..0x08003FFF.
// Returns the loader's report; on a negative result the image holds what was loaded before the
// error.
HexLoad loadBootImage(const QString &hexFileName, QByteArray &image);

// Only bootloaders built for our own brand (brand word 0) may go into production.
bool hasValidBrand(const QByteArray &image);

// The choices offered for the serial's year (00..99) and week (01..53), and which one is today's.
QStringList productionYearChoices();
QStringList productionWeekChoices();
struct ProductionWeek {
    int year; // two digits
    int week; // 1 to 53
};
ProductionWeek productionWeekOf(const QDate &day);
int currentYearChoice(const QDate &today); // an index into the choices
int currentWeekChoice(const QDate &today);
int currentWeekChoice(const QDate &today);

// How many devices a run may stamp from `firstNumber` on; at least one.
int maximumBootImageCount(int firstNumber);

QString bootImageFileName(const QString &serial);

// Writes the serial's nine digits at 0x3FF0 and nothing after them.
void stampSerial(QByteArray &image, const QString &serial);

// Creates or replaces the file with the whole image. A file that cannot be written completely is
// not left behind: a truncated bootloader must never reach the programming station.
bool writeBootImageFile(const QString &fileName, const QByteArray &image, QString *error = nullptr);

// loadBootImage and hasValidBrand in one: Ok, HexError or InvalidBrand.
BuildResult loadProductionBootloader(const QString &hexFileName, QByteArray &image);

// The devices of one production run: serials year + week + 0 + firstNumber .. + count - 1.
struct BootImageSeries {
    QString year;
    QString week;
    int firstNumber = BootImage::FirstProductionNumber;
    int count = 1;
    QString directory = QStringLiteral("."); // where the image files go
};

// Stamps and writes one image per device of the series, in order. `stamped` hears each serial
// before its file is written and `written` each file after it was; the first file that cannot
// be written ends the series with CannotWrite (the files before it stay).
BuildResult writeBootImages(QByteArray &image, const BootImageSeries &series,
                            const std::function<void(const QString &serial)> &stamped,
                            const std::function<void(const QString &path)> &written);
