#include "app/kr960_bootloader.h"

void KR960_Bootloader::slotpushButtonFirmware(bool)
{
}
