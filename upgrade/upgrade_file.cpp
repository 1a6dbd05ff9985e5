#include "upgrade/upgrade_file.h"

#include "image/word_scrambler.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QIODevice>
#include <QtEndian>

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

QString kindOfFile(mode_t mode)
{
    if (S_ISDIR(mode))
        return QString::fromLocal8Bit(std::strerror(EISDIR));
    if (S_ISFIFO(mode))
        return QStringLiteral("not a regular file but a pipe");
    if (S_ISCHR(mode) || S_ISBLK(mode))
        return QStringLiteral("not a regular file but a device");
    if (S_ISSOCK(mode))
        return QStringLiteral("not a regular file but a socket");
    return QStringLiteral("not a regular file");
}

// What is wrong with the open file for reading it as an upgrade file; empty when nothing.
QString refusalOf(int descriptor)
{
    struct stat facts;
    if (fstat(descriptor, &facts) != 0)
        return QString::fromLocal8Bit(std::strerror(errno));
    if (!S_ISREG(facts.st_mode))
        return kindOfFile(facts.st_mode);
    if (facts.st_size > MaxUpgradeFileBytes)
        return QString("%1 bytes, far larger than an upgrade file (%2 bytes)")
            .arg(qint64(facts.st_size))
            .arg(FileSize);
    return QString();
}

// Opened without waiting: a FIFO would otherwise block the open until a writer comes.
int openForReading(const QString &fileName, QString *error)
{
    const int descriptor =
        open(QFile::encodeName(fileName).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (descriptor < 0) {
        *error = QString::fromLocal8Bit(std::strerror(errno));
        return -1;
    }
    *error = refusalOf(descriptor);
    if (error->isEmpty())
        return descriptor;
    close(descriptor);
    return -1;
}

} // namespace

// The whole file through the descriptor that was checked, so that what is read is what passed.
bool readPlainUpgradeFile(const QString &fileName, QByteArray *bytes, QString *error)
{
    const int descriptor = openForReading(fileName, error);
    if (descriptor < 0)
        return false;
    QFile file;
    if (!file.open(descriptor, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        *error = file.errorString();
        close(descriptor);
        return false;
    }
    *bytes = file.read(MaxUpgradeFileBytes + 1);
    if (file.error() != QFile::NoError) {
        *error = file.errorString();
        return false;
    }
    return true;
}

QString upgradeFileAccessError(const QString &fileName)
{
    QString error;
    const int descriptor = openForReading(fileName, &error);
    if (descriptor >= 0)
        close(descriptor);
    return error;
}

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
    QByteArray bytes;
    QString openError;
    if (!readPlainUpgradeFile(fileName, &bytes, &openError)) {
        LoadedUpgradeFile loaded;
        loaded.facts.fileName = QFileInfo(fileName).fileName();
        loaded.openError = openError;
        return loaded;
    }
    return loadUpgradeFileBytes(fileName, bytes);
}

LoadedUpgradeFile loadUpgradeFileBytes(const QString &fileName, const QByteArray &fileBytes)
{
    QByteArray bytes = fileBytes; // shared, only read
    LoadedUpgradeFile loaded;
    loaded.facts.fileName = QFileInfo(fileName).fileName();
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
