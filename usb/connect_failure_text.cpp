#include "usb/connect_failure_text.h"

QString describeConnectFailure(UsbDevice::ConnectFailure failure)
{
    using F = UsbDevice::ConnectFailure;
    switch (failure) {
    case F::None:
        return QStringLiteral("connected");
    case F::NoDevice:
        return QStringLiteral("no KR960 found (USB vendor 0x16c0, product 0x0790)");
    case F::NotChosen:
        return QStringLiteral("no attached KR960 is the board asked for");
    case F::OpenFailed:
        return QStringLiteral("the KR960 was found but could not be opened");
    case F::NoPermission:
        return permissionHint(failure);
    case F::ConfigurationRefused:
        return QStringLiteral("the KR960 refused configuration 1");
    case F::ClaimRefused:
        return QStringLiteral("interface 0 of the KR960 is in use by another program");
    case F::IdentityMismatch:
        return QStringLiteral("the device with the KR960's ids did not prove its identity");
    case F::BrandMismatch:
        return QStringLiteral("the KR960 belongs to another brand");
    }
    return QStringLiteral("the KR960 could not be connected");
}

QString permissionHint(UsbDevice::ConnectFailure failure)
{
    if (failure != UsbDevice::ConnectFailure::NoPermission)
        return QString();
    return QStringLiteral("No permission to open the KR960: install the udev rule "
                          "60-kr960.rules (see README) and plug the device in again.");
}
