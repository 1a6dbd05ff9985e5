#include "device/board_identity.h"

#include <QRegularExpression>

namespace BoardSerial
{

QByteArray reported(const QByteArray &descriptorText)
{
    const int zero = descriptorText.indexOf('\0');
    return zero < 0 ? descriptorText : descriptorText.left(zero);
}

DeviceMode mode(const QByteArray &reported)
{
    if (reported.size() == Length)
        return DeviceMode::Application;
    if (reported.size() == Length + 1 && reported.at(Length) == BootloaderMark)
        return DeviceMode::Bootloader;
    return DeviceMode::Unknown;
}

bool isBackInBootloader(const QByteArray &reported)
{
    return reported.size() > Length && reported.at(Length) == BootloaderMark;
}

QByteArray production(const QByteArray &reported)
{
    return isBackInBootloader(reported) ? reported.left(Length) : reported;
}

bool belongsTo(const QByteArray &reported, const QByteArray &serial)
{
    return !serial.isEmpty() && production(reported) == serial;
}

bool isProductionSerial(const QString &text)
{
    static const QRegularExpression nineDigits(QStringLiteral("^[0-9]{9}$"));
    return nineDigits.match(text).hasMatch();
}

} // namespace BoardSerial

DeviceMode modeFromSerial(const QByteArray &reported)
{
    return BoardSerial::mode(reported);
}

QString modeName(DeviceMode mode)
{
    switch (mode) {
    case DeviceMode::Bootloader:
        return QStringLiteral("bootloader");
    case DeviceMode::Application:
        return QStringLiteral("application");
    case DeviceMode::Unknown:
        break;
    }
    return QStringLiteral("unknown");
}

bool BoardChoice::accepts(const QByteArray &reported, const QString &boardPort) const
{
    const bool serialFits = serial.isEmpty() || BoardSerial::belongsTo(reported, serial);
    const bool portFits = port.isEmpty() || port == boardPort;
    return serialFits && portFits;
}
