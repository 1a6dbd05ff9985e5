// The window's CreateBootBin command: it asks for the bootloader and the production series, has
// the core write the images, and reports each one in the log.
#include "app/kr960_bootloader.h"
#include "image/boot_image.h"
#include "ui_kr960_bootloader.h"

#include <QDate>
#include <QFileDialog>
#include <QInputDialog>
#include <QMessageBox>

void KR960_Bootloader::slotpushButtonCreateBootBin(bool)
{
    const QString hexFileName =
        QFileDialog::getOpenFileName(this, tr("Open File"), QStringLiteral("."), tr("Hex (*.hex)"));
    if (hexFileName.isEmpty())
        return;

    QByteArray image;
    const BuildResult loaded = loadProductionBootloader(hexFileName, image);
    if (!loaded.ok()) {
        reportBuildFailure(loaded);
        return;
    }

    const QDate today = QDate::currentDate();
    BootImageSeries series;
    bool ok = false;
    series.year =
        QInputDialog::getItem(this, tr("Production year"), tr("Year(YY)"), productionYearChoices(),
                              currentYearChoice(today), false, &ok);
    if (!ok)
        return;
    series.week =
        QInputDialog::getItem(this, tr("Production week"), tr("Week(WW)"), productionWeekChoices(),
                              currentWeekChoice(today), false, &ok);
    if (!ok)
        return;
    series.firstNumber = QInputDialog::getInt(
        this, tr("Production number"), tr("Number(NNNN)"), BootImage::FirstProductionNumber,
        BootImage::FirstProductionNumber, BootImage::LastProductionNumber, 1, &ok);
    if (!ok)
        return;
    ui->txt->append(QStringLiteral("prod_number %1").arg(series.firstNumber));
    series.count = QInputDialog::getInt(this, tr("Iteration"), tr("Count:"), 1, 1,
                                        maximumBootImageCount(series.firstNumber), 1, &ok);
    if (!ok)
        return;
    ui->txt->append(QStringLiteral("iter %1").arg(series.count));

    const BuildResult written = writeBootImages(
        image, series, [this](const QString &serial) { ui->txt->append(serial); },
        [this](const QString &path) {
            ui->txt->append(QStringLiteral("New bootloader + serial:") + path);
        });
    if (!written.ok())
        reportBuildFailure(written);
}
