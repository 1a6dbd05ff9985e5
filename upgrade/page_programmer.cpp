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

bool PageLoopReport::allVerified() const
{
    return !writeFailed && !stopped && verified == int(Kr960::ApplicationPages);
}

PageLoopReport programApplicationArea(USBKR960 &usb, const QByteArray &plainArea,
                                      const PageLoopHooks &hooks)
{
    PageLoopReport report;
    const auto *plain = reinterpret_cast<const unsigned char *>(plainArea.constData());
    for (quint32 page = 0; page < Kr960::ApplicationPages; ++page) {
        if (hooks.keepGoing && !hooks.keepGoing()) {
            report.stopped = true;
            return report;
        }
        const quint32 address = Kr960::ApplicationStart + page * Kr960::PageSize;
        const PageOutcome outcome = programPage(usb, plain + page * Kr960::PageSize, address);
        report.written += outcome != PageOutcome::WriteFailed;
        report.verified += outcome == PageOutcome::Verified;
        if (hooks.pageDone)
            hooks.pageDone(int(page), outcome);
        if (outcome == PageOutcome::WriteFailed) {
            report.writeFailed = true;
            return report;
        }
    }
    return report;
}
