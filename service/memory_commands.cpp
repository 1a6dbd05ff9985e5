#include "app/kr960_bootloader.h"

void KR960_Bootloader::slotpushButtonRead(bool)
{
}

void KR960_Bootloader::slotpushButtonWrite(bool)
{
}

void KR960_Bootloader::slotpushButtonWritePage(bool)
{
}
