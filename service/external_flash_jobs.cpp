#include "service/external_flash_jobs.h"

#include "device/usbkr960.h"
#include "image/word_scrambler.h"

#include <QCoreApplication>
#include <QFileInfo>

namespace
{
unsigned char *bytesOf(QByteArray &buffer)
{
    return reinterpret_cast<unsigned char *>(buffer.data());
}
} // namespace

namespace
{
QString windowText(const char *text)
{
    return QCoreApplication::translate("KR960_Bootloader", text);
}
} // namespace

QString binWriteTitle(BinWriteResult result)
{
    switch (result) {
    case BinWriteResult::WriteOk:
        return windowText("Info");
    case BinWriteResult::LengthNotAligned:
    case BinWriteResult::TooLarge:
        return windowText("Length error");
    case BinWriteResult::WriteFailed:
    case BinWriteResult::ReadFailed:
    case BinWriteResult::Mismatch:
        break;
    }
    return windowText("Error");
}

// The failures name the step that failed, as the device's service staff know them.
QString binWriteText(BinWriteResult result)
{
    switch (result) {
    case BinWriteResult::WriteOk:
        return windowText("Write OK");
    case BinWriteResult::LengthNotAligned:
        return windowText("Length should be aligned to 4");
    case BinWriteResult::TooLarge:
        return windowText("The file is larger than the external flash (16 MiB)");
    case BinWriteResult::WriteFailed:
        return windowText("WriteExternalFlashToAddress");
    case BinWriteResult::ReadFailed:
        return windowText("ReadExternalFlashFromAddress");
    case BinWriteResult::Mismatch:
        break;
    }
    return windowText("memcmp");
}

bool binLengthAcceptable(qint64 length)
{
    return length > 0 && length % 4 == 0;
}

bool binFileFitsExternalFlash(const QString &fileName)
{
    return QFileInfo(fileName).size() <= ExternalFlashService::FlashSize;
}

BinWriteResult writeAndVerifyBin(USBKR960 &usb, const QByteArray &bytes)
{
    if (bytes.size() > ExternalFlashService::FlashSize)
        return BinWriteResult::TooLarge;
    if (!binLengthAcceptable(bytes.size()))
        return BinWriteResult::LengthNotAligned;
    const quint32 length = quint32(bytes.size());

    QByteArray sent = bytes;
    EncodeWords(sent.data(), int(length));
    if (usb.WriteExternalFlashToAddress(bytesOf(sent), ExternalFlashService::BinAddress, length) !=
        0)
        return BinWriteResult::WriteFailed;

    QByteArray readBack(int(length), ExternalFlashService::UnreadByte);
    if (usb.ReadExternalFlashFromAddress(bytesOf(readBack), ExternalFlashService::BinAddress,
                                         length) != 0)
        return BinWriteResult::ReadFailed;
    DecodeWords(readBack.data(), int(length));
    return readBack == bytes ? BinWriteResult::WriteOk : BinWriteResult::Mismatch;
}

QByteArray fillExternalFlash(USBKR960 &usb, quint32 address, int length, quint32 fillValue,
                             int *result)
{
    QByteArray buffer(length, char(fillValue & 0xFF));
    EncodeWords(buffer.data(), length);
    const int written = usb.WriteExternalFlashToAddress(bytesOf(buffer), address, quint32(length));
    if (result)
        *result = written;
    return buffer;
}

// The fill goes in encoded, so that what the device never sent decodes to UnreadByte instead of
// looking like data.
QByteArray readExternalFlash(USBKR960 &usb, quint32 address, int length, int *result,
                             quint32 *received)
{
    QByteArray buffer(length, ExternalFlashService::UnreadByte);
    EncodeWords(buffer.data(), length);
    quint32 arrived = 0;
    const int read =
        usb.ReadExternalFlashFromAddress(bytesOf(buffer), address, quint32(length), &arrived);
    if (result)
        *result = read;
    if (received)
        *received = arrived;
    DecodeWords(buffer.data(), length);
    return buffer;
}

QString unreceivedBytesLine(quint32 received)
{
    // The offset is written as the dump writes its offsets.
    return QStringLiteral("Read failed: bytes from offset 0x%1 on were not received (shown as 00)")
        .arg(received, 4, 16, QLatin1Char('0'));
}
