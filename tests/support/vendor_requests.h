#pragma once

// The vendor requests the simulated KR960 saw. Descriptor reads of the bus walk are standard
// requests; the protocol is the vendor ones.

#include "sim/simulated_kr960.h"

#include <QList>

inline QList<kr960sim::RequestRecord> vendorRequests(const kr960sim::SimulatedKr960 &device)
{
    QList<kr960sim::RequestRecord> vendor;
    for (const kr960sim::RequestRecord &record : device.requests())
        if ((record.requestType & 0x60) == 0x40)
            vendor.append(record);
    return vendor;
}

inline QList<int> requestCodes(const QList<kr960sim::RequestRecord> &records)
{
    QList<int> codes;
    for (const kr960sim::RequestRecord &record : records)
        codes.append(record.request);
    return codes;
}
