#pragma once

#include <QByteArray>
#include <QtGlobal>

#include <functional>

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

// How the page loop over the application area ended.
struct PageLoopReport {
    int written = 0;          // pages the device took
    int verified = 0;         // pages read back equal
    bool writeFailed = false; // a page was refused: the loop ended there
    bool stopped = false;     // keepGoing said no before a page
    bool allVerified() const;
};

struct PageLoopHooks {
    std::function<bool()> keepGoing;                     // asked before each page
    std::function<void(int page, PageOutcome)> pageDone; // after each page, in order
};

// Programs the 120 pages of the application area from its plain bytes. A page that does not
// verify is reported and the loop goes on, so the operator learns of every bad page at once; a
// refused write ends it, as the device is then gone or unwilling.
PageLoopReport programApplicationArea(USBKR960 &usb, const QByteArray &plainArea,
                                      const PageLoopHooks &hooks = {});
