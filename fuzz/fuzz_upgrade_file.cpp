// The reader must never read past a short or lying image item, and must only accept a file
// whose image is complete: then the header, the version and the image item's length sit at
// their fixed offsets, and the image is the ImageSize bytes right behind them.

#include "upgrade/upgrade_file.h"

#include <QBuffer>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    QByteArray bytes(reinterpret_cast<const char *>(data), int(size));
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    QByteArray image;
    const UpgradeFileStatus status = readUpgradeFile(buffer, &image);
    if (status != UpgradeFileStatus::Ok)
        return 0;
    if (qint64(size) < UpgradeFile::FileSize || image.size() != UpgradeFile::ImageSize)
        abort();
    if (image != bytes.mid(int(UpgradeFile::ImageFileOffset), UpgradeFile::ImageSize))
        abort();
    if (plainApplicationArea(image).size() != UpgradeFile::ApplicationSize)
        abort();
    return 0;
}
