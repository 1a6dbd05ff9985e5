#include "service/external_flash_jobs.h"

#include "device/usbkr960.h"
#include "image/word_scrambler.h"

#include <QCoreApplication>

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

BinWriteResult writeAndVerifyBin(USBKR960 &usb, const QByteArray &bytes)
{
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

QByteArray readExternalFlash(USBKR960 &usb, quint32 address, int length, int *result)
{
    QByteArray buffer(length, ExternalFlashService::UnreadByte);
    const int read = usb.ReadExternalFlashFromAddress(bytesOf(buffer), address, quint32(length));
    if (result)
        *result = read;
    DecodeWords(buffer.data(), length);
    return buffer;
}
