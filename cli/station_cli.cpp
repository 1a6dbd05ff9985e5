#include "cli/station_cli.h"

#include "cli/cli_support.h"
#include "cli/progress_display.h"
#include "production/stop_signals.h"

#include "cli/db_option.h"
#include "production/run_recorder.h"

#include <QEventLoop>
#include <csignal>
#include <cstdio>
#include <unistd.h>

namespace
{

QString boardLabel(const BoardIdentity &board)
{
    return QStringList{QString::fromLatin1(board.serial), board.port}.join(' ').trimmed();
}

QString summaryHeader()
{
    return QString("%1 %2 %3 %4 %5")
        .arg("serial", -10)
        .arg("port", -10)
        .arg("result", -14)
        .arg("pages", 7)
        .arg("seconds", 8);
}

// A run whose record could not be written failed, whatever the board did: the row says so, as
// the totals count it.
QString summaryRow(const StationRun &run)
{
    const RunRecord &record = run.record;
    const QString result = run.passed                   ? QString("OK")
                           : !run.recordError.isEmpty() ? QString("not-recorded")
                           : !run.sharedWith.isEmpty()  ? QString("shared-serial")
                                                        : record.resultText();
    return QString("%1 %2 %3 %4 %5")
        .arg(record.serial.isEmpty() ? "-" : record.serial, -10)
        .arg(record.port.isEmpty() ? "-" : record.port, -10)
        .arg(result, -14)
        .arg(record.pagesWritten.value_or(0), 7)
        .arg(record.durationSeconds(), 8, 'f', 1);
}

// What a failed row does not say itself: why.
QString noteFor(const StationRun &run)
{
    QStringList notes;
    if (!run.passed)
        notes << runEndingText(run);
    if (!run.recordNote.isEmpty()) // recorded, with something to say: an earlier run cut short
        notes << run.recordNote;
    if (notes.isEmpty())
        return QString();
    return boardLabel({run.record.serial.toLatin1(), run.record.port}) + ": " + notes.join("; ");
}

} // namespace

int runStation(Station::Mode mode, const StationSettings &settings, RunRecorder &recorder)
{
    ProgressDisplay display(isatty(fileno(stderr)));
    Station station(settings, recorder);
    QEventLoop loop;
    QList<StationRun> ended;
    QStringList duplicates;
    QObject::connect(&station, &Station::runProgress,
                     [&](const BoardIdentity &board, const PageProgress &pages, qint64 elapsed) {
                         display.show(boardLabel(board), pages, elapsed);
                     });
    QObject::connect(&station, &Station::runEnded, [&](const StationRun &run) {
        display.remove(boardLabel({run.record.serial.toLatin1(), run.record.port}));
        ended.append(run);
        if (mode == Station::Mode::Watch)
            display.printLine(summaryRow(run));
    });
    QObject::connect(&station, &Station::duplicateSerial,
                     [&](const QByteArray &serial, const QStringList &ports) {
                         duplicates.append(duplicateSerialText(serial, ports));
                         if (mode == Station::Mode::Watch)
                             display.printLine(duplicates.last());
                     });
    QObject::connect(&station, &Station::upgradeFileChanged, [&](const QString &path) {
        display.printLine(QString("%1 changed on disk: this station keeps programming the copy it "
                                  "checked when it started")
                              .arg(path));
    });
    QObject::connect(&station, &Station::finished, &loop, &QEventLoop::quit);
    // Ctrl-C: no new boards, the runs in progress go on. Again, or SIGTERM: they end at their
    // next page boundary and are recorded as stopped.
    StopSignals stops;
    bool interrupted = false;
    QObject::connect(&stops, &StopSignals::received, [&](int signalNumber) {
        if (signalNumber == SIGINT && !interrupted) {
            interrupted = true;
            station.stopAfterRunsInProgress();
        } else {
            station.stopRuns();
        }
    });

    if (mode == Station::Mode::Watch)
        display.printLine("waiting for KR960s (Ctrl-C to stop)");
    if (settings.workerProgram.isEmpty())
        failOperation("mv604-worker was not found: install it next to mv604-cli or name it in "
                      "MV604_WORKER");
    QString error;
    if (!station.start(mode, &error))
        failOperation(error);
    if (station.running())
        loop.exec();
    display.erase();

    const StationTotals totals = station.totals();
    if (mode == Station::Mode::AttachedNow) {
        if (ended.isEmpty() && duplicates.isEmpty())
            failOperation("no KR960 attached");
        printLine(summaryHeader());
        std::sort(ended.begin(), ended.end(), [](const StationRun &a, const StationRun &b) {
            return boardKeyLess(boardKey({a.record.serial.toLatin1(), a.record.port}),
                                boardKey({b.record.serial.toLatin1(), b.record.port}));
        });
        for (const StationRun &run : ended)
            printLine(summaryRow(run));
    } else {
        printLine(QString("station stopped: %1 passed, %2 failed, first-pass yield %3%")
                      .arg(totals.passed)
                      .arg(totals.failed)
                      .arg(totals.firstPassYield() * 100, 0, 'f', 0));
    }
    finishRecording(recorder);
    for (const StationRun &run : ended)
        if (!noteFor(run).isEmpty())
            fprintf(stderr, "mv604-cli: %s\n", qPrintable(noteFor(run)));
    if (mode == Station::Mode::AttachedNow)
        for (const QString &line : duplicates)
            fprintf(stderr, "mv604-cli: %s\n", qPrintable(line));
    return totals.allPassed() ? ExitOk : ExitFailed;
}
