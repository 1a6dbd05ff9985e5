#include "usb/usb_port.h"

#include <QDir>
#include <QFile>

#include <cstdlib>

namespace
{

const char *const DevicesFolder = "/sys/bus/usb/devices";

int numberIn(const QString &attributeFile)
{
    QFile file(attributeFile);
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    bool ok = false;
    const int number = file.readLine(16).trimmed().toInt(&ok, 10);
    return ok ? number : -1;
}

// Ports look like "1-1.4"; "usb1" is a root hub and "1-1.4:1.0" an interface of a device.
bool isPortName(const QString &name)
{
    return name.contains(QLatin1Char('-')) && !name.contains(QLatin1Char(':'));
}

} // namespace

UsbPortMap::UsbPortMap(const QString &onlyPort)
{
    const QDir devices(QString::fromLatin1(DevicesFolder));
    const QStringList names =
        onlyPort.isEmpty() ? devices.entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::System)
                           : QStringList{onlyPort};
    for (const QString &name : names) {
        if (!isPortName(name) || name.contains(QLatin1Char('/')))
            continue;
        const QString folder = devices.filePath(name);
        const int bus = numberIn(folder + "/busnum");
        const int device = numberIn(folder + "/devnum");
        if (bus > 0 && device > 0)
            ports.insert({bus, device}, name);
    }
}

QString UsbPortMap::portOf(int busNumber, int deviceNumber) const
{
    return ports.value({busNumber, deviceNumber});
}

QString UsbPortMap::portOf(const char *busDirName, const char *deviceFileName) const
{
    return portOf(std::atoi(busDirName), std::atoi(deviceFileName));
}
