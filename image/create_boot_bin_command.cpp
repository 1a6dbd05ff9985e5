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
    const int loaded = loadBootImage(hexFileName, image);
    if (loaded < 0) {
        // A bootloader that did not load completely must not be stamped into production images.
        const QString message = tr("HexToBin error: %1)").arg(loaded);
        ui->txt->append(message);
        QMessageBox::critical(this, tr("Error"), message);
        return;
    }
    if (!hasValidBrand(image)) {
        ui->txt->append(QStringLiteral("Err: Invalid brand!"));
        return;
    }

    const QDate today = QDate::currentDate();
    bool ok = false;
    const QString year =
        QInputDialog::getItem(this, tr("Production year"), tr("Year(YY)"), productionYearChoices(),
                              currentYearChoice(today), false, &ok);
    if (!ok)
        return;
    const QString week =
        QInputDialog::getItem(this, tr("Production week"), tr("Week(WW)"), productionWeekChoices(),
                              currentWeekChoice(today), false, &ok);
    if (!ok)
        return;
    const int firstNumber = QInputDialog::getInt(
        this, tr("Production number"), tr("Number(NNNN)"), BootImage::FirstProductionNumber,
        BootImage::FirstProductionNumber, BootImage::LastProductionNumber, 1, &ok);
    if (!ok)
        return;
    ui->txt->append(QStringLiteral("prod_number %1").arg(firstNumber));
    const int count = QInputDialog::getInt(this, tr("Iteration"), tr("Count:"), 1, 1,
                                           maximumBootImageCount(firstNumber), 1, &ok);
    if (!ok)
        return;
    ui->txt->append(QStringLiteral("iter %1").arg(count));

    for (int number = firstNumber; number < firstNumber + count; ++number) {
        const QString serial = productionSerial(year, week, number);
        ui->txt->append(serial);
        stampSerial(image, serial);
        const QString fileName = bootImageFileName(serial);
        if (!writeBootImageFile(fileName, image)) {
            QMessageBox::critical(this, tr("Error"), tr("Cannot write %1").arg(fileName));
            return;
        }
        ui->txt->append(QStringLiteral("New bootloader + serial:") + fileName);
    }
}
