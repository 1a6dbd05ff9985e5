#pragma once

#include "device/kr960_memory_map.h"

#include <QByteArray>
#include <QDataStream>
#include <QString>
#include <QtGlobal>

#include <optional>

class QIODevice;

// An upgrade file is three data-stream items: the header text, the version text and the
// scrambled image of device addresses 0x08000000..0x0805FFFF. Item lengths are big-endian (the
// stream's order); everything inside the image is little-endian (the device's order).
namespace UpgradeFile
{
inline const QString HeaderText = QStringLiteral("Mv604 Upgrade File Header");
inline const QString VersionText = QStringLiteral("02");
// Pinned so the bytes of a file never depend on the Qt version that wrote or reads it.
constexpr QDataStream::Version StreamVersion = QDataStream::Qt_4_0;

constexpr int ImageSize = int(Kr960::ImageSize);
constexpr qint64 FileSize = 4 + 2 * 25 + 4 + 2 * 2 + 4 + ImageSize; // 393,282 bytes
constexpr qint64 ImageFileOffset = FileSize - ImageSize;            // 0x42

// Offsets in the image, from the device's memory map. Each area's checksum is its last word.
constexpr int ApplicationOffset = Kr960::imageOffset(Kr960::ApplicationStart);
constexpr int ApplicationSize = int(Kr960::ApplicationSize);
constexpr int BrandOffset = Kr960::imageOffset(Kr960::ApplicationBrandAddress);
constexpr int ApplicationChecksumOffset = Kr960::imageOffset(Kr960::ApplicationEnd - 3);
constexpr int UpperOffset = Kr960::imageOffset(Kr960::UpperStart);
constexpr int UpperChecksumOffset = Kr960::imageOffset(Kr960::UpperEnd - 3);
} // namespace UpgradeFile

enum class UpgradeFileStatus {
    Ok,
    WrongHeader,
    WrongVersion,
    WrongSize,     // the image item holds fewer than ImageSize bytes
    WrongChecksum, // an area's words no longer sum to the checksum stamped at its end
};

// The worker's log line for a status other than Ok.
QString upgradeFileStatusText(UpgradeFileStatus status);

// Sum modulo 2^32 of wordCount little-endian words.
quint32 sumOfWords(const unsigned char *words, int wordCount);
// Stamps the application and upper checksums into a plain image of ImageSize bytes.
void stampChecksums(unsigned char *plainImage);
// The checksum a plain image carries at ApplicationChecksumOffset or UpperChecksumOffset.
quint32 stampedChecksum(const QByteArray &plainImage, int offset);
// The application's brand word of a plain image; an upgrade file is only built when it is 0.
quint16 applicationBrand(const unsigned char *plainImage);

// Writes the three items; false when the device did not take all of them.
bool writeUpgradeFile(QIODevice &device, const QByteArray &scrambledImage);

// Reads the three items. On success scrambledImage holds the first ImageSize bytes of the image
// item; a longer item and bytes after it are ignored. A short, null or truncated item is never
// read beyond its data. Both stamped checksums must hold: a damaged image would otherwise be
// programmed, read back equal and pass.
UpgradeFileStatus readUpgradeFile(QIODevice &device, QByteArray *scrambledImage);

// Unscrambles a work copy of the image and returns the application area from it.
QByteArray plainApplicationArea(const QByteArray &scrambledImage);

// What a record tells of the upgrade file a run used, taken from the very bytes the run read:
// a file replaced or deleted during the run must not be recorded in place of the one programmed.
struct UpgradeFileFacts {
    QString fileName;  // without its folder
    QByteArray sha256; // of the file's bytes, lower-case hexadecimal; empty when unreadable
    std::optional<quint32> applicationChecksum; // as stamped in the plain image, when it was read
    std::optional<quint32> upperChecksum;
    // The minisign key id and trusted comment of a trusted signature; null when not checked.
    QString signingKeyId;
    QString trustedComment;
};

// An upgrade file is 393,282 bytes; a longer image item is allowed, but nothing near this size,
// and reading anything far larger whole would only cost memory.
constexpr qint64 MaxUpgradeFileBytes = 1 << 20;

// Why fileName cannot be an upgrade file, before a byte of it is read: the system's reason when
// it cannot be opened ("No such file or directory", "Is a directory"), or that it is no regular
// file (a pipe would block, /dev/zero never ends) or far too large. Empty when it may be read.
QString upgradeFileAccessError(const QString &fileName);

// An upgrade file read once, whole: its status, its plain application area and its facts.
struct LoadedUpgradeFile {
    UpgradeFileStatus status = UpgradeFileStatus::WrongHeader;
    QString openError;          // why the file could not be read (it then counts as a wrong header)
    QByteArray applicationArea; // plain, when status is Ok
    UpgradeFileFacts facts;
    QByteArray bytes; // the file as read: a signature is checked on the bytes that are programmed
};
LoadedUpgradeFile loadUpgradeFile(const QString &fileName);
// The same, of bytes already read: a station checks the bytes once and programs exactly those.
LoadedUpgradeFile loadUpgradeFileBytes(const QString &fileName, const QByteArray &bytes);

// Reads a file that may be an upgrade file. A FIFO would block and a device such as /dev/zero
// never ends, so anything but a regular file of at most MaxUpgradeFileBytes is refused before a
// byte is read; `error` then names the reason (as upgradeFileAccessError does).
bool readPlainUpgradeFile(const QString &path, QByteArray *bytes, QString *error);
