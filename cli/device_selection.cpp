#include "cli/device_selection.h"

#include "cli/cli_support.h"

#include "device/usbkr960.h"
#include "usb/connect_failure_text.h"

#include <QRegularExpression>

namespace
{

BoardChoice chosen;

QByteArray checkedSerial(const QString &text, const QString &source)
{
    QString serial = text;
    if (serial.size() == BoardSerial::Length + 1 && serial.endsWith(BoardSerial::BootloaderMark))
        serial.chop(1);
    if (!BoardSerial::isProductionSerial(serial))
        failUsage(QString("%1 '%2' is not a nine-digit serial number").arg(source, text));
    return serial.toLatin1();
}

QString checkedPort(const QString &text, const QString &source)
{
    static const QRegularExpression portPath("^[0-9]+-[0-9]+(\\.[0-9]+)*$");
    if (!portPath.match(text).hasMatch())
        failUsage(QString("%1 '%2' is not a USB port path such as 1-1.4").arg(source, text));
    return text;
}

// An empty variable is a mistake, not "no choice": a script that meant a board must not get
// whichever comes first.
QString environmentValue(const char *name)
{
    if (!qEnvironmentVariableIsSet(name))
        return QString();
    const QString value = qEnvironmentVariable(name);
    if (value.isEmpty())
        failUsage(QString("%1 is set but empty: unset it or give a value").arg(name));
    return value;
}

// "--serial N" or "--serial=N": the value, taking it from the arguments.
bool takeOption(QStringList &arguments, const QString &name, QString *value)
{
    const QString option = arguments.at(1);
    if (option.startsWith(name + '=')) {
        *value = option.mid(name.size() + 1);
        arguments.removeAt(1);
        return true;
    }
    if (option != name)
        return false;
    if (arguments.size() < 3)
        failUsage(QString("%1 needs a value").arg(name));
    *value = arguments.at(2);
    arguments.remove(1, 2);
    return true;
}

QString noSuchBoardText(const BoardChoice &choice)
{
    const QString serial = QString::fromLatin1(choice.serial);
    if (choice.port.isEmpty())
        return QString("no KR960 with serial %1").arg(serial);
    if (choice.serial.isEmpty())
        return QString("no KR960 on port %1").arg(choice.port);
    return QString("no KR960 with serial %1 on port %2").arg(serial, choice.port);
}

BoardIdentity boardOrFail(const ChosenBoard &board)
{
    if (!board.found() || board.connectFailure != UsbDevice::ConnectFailure::None)
        failOperation(chosenBoardFailureText(board, chosen));
    return board.board;
}

} // namespace

void takeBoardChoice(QStringList &arguments)
{
    QString serial = environmentValue("MV604_SERIAL");
    QString port = environmentValue("MV604_PORT");
    QString serialSource = "MV604_SERIAL";
    QString portSource = "MV604_PORT";
    QString value;
    while (arguments.size() > 1) {
        if (takeOption(arguments, "--serial", &value)) {
            serial = value;
            serialSource = "--serial";
        } else if (takeOption(arguments, "--port", &value)) {
            port = value;
            portSource = "--port";
        } else {
            break;
        }
    }
    if (!serial.isEmpty())
        chosen.serial = checkedSerial(serial, serialSource);
    if (!port.isEmpty())
        chosen.port = checkedPort(port, portSource);
}

BoardChoice boardChoice()
{
    return chosen;
}

QString chosenBoardFailureText(const ChosenBoard &board, const BoardChoice &choice)
{
    switch (board.search) {
    case BoardSearch::NoneAttached:
        if (choice.isEmpty())
            return describeConnectFailure(UsbDevice::ConnectFailure::NoDevice);
        return noSuchBoardText(choice);
    case BoardSearch::NotAttached:
        return noSuchBoardText(choice);
    case BoardSearch::Duplicate:
        if (board.duplicatePorts.contains(QString()))
            return QString("serial %1 is reported by %2 boards whose ports cannot be told apart: "
                           "leave one of them attached")
                .arg(QString::fromLatin1(board.board.serial))
                .arg(board.duplicatePorts.size());
        return QString("serial %1 is reported by %2 boards, on ports %3: choose one with --port")
            .arg(QString::fromLatin1(board.board.serial))
            .arg(board.duplicatePorts.size())
            .arg(board.duplicatePorts.join(", "));
    case BoardSearch::Found:
        break;
    }
    return describeConnectFailure(board.connectFailure);
}

BoardIdentity openChosenBoardOrFail(USBKR960 &usb)
{
    return boardOrFail(openChosenBoard(usb, chosen));
}

BoardIdentity pinChosenBoardOrFail(USBKR960 &usb)
{
    return boardOrFail(pinChosenBoard(usb, chosen));
}
