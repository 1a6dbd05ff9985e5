#include "upgrade/upgrade_file.h"

#include "image/file_io.h"
#include "image/word_scrambler.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QCryptographicHash>
#include <QFileInfo>
#include <QIODevice>
#include <QtEndian>

#include <climits>

using namespace UpgradeFile;

namespace
{

QDataStream &pinned(QDataStream &stream)
{
    stream.setVersion(StreamVersion);
    stream.setByteOrder(QDataStream::BigEndian);
    return stream;
}

bool readText(QDataStream &stream, const QString &expected)
{
    QString text;
    stream >> text;
    return stream.status() == QDataStream::Ok && !text.isNull() && text == expected;
}

// The image item is read by hand rather than with operator>>(QByteArray): a length field larger
// than the file must not make us allocate for it, and only ImageSize bytes are wanted.
bool readImageItem(QDataStream &stream, QByteArray *scrambledImage)
{
    quint32 length = 0;
    stream >> length;
    // 0xFFFFFFFF is the null array, which is shorter than any image.
    if (stream.status() != QDataStream::Ok || length == 0xFFFFFFFFu || length < quint32(ImageSize))
        return false;
    QByteArray image(ImageSize, Qt::Uninitialized);
    if (stream.readRawData(image.data(), ImageSize) != ImageSize)
        return false;
    // A longer item must still be whole: one cut off by the end of the file was not written
    // completely, so its first bytes cannot be trusted either.
    const qint64 rest = qint64(length) - ImageSize;
    if (rest > 0 && stream.skipRawData(int(qMin<qint64>(rest, INT_MAX))) != rest)
        return false;
    *scrambledImage = image;
    return true;
}

// Sum of an area's words before its checksum, which is its last word.
quint32 areaSum(const unsigned char *plainImage, int areaOffset, int checksumOffset)
{
    return sumOfWords(plainImage + areaOffset, (checksumOffset - areaOffset) / 4);
}

bool checksumsHold(const QByteArray &scrambledImage)
{
    QByteArray plain = scrambledImage;
    DecodeWords(plain.data(), int(plain.size()));
    const auto *bytes = reinterpret_cast<const unsigned char *>(plain.constData());
    return areaSum(bytes, ApplicationOffset, ApplicationChecksumOffset) ==
               stampedChecksum(plain, ApplicationChecksumOffset) &&
           areaSum(bytes, UpperOffset, UpperChecksumOffset) ==
               stampedChecksum(plain, UpperChecksumOffset);
}

} // namespace

QString upgradeFileStatusText(UpgradeFileStatus status)
{
    switch (status) {
    case UpgradeFileStatus::WrongHeader:
        return QCoreApplication::translate("Upgrader", "Wrong file header");
    case UpgradeFileStatus::WrongVersion:
        return QCoreApplication::translate("Upgrader", "Wrong file version");
    case UpgradeFileStatus::WrongSize:
        return QCoreApplication::translate("Upgrader", "Wrong file size");
    case UpgradeFileStatus::WrongChecksum:
        return QCoreApplication::translate("Upgrader", "Wrong file checksum");
    case UpgradeFileStatus::Ok:
        break;
    }
    return QString();
}

quint32 sumOfWords(const unsigned char *words, int wordCount)
{
    quint32 sum = 0;
    for (int i = 0; i < wordCount; ++i)
        sum += qFromLittleEndian<quint32>(words + 4 * i);
    return sum;
}

void stampChecksums(unsigned char *plainImage)
{
    qToLittleEndian(areaSum(plainImage, ApplicationOffset, ApplicationChecksumOffset),
                    plainImage + ApplicationChecksumOffset);
    qToLittleEndian(areaSum(plainImage, UpperOffset, UpperChecksumOffset),
                    plainImage + UpperChecksumOffset);
}

quint32 stampedChecksum(const QByteArray &plainImage, int offset)
{
    // Byte by byte through at(): no pointer arithmetic past a shorter array.
    quint32 word = 0;
    for (int i = 3; i >= 0; --i)
        word = word << 8 | quint8(plainImage.at(offset + i));
    return word;
}

quint16 applicationBrand(const unsigned char *plainImage)
{
    return qFromLittleEndian<quint16>(plainImage + BrandOffset);
}

bool writeUpgradeFile(QIODevice &device, const QByteArray &scrambledImage)
{
    QDataStream stream(&device);
    pinned(stream) << HeaderText << VersionText << scrambledImage;
    return stream.status() == QDataStream::Ok;
}

UpgradeFileStatus readUpgradeFile(QIODevice &device, QByteArray *scrambledImage)
{
    QDataStream stream(&device);
    pinned(stream);
    if (!device.isReadable() || !readText(stream, HeaderText))
        return UpgradeFileStatus::WrongHeader;
    if (!readText(stream, VersionText))
        return UpgradeFileStatus::WrongVersion;
    QByteArray image;
    if (!readImageItem(stream, &image))
        return UpgradeFileStatus::WrongSize;
    if (!checksumsHold(image))
        return UpgradeFileStatus::WrongChecksum;
    *scrambledImage = image;
    return UpgradeFileStatus::Ok;
}

QByteArray plainApplicationArea(const QByteArray &scrambledImage)
{
    QByteArray work = scrambledImage.left(ImageSize);
    DecodeWords(work.data(), int(work.size()));
    return work.mid(ApplicationOffset, ApplicationSize);
}

LoadedUpgradeFile loadUpgradeFile(const QString &fileName)
{
    LoadedUpgradeFile loaded;
    loaded.facts.fileName = QFileInfo(fileName).fileName();
    QByteArray bytes;
    if (!readWholeFile(fileName, &bytes, &loaded.openError))
        return loaded;
    loaded.facts.sha256 = QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex();
    loaded.bytes = bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    QByteArray image;
    loaded.status = readUpgradeFile(buffer, &image);
    if (image.size() != ImageSize)
        return loaded;
    DecodeWords(image.data(), ImageSize);
    loaded.facts.applicationChecksum = stampedChecksum(image, ApplicationChecksumOffset);
    loaded.facts.upperChecksum = stampedChecksum(image, UpperChecksumOffset);
    if (loaded.status == UpgradeFileStatus::Ok)
        loaded.applicationArea = image.mid(ApplicationOffset, ApplicationSize);
    return loaded;
}
