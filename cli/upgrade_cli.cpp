// mv604-cli upgrade: one board with the same worker as the window's Change Firmware, or, with
// --all and --watch, a station of many (station_cli.cpp).

#include "cli/cli_support.h"
#include "cli/commands.h"
#include "cli/db_option.h"
#include "cli/device_selection.h"
#include "cli/progress_display.h"
#include "cli/signature_options.h"
#include "cli/station_cli.h"
#include "production/station_worker.h"
#include "production/stop_signals.h"

#include "device/usbkr960.h"
#include "production/run_recorder.h"
#include "production/run_records.h"
#include "upgrade/upgrader.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QEventLoop>
#include <cstdio>
#include <unistd.h>

namespace
{

constexpr int DefaultUnpluggedAfterMs = 3000;

struct UpgradeOptions {
    BoardChoice board;
    QString command; // "mv604-cli upgrade", shown to a command refused the board's lock
    QString fileName;
    LoadedUpgradeFile file; // read once and checked: these bytes are programmed
    bool skipUnchanged = false;
};

// Runs the worker on the chosen board and gives its report. A stop signal ends the run at its
// next page boundary; `stopSignal` tells which one came.
UpgradeReport upgradeChosenBoard(const UpgradeOptions &options, int *stopSignal)
{
    USBKR960 usb;
    const ChosenBoard chosen = pinChosenBoard(usb, options.board);
    // With no board on the bus and none asked for, the worker looks for one itself, as the
    // window's does: a board plugged in during its connection attempts is still taken.
    const bool lookForAny = chosen.search == BoardSearch::NoneAttached && options.board.isEmpty();
    if (!chosen.found() && !lookForAny)
        failOperation(chosenBoardFailureText(chosen, options.board));
    BoardLock lock; // held until the run is over
    const QString refusal = lockBoard(chosen.board, options.command, &lock);
    if (!refusal.isEmpty())
        failOperation(refusal);

    Upgrader upgrader(&usb);
    ProgressDisplay progress(isatty(fileno(stderr)));
    QElapsedTimer clock;
    clock.start();
    QEventLoop loop;
    // The worker's texts arrive queued, in the order it sent them.
    QObject::connect(&upgrader, &Upgrader::sendText, &loop,
                     [&](const QString &line) { progress.printLine(line); });
    QObject::connect(&upgrader, &Upgrader::progressed, &loop, [&](const PageProgress &pages) {
        progress.show(QString(), pages, clock.elapsed());
    });
    QObject::connect(&upgrader, &QThread::finished, &loop, &QEventLoop::quit);
    StopSignals stops;
    QObject::connect(&stops, &StopSignals::received, &loop, [&](int signalNumber) {
        *stopSignal = signalNumber;
        upgrader.requestStop();
    });

    if (chosen.found())
        upgrader.setBoard(chosen.board);
    upgrader.setSkipUnchangedPages(options.skipUnchanged);
    upgrader.setUpgradeFile(options.fileName, options.file);
    upgrader.start();
    loop.exec();
    progress.erase();
    return upgrader.report();
}

int upgradeOneBoard(const UpgradeOptions &options, RunRecorder &recorder)
{
    const QDateTime started = QDateTime::currentDateTimeUtc();
    int stopSignal = 0;
    const UpgradeReport report = upgradeChosenBoard(options, &stopSignal);
    const RunRecord record = upgradeRunRecord(report, started);
    QString note;
    const QString recordError = recorder.record(record, &note);
    finishRecording(recorder);
    if (!recordError.isEmpty())
        failOperation(recordError);
    if (!note.isEmpty())
        fprintf(stderr, "mv604-cli: %s\n", qPrintable(note));
    const QString ending =
        QString("%1 (%2)").arg(report.lastLine.simplified(), record.resultText());
    if (report.outcome == UpgradeOutcome::Stopped && stopSignal != 0) {
        fprintf(stderr, "mv604-cli: upgrade stopped: %s\n", qPrintable(ending));
        return StopSignals::exitCodeFor(stopSignal);
    }
    if (report.outcome != UpgradeOutcome::Ok)
        failOperation(QString("upgrade failed: %1").arg(ending));
    return ExitOk;
}

} // namespace

// Only a run that ends in "OK" succeeds; its log lines go to stdout in order, its progress to
// stderr.
int runUpgradeCommand(const QStringList &arguments, const BoardChoice &board)
{
    QCommandLineParser parser;
    parser.addPositionalArgument("FILE.upg", "The upgrade file to program.");
    const QCommandLineOption skipUnchanged(
        "skip-unchanged", "Read each page first and write only those that differ; pages already "
                          "current count as verified.");
    const QCommandLineOption all("all", "Program every attached KR960 at once, one process each.");
    const QCommandLineOption watch(
        "watch", "Station mode: program each KR960 as it is plugged in, until Ctrl-C.");
    const QCommandLineOption unpluggedAfter(
        "unplugged-after",
        "With --watch: a programmed board that stays off the bus this long counts as unplugged "
        "and is programmed again when it comes back (default 3000).",
        "MS", QString::number(DefaultUnpluggedAfterMs));
    parser.addOptions({skipUnchanged, all, watch, unpluggedAfter});
    const RecordingOptions recording =
        addRecordingOptions(parser, "Append one JSON line per device and run to FILE.");
    parseCommandLine(parser, arguments, "Programs the application firmware from an upgrade file.");
    const QString fileName = requirePositionals(parser, {"FILE.upg"}).at(0);
    const QString unusable = upgradeFileAccessError(fileName);
    if (!unusable.isEmpty())
        failOperation(QString("cannot open %1: %2").arg(fileName, unusable));
    const bool station = parser.isSet(all) || parser.isSet(watch);
    if (station && !board.isEmpty())
        failUsage("--serial and --port pick one board; --all and --watch program many");
    if (parser.isSet(all) && parser.isSet(watch))
        failUsage("--all and --watch exclude each other");
    const int unpluggedAfterMs =
        parseDecimalArgument("--unplugged-after", parser.value(unpluggedAfter), 0, 600000);
    RunRecorder recorder;
    prepareRecorder(parser, recording, recorder);

    if (station) {
        StationSettings settings;
        settings.workerProgram = findWorkerProgram();
        settings.upgradeFile = fileName;
        settings.skipUnchanged = parser.isSet(skipUnchanged);
        settings.unpluggedAfterMs = unpluggedAfterMs;
        settings.trustedKeys = trustedKeysOrFail();
        return runStation(parser.isSet(all) ? Station::Mode::AttachedNow : Station::Mode::Watch,
                          settings, recorder);
    }
    // A file the signature policy refuses never reaches the board: no request is sent.
    QString refusal;
    const UpgradeOptions options{board, arguments.at(0), fileName,
                                 loadCheckedUpgradeFile(fileName, &refusal),
                                 parser.isSet(skipUnchanged)};
    if (!refusal.isEmpty())
        failOperation(refusal);
    return upgradeOneBoard(options, recorder);
}
