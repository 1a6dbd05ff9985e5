#pragma once

// What a usbfs device node answers to libusb-0.1.12's Linux backend: the descriptor file read()
// during the bus walk and the usbdevfs ioctls on an open handle.

#include "sim/simulated_kr960.h"

#include <umockdev.h>

#include <memory>

namespace kr960sim
{

struct UsbfsNode {
    std::shared_ptr<SimulatedKr960> device;
    int deviceNumber = 0;
    bool permissionDenied = false;
};

// Each answers the client's pending call and completes it.
void answerRead(UMockdevIoctlClient *client, const UsbfsNode &node);
void answerIoctl(UMockdevIoctlClient *client, const UsbfsNode &node);

// A control transfer taken from the client's memory, to be answered on another thread: the
// device spends its time on a request there, so one device's delay never holds up another's.
struct PendingControl {
    std::shared_ptr<SimulatedKr960> device;
    uint8_t requestType = 0;
    uint8_t request = 0;
    uint16_t value = 0;
    uint16_t index = 0;
    uint16_t length = 0;
    uint8_t *data = nullptr; // the client's buffer, resolved; kept alive by the client
};
// True when the call is a control transfer that the device answers (not a node without
// permission); `pending` is then filled. A transfer whose memory cannot be read is completed
// with EFAULT at once and gives false with `answered` set.
bool takeControlTransfer(UMockdevIoctlClient *client, const UsbfsNode &node,
                         PendingControl &pending, bool &answered);
// Lets the device answer and completes the call; umockdev's completion is thread-safe.
void answerControl(UMockdevIoctlClient *client, const PendingControl &pending);
// A node whose device has left the bus: what the kernel answers on an open fd of it.
void answerGone(UMockdevIoctlClient *client);

} // namespace kr960sim
