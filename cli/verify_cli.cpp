// mv604-cli verify: is the board's application what the file holds? Reads only; the device is
// compared in whichever mode it runs, since both the bootloader and the application answer
// memory reads, and it is never restarted.

#include "cli/cli_support.h"
#include "cli/commands.h"

#include "device/kr960_memory_map.h"
#include "device/usbkr960.h"
#include "upgrade/page_programmer.h"
#include "upgrade/upgrade_file.h"
#include "usb/connect_failure_text.h"

#include <QFile>
#include <QFileInfo>

namespace
{

QByteArray applicationAreaOf(const QString &fileName)
{
    QFile file(fileName);
    if (!QFileInfo(fileName).isFile() || !file.open(QIODevice::ReadOnly))
        failOperation(QString("cannot open %1").arg(fileName));
    QByteArray scrambledImage;
    const UpgradeFileStatus status = readUpgradeFile(file, &scrambledImage);
    if (status != UpgradeFileStatus::Ok)
        failOperation(QString("%1: %2").arg(fileName, upgradeFileStatusText(status)));
    return plainApplicationArea(scrambledImage);
}

QString hexAddress(quint32 address)
{
    return QString("0x%1").arg(address, 8, 16, QChar('0'));
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

int runVerifyCommand(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.addPositionalArgument("FILE.upg", "The upgrade file to compare with.");
    parseCommandLine(parser, arguments,
                     "Compares the device's application area with an upgrade file and prints the "
                     "differing pages. Writes nothing; the device may run its bootloader or its "
                     "application.");
    const QString fileName = requirePositionals(parser, {"FILE.upg"}).at(0);
    const QByteArray area = applicationAreaOf(fileName);

    USBKR960 usb;
    if (usb.connect() != 0)
        failOperation(describeConnectFailure(usb.lastConnectFailure()));
    const AreaComparison comparison = compareApplicationArea(usb, area);
    if (comparison.readFailed)
        failOperation(QString("reading the page at %1 failed")
                          .arg(hexAddress(Kr960::ApplicationStart +
                                          quint32(comparison.failedPage) * Kr960::PageSize)));
    for (const QString &range : addressRanges(comparison.differingPages))
        printLine(range);
    if (!comparison.differingPages.isEmpty())
        failOperation(QString("%1 of %2 pages differ")
                          .arg(comparison.differingPages.size())
                          .arg(Kr960::ApplicationPages));
    printLine(QString("all %1 pages match").arg(Kr960::ApplicationPages));
    return ExitOk;
}
