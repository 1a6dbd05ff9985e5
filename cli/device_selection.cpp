#include "cli/device_selection.h"

#include "cli/cli_support.h"

#include "device/chosen_board.h"
#include "device/kr960_memory_map.h"
#include "device/usbkr960.h"
#include "usb/connect_failure_text.h"
#include "usb/device_list.h"

#include <QRegularExpression>

namespace
{

const char *const SerialVariable = "MV604_SERIAL";
QByteArray chosenSerial;

QByteArray checkedSerial(const QString &text)
{
    static const QRegularExpression nineDigits("^[0-9]{9}$");
    if (!nineDigits.match(text).hasMatch())
        failUsage(QString("--serial '%1' is not a nine-digit serial number").arg(text));
    return text.toLatin1();
}

} // namespace

void takeDeviceSelection(QStringList &arguments)
{
    if (qEnvironmentVariableIsSet(SerialVariable))
        chosenSerial = checkedSerial(qEnvironmentVariable(SerialVariable));
    while (arguments.size() > 1 && arguments.at(1).startsWith("--serial")) {
        const QString option = arguments.takeAt(1);
        if (option.startsWith("--serial=")) {
            chosenSerial = checkedSerial(option.mid(9));
        } else if (option == "--serial") {
            if (arguments.size() < 2)
                failUsage("--serial needs a serial number");
            chosenSerial = checkedSerial(arguments.takeAt(1));
        } else {
            failUsage(QString("unknown option '%1' (see --help)").arg(option));
        }
    }
}

QByteArray selectedSerial()
{
    return chosenSerial;
}

void failNoSuchSerial(const QByteArray &serial)
{
    failOperation(QString("no KR960 with serial %1").arg(QString::fromLatin1(serial)));
}

void selectDevice(USBKR960 &usb)
{
    if (!chosenSerial.isEmpty())
        usb.setBoardFilter(filterForBoard({chosenSerial, QString()}));
}

void connectSelectedOrFail(USBKR960 &usb)
{
    selectDevice(usb);
    if (usb.connect() == 0)
        return;
    const UsbDevice::ConnectFailure failure = usb.lastConnectFailure();
    const bool notAttached = failure == UsbDevice::ConnectFailure::NoDevice ||
                             failure == UsbDevice::ConnectFailure::NotChosen;
    if (!chosenSerial.isEmpty() && notAttached)
        failNoSuchSerial(chosenSerial);
    failOperation(describeConnectFailure(failure));
}

void requireSelectedAttached()
{
    if (chosenSerial.isEmpty())
        return;
    for (const AttachedDevice &device : listAttachedDevices(Kr960::VendorId, Kr960::ProductId))
        if (!device.opened || serialWithoutBootloaderMark(device.serial) == chosenSerial)
            return; // one we may not read could be it: the worker's connect tells
    failNoSuchSerial(chosenSerial);
}

QByteArray serialWithoutBootloaderMark(const QByteArray &reported)
{
    return BoardSerial::production(BoardSerial::reported(reported));
}
