#pragma once

// The requests a simulated KR960 saw: in the test's own process from the device, or from the log
// mv604-sim writes with --log, one line per control request ("device 2 bmRequestType=0x40
// bRequest=3 wValue=0x4800 wIndex=0x0801 wLength=2048 result=2048 port=1-1.2"). Descriptor reads
// of the bus walk are standard requests; the protocol is the vendor ones.

#include "hex_records.h"
#include "sim/simulated_kr960.h"

#include <QList>
#include <QRegularExpression>
#include <vector>

using kr960sim::RequestRecord;
using kr960sim::SimulatedKr960;

inline bool isVendor(const RequestRecord &record)
{
    return (record.requestType & 0x60) == 0x40;
}
// A whole page taken: request 3 answered with all its 2048 bytes.
inline bool isPageWrite(const RequestRecord &record)
{
    return isVendor(record) && record.request == 3 && record.result == 2048;
}
inline quint32 addressOf(const RequestRecord &record)
{
    return quint32(record.index) << 16 | record.value;
}

// Vendor requests the device saw, in order; `request` -1 for all of them.
inline std::vector<RequestRecord> vendorRequests(const SimulatedKr960 &device, int request = -1)
{
    std::vector<RequestRecord> matching;
    for (const RequestRecord &record : device.requests())
        if (isVendor(record) && (request < 0 || record.request == request))
            matching.push_back(record);
    return matching;
}
inline QList<int> requestCodes(const SimulatedKr960 &device)
{
    QList<int> codes;
    for (const RequestRecord &record : vendorRequests(device))
        codes.append(record.request);
    return codes;
}

struct LoggedRequest {
    int device = 0;       // 1-based, in mv604-sim's order
    RequestRecord record; // without its data: the log does not hold it
};

// Every line of the log, in order; none when there is no log.
inline QList<LoggedRequest> readRequestLog(const QString &path)
{
    static const QRegularExpression line("^device (\\d+) bmRequestType=0x(\\w+) bRequest=(\\d+) "
                                         "wValue=0x(\\w+) wIndex=0x(\\w+) wLength=(\\d+) "
                                         "result=(-?\\d+) ",
                                         QRegularExpression::MultilineOption);
    QList<LoggedRequest> log;
    for (auto match = line.globalMatch(QString::fromUtf8(readFile(path))); match.hasNext();) {
        const QRegularExpressionMatch hit = match.next();
        const auto field = [&](int n, int base = 10) {
            return hit.captured(n).toInt(nullptr, base);
        };
        log.append({field(1),
                    {uint8_t(field(2, 16)),
                     uint8_t(field(3)),
                     uint16_t(field(4, 16)),
                     uint16_t(field(5, 16)),
                     uint16_t(field(6)),
                     {},
                     field(7)}});
    }
    return log;
}

// Vendor requests `request` (-1: any) that device `device` answered.
inline int requestsTo(const QList<LoggedRequest> &log, int device, int request = -1)
{
    int count = 0;
    for (const LoggedRequest &logged : log)
        count += logged.device == device && isVendor(logged.record) &&
                 (request < 0 || logged.record.request == request);
    return count;
}

// Whole pages each device took: entry N-1 for device N, up to the last device in the log.
inline QList<int> pageWritesPerDevice(const QList<LoggedRequest> &log)
{
    QList<int> pages;
    for (const LoggedRequest &logged : log) {
        while (pages.size() < logged.device)
            pages.append(0);
        pages[logged.device - 1] += isPageWrite(logged.record);
    }
    return pages;
}
inline int pageWritesOf(const QString &logPath, int device)
{
    return pageWritesPerDevice(readRequestLog(logPath)).value(device - 1);
}
