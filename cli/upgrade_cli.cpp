#include "cli/cli_support.h"
#include "cli/commands.h"
#include "cli/progress_printer.h"

#include "device/usbkr960.h"
#include "upgrade/upgrader.h"

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

} // namespace

// The same worker run as the window's Change Firmware: its log lines go to stdout in order, its
// progress to stderr, and only a run that ends in "OK" succeeds.
int runUpgradeCommand(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.addPositionalArgument("FILE.upg", "The upgrade file to program.");
    const QCommandLineOption skipUnchanged = skipUnchangedOption();
    parser.addOption(skipUnchanged);
    parseCommandLine(parser, arguments, "Programs the application firmware from an upgrade file.");
    const QString fileName = requirePositionals(parser, {"FILE.upg"}).at(0);
    if (!QFileInfo(fileName).isFile())
        failOperation(QString("cannot open %1").arg(fileName));

    USBKR960 usb;
    Upgrader upgrader(&usb);
    ProgressPrinter progress(isatty(fileno(stderr)));
    QString lastLine; // names the cause in the failure message; the outcome decides
    QEventLoop loop;
    // Receivers in this thread: the worker's signals arrive queued, in the order it sent them.
    QObject::connect(&upgrader, &Upgrader::sendText, &loop, [&](const QString &line) {
        progress.finish();
        printLine(line);
        lastLine = line;
    });
    QObject::connect(&upgrader, &Upgrader::sendPercent, &loop,
                     [&](int percent) { progress.show(percent); });
    QObject::connect(&upgrader, &QThread::finished, &loop, &QEventLoop::quit);

    upgrader.setSkipUnchangedPages(parser.isSet(skipUnchanged));
    upgrader.slotSetFileName(fileName);
    upgrader.start();
    loop.exec();
    progress.finish();

    if (upgrader.outcome() != UpgradeOutcome::Ok)
        failOperation(QString("upgrade failed: %1 (%2)")
                          .arg(lastLine.simplified(), upgradeOutcomeName(upgrader.outcome())));
    return ExitOk;
}
