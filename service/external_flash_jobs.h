#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

class USBKR960;

// External flash keeps its data scrambled; these jobs encode what they write and decode what they
// read, each transfer as one stream from its first byte.
namespace ExternalFlashService
{
constexpr int MaximumLength = 0x100000;
constexpr quint32 BinAddress = 0;
// The chip's size: a .bin file larger than this cannot go to external flash.
constexpr qint64 FlashSize = qint64(16) << 20;
// What a read shows for bytes that a transfer that gave up did not deliver.
constexpr char UnreadByte = '\0';
} // namespace ExternalFlashService

enum class BinWriteResult {
    WriteOk,
    LengthNotAligned, // empty, or not whole 32-bit words
    TooLarge,         // larger than the external flash
    WriteFailed,
    ReadFailed,
    Mismatch,
};

// The window's box for a result: its title ("Info" for WriteOk, "Length error", "Error") and its
// text ("Write OK", or which step failed).
QString binWriteTitle(BinWriteResult result);
QString binWriteText(BinWriteResult result);

// The scrambler works on whole words, so a .bin file must be a non-empty multiple of 4 bytes.
bool binLengthAcceptable(qint64 length);

// Asks the file system for the file's size, so that a file too large for the external flash is
// refused before it is read whole (sizes are 64-bit: a 4 GiB file must not pass as a small one).
bool binFileFitsExternalFlash(const QString &fileName);

// Writes the file's bytes at external flash address 0, reads them back and compares.
BinWriteResult writeAndVerifyBin(USBKR960 &usb, const QByteArray &bytes);

// Fills `length` bytes from `address` with the low 8 bits of `fillValue` and returns the bytes
// as they were sent (encoded). The device's result is not judged: the dump shows what went out.
// `result` receives the device's result when given.
QByteArray fillExternalFlash(USBKR960 &usb, quint32 address, int length, quint32 fillValue,
                             int *result = nullptr);

// Reads `length` bytes from `address`, decoded. Bytes that a read that gave up did not receive
// read as UnreadByte; `received` gets how many bytes from the start did arrive.
QByteArray readExternalFlash(USBKR960 &usb, quint32 address, int length, int *result = nullptr,
                             quint32 *received = nullptr);

// The log line after a read that gave up: from which offset of the dump on nothing arrived.
QString unreceivedBytesLine(quint32 received);
