// mv604-cli verify: is the board's application what the file holds? Reads only; the device is
// compared in whichever mode it runs, since both the bootloader and the application answer
// memory reads, and it is never restarted.

#include "cli/cli_support.h"
#include "cli/commands.h"
#include "cli/db_option.h"
#include "cli/device_selection.h"

#include "device/kr960_memory_map.h"
#include "device/usbkr960.h"
#include "production/run_recorder.h"
#include "production/run_records.h"
#include "upgrade/page_programmer.h"
#include "upgrade/upgrade_file.h"

namespace
{

QString hexAddress(quint32 address)
{
    return QString("0x%1").arg(address, 8, 16, QChar('0'));
}

LoadedUpgradeFile checkedUpgradeFile(const QString &fileName)
{
    const LoadedUpgradeFile file = loadUpgradeFile(fileName);
    if (!file.openError.isEmpty())
        failOperation(QString("cannot open %1: %2").arg(fileName, file.openError));
    if (file.status != UpgradeFileStatus::Ok)
        failOperation(QString("%1: %2").arg(fileName, upgradeFileStatusText(file.status)));
    return file;
}

// Runs of adjacent pages as device address ranges, last byte included.
QStringList addressRanges(const QList<int> &pages)
{
    QStringList ranges;
    for (int first = 0; first < pages.size();) {
        int last = first;
        while (last + 1 < pages.size() && pages.at(last + 1) == pages.at(last) + 1)
            ++last;
        const quint32 start = Kr960::ApplicationStart + quint32(pages.at(first)) * Kr960::PageSize;
        const quint32 end =
            Kr960::ApplicationStart + quint32(pages.at(last) + 1) * Kr960::PageSize - 1;
        ranges.append(hexAddress(start) + "-" + hexAddress(end));
        first = last + 1;
    }
    return ranges;
}

} // namespace

int runVerifyCommand(const QStringList &arguments, const BoardChoice &choice)
{
    QCommandLineParser parser;
    parser.addPositionalArgument("FILE.upg", "The upgrade file to compare with.");
    const RecordingOptions recording =
        addRecordingOptions(parser, "Append one JSON line for the run to FILE.");
    parseCommandLine(parser, arguments,
                     "Compares the device's application area with an upgrade file and prints the "
                     "differing pages. Writes nothing; the device may run its bootloader or its "
                     "application.");
    const QString fileName = requirePositionals(parser, {"FILE.upg"}).at(0);
    const LoadedUpgradeFile file = checkedUpgradeFile(fileName);
    RunRecorder recorder;
    prepareRecorder(parser, recording, recorder);

    const QDateTime started = QDateTime::currentDateTimeUtc();
    USBKR960 usb;
    const HeldBoard held = openChosenBoardOrFail(usb, choice, arguments.at(0));
    const BoardIdentity &board = held.identity;
    const AreaComparison comparison = compareApplicationArea(usb, file.applicationArea);
    const VerifyResult verdict = verifyResultOf(comparison, board, file.facts);
    const QString recorderError = recorder.record(verifyRunRecord(verdict, started));
    finishRecording(recorder);
    for (const QString &range : addressRanges(comparison.differingPages))
        printLine(range);
    if (!recorderError.isEmpty())
        failOperation(recorderError);
    if (verdict.result != RunResult::Ok)
        failOperation(verdict.text);
    printLine(verdict.text);
    return ExitOk;
}
