#pragma once

// What a usbfs device node answers to libusb-0.1.12's Linux backend: the descriptor file read()
// during the bus walk and the usbdevfs ioctls on an open handle.

#include "sim/simulated_kr960.h"

#include <umockdev.h>

#include <functional>
#include <memory>

namespace kr960sim
{

struct UsbfsNode {
    std::shared_ptr<SimulatedKr960> device;
    int deviceNumber = 0;
    bool permissionDenied = false;
};

// Holds a completion back for `delayUs` and then runs it, on another thread.
using CompleteLater = std::function<void(int delayUs, std::function<void()> complete)>;

// Each answers the client's pending call and completes it. A control transfer that takes the
// device time is completed through `later`, so that the one thread serving every node never
// waits for a device: one device's latency holds up no other device.
void answerRead(UMockdevIoctlClient *client, const UsbfsNode &node);
void answerIoctl(UMockdevIoctlClient *client, const UsbfsNode &node, const CompleteLater &later);
// A node whose device has left the bus: what the kernel answers on an open fd of it.
void answerGone(UMockdevIoctlClient *client);

} // namespace kr960sim
