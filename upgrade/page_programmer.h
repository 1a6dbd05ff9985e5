#pragma once

#include <QtGlobal>

class USBKR960;

enum class PageOutcome {
    Verified,    // written, read back and equal
    Differs,     // written, but the read-back holds other bytes
    ReadFailed,  // written, but the read-back did not arrive
    WriteFailed, // the device did not take the page
};

// Writes one flash page of 2048 plain bytes at address and reads it back to compare. The plain
// page is left as it was (the write scrambles a copy).
PageOutcome programPage(USBKR960 &usb, const unsigned char *plainPage, quint32 address);
