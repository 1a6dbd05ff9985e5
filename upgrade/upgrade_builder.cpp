#include "upgrade/upgrade_builder.h"

#include "device/kr960_memory_map.h"
#include "image/file_io.h"
#include "image/hex_to_bin.h"
#include "image/word_scrambler.h"
#include "upgrade/upgrade_file.h"

#include <QBuffer>

namespace
{

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
        return BuildResult::failedHex(r);
    if (applicationBrand(plain) != 0)
        return BuildResult::invalidBrand();
    r = HexToBin(hexFileName, plain + UpgradeFile::UpperOffset, Kr960::UpperStart, Kr960::UpperEnd);
    if (r != HexOk)
        return BuildResult::failedHex(r);
    stampChecksums(plain);
    return BuildResult();
}

UpgradeBuildResult UpgradeBuilder::save(const QString &fileName) const
{
    QByteArray scrambled = image;
    EncodeWords(scrambled.data(), int(scrambled.size()));
    QBuffer file;
    file.open(QIODevice::WriteOnly);
    if (!writeUpgradeFile(file, scrambled) || !writeFileAtomically(fileName, file.data()))
        return BuildResult::cannotWrite(fileName);
    return BuildResult();
}

UpgradeBuildResult buildUpgradeFile(const QString &hexFileName, const QString &upgradeFileName)
{
    UpgradeBuilder builder;
    const UpgradeBuildResult loaded = builder.load(hexFileName);
    if (!loaded.ok())
        return loaded;
    return builder.save(upgradeFileName);
}
