// The window's Change Firmware and CreateUpg commands: they ask, call the worker or the builder,
// and report.
#include "app/kr960_bootloader.h"
#include "ui_kr960_bootloader.h"
#include "upgrade/upgrade_builder.h"
#include "upgrade/upgrader.h"

#include <QDebug>
#include <QFileDialog>
#include <QMessageBox>

void KR960_Bootloader::slotpushButtonFirmware(bool)
{
    // The trace line keeps the name of the product this window was derived from.
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

void KR960_Bootloader::slotpushButtonCreateUpg(bool)
{
    qDebug() << "KR960_Bootloader::slotpushButtonCreateUpg(bool t)";
    ui->txt->clear();
    const QString hexFileName = QFileDialog::getOpenFileName(
        this, tr("Open File"), "E:/Projekty/ARM/KR960/out", tr("Hex (*.hex)"));
    if (hexFileName.isNull())
        return;

    UpgradeBuilder builder;
    const UpgradeBuildResult loaded = builder.load(hexFileName);
    // An image loaded only in part would program a broken application: no file is offered.
    if (!loaded.ok()) {
        reportBuildFailure(loaded);
        return;
    }
    for (const QString &warning : builder.loadWarnings())
        ui->txt->append(warning);

    const QString upgradeFileName =
        QFileDialog::getSaveFileName(this, tr("Save File"), ".", tr("Upg (*.upg)"));
    if (upgradeFileName.isNull())
        return;
    const UpgradeBuildResult saved = builder.save(upgradeFileName);
    if (!saved.ok())
        reportBuildFailure(saved);
}
