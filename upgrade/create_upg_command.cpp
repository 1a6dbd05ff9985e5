#include "app/kr960_bootloader.h"
#include "ui_kr960_bootloader.h"
#include "upgrade/upgrade_builder.h"

#include <QDebug>
#include <QFileDialog>
#include <QMessageBox>

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
    if (loaded.status == UpgradeBuildResult::InvalidBrand) {
        ui->txt->append("Err: Invalid brand!");
        return;
    }
    if (loaded.status == UpgradeBuildResult::HexError) {
        // An image loaded only in part would program a broken application: no file is offered.
        const QString message = tr("HexToBin error: %1)").arg(loaded.hexError);
        ui->txt->append(message);
        QMessageBox::critical(this, tr("Error"), message);
        return;
    }

    const QString upgradeFileName =
        QFileDialog::getSaveFileName(this, tr("Save File"), ".", tr("Upg (*.upg)"));
    if (upgradeFileName.isNull())
        return;
    if (!builder.save(upgradeFileName).ok())
        QMessageBox::critical(this, tr("Error"), tr("Cannot write %1").arg(upgradeFileName));
}
