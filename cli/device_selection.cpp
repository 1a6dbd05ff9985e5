#include "cli/device_selection.h"

#include "cli/cli_support.h"

#include "device/usbkr960.h"
#include "usb/connect_failure_text.h"

#include <QRegularExpression>

namespace
{

QByteArray checkedSerial(const QString &text, const QString &source)
{
    QString serial = text;
    if (serial.size() == BoardSerial::Length + 1 && serial.endsWith(BoardSerial::BootloaderMark))
        serial.chop(1);
    if (!BoardSerial::isProductionSerial(serial))
        failUsage(QString("%1 '%2' is not a nine-digit serial number").arg(source, text));
    return serial.toLatin1();
}

// Linux writes bus and port numbers from 1 without leading zeros: "1-01" names no port.
QString checkedPort(const QString &text, const QString &source)
{
    static const QRegularExpression portPath("^[1-9][0-9]*-[1-9][0-9]*(\\.[1-9][0-9]*)*$");
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

// "--serial N" or "--serial=N": the value, taking it from the arguments. An empty value (an
// unset shell variable, "--serial=") is refused as the empty environment variable is.
bool takeOption(QStringList &arguments, const QString &name, QString *value)
{
    const QString option = arguments.at(1);
    if (option.startsWith(name + '=')) {
        *value = option.mid(name.size() + 1);
        arguments.removeAt(1);
    } else if (option == name) {
        if (arguments.size() < 3)
            failUsage(QString("%1 needs a value").arg(name));
        *value = arguments.at(2);
        arguments.remove(1, 2);
    } else {
        return false;
    }
    if (value->isEmpty())
        failUsage(QString("%1 is given an empty value: give a board's %2 or leave it out")
                      .arg(name, name == "--serial" ? "serial" : "port"));
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

} // namespace

BoardChoice takeBoardChoice(QStringList &arguments)
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
    BoardChoice choice;
    if (!serial.isEmpty())
        choice.serial = checkedSerial(serial, serialSource);
    if (!port.isEmpty())
        choice.port = checkedPort(port, portSource);
    return choice;
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

QString lockBoard(const BoardIdentity &board, const QString &command, BoardLock *lock)
{
    if (board.port.isEmpty())
        return QString();
    QString refusal;
    *lock = BoardLock::take(board.port, command, &refusal);
    return lock->held() ? QString() : refusal;
}

HeldBoard openChosenBoardOrFail(USBKR960 &usb, const BoardChoice &choice, const QString &command)
{
    ChosenBoard chosen = pinChosenBoard(usb, choice);
    if (!chosen.found())
        failOperation(chosenBoardFailureText(chosen, choice));
    HeldBoard held;
    const QString refusal = lockBoard(chosen.board, command, &held.lock);
    if (!refusal.isEmpty())
        failOperation(refusal);
    connectChosenBoard(usb, chosen);
    if (!chosen.connected())
        failOperation(chosenBoardFailureText(chosen, choice));
    held.identity = chosen.board;
    return held;
}
