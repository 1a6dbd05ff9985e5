#include "upgrade/page_programmer.h"

#include "device/kr960_memory_map.h"
#include "device/usbkr960.h"

#include <QDebug>

#include <cstring>

PageOutcome programPage(USBKR960 &usb, const unsigned char *plainPage, quint32 address)
{
    // WritePageToAddress scrambles its buffer in place; the comparison needs the plain bytes.
    unsigned char page[Kr960::PageSize];
    std::memcpy(page, plainPage, Kr960::PageSize);
    if (usb.WritePageToAddress(page, address) != 0) {
        qDebug() << "page write ERROR";
        return PageOutcome::WriteFailed;
    }
    qDebug() << "page write OK";

    // Bytes the read does not deliver must not compare equal by chance.
    unsigned char readBack[Kr960::PageSize];
    std::memset(readBack, 0xFF, Kr960::PageSize);
    if (usb.ReadMemoryFromAddress(readBack, address, Kr960::PageSize) != 0) {
        qDebug() << "page read ERROR";
        return PageOutcome::ReadFailed;
    }
    return std::memcmp(readBack, plainPage, Kr960::PageSize) == 0 ? PageOutcome::Verified
                                                                  : PageOutcome::Differs;
}
