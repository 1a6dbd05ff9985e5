#include "cli/cli_support.h"
#include "cli/commands.h"
#include "cli/device_selection.h"
#include "cli/production_cli.h"
#include "cli/progress_printer.h"
#include "cli/upgrade_workers.h"

#include "device/bootloader_info.h"
#include "device/usbkr960.h"
#include "upgrade/upgrader.h"

#include <QDateTime>
#include <QEventLoop>
#include <QFileInfo>
#include <cstdio>
#include <unistd.h>

namespace
{

QCommandLineOption skipUnchangedOption()
{
    return QCommandLineOption("skip-unchanged",
                              "Read each page first and write only those that differ; pages "
                              "already current count as verified.");
}

constexpr int DefaultUnpluggedAfterMs = 3000;

// The arguments that a device's worker process gets: the parent's own, without the options
// that make it the parent.
QStringList workerArguments(const QStringList &arguments)
{
    QStringList kept;
    for (int i = 1; i < arguments.size(); ++i) {
        const QString &argument = arguments.at(i);
        if (argument == "--all" || argument == "--watch" ||
            argument.startsWith("--unplugged-after="))
            continue;
        if (argument == "--unplugged-after") {
            ++i;
            continue;
        }
        kept << argument;
    }
    return kept;
}

} // namespace

// The same worker run as the window's Change Firmware: its log lines go to stdout in order, its
// progress to stderr, and only a run that ends in "OK" succeeds.
int runUpgradeCommand(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.addPositionalArgument("FILE.upg", "The upgrade file to program.");
    const QCommandLineOption skipUnchanged = skipUnchangedOption();
    parser.addOption(skipUnchanged);
    const QCommandLineOption all("all", "Program every attached KR960 at once, one process each.");
    const QCommandLineOption watch(
        "watch", "Station mode: program each KR960 as it is plugged in, until Ctrl-C.");
    const QCommandLineOption log("log", "Append one JSON line per device and run to FILE.", "FILE");
    const QCommandLineOption unpluggedAfter(
        "unplugged-after",
        "With --watch: a programmed board that stays off the bus this long counts as unplugged "
        "and is programmed again when it comes back (default 3000).",
        "MS", QString::number(DefaultUnpluggedAfterMs));
    // A device's worker process reports progress and its typed outcome to its parent.
    QCommandLineOption report("report");
    report.setFlags(QCommandLineOption::HiddenFromHelp);
    parser.addOptions({all, watch, log, unpluggedAfter, report});
    parseCommandLine(parser, arguments, "Programs the application firmware from an upgrade file.");
    const QString fileName = requirePositionals(parser, {"FILE.upg"}).at(0);
    if (!QFileInfo(fileName).isFile())
        failOperation(QString("cannot open %1").arg(fileName));
    const QString logFile = parser.value(log);
    if ((parser.isSet(all) || parser.isSet(watch)) && !selectedSerial().isEmpty())
        failUsage("--serial picks one device; --all and --watch program many");
    if (parser.isSet(all) && parser.isSet(watch))
        failUsage("--all and --watch exclude each other");
    const int unpluggedAfterMs =
        parseDecimalArgument("--unplugged-after", parser.value(unpluggedAfter), 0, 600000);
    requireWritableLog(logFile);

    const ProductionUpgrade production{workerArguments(arguments), fileName, logFile};
    if (parser.isSet(all))
        return upgradeAllAttached(production);
    if (parser.isSet(watch))
        return upgradeAsStation(production, unpluggedAfterMs);
    requireSelectedAttached();

    const bool reportToParent = parser.isSet(report);
    const QDateTime started = QDateTime::currentDateTimeUtc();
    USBKR960 usb;
    selectDevice(usb); // the worker's reconnections after the restart stay on this board
    Upgrader upgrader(&usb);
    ProgressPrinter progress(isatty(fileno(stderr)));
    QString lastLine; // names the cause in the failure message; the outcome decides
    QByteArray serial = selectedSerial();
    QEventLoop loop;
    // Receivers in this thread: the worker's signals arrive queued, in the order it sent them.
    QObject::connect(&upgrader, &Upgrader::sendText, &loop, [&](const QString &line) {
        progress.finish();
        printLine(line);
        lastLine = line;
        if (serial.isEmpty() && modeFromSerial(line.toLatin1()) != DeviceMode::Unknown)
            serial = serialWithoutBootloaderMark(line.toLatin1());
    });
    QObject::connect(&upgrader, &Upgrader::sendPercent, &loop, [&](int percent) {
        if (reportToParent)
            fprintf(stderr, "%s\n", qPrintable(workerProgressLine(percent)));
        else
            progress.show(percent);
    });
    QObject::connect(&upgrader, &QThread::finished, &loop, &QEventLoop::quit);

    upgrader.setSkipUnchangedPages(parser.isSet(skipUnchanged));
    upgrader.slotSetFileName(fileName);
    upgrader.start();
    loop.exec();
    progress.finish();

    const QString result = upgradeOutcomeName(upgrader.outcome());
    if (reportToParent)
        fprintf(stderr, "%s\n",
                qPrintable(
                    workerResultLine(result, upgrader.pagesWritten(), upgrader.pagesVerified())));
    const QString logError = logUpgradeRun(logFile, fileName, serial, started, result, lastLine,
                                           upgrader.pagesWritten(), upgrader.pagesVerified());
    if (!logError.isEmpty())
        failOperation(logError);
    if (upgrader.outcome() != UpgradeOutcome::Ok)
        failOperation(QString("upgrade failed: %1 (%2)").arg(lastLine.simplified(), result));
    return ExitOk;
}
