#include "app/kr960_bootloader.h"
#include "ui_kr960_bootloader.h"

KR960_Bootloader::KR960_Bootloader(QWidget *parent) : QMainWindow(parent)
{
    ui = new Ui::KR960_BootloaderClass;
    ui->setupUi(this);
}

KR960_Bootloader::~KR960_Bootloader()
{
    delete ui;
}

bool KR960_Bootloader::refuseWhileUpgrading()
{
    return false;
}
