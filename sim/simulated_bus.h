#pragma once

// Serves simulated KR960s to the real libusb-0.1 through umockdev. Needs the process (or the
// child it launches) to run under libumockdev-preload.so.0.

#include "sim/simulated_kr960.h"

#include <memory>
#include <string>

namespace kr960sim
{

class SimulatedBus
{
public:
    SimulatedBus();
    ~SimulatedBus();
    SimulatedBus(const SimulatedBus &) = delete;
    SimulatedBus &operator=(const SimulatedBus &) = delete;

    // True when this process runs under umockdev's preload (in-process tests need it).
    static bool preloadActive();

    // Plugs a device into bus `busNumber` with the next free device number.
    std::shared_ptr<SimulatedKr960> addDevice(const DeviceConfig &config = {}, int busNumber = 1);
    void unplug(const std::shared_ptr<SimulatedKr960> &device);
    // Plugs the device in again with a new device number (unplugging it first if need be); a
    // device that left for a restart comes back in its new mode.
    void replug(const std::shared_ptr<SimulatedKr960> &device);
    int deviceNumber(const std::shared_ptr<SimulatedKr960> &device) const; // 0 when unplugged
    int busNumber(const std::shared_ptr<SimulatedKr960> &device) const;
    // As a node without a udev rule: the bus walk still reads the descriptors, but every
    // usbdevfs ioctl on it fails with EPERM, so usb_set_configuration and everything after it
    // fail. (We run as root, where a node's mode cannot make open() fail; the kernel answers a
    // node opened read-only the same way.)
    void setPermissionDenied(const std::shared_ptr<SimulatedKr960> &device, bool denied);

    std::string rootDirectory() const; // UMOCKDEV_DIR for a child process

private:
    struct Impl;
    std::unique_ptr<Impl> impl;
};

} // namespace kr960sim
