#include "app/kr960_bootloader.h"

void KR960_Bootloader::slotpushButtonConnect(bool)
{
}

void KR960_Bootloader::slotpushButtonDisconnect(bool)
{
}

void KR960_Bootloader::slotpushButtonRunApplication(bool)
{
}

void KR960_Bootloader::slotTimeout()
{
}
