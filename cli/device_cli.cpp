#include "cli/cli_support.h"
#include "cli/commands.h"
#include "cli/db_option.h"
#include "cli/device_selection.h"

#include "device/bootloader_info.h"
#include "device/bootloader_restart.h"
#include "device/chosen_board.h"
#include "device/device_jobs.h"
#include "device/usbkr960.h"
#include "files/file_io.h"
#include "image/hex_dump.h"
#include "production/run_recorder.h"
#include "production/run_records.h"
#include "service/external_flash_jobs.h"
#include "service/memory_jobs.h"

#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QThread>

namespace
{

constexpr int MaximumLength = MemoryService::MaximumReadLength; // as the window's dialogs allow

DeviceMode modeOf(USBKR960 &usb)
{
    return modeFromSerial(readSerialText(usb));
}

// External flash is the bootloader's alone: the application stalls requests 5 and 6, which
// would read as a failed transfer. Asked right after the connect, before any request is sent.
void requireBootloader(USBKR960 &usb, const QString &command)
{
    if (modeOf(usb) == DeviceMode::Application)
        failOperation(
            QString("%1 needs the KR960's bootloader, but the board runs its application: "
                    "restart it into the bootloader first (mv604-cli bootloader)")
                .arg(command));
}

struct RangeArguments {
    quint32 address = 0;
    int length = 0;
    QString output; // raw bytes go there; empty: a hex dump on stdout
};

RangeArguments parseRange(const QStringList &arguments, const QString &description)
{
    QCommandLineParser parser;
    parser.addPositionalArgument("ADDRESS", "Start address, hexadecimal (0x optional).");
    parser.addPositionalArgument("LENGTH", "Number of bytes, decimal, 1 to 1048576.");
    const QCommandLineOption output({"o", "output"}, "Write the raw bytes to FILE.", "FILE");
    parser.addOption(output);
    parseCommandLine(parser, arguments, description);
    const QStringList given = requirePositionals(parser, {"ADDRESS", "LENGTH"});
    RangeArguments range;
    range.address = parseHexArgument("ADDRESS", given.at(0));
    range.length = parseDecimalArgument("LENGTH", given.at(1), 1, MaximumLength);
    range.output = parser.value(output);
    return range;
}

// The dump without its header line: the header shows where the bytes lay in this process's
// memory, which means nothing outside the window.
QString dumpWithoutHeader(const QByteArray &bytes)
{
    const QString dump = hexDumpText(bytes);
    return dump.mid(dump.indexOf(QLatin1Char('\n'), 1) + 1);
}

void showBytes(const QByteArray &bytes, const QString &output)
{
    if (output.isEmpty())
        printLine(dumpWithoutHeader(bytes));
    else
        writeWholeFile(output, bytes);
}

// Reads a range with one of the service jobs and shows it as a dump or saves it raw. A command
// named in `bootloaderCommand` reads what only the bootloader serves.
using RangeReader = QByteArray (*)(USBKR960 &, quint32, int, int *);
int runRangeRead(const QStringList &arguments, const BoardChoice &choice,
                 const QString &description, const QString &memory, RangeReader read,
                 const QString &bootloaderCommand = QString())
{
    const RangeArguments range = parseRange(arguments, description);
    USBKR960 usb;
    const HeldBoard board = openChosenBoardOrFail(usb, choice, arguments.at(0));
    if (!bootloaderCommand.isEmpty())
        requireBootloader(usb, bootloaderCommand);
    int result = 0;
    const QByteArray bytes = read(usb, range.address, range.length, &result);
    if (result != 0)
        failOperation(QString("reading %1 bytes of %2 at 0x%3 failed")
                          .arg(range.length)
                          .arg(memory)
                          .arg(range.address, 0, 16));
    showBytes(bytes, range.output);
    return ExitOk;
}

void parseWithoutArguments(const QStringList &arguments, const QString &description)
{
    QCommandLineParser parser;
    parseCommandLine(parser, arguments, description);
    requirePositionals(parser, {});
}

// --json: one JSON document on stdout instead of the lines, for scripts.
bool parseWithJsonOption(const QStringList &arguments, const QString &description)
{
    QCommandLineParser parser;
    const QCommandLineOption json("json", "Print one JSON document instead of lines.");
    parser.addOption(json);
    parseCommandLine(parser, arguments, description);
    requirePositionals(parser, {});
    return parser.isSet(json);
}

void printJson(const QJsonValue &value)
{
    const QJsonDocument document =
        value.isArray() ? QJsonDocument(value.toArray()) : QJsonDocument(value.toObject());
    printLine(QString::fromUtf8(document.toJson(QJsonDocument::Compact)));
}

QJsonValue portJson(const QString &port)
{
    return port.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(port);
}

// Fields that cannot be read without access, or that the host cannot tell, are null.
QJsonArray attachedBoardsJson(const QList<AttachedBoard> &boards)
{
    QJsonArray array;
    for (const AttachedBoard &board : boards) {
        const QJsonValue unknown = QJsonValue::Null;
        array.append(QJsonObject{
            {"bus", board.bus},
            {"device", board.deviceNumber},
            {"port", portJson(board.identity.port)},
            {"serial", board.readable ? QJsonValue(QString::fromLatin1(board.reported)) : unknown},
            {"mode", board.readable ? QJsonValue(modeName(board.mode())) : unknown},
            {"access", board.readable ? QString("ok") : board.accessError}});
    }
    return array;
}

// A choice that fits none of the attached boards: what is there instead.
QString noneChosenText(const BoardChoice &choice, const QList<AttachedBoard> &attached)
{
    ChosenBoard none;
    none.search = attached.isEmpty() ? BoardSearch::NoneAttached : BoardSearch::NotAttached;
    QStringList boards;
    for (const AttachedBoard &board : attached)
        boards << QString("%1 on %2")
                      .arg(board.readable ? QString::fromLatin1(board.reported) : "unreadable",
                           board.identity.port.isEmpty() ? "an unknown port" : board.identity.port);
    const QString text = chosenBoardFailureText(none, choice);
    return boards.isEmpty() ? text + "; no KR960 is attached"
                            : text + "; attached: " + boards.join(", ");
}

} // namespace

int runInfoCommand(const QStringList &arguments, const BoardChoice &choice)
{
    const bool json =
        parseWithJsonOption(arguments, "Shows the serial number, mode and bootloader version.");
    USBKR960 usb;
    const HeldBoard held = openChosenBoardOrFail(usb, choice, arguments.at(0));
    const BoardIdentity &board = held.identity;
    const QByteArray serial = readSerialText(usb);
    // The device answers the read in its application as well as in its bootloader.
    QByteArray version;
    if (readBootloaderVersion(usb, &version) != 0)
        failOperation("Bootloader Version Read Error");
    const QString mode = modeName(modeFromSerial(serial));
    if (json) {
        printJson(QJsonObject{{"serial", QString::fromLatin1(serial)},
                              {"port", portJson(board.port)},
                              {"mode", mode},
                              {"bootloader_version", QString::fromLatin1(version)}});
        return ExitOk;
    }
    printLine(QString("serial: %1").arg(QString::fromLatin1(serial)));
    printLine(QString("port: %1").arg(board.port.isEmpty() ? "unknown" : board.port));
    printLine(QString("mode: %1").arg(mode));
    printLine(QString("bootloader version: %1").arg(QString::fromLatin1(version)));
    return ExitOk;
}

int runListCommand(const QStringList &arguments, const BoardChoice &choice)
{
    const bool json = parseWithJsonOption(arguments, "Lists every attached KR960.");
    const QList<AttachedBoard> boards = listAttachedBoards(choice);
    if (json)
        printJson(attachedBoardsJson(boards));
    if (boards.isEmpty() && !choice.isEmpty())
        failOperation(noneChosenText(choice, listAttachedBoards()));
    if (json)
        return ExitOk;
    if (boards.isEmpty()) {
        printLine("no KR960 attached");
        return ExitOk;
    }
    for (const AttachedBoard &board : boards)
        printLine(QString("bus %1 device %2  port %3  serial %4  mode %5  access %6")
                      .arg(board.bus, 3, 10, QChar('0'))
                      .arg(board.deviceNumber, 3, 10, QChar('0'))
                      .arg(board.identity.port.isEmpty() ? "-" : board.identity.port, -8)
                      .arg(board.readable ? QString::fromLatin1(board.reported) : "-")
                      .arg(board.readable ? modeName(board.mode()) : "-")
                      .arg(board.readable ? "ok" : board.accessError));
    return ExitOk;
}

int runReadCommand(const QStringList &arguments, const BoardChoice &choice)
{
    return runRangeRead(arguments, choice, "Reads device memory.", "memory", readDeviceMemory);
}

int runExtWriteCommand(const QStringList &arguments, const BoardChoice &choice)
{
    QCommandLineParser parser;
    parser.addPositionalArgument("FILE.bin", "The file to write at external flash address 0.");
    const RecordingOptions recording =
        addRecordingOptions(parser, "Append one JSON line for the run to FILE.");
    parseCommandLine(parser, arguments, "Writes a file to external flash and verifies it.");
    const QString fileName = requirePositionals(parser, {"FILE.bin"}).at(0);
    if (!binFileFitsExternalFlash(fileName))
        failOperation(QString("%1: %2").arg(fileName, binWriteText(BinWriteResult::TooLarge)));
    RunRecorder recorder;
    prepareRecorder(parser, recording, recorder);
    QByteArray bytes;
    QString error;
    if (!readWholeFile(fileName, &bytes, &error))
        failOperation(QString("cannot open %1: %2").arg(fileName, error));
    if (!binLengthAcceptable(bytes.size()))
        failOperation(QString("%1: %2 (%3 bytes)")
                          .arg(fileName, binWriteText(BinWriteResult::LengthNotAligned))
                          .arg(bytes.size()));

    const QDateTime started = QDateTime::currentDateTimeUtc();
    USBKR960 usb;
    const HeldBoard held = openChosenBoardOrFail(usb, choice, arguments.at(0));
    const BoardIdentity &board = held.identity;
    requireBootloader(usb, "ext-write");
    const BinWriteResult result = writeAndVerifyBin(usb, bytes);
    const QString recordError = recorder.record(extWriteRunRecord(
        board, fileName, bytes, result == BinWriteResult::WriteOk, binWriteText(result), started));
    finishRecording(recorder);
    if (!recordError.isEmpty())
        failOperation(recordError);
    if (result != BinWriteResult::WriteOk)
        failOperation(QString("external flash write failed: %1").arg(binWriteText(result)));
    printLine(binWriteText(result));
    return ExitOk;
}

int runExtReadCommand(const QStringList &arguments, const BoardChoice &choice)
{
    return runRangeRead(
        arguments, choice, "Reads external flash.", "external flash",
        [](USBKR960 &usb, quint32 address, int length, int *result) {
            return readExternalFlash(usb, address, length, result);
        },
        "ext-read");
}

int runExtFillCommand(const QStringList &arguments, const BoardChoice &choice)
{
    QCommandLineParser parser;
    parser.addPositionalArgument("ADDRESS", "Start address, hexadecimal (0x optional).");
    parser.addPositionalArgument("LENGTH", "Number of bytes, decimal, 1 to 1048576.");
    parser.addPositionalArgument("BYTE", "Fill value, hexadecimal, 0 to ff.");
    parseCommandLine(parser, arguments, "Fills a range of external flash with one byte.");
    const QStringList given = requirePositionals(parser, {"ADDRESS", "LENGTH", "BYTE"});
    const quint32 address = parseHexArgument("ADDRESS", given.at(0));
    const int length = parseDecimalArgument("LENGTH", given.at(1), 1, MaximumLength);
    const quint32 value = parseHexArgument("BYTE", given.at(2), 0xFF);

    USBKR960 usb;
    const HeldBoard board = openChosenBoardOrFail(usb, choice, arguments.at(0));
    requireBootloader(usb, "ext-fill");
    int result = 0;
    fillExternalFlash(usb, address, length, value, &result);
    if (result != 0)
        failOperation(QString("writing %1 bytes of external flash at 0x%2 failed")
                          .arg(length)
                          .arg(address, 0, 16));
    printLine(QString("filled %1 bytes at 0x%2 with 0x%3")
                  .arg(length)
                  .arg(address, 0, 16)
                  .arg(value, 2, 16, QChar('0')));
    return ExitOk;
}

int runRunAppCommand(const QStringList &arguments, const BoardChoice &choice)
{
    parseWithoutArguments(arguments, "Starts the application firmware.");
    USBKR960 usb;
    const HeldBoard board = openChosenBoardOrFail(usb, choice, arguments.at(0));
    // The request restarts an application into its bootloader: a running one is left alone.
    if (modeOf(usb) == DeviceMode::Application) {
        printLine("the application is already running");
        return ExitOk;
    }
    startApplication(usb);
    printLine("application started");
    return ExitOk;
}

// The way into the bootloader for the commands that need it (external flash, page writes): a
// board in its application is restarted and waited for, on the same port.
int runBootloaderCommand(const QStringList &arguments, const BoardChoice &choice)
{
    parseWithoutArguments(arguments, "Restarts the board into its bootloader.");
    USBKR960 usb;
    const HeldBoard board = openChosenBoardOrFail(usb, choice, arguments.at(0));
    const QByteArray serial = readSerialText(usb);
    switch (modeFromSerial(serial)) {
    case DeviceMode::Bootloader:
        printLine("the bootloader is already running");
        return ExitOk;
    case DeviceMode::Application:
        break;
    case DeviceMode::Unknown:
        failOperation(QString("the KR960 reports the serial '%1', which tells no mode")
                          .arg(QString::fromLatin1(serial)));
    }
    const bool back = restartIntoBootloader(usb, RestartTiming(), [](int ms) {
        QThread::msleep(ulong(ms));
        return true;
    });
    if (!back)
        failOperation("the KR960 did not come back in its bootloader");
    printLine("bootloader started");
    return ExitOk;
}
