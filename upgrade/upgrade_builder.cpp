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
    const HexLoad application = loadHexFile(hexFileName, plain + UpgradeFile::ApplicationOffset,
                                            Kr960::ApplicationStart, Kr960::ApplicationEnd);
    if (application.result != HexOk)
        return BuildResult::failedHex(application.result, application.openError);
    // An empty file or a bootloader's HEX would give an image of zeros that programs and
    // verifies; zero bytes the file does give are firmware like any other.
    if (application.storedBytes == 0)
        return BuildResult::noApplicationData();
    if (applicationBrand(plain) != 0)
        return BuildResult::invalidBrand();
    const HexLoad upper = loadHexFile(hexFileName, plain + UpgradeFile::UpperOffset,
                                      Kr960::UpperStart, Kr960::UpperEnd);
    if (upper.result != HexOk)
        return BuildResult::failedHex(upper.result, upper.openError);
    stampChecksums(plain);
    return BuildResult();
}

UpgradeBuildResult UpgradeBuilder::save(const QString &fileName) const
{
    QByteArray scrambled = image;
    EncodeWords(scrambled.data(), int(scrambled.size()));
    QBuffer file;
    file.open(QIODevice::WriteOnly);
    QString error;
    if (!writeUpgradeFile(file, scrambled) || !writeFileAtomically(fileName, file.data(), &error))
        return BuildResult::cannotWrite(fileName, error);
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
