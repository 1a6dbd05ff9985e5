#include "app/kr960_bootloader.h"

void KR960_Bootloader::slotpushButtonWriteExtFlashBin(bool)
{
}

void KR960_Bootloader::slotpushButtonWriteExternalFlash(bool)
{
}

void KR960_Bootloader::slotpushButtonReadExternalFlash(bool)
{
}
