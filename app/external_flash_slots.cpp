#include "app/kr960_bootloader.h"
#include "device/usbkr960.h"
#include "files/file_io.h"
#include "image/hex_dump.h"
#include "service/external_flash_jobs.h"
#include "service/hex_input.h"
#include "ui_kr960_bootloader.h"

#include <QDebug>
#include <QFileDialog>
#include <QInputDialog>
#include <QMessageBox>

void KR960_Bootloader::slotpushButtonWriteExtFlashBin(bool)
{
    qDebug() << "KR960_Bootloader::slotpushButtonWriteExtFlashBin(bool t)";
    if (refuseWhileUpgrading())
        return;
    const QString fileName = QFileDialog::getOpenFileName(
        this, tr("Open File"), QStringLiteral("E:\\Projekty\\ARM\\Kr960\\out"), tr("Bin (*.bin)"));
    if (fileName.isEmpty())
        return;
    if (!binFileFitsExternalFlash(fileName)) {
        QMessageBox::critical(this, binWriteTitle(BinWriteResult::TooLarge),
                              binWriteText(BinWriteResult::TooLarge));
        return;
    }
    // An unreadable file reads as empty and is then refused for its length.
    QByteArray bytes;
    (void)readWholeFile(fileName, &bytes);
    if (!binLengthAcceptable(bytes.size())) {
        qDebug() << "length error" << bytes.size();
        QMessageBox::critical(this, binWriteTitle(BinWriteResult::LengthNotAligned),
                              binWriteText(BinWriteResult::LengthNotAligned));
        return;
    }

    const BinWriteResult result = writeAndVerifyBin(*usb, bytes);
    if (result == BinWriteResult::WriteOk)
        QMessageBox::information(this, binWriteTitle(result), binWriteText(result));
    else
        QMessageBox::critical(this, binWriteTitle(result), binWriteText(result));
}

void KR960_Bootloader::slotpushButtonWriteExternalFlash(bool)
{
    qDebug() << "KR960_Bootloader::slotpushButtonWriteExternalFlash(bool t)";
    if (refuseWhileUpgrading())
        return;
    ExternalFlashInputs &inputs = externalFlashInputs;
    const QString title = tr("Write To External Flash Kr960");

    bool ok = false;
    const QString addressText =
        QInputDialog::getText(this, title, tr("Address (hex)"), QLineEdit::Normal,
                              hexInputOffer(inputs.writeAddress), &ok);
    if (!ok)
        return;
    const bool addressValid = parseHexInput(addressText, inputs.writeAddress);
    const int length = QInputDialog::getInt(this, title, tr("Length (dec)"), inputs.writeLength, 1,
                                            ExternalFlashService::MaximumLength, 1, &ok);
    if (!ok)
        return;
    inputs.writeLength = length;
    const QString dataText = QInputDialog::getText(this, title, tr("Data(hex)"), QLineEdit::Normal,
                                                   hexInputOffer(inputs.fillValue), &ok);
    if (!ok)
        return;
    const bool dataValid = parseHexInput(dataText, inputs.fillValue);
    if (!addressValid || !dataValid) {
        QMessageBox::warning(this, tr("error"), tr("Conversion error"));
        return;
    }

    const QByteArray sent =
        fillExternalFlash(*usb, inputs.writeAddress, inputs.writeLength, inputs.fillValue);
    ui->txt->clear();
    // "lenght" is the text service staff know; kept as it is.
    ui->txt->append(QStringLiteral("lenght: %1").arg(inputs.writeLength, 8));
    ui->txt->append(
        QStringLiteral("address: 0x%1").arg(inputs.writeAddress, 8, 16, QLatin1Char(' ')));
    ui->txt->append(hexDumpText(sent));
}

void KR960_Bootloader::slotpushButtonReadExternalFlash(bool)
{
    qDebug() << "KR960_Bootloader::slotpushButtonReadExternalFlash(bool t)";
    if (refuseWhileUpgrading())
        return;
    ExternalFlashInputs &inputs = externalFlashInputs;
    const QString title = tr("Read External Flash From Kr960");

    bool ok = false;
    const QString addressText =
        QInputDialog::getText(this, title, tr("Address (hex)"), QLineEdit::Normal,
                              hexInputOffer(inputs.readAddress), &ok);
    if (!ok)
        return;
    const int length = QInputDialog::getInt(this, title, tr("Length (dec)"), inputs.readLength, 1,
                                            ExternalFlashService::MaximumLength, 1, &ok);
    if (!ok)
        return;
    inputs.readLength = length;
    if (!parseHexInput(addressText, inputs.readAddress)) {
        QMessageBox::warning(this, tr("error"), tr("Conversion error"));
        return;
    }

    int result = 0;
    quint32 received = 0;
    const QByteArray contents =
        readExternalFlash(*usb, inputs.readAddress, inputs.readLength, &result, &received);
    ui->txt->clear();
    ui->txt->append(hexDumpText(contents));
    if (result != 0)
        ui->txt->append(unreceivedBytesLine(received));
}
