#include "upgrade/page_programmer.h"

#include "device/kr960_memory_map.h"
#include "device/usbkr960.h"

#include <QDebug>
#include <QThread>

#include <cstring>

namespace
{

enum class PageState { Equal, Different, Unreadable };

constexpr int ReadRetries = 3;       // after the first read, as for the first connection
constexpr int ReadRetryPauseMs = 50; // lets a busy device or bus settle

quint32 pageAddress(quint32 page)
{
    return Kr960::ApplicationStart + page * Kr960::PageSize;
}

// Bytes the read does not deliver must not compare equal by chance.
PageState readAndCompareOnce(USBKR960 &usb, const unsigned char *plainPage, quint32 address)
{
    unsigned char readBack[Kr960::PageSize];
    std::memset(readBack, 0xFF, Kr960::PageSize);
    if (usb.ReadMemoryFromAddress(readBack, address, Kr960::PageSize) != 0)
        return PageState::Unreadable;
    return std::memcmp(readBack, plainPage, Kr960::PageSize) == 0 ? PageState::Equal
                                                                  : PageState::Different;
}

PageState readAndCompare(USBKR960 &usb, const unsigned char *plainPage, quint32 address)
{
    PageState state = readAndCompareOnce(usb, plainPage, address);
    for (int retry = 0; state == PageState::Unreadable && retry < ReadRetries; ++retry) {
        qDebug() << "page read ERROR, asking again";
        QThread::msleep(ReadRetryPauseMs);
        state = readAndCompareOnce(usb, plainPage, address);
    }
    return state;
}

// A page that cannot be read first is written all the same: the write is what was asked for.
PageOutcome programPageIfChanged(USBKR960 &usb, const unsigned char *plainPage, quint32 address)
{
    if (readAndCompare(usb, plainPage, address) == PageState::Equal)
        return PageOutcome::AlreadyCurrent;
    return programPage(usb, plainPage, address);
}

} // namespace

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

    switch (readAndCompare(usb, plainPage, address)) {
    case PageState::Equal:
        return PageOutcome::Verified;
    case PageState::Different:
        return PageOutcome::Differs;
    case PageState::Unreadable:
        break;
    }
    qDebug() << "page read ERROR";
    return PageOutcome::ReadFailed;
}

bool PageLoopReport::allVerified() const
{
    return !writeFailed && !stopped && verified == int(Kr960::ApplicationPages);
}

int PageProgress::percent() const
{
    return bytesTotal > 0 ? int(bytesDone * 100 / bytesTotal) : 0;
}

PageProgress PageLoopReport::progress() const
{
    PageProgress progress;
    progress.pagesDone = written + alreadyCurrent;
    progress.pagesWritten = written;
    progress.pagesVerified = verified;
    progress.bytesDone = qint64(progress.pagesDone) * Kr960::PageSize;
    return progress;
}

PageLoopReport programApplicationArea(USBKR960 &usb, const QByteArray &plainArea,
                                      const PageLoopHooks &hooks, PageWriteMode mode)
{
    PageLoopReport report;
    const auto *plain = reinterpret_cast<const unsigned char *>(plainArea.constData());
    for (quint32 page = 0; page < Kr960::ApplicationPages; ++page) {
        if (hooks.keepGoing && !hooks.keepGoing()) {
            report.stopped = true;
            return report;
        }
        const unsigned char *plainPage = plain + page * Kr960::PageSize;
        const PageOutcome outcome = mode == PageWriteMode::ChangedOnly
                                        ? programPageIfChanged(usb, plainPage, pageAddress(page))
                                        : programPage(usb, plainPage, pageAddress(page));
        report.alreadyCurrent += outcome == PageOutcome::AlreadyCurrent;
        report.written +=
            outcome != PageOutcome::WriteFailed && outcome != PageOutcome::AlreadyCurrent;
        report.verified +=
            outcome == PageOutcome::Verified || outcome == PageOutcome::AlreadyCurrent;
        report.readFailed += outcome == PageOutcome::ReadFailed;
        report.differing += outcome == PageOutcome::Differs;
        if (hooks.pageDone)
            hooks.pageDone(outcome, report);
        if (outcome == PageOutcome::WriteFailed) {
            report.writeFailed = true;
            return report;
        }
    }
    return report;
}

AreaComparison compareApplicationArea(USBKR960 &usb, const QByteArray &plainArea)
{
    AreaComparison comparison;
    const auto *plain = reinterpret_cast<const unsigned char *>(plainArea.constData());
    for (quint32 page = 0; page < Kr960::ApplicationPages; ++page) {
        const PageState state =
            readAndCompare(usb, plain + page * Kr960::PageSize, pageAddress(page));
        if (state == PageState::Unreadable) {
            comparison.readFailed = true;
            comparison.failedPage = int(page);
            return comparison;
        }
        if (state == PageState::Different)
            comparison.differingPages.append(int(page));
    }
    return comparison;
}
