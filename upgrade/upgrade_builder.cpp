#include "upgrade/upgrade_builder.h"

#include "device/kr960_memory_map.h"
#include "image/hex_to_bin.h"
#include "image/word_scrambler.h"
#include "upgrade/upgrade_file.h"

#include <QSaveFile>

namespace
{

UpgradeBuildResult hexError(int code)
{
    UpgradeBuildResult result;
    result.status = UpgradeBuildResult::HexError;
    result.hexError = code;
    return result;
}

UpgradeBuildResult withStatus(UpgradeBuildResult::Status status)
{
    UpgradeBuildResult result;
    result.status = status;
    return result;
}

unsigned char *bytes(QByteArray &array)
{
    return reinterpret_cast<unsigned char *>(array.data());
}

} // namespace

UpgradeBuilder::UpgradeBuilder() : image(UpgradeFile::ImageSize, '\0') {}

UpgradeBuildResult UpgradeBuilder::load(const QString &hexFileName)
{
    image.fill('\0', UpgradeFile::ImageSize);
    unsigned char *plain = bytes(image);
    // The bootloader and tail areas are never taken from the HEX file: the device keeps its own.
    int r = HexToBin(hexFileName, plain + UpgradeFile::ApplicationOffset, Kr960::ApplicationStart,
                     Kr960::ApplicationEnd);
    if (r != HexOk)
        return hexError(r);
    if (applicationBrand(plain) != 0)
        return withStatus(UpgradeBuildResult::InvalidBrand);
    r = HexToBin(hexFileName, plain + UpgradeFile::UpperOffset, Kr960::UpperStart, Kr960::UpperEnd);
    if (r != HexOk)
        return hexError(r);
    stampChecksums(plain);
    return withStatus(UpgradeBuildResult::Ok);
}

UpgradeBuildResult UpgradeBuilder::save(const QString &fileName) const
{
    QByteArray scrambled = image;
    EncodeWords(scrambled.data(), int(scrambled.size()));
    // QSaveFile writes beside the target and renames on commit, so a failed write leaves no
    // half-written upgrade file that the worker could later program.
    QSaveFile file(fileName);
    if (!file.open(QIODevice::WriteOnly) || !writeUpgradeFile(file, scrambled) || !file.commit())
        return withStatus(UpgradeBuildResult::CannotWrite);
    return withStatus(UpgradeBuildResult::Ok);
}

UpgradeBuildResult buildUpgradeFile(const QString &hexFileName, const QString &upgradeFileName)
{
    UpgradeBuilder builder;
    const UpgradeBuildResult loaded = builder.load(hexFileName);
    if (!loaded.ok())
        return loaded;
    return builder.save(upgradeFileName);
}
