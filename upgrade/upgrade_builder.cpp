#include "upgrade/upgrade_builder.h"

#include "device/kr960_memory_map.h"
#include "files/file_io.h"
#include "image/hex_to_bin.h"
#include "image/word_scrambler.h"
#include "upgrade/upgrade_file.h"

#include <QBuffer>
#include <QCoreApplication>

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
    warnings.clear();
    const HexLoad application = loadHexFile(hexFileName, plain + UpgradeFile::ApplicationOffset,
                                            Kr960::ApplicationStart, Kr960::ApplicationEnd);
    if (application.result != HexOk)
        return BuildResult::checkedHexLoad(application);
    // An empty file or a bootloader's HEX would give an image of zeros that programs and
    // verifies; zero bytes the file does give are firmware like any other.
    if (application.storedBytes == 0)
        return BuildResult::noApplicationData();
    // A record damaged in transit, or a file cut off at a line end, would otherwise become an
    // upgrade file that programs, verifies and passes.
    const BuildResult checked = BuildResult::checkedHexLoad(application);
    if (!checked.ok())
        return checked;
    if (applicationBrand(plain) != 0)
        return BuildResult::invalidBrand();
    const HexLoad upper = loadHexFile(hexFileName, plain + UpgradeFile::UpperOffset,
                                      Kr960::UpperStart, Kr960::UpperEnd);
    if (upper.result != HexOk)
        return BuildResult::failedHex(upper.result, upper.openError);
    warnChecksumOverwrites(hexFileName);
    stampChecksums(plain);
    return BuildResult();
}

// The last word of each area is its checksum: firmware that puts data there loses it.
void UpgradeBuilder::warnChecksumOverwrites(const QString &hexFileName)
{
    const auto givesData = [&](quint32 first) {
        unsigned char word[4];
        return loadHexFile(hexFileName, word, first, first + 3).storedBytes > 0;
    };
    const auto address = [](quint32 value) {
        return "0x" + QString::number(value, 16).toUpper().rightJustified(8, '0');
    };
    const auto warning = [&](quint32 first, const QString &checksum) {
        return QCoreApplication::translate("KR960_Bootloader",
                                           "Warning: the HEX data at %1..%2 is replaced by the %3")
            .arg(address(first), address(first + 3), checksum);
    };
    if (givesData(Kr960::ApplicationEnd - 3))
        warnings << warning(
            Kr960::ApplicationEnd - 3,
            QCoreApplication::translate("KR960_Bootloader", "application checksum"));
    if (givesData(Kr960::UpperEnd - 3))
        warnings << warning(Kr960::UpperEnd - 3,
                            QCoreApplication::translate("KR960_Bootloader", "upper checksum"));
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
