#include "app/kr960_bootloader.h"
#include "device/usbkr960.h"
#include "image/build_result.h"
#include "ui_kr960_bootloader.h"
#include "upgrade/upgrader.h"

#include <QDebug>
#include <QMessageBox>
#include <QProgressBar>

KR960_Bootloader::KR960_Bootloader(QWidget *parent) : QMainWindow(parent, Qt::WindowFlags())
{
    ui = new Ui::KR960_BootloaderClass;
    ui->setupUi(this);
    hideServiceWidgets();
    usb = new USBKR960;
    connectButtons();
    createWorker();
    connectProgress();
}

// The worker may be in the middle of a transfer on usb, so it is stopped before usb goes. The
// worker object itself lives until the process ends.
KR960_Bootloader::~KR960_Bootloader()
{
    if (upgrader)
        upgrader->stop();
    delete usb;
    delete ui;
}

// Operators see only Change Firmware; the service commands stay wired for the workshop.
void KR960_Bootloader::hideServiceWidgets()
{
    ui->progressBarExtFlashRd->setVisible(false);
    ui->progressBarExtFlashWr->setVisible(false);
    qDebug() << "MY_DEBUG";
    ui->pushButtonRead->setVisible(false);
    ui->pushButtonReadExternalFlash->setVisible(false);
    ui->pushButtonWrite->setVisible(false);
    ui->pushButtonWriteExternalFlash->setVisible(false);
    ui->pushButtonWriteExtFlashBin->setVisible(false);
    ui->pushButtonWritePage->setVisible(false);
    ui->pushButtonConnect->setVisible(false);
    ui->pushButtonDisconnect->setVisible(false);
    ui->pushButtonCreateBootBin->setVisible(false);
    ui->pushButtonCreateUpg->setVisible(false);
    ui->pushButtonRunApplication->setVisible(false);
}

void KR960_Bootloader::connectButtons()
{
    connect(ui->pushButtonConnect, SIGNAL(clicked(bool)), this, SLOT(slotpushButtonConnect(bool)));
    connect(ui->pushButtonDisconnect, SIGNAL(clicked(bool)), this,
            SLOT(slotpushButtonDisconnect(bool)));
    connect(ui->pushButtonRead, SIGNAL(clicked(bool)), this, SLOT(slotpushButtonRead(bool)));
    connect(ui->pushButtonWrite, SIGNAL(clicked(bool)), this, SLOT(slotpushButtonWrite(bool)));
    connect(ui->pushButtonWritePage, SIGNAL(clicked(bool)), this,
            SLOT(slotpushButtonWritePage(bool)));
    connect(ui->pushButtonFirmware, SIGNAL(clicked(bool)), this,
            SLOT(slotpushButtonFirmware(bool)));
    connect(ui->pushButtonRunApplication, SIGNAL(clicked(bool)), this,
            SLOT(slotpushButtonRunApplication(bool)));
    connect(ui->pushButtonReadExternalFlash, SIGNAL(clicked(bool)), this,
            SLOT(slotpushButtonReadExternalFlash(bool)));
    connect(ui->pushButtonWriteExternalFlash, SIGNAL(clicked(bool)), this,
            SLOT(slotpushButtonWriteExternalFlash(bool)));
    connect(ui->pushButtonWriteExtFlashBin, SIGNAL(clicked(bool)), this,
            SLOT(slotpushButtonWriteExtFlashBin(bool)));
    connect(ui->pushButtonCreateUpg, SIGNAL(clicked(bool)), this,
            SLOT(slotpushButtonCreateUpg(bool)));
    connect(ui->pushButtonCreateBootBin, SIGNAL(clicked(bool)), this,
            SLOT(slotpushButtonCreateBootBin(bool)));
}

void KR960_Bootloader::createWorker()
{
    upgrader = new Upgrader(usb);
}

// The worker emits from its own thread; automatic connections queue its texts to the log in
// emission order.
void KR960_Bootloader::connectProgress()
{
    connect(upgrader, SIGNAL(sendText(QString)), ui->txt, SLOT(append(QString)));
    QProgressBar *flash = ui->progressBarFlash;
    connect(upgrader, &Upgrader::progressed, flash,
            [flash](const PageProgress &progress) { flash->setValue(progress.percent()); });
    connect(usb, SIGNAL(sendPercentExtFlashWrite(int)), ui->progressBarExtFlashWr,
            SLOT(setValue(int)));
    connect(usb, SIGNAL(sendPercentExtFlashRead(int)), ui->progressBarExtFlashRd,
            SLOT(setValue(int)));
}

void KR960_Bootloader::reportBuildFailure(const BuildResult &result)
{
    if (result.status != BuildResult::CannotWrite)
        ui->txt->append(result.text());
    if (result.status != BuildResult::InvalidBrand)
        QMessageBox::critical(this, tr("Error"), result.text());
}

bool KR960_Bootloader::upgradeRunning() const
{
    return upgrader && upgrader->isRunning();
}

bool KR960_Bootloader::refuseWhileUpgrading()
{
    if (!upgradeRunning())
        return false;
    ui->txt->append(QStringLiteral("Upgrade in progress"));
    return true;
}
