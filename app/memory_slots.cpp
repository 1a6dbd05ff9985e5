#include "app/kr960_bootloader.h"
#include "device/usbkr960.h"
#include "image/hex_dump.h"
#include "service/hex_input.h"
#include "service/memory_jobs.h"
#include "ui_kr960_bootloader.h"

#include <QDebug>
#include <QInputDialog>
#include <QMessageBox>

void KR960_Bootloader::slotpushButtonRead(bool)
{
    qDebug() << "KR960_Bootloader::slotpushButtonRead(bool t)";
    if (refuseWhileUpgrading())
        return;
    MemoryCommandInputs &inputs = memoryInputs;

    bool ok = false;
    const QString addressText =
        QInputDialog::getText(this, tr("Read From Kr960"), tr("Address (hex)"), QLineEdit::Normal,
                              hexInputOffer(inputs.lastReadAddress), &ok);
    if (!ok)
        return;
    // A cancelled dialog hands back the value it offered, so storing at once keeps it as it was.
    inputs.lastReadLength =
        QInputDialog::getInt(this, tr("Read From Kr960"), tr("Length (dec)"), inputs.lastReadLength,
                             1, MemoryService::MaximumReadLength, 1, &ok);
    if (!ok)
        return;
    if (!parseHexInput(addressText, inputs.lastReadAddress)) {
        QMessageBox::warning(this, tr("error"), tr("Conversion error"));
        return;
    }

    // The read's result is left to the transport's trace: the dump shows what arrived.
    const QByteArray memory = readDeviceMemory(*usb, inputs.lastReadAddress, inputs.lastReadLength);
    ui->txt->clear();
    ui->txt->append(hexDumpText(memory));
}

void KR960_Bootloader::slotpushButtonWrite(bool)
{
    qDebug() << "KR960_Bootloader::slotpushButtonWrite(bool t)";
    if (refuseWhileUpgrading())
        return;
    QByteArray pattern = memoryTestPattern();
    if (sendMemoryTestPattern(*usb, pattern) != pattern.size())
        return;
    // The trace shows what went out; the window's log is left alone.
    qDebug().noquote() << QLatin1Char('"') + hexDumpText(pattern) + QLatin1Char('"');
}

void KR960_Bootloader::slotpushButtonWritePage(bool)
{
    qDebug() << "KR960_Bootloader::slotpushButtonWritePage(bool t)";
    if (refuseWhileUpgrading())
        return;
    MemoryCommandInputs &inputs = memoryInputs;
    bool ok = false;
    inputs.lastFillPattern = QInputDialog::getInt(this, tr("Fill pattern"), tr("Number (dec)"),
                                                  inputs.lastFillPattern, 0, 255, 1, &ok);
    if (!ok)
        return;
    if (fillTestPage(*usb, quint8(inputs.lastFillPattern)) == 0)
        qDebug() << "page write OK";
    else
        qDebug() << "page write ERROR";
}
