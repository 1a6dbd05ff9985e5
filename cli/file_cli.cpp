#include "cli/cli_support.h"
#include "cli/commands.h"
#include "cli/db_option.h"

#include "image/boot_image.h"
#include "image/hex_to_bin.h"
#include "production/run_recorder.h"
#include "production/run_records.h"
#include "production/serial_allocation.h"
#include "upgrade/upgrade_builder.h"
#include "upgrade/upgrade_file.h"

#include <QDate>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <cstdio>

namespace
{

// The window's text, and the HEX file it came from when the firmware was at fault; the system's
// reason when a file could not be opened or written.
void failBuild(const BuildResult &result, const QString &hexFile)
{
    if (result.ok())
        return;
    if (result.status == BuildResult::CannotWrite)
        failOperation(QString("%1: %2").arg(result.text(), result.cause));
    if (result.status == BuildResult::HexError && result.hexError == HexCannotOpen)
        failOperation(QString("cannot open %1: %2").arg(hexFile, result.cause));
    if (!result.detail.isEmpty()) // words rather than HexToBin's code
        failOperation(QString("%1: %2").arg(hexFile, result.detail));
    failOperation(QString("%1 in %2").arg(result.text(), hexFile));
}

// Two digits from a range, as the window's lists offer them ("07", "49").
QString twoDigitArgument(const QString &name, const QString &text, int minimum, int maximum)
{
    return QString("%1").arg(parseDecimalArgument(name, text, minimum, maximum), 2, 10, QChar('0'));
}

} // namespace

int runCreateUpgCommand(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.addPositionalArgument("FIRMWARE.hex", "The application firmware in Intel HEX form.");
    const QCommandLineOption output({"o", "output"}, "The upgrade file to write.", "FILE.upg");
    parser.addOption(output);
    parseCommandLine(parser, arguments, "Builds an upgrade file from an application firmware.");
    const QString hexFile = requirePositionals(parser, {"FIRMWARE.hex"}).at(0);
    if (!parser.isSet(output))
        failUsage("missing -o FILE.upg");
    const QString upgFile = parser.value(output);

    UpgradeBuilder builder;
    // A load that fails writes nothing: a partial image would program a broken application.
    failBuild(builder.load(hexFile), hexFile);
    for (const QString &warning : builder.loadWarnings())
        fprintf(stderr, "mv604-cli: %s: %s\n", qPrintable(hexFile), qPrintable(warning));
    failBuild(builder.save(upgFile), hexFile);

    printLine(
        QString("application checksum: 0x%1")
            .arg(stampedChecksum(builder.plainImage(), UpgradeFile::ApplicationChecksumOffset), 8,
                 16, QChar('0')));
    printLine(QString("upper checksum: 0x%1")
                  .arg(stampedChecksum(builder.plainImage(), UpgradeFile::UpperChecksumOffset), 8,
                       16, QChar('0')));
    printLine(QString("written: %1").arg(upgFile));
    return ExitOk;
}

int runBootImagesCommand(const QStringList &arguments)
{
    const ProductionWeek today = productionWeekOf(QDate::currentDate());
    QCommandLineParser parser;
    parser.addPositionalArgument("BOOT.hex", "The bootloader firmware in Intel HEX form.");
    const QCommandLineOption year("year", "Production year, 00 to 99 (default: this year).", "YY",
                                  QString::number(today.year));
    const QCommandLineOption week("week", "Production week, 01 to 53 (default: this week).", "WW",
                                  QString::number(today.week));
    const QCommandLineOption first("first", "First production number, 1 to 9999.", "N");
    const QCommandLineOption count("count", "Number of devices (default 1).", "C", "1");
    const QCommandLineOption allocate(
        "allocate", "Reserve the next C free production numbers of the week in the database.", "C");
    const QCommandLineOption dir("dir", "Directory for the images (default: here).", "DIR", ".");
    parser.addOptions({year, week, first, count, allocate, dir});
    const RecordingOptions recording =
        addRecordingOptions(parser, "Append one JSON line per image to FILE.");
    parseCommandLine(parser, arguments, "Builds production bootloader images, one per device.");
    const QString hexFile = requirePositionals(parser, {"BOOT.hex"}).at(0);
    if (parser.isSet(first) == parser.isSet(allocate))
        failUsage("give either --first N or --allocate C");
    if (parser.isSet(allocate) && parser.value(recording.db).isEmpty())
        failUsage("--allocate needs --db URL (or MV604_DB)");

    SerialAllocation numbers;
    numbers.year = twoDigitArgument("--year", parser.value(year), 0, 99);
    numbers.week = twoDigitArgument("--week", parser.value(week), 1, 53);
    const int firstNumber =
        parser.isSet(allocate)
            ? BootImage::FirstProductionNumber
            : parseDecimalArgument("--first", parser.value(first), BootImage::FirstProductionNumber,
                                   BootImage::LastProductionNumber);
    const int devices = parser.isSet(allocate)
                            ? parseDecimalArgument("--allocate", parser.value(allocate), 1,
                                                   BootImage::LastProductionNumber)
                            : parseDecimalArgument("--count", parser.value(count), 1,
                                                   maximumBootImageCount(firstNumber));
    if (!QDir(parser.value(dir)).exists())
        failOperation(QString("directory %1 does not exist").arg(parser.value(dir)));
    RunRecorder recorder;
    prepareRecorder(parser, recording, recorder);

    QByteArray image;
    failBuild(loadProductionBootloader(hexFile, image), hexFile);
    // With a database the numbers are reserved, and committed, before any image is written.
    for (int number = firstNumber; number < firstNumber + devices; ++number)
        numbers.numbers << number;
    LineDatabase *database = recorder.database();
    if (!database)
        fprintf(stderr, "mv604-cli: without --db these serials are not reserved anywhere: "
                        "another station may stamp the same ones\n");
    if (database) {
        const int yy = numbers.year.toInt();
        const int ww = numbers.week.toInt();
        numbers = parser.isSet(allocate) ? allocateSerials(*database, yy, ww, devices)
                                         : reserveSerials(*database, yy, ww, firstNumber, devices);
        if (!numbers.status.ok())
            failOperation(numbers.status.text());
    }
    QString serial;
    QDateTime started;
    const auto stamped = [&](const QString &stampedSerial) {
        serial = stampedSerial;
        started = QDateTime::currentDateTimeUtc();
    };
    const auto written = [&](const QString &path) {
        printLine(QString("%1 %2").arg(serial, path));
        QString note;
        const QString recordError =
            recorder.record(bootImageRunRecord(serial, path, image, started), &note);
        if (!recordError.isEmpty())
            failOperation(recordError);
        if (!note.isEmpty()) // kept, and sent later: not a failure
            fprintf(stderr, "mv604-cli: %s\n", qPrintable(note));
    };
    for (const BootImageSeries &series : numbers.series(QDir(parser.value(dir)).path()))
        failBuild(writeBootImages(image, series, stamped, written), hexFile);
    finishRecording(recorder);
    return ExitOk;
}
