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
    // B-P[.P...]: decimal numbers from 1, without leading zeros, at most 3 digits each.
    static bool validPort(const std::string &port);
    // Two devices cannot share a port, nor sit one behind the other.
    static bool portsCollide(const std::string &a, const std::string &b);

    // Plugs a device into USB port `port`, named as Linux names it: the bus, then the port
    // numbers from the root hub ("1-1.4": port 4 of the hub on root port 1 of bus 1). It gets the
    // next free device number of its bus. An empty port takes the next free port of the hub on
    // root port 1: "1-1.1", "1-1.2", ... Throws std::invalid_argument for a port that is
    // malformed (see validPort) or that another device is on, or behind (a KR960 is no hub).
    std::shared_ptr<SimulatedKr960> addDevice(const DeviceConfig &config = {},
                                              const std::string &port = {});
    void unplug(const std::shared_ptr<SimulatedKr960> &device);
    // Plugs the device in again with a new device number (unplugging it first if need be); a
    // device that left for a restart comes back in its new mode.
    void replug(const std::shared_ptr<SimulatedKr960> &device);
    int deviceNumber(const std::shared_ptr<SimulatedKr960> &device) const; // 0 when unplugged
    int busNumber(const std::shared_ptr<SimulatedKr960> &device) const;
    // The port stays the device's while it is unplugged and after restarts: a restart or replug
    // changes the device number only. /sys/bus/usb/devices/<port> holds busnum and devnum while
    // it is plugged, and is there before its device node is.
    std::string port(const std::shared_ptr<SimulatedKr960> &device) const;
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
