#include "sim/simulated_bus.h"

#include "sim/plug_scheduler.h"
#include "sim/usbfs_node.h"

#include <umockdev.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <stdexcept>
#include <vector>

namespace kr960sim
{

namespace
{

constexpr int FirstDeviceNumber = 2; // 1 is the root hub's on a real bus
// A real bus counts up to 127 before it wraps; every number used leaves a dead node behind
// that each bus walk opens (about half a millisecond), so the simulated bus wraps sooner.
constexpr int LastDeviceNumber = 31;
constexpr const char *GenerationKey = "kr960-plug-generation";

std::string nodePath(int bus, int number)
{
    char path[64];
    std::snprintf(path, sizeof path, "/dev/bus/usb/%03d/%03d", bus, number);
    return path;
}

std::string sysfsPath(int bus, int number)
{
    char path[96];
    std::snprintf(path, sizeof path, "/devices/pci0000:00/0000:00:14.0/usb%d/%d-%d", bus, bus,
                  number);
    return path;
}

void makeDirectories(const std::string &path)
{
    for (size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1))
        ::mkdir(path.substr(0, slash).c_str(), 0755);
    ::mkdir(path.c_str(), 0755);
}

} // namespace

struct SimulatedBus::Impl {
    struct Node {
        int bus = 0;
        int number = 0;
        unsigned generation = 0;
        bool alive = false;
        bool handlerAttached = false;
        std::shared_ptr<SimulatedKr960> device;
    };
    struct Place {
        int bus = 1;
        std::string path; // empty while unplugged
        bool permissionDenied = false;
        int handPlugs = 0; // unplug and replug by hand cancel a pending comeback
    };

    UMockdevTestbed *testbed = nullptr;
    UMockdevIoctlBase *handler = nullptr;
    std::string root;

    // Guards the tables below; the handler thread only looks up nodes under it.
    mutable std::mutex nodesLock;
    std::map<std::string, Node> nodes;
    std::map<const SimulatedKr960 *, Place> places;
    std::map<int, int> lastNumber;
    std::vector<std::shared_ptr<SimulatedKr960>> devices;

    // Serialises plugging between the test's thread and the scheduler's.
    std::mutex plugLock;
    // Guards the scheduler against devices that leave while the bus shuts down.
    std::mutex scheduleLock;
    bool closing = false;
    std::unique_ptr<PlugScheduler> scheduler;
    // The sysfs side follows the nodes in order on a thread of its own: removing a device
    // from the testbed takes milliseconds, which a restart should not wait for.
    std::unique_ptr<PlugScheduler> sysfsWorker;
    std::mutex testbedLock;
    // Completes control transfers once the device's time for them has passed, so that the time
    // a device spends on a request (its latency) holds up only its own hosts, as on a real bus.
    // A device answers one request after the other: each completes after the one before it.
    std::unique_ptr<PlugScheduler> answerTimer;
    std::map<const SimulatedKr960 *, std::chrono::steady_clock::time_point> busyUntil;

    Impl()
    {
        testbed = umockdev_testbed_new();
        gchar *directory = umockdev_testbed_get_root_dir(testbed);
        root = directory;
        g_free(directory);
        // An empty bus still has its directory, as a machine without devices has: without it
        // libusb keeps the bus list of an earlier walk.
        makeDirectories(root + "/dev/bus/usb");
        // One handler for every node: the device behind a node is found by its path, which
        // survives unplugging where a handler per node would have to be detached.
        handler = umockdev_ioctl_base_new();
        g_signal_connect(handler, "handle-ioctl", G_CALLBACK(&Impl::onIoctl), this);
        g_signal_connect(handler, "handle-read", G_CALLBACK(&Impl::onRead), this);
        scheduler = std::make_unique<PlugScheduler>();
        sysfsWorker = std::make_unique<PlugScheduler>();
        answerTimer = std::make_unique<PlugScheduler>();
    }

    ~Impl()
    {
        {
            std::lock_guard<std::mutex> guard(scheduleLock);
            closing = true;
        }
        scheduler.reset();
        sysfsWorker.reset();
        answerTimer.reset();
        for (const auto &device : devices) {
            device->setBusListener(nullptr);
            device->setPlugged(false);
        }
        g_object_unref(testbed);
        g_object_unref(handler);
    }

    // Looks up the live node behind a client; an fd from an earlier life of the node's number
    // stays dead.
    bool liveNode(UMockdevIoctlClient *client, UsbfsNode &view)
    {
        std::lock_guard<std::mutex> guard(nodesLock);
        const auto found = nodes.find(umockdev_ioctl_client_get_devnode(client));
        if (found == nodes.end() || !found->second.alive)
            return false;
        const Node &node = found->second;
        const gpointer stamp = GUINT_TO_POINTER(node.generation);
        const gpointer seen = g_object_get_data(G_OBJECT(client), GenerationKey);
        if (!seen)
            g_object_set_data(G_OBJECT(client), GenerationKey, stamp);
        else if (seen != stamp)
            return false;
        const auto place = places.find(node.device.get());
        view.device = node.device;
        view.deviceNumber = node.number;
        view.permissionDenied = place != places.end() && place->second.permissionDenied;
        return true;
    }

    static gboolean onIoctl(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer self)
    {
        Impl *bus = static_cast<Impl *>(self);
        UsbfsNode node;
        if (!bus->liveNode(client, node)) {
            answerGone(client);
            return TRUE;
        }
        const SimulatedKr960 *device = node.device.get();
        answerIoctl(client, node, [bus, device](int delayUs, std::function<void()> complete) {
            bus->completeAfter(device, delayUs, std::move(complete));
        });
        return TRUE;
    }

    void completeAfter(const SimulatedKr960 *device, int delayUs, std::function<void()> complete)
    {
        using namespace std::chrono;
        const auto now = steady_clock::now();
        steady_clock::time_point due;
        {
            std::lock_guard<std::mutex> guard(nodesLock);
            auto &busy = busyUntil[device];
            due = std::max(now, busy) + microseconds(delayUs);
            busy = due;
        }
        std::lock_guard<std::mutex> guard(scheduleLock);
        if (closing)
            complete();
        else
            answerTimer->schedule(int(ceil<milliseconds>(due - now).count()), std::move(complete));
    }

    static gboolean onRead(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer self)
    {
        UsbfsNode node;
        if (static_cast<Impl *>(self)->liveNode(client, node))
            answerRead(client, node);
        else
            answerGone(client);
        return TRUE;
    }

    int nextFreeNumber(int bus)
    {
        int number = lastNumber.count(bus) ? lastNumber[bus] : FirstDeviceNumber - 1;
        for (int tries = 0; tries <= LastDeviceNumber; ++tries) {
            number = number >= LastDeviceNumber ? FirstDeviceNumber : number + 1;
            const auto found = nodes.find(nodePath(bus, number));
            if (found == nodes.end() || !found->second.alive)
                break;
        }
        lastNumber[bus] = number;
        return number;
    }

    // A real bus gives a device that arrives the next free number. The node file is created
    // in one step (never deleted, see unplug), after the handler listens for it.
    void plug(const std::shared_ptr<SimulatedKr960> &device)
    {
        std::lock_guard<std::mutex> plugging(plugLock);
        std::string path;
        int bus = 1;
        int number = 0;
        bool attach = false;
        {
            std::lock_guard<std::mutex> guard(nodesLock);
            Place &place = places[device.get()];
            if (!place.path.empty())
                return;
            bus = place.bus;
            number = nextFreeNumber(bus);
            path = nodePath(bus, number);
            Node &node = nodes[path];
            node.bus = bus;
            node.number = number;
            attach = !node.handlerAttached;
            node.handlerAttached = true;
        }
        if (attach)
            attachHandler(path);
        createNodeFile(path);
        sysfsWorker->schedule(0, [this, bus, number, path] { addSysfsDevice(bus, number, path); });
        {
            std::lock_guard<std::mutex> guard(nodesLock);
            Node &node = nodes[path];
            ++node.generation;
            node.device = device;
            node.alive = true;
            places[device.get()].path = path;
        }
        device->setPlugged(true);
    }

    // The node is marked dead, not deleted: a scanning host that opens a vanished node aborts
    // in umockdev's preload, and detaching a handler while it scans does too.
    void unplug(const std::shared_ptr<SimulatedKr960> &device)
    {
        std::lock_guard<std::mutex> plugging(plugLock);
        int bus = 0;
        int number = 0;
        {
            std::lock_guard<std::mutex> guard(nodesLock);
            Place &place = places[device.get()];
            if (place.path.empty())
                return;
            Node &node = nodes[place.path];
            node.alive = false;
            node.device.reset();
            bus = node.bus;
            number = node.number;
            place.path.clear();
        }
        device->setPlugged(false);
        sysfsWorker->schedule(0, [this, bus, number] { removeSysfsDevice(bus, number); });
    }

    void attachHandler(const std::string &path)
    {
        std::lock_guard<std::mutex> guard(testbedLock);
        GError *error = nullptr;
        if (!umockdev_testbed_attach_ioctl(testbed, path.c_str(), handler, &error)) {
            const std::string message = error ? error->message : path;
            g_clear_error(&error);
            throw std::runtime_error("cannot attach the usbfs handler: " + message);
        }
    }

    void createNodeFile(const std::string &path)
    {
        const std::string file = root + path;
        makeDirectories(file.substr(0, file.rfind('/')));
        const int fd = ::open(file.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0666);
        if (fd >= 0)
            ::close(fd);
    }

    // The sysfs side, for udev-minded hosts; without an N: line, which would briefly write a
    // temporary file beside the node that a scanning host could open.
    void addSysfsDevice(int bus, int number, const std::string &path)
    {
        char record[512];
        std::snprintf(record, sizeof record,
                      "P: %s\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: BUSNUM=%03d\n"
                      "E: DEVNUM=%03d\nE: DEVNAME=%s\nA: idVendor=16c0\nA: idProduct=0790\n",
                      sysfsPath(bus, number).c_str(), bus, number, path.c_str());
        std::lock_guard<std::mutex> guard(testbedLock);
        GError *error = nullptr;
        if (!umockdev_testbed_add_from_string(testbed, record, &error))
            g_clear_error(&error);
    }

    void removeSysfsDevice(int bus, int number)
    {
        std::lock_guard<std::mutex> guard(testbedLock);
        umockdev_testbed_remove_device(testbed, ("/sys" + sysfsPath(bus, number)).c_str());
    }

    // A device that leaves on its own (restart, vanish) is unplugged at once and, after a
    // restart, comes back in its new mode.
    void deviceLeaves(const std::weak_ptr<SimulatedKr960> &weak, int backAfterMs)
    {
        std::lock_guard<std::mutex> guard(scheduleLock);
        if (closing)
            return;
        const int handPlugsBefore = handPlugs(weak.lock().get());
        scheduler->schedule(0, [this, weak, handPlugsBefore] {
            auto device = weak.lock();
            if (device && handPlugs(device.get()) == handPlugsBefore)
                unplug(device);
        });
        if (backAfterMs < 0)
            return;
        scheduler->schedule(backAfterMs, [this, weak, handPlugsBefore] {
            auto device = weak.lock();
            if (device && handPlugs(device.get()) == handPlugsBefore) {
                device->finishRestart();
                plug(device);
            }
        });
    }

    int handPlugs(const SimulatedKr960 *device)
    {
        std::lock_guard<std::mutex> guard(nodesLock);
        const auto place = places.find(device);
        return place == places.end() ? 0 : place->second.handPlugs;
    }

    void countHandPlug(const SimulatedKr960 *device)
    {
        std::lock_guard<std::mutex> guard(nodesLock);
        ++places[device].handPlugs;
    }
};

SimulatedBus::SimulatedBus() : impl(std::make_unique<Impl>()) {}

SimulatedBus::~SimulatedBus() = default;

bool SimulatedBus::preloadActive()
{
    const char *preload = std::getenv("LD_PRELOAD");
    return preload && std::string(preload).find("libumockdev-preload") != std::string::npos;
}

std::shared_ptr<SimulatedKr960> SimulatedBus::addDevice(const DeviceConfig &config, int busNumber)
{
    auto device = std::make_shared<SimulatedKr960>(config);
    {
        std::lock_guard<std::mutex> guard(impl->nodesLock);
        impl->places[device.get()].bus = busNumber;
        impl->devices.push_back(device);
    }
    std::weak_ptr<SimulatedKr960> weak = device;
    Impl *bus = impl.get();
    device->setBusListener([bus, weak](int backAfterMs) { bus->deviceLeaves(weak, backAfterMs); });
    impl->plug(device);
    return device;
}

void SimulatedBus::unplug(const std::shared_ptr<SimulatedKr960> &device)
{
    impl->countHandPlug(device.get());
    impl->unplug(device);
}

void SimulatedBus::replug(const std::shared_ptr<SimulatedKr960> &device)
{
    impl->countHandPlug(device.get());
    impl->unplug(device);
    device->finishRestart();
    impl->plug(device);
}

int SimulatedBus::deviceNumber(const std::shared_ptr<SimulatedKr960> &device) const
{
    std::lock_guard<std::mutex> guard(impl->nodesLock);
    const auto place = impl->places.find(device.get());
    if (place == impl->places.end() || place->second.path.empty())
        return 0;
    return impl->nodes.at(place->second.path).number;
}

int SimulatedBus::busNumber(const std::shared_ptr<SimulatedKr960> &device) const
{
    std::lock_guard<std::mutex> guard(impl->nodesLock);
    const auto place = impl->places.find(device.get());
    return place == impl->places.end() ? 0 : place->second.bus;
}

void SimulatedBus::setPermissionDenied(const std::shared_ptr<SimulatedKr960> &device, bool denied)
{
    std::lock_guard<std::mutex> guard(impl->nodesLock);
    impl->places[device.get()].permissionDenied = denied;
}

std::string SimulatedBus::rootDirectory() const
{
    return impl->root;
}

} // namespace kr960sim
