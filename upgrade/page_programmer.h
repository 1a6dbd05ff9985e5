#pragma once

#include "device/kr960_memory_map.h"

#include <QByteArray>
#include <QList>
#include <QMetaType>
#include <QtGlobal>

#include <functional>

class USBKR960;

enum class PageOutcome {
    Verified,       // written, read back and equal
    Differs,        // written, but the read-back holds other bytes
    ReadFailed,     // written, but the read-back did not arrive, not even when asked again
    WriteFailed,    // the device did not take the page
    AlreadyCurrent, // read first and found equal: not written, counts as verified
};

// Writes one flash page of 2048 plain bytes at address and reads it back to compare. The plain
// page is left as it was (the write scrambles a copy). A read that fails (a stall, a timeout) is
// asked again a few times, as the first connection is: a good board must not fail on one
// transient error, nor be taken for one whose flash holds wrong bytes.
PageOutcome programPage(USBKR960 &usb, const unsigned char *plainPage, quint32 address);

// Which pages the loop writes.
enum class PageWriteMode {
    EveryPage,   // the window's upgrade: write and read back all 120 pages
    ChangedOnly, // read each page first and write only those that differ from the file
};

// How far the page loop over the application area is, as every front end shows it: the loop
// makes it, so none counts bytes or percent of its own. A refused page is not done.
struct PageProgress {
    int pagesDone = 0; // written (whether or not they read back equal) or found current
    int pagesTotal = int(Kr960::ApplicationPages);
    int pagesWritten = 0;  // pages the device took
    int pagesVerified = 0; // read back equal, or found current
    qint64 bytesDone = 0;
    qint64 bytesTotal = Kr960::ApplicationSize;
    int percent() const; // of the bytes, rounded down
};
Q_DECLARE_METATYPE(PageProgress)

// How the page loop over the application area ended.
struct PageLoopReport {
    int written = 0;          // pages the device took
    int alreadyCurrent = 0;   // pages that held the right bytes and were not written
    int verified = 0;         // pages read back equal, the already current ones included
    int readFailed = 0;       // pages whose read-back never arrived
    int differing = 0;        // pages that read back with other bytes
    bool writeFailed = false; // a page was refused: the loop ended there
    bool stopped = false;     // keepGoing said no before a page
    bool allVerified() const;
    PageProgress progress() const;
};

struct PageLoopHooks {
    std::function<bool()> keepGoing; // asked before each page
    // After each page, in order, with the counts so far.
    std::function<void(PageOutcome, const PageLoopReport &)> pageDone;
};

// Programs the 120 pages of the application area from its plain bytes. A page that does not
// verify is reported and the loop goes on, so the operator learns of every bad page at once; a
// refused write ends it, as the device is then gone or unwilling.
PageLoopReport programApplicationArea(USBKR960 &usb, const QByteArray &plainArea,
                                      const PageLoopHooks &hooks = {},
                                      PageWriteMode mode = PageWriteMode::EveryPage);

// The application area compared with the file, nothing written.
struct AreaComparison {
    QList<int> differingPages; // page numbers, 0 for 0x08004000, in ascending order
    bool readFailed = false;   // a read did not arrive: the pages from there on were not compared
    int failedPage = -1;
};

// Reads the 120 pages and lists those whose bytes differ from the plain area. Both the
// bootloader and the application answer the reads.
AreaComparison compareApplicationArea(USBKR960 &usb, const QByteArray &plainArea);
