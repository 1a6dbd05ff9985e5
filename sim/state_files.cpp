#include "sim/state_files.h"

#include <QDir>
#include <QFile>

#include <vector>

namespace kr960sim
{

namespace
{

QString stateFile(const QString &directory, const QString &stem, int deviceIndex)
{
    const QString suffix = deviceIndex > 1 ? QString("-%1").arg(deviceIndex) : QString();
    return QDir(directory).filePath(stem + suffix + ".bin");
}

bool readBytes(const QString &path, std::vector<uint8_t> &bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray content = file.readAll();
    bytes.assign(content.begin(), content.end());
    return true;
}

bool writeBytes(const QString &path, const std::vector<uint8_t> &bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    const qint64 size = qint64(bytes.size());
    return file.write(reinterpret_cast<const char *>(bytes.data()), size) == size;
}

} // namespace

QString internalFlashFile(const QString &directory, int deviceIndex)
{
    return stateFile(directory, "internal-flash", deviceIndex);
}

QString externalFlashFile(const QString &directory, int deviceIndex)
{
    return stateFile(directory, "external-flash", deviceIndex);
}

void loadDeviceState(SimulatedKr960 &device, const QString &directory, int deviceIndex)
{
    std::vector<uint8_t> bytes;
    if (readBytes(internalFlashFile(directory, deviceIndex), bytes))
        device.setFlash(FlashStart, bytes);
    if (readBytes(externalFlashFile(directory, deviceIndex), bytes))
        device.setExternalFlash(0, bytes);
}

bool saveDeviceState(const SimulatedKr960 &device, const QString &directory, int deviceIndex)
{
    QDir().mkpath(directory);
    const uint32_t externalSize = device.config().externalFlashSize;
    return writeBytes(internalFlashFile(directory, deviceIndex),
                      device.flash(FlashStart, FlashEnd - FlashStart)) &&
           writeBytes(externalFlashFile(directory, deviceIndex),
                      device.externalFlash(0, externalSize));
}

} // namespace kr960sim
