#pragma once

// The vendor requests a simulated KR960 saw. Descriptor reads of the bus walk are standard
// requests; the protocol is the vendor ones.

#include "sim/simulated_kr960.h"

#include <QList>
#include <vector>

using kr960sim::RequestRecord;
using kr960sim::SimulatedKr960;

// Vendor requests the device saw, in order; `request` -1 for all of them.
inline std::vector<RequestRecord> vendorRequests(const SimulatedKr960 &device, int request = -1)
{
    std::vector<RequestRecord> matching;
    for (const RequestRecord &record : device.requests())
        if ((record.requestType & 0x60) == 0x40 && (request < 0 || record.request == request))
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
