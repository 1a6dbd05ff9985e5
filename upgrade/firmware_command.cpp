#include "app/kr960_bootloader.h"
#include "ui_kr960_bootloader.h"
#include "upgrade/upgrader.h"

#include <QDebug>
#include <QFileDialog>

void KR960_Bootloader::slotpushButtonFirmware(bool)
{
    qDebug() << "Dt731_bootloader::slotpushButtonCHF(bool t)";
    if (!upgrader)
        return;
    // The running worker reads its file name and owns the bars until it ends.
    if (refuseWhileUpgrading())
        return;
    ui->progressBarFlash->setValue(0);
    ui->progressBarExtFlashWr->setValue(0);
    ui->progressBarExtFlashRd->setValue(0);
    const QString fileName =
        QFileDialog::getOpenFileName(nullptr, tr("Open File"), ".", tr("Upg (*.upg)"));
    // A cancelled dialog gives a null name, on which the worker ends at once without a word.
    upgrader->slotSetFileName(fileName);
    upgrader->start(QThread::InheritPriority);
}
