#include "sim/simulated_bus.h"

#include "sim/plug_scheduler.h"
#include "sim/usbfs_node.h"

#include <umockdev.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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
// Where the sysfs folders of unplugged devices wait: in the testbed, outside /sys and /dev.
constexpr const char *ParkedFolders = "/kr960-sysfs-parked/";

std::string nodePath(int bus, int number)
{
    char path[64];
    std::snprintf(path, sizeof path, "/dev/bus/usb/%03d/%03d", bus, number);
    return path;
}

int busOf(const std::string &port)
{
    return std::atoi(port.c_str()); // the number before the '-'
}

// Where Linux keeps a device on `port` below /sys: under each hub on its way, 1-1.4 in
// usb1/1-1/1-1.4.
std::string sysfsPath(const std::string &port)
{
    std::string path = "/devices/pci0000:00/0000:00:14.0/usb" + std::to_string(busOf(port));
    for (size_t dot = port.find('.'); dot != std::string::npos; dot = port.find('.', dot + 1))
        path += "/" + port.substr(0, dot);
    return path + "/" + port;
}

void makeDirectories(const std::string &path)
{
    for (size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1))
        ::mkdir(path.substr(0, slash).c_str(), 0755);
    ::mkdir(path.c_str(), 0755);
}

// Writes in place: on ext4, each new inode and each freed block costs up to milliseconds once
// there has been some churn, and a replug should not pay that.
void writeAttribute(const std::string &path, const std::string &text)
{
    const int fd = ::open(path.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    const auto size = ssize_t(text.size());
    if (::pwrite(fd, text.data(), text.size(), 0) != size || ::ftruncate(fd, size) != 0)
        std::fprintf(stderr, "kr960sim: cannot write %s\n", path.c_str());
    ::close(fd);
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
        std::string port;
        int bus = 1;
        std::string path; // of the node; empty while unplugged
        bool permissionDenied = false;
        bool sysfsMade = false; // its sysfs folder exists, in /sys or parked
        int handPlugs = 0;      // unplug and replug by hand cancel a pending comeback
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
        makeDirectories(root + "/sys/bus/usb/devices");
        makeDirectories(root + ParkedFolders);
        // One handler for every node: the device behind a node is found by its path, which
        // survives unplugging where a handler per node would have to be detached.
        handler = umockdev_ioctl_base_new();
        g_signal_connect(handler, "handle-ioctl", G_CALLBACK(&Impl::onIoctl), this);
        g_signal_connect(handler, "handle-read", G_CALLBACK(&Impl::onRead), this);
        scheduler = std::make_unique<PlugScheduler>();
        answerTimer = std::make_unique<PlugScheduler>();
    }

    ~Impl()
    {
        {
            std::lock_guard<std::mutex> guard(scheduleLock);
            closing = true;
        }
        scheduler.reset();
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
    // in one step (never deleted, see unplug), after the handler listens for it and after the
    // sysfs folder is in place: a host that finds the node finds its port.
    void plug(const std::shared_ptr<SimulatedKr960> &device)
    {
        std::lock_guard<std::mutex> plugging(plugLock);
        std::string port;
        std::string path;
        int bus = 1;
        int number = 0;
        bool attach = false;
        bool makeSysfs = false;
        {
            std::lock_guard<std::mutex> guard(nodesLock);
            Place &place = places[device.get()];
            if (!place.path.empty())
                return;
            port = place.port;
            bus = place.bus;
            makeSysfs = !place.sysfsMade;
            place.sysfsMade = true;
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
        if (makeSysfs)
            makeSysfsFolder(port, bus);
        plugSysfsFolder(port, bus, number);
        createNodeFile(path);
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
        std::string port;
        {
            std::lock_guard<std::mutex> guard(nodesLock);
            Place &place = places[device.get()];
            if (place.path.empty())
                return;
            Node &node = nodes[place.path];
            node.alive = false;
            node.device.reset();
            port = place.port;
            place.path.clear();
        }
        // Only after the node died, so that a host that found it alive finds its folder.
        parkSysfsFolder(port);
        device->setPlugged(false);
    }

    void attachHandler(const std::string &path)
    {
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

    // The sysfs side of a port: its folder with the attributes Linux shows, and the link to it
    // in /sys/bus/usb/devices. Both are made once and moved between the testbed's /sys and a
    // parking place when the device is plugged and unplugged: renames make them appear and go
    // in one step each, with no file made or deleted. (umockdev_testbed_add_from_string and
    // remove_device sync each file to disk; removing a device took about 20 ms.)
    void makeSysfsFolder(const std::string &port, int bus)
    {
        const std::string parked = root + ParkedFolders + port;
        makeDirectories(parked);
        writeAttribute(parked + "/busnum", std::to_string(bus) + "\n");
        writeAttribute(parked + "/idVendor", "16c0\n");
        writeAttribute(parked + "/idProduct", "0790\n");
        const std::string path = sysfsPath(port);
        std::string toSys;
        for (size_t slash = path.find('/'); slash != std::string::npos;
             slash = path.find('/', slash + 1))
            toSys += "../";
        linkAs(toSys + "bus/usb", parked + "/subsystem");
        linkAs("../../.." + path, parked + ".link");
        const std::string folder = root + "/sys" + path;
        makeDirectories(folder.substr(0, folder.rfind('/')));
    }

    // The folder first, then the link a host finds it by; the node comes after both.
    void plugSysfsFolder(const std::string &port, int bus, int number)
    {
        const std::string parked = root + ParkedFolders + port;
        char uevent[160];
        std::snprintf(uevent, sizeof uevent,
                      "SUBSYSTEM=usb\nDEVTYPE=usb_device\nBUSNUM=%03d\nDEVNUM=%03d\n"
                      "DEVNAME=bus/usb/%03d/%03d\n",
                      bus, number, bus, number);
        writeAttribute(parked + "/uevent", uevent);
        writeAttribute(parked + "/devnum", std::to_string(number) + "\n");
        move(parked, root + "/sys" + sysfsPath(port));
        move(parked + ".link", root + "/sys/bus/usb/devices/" + port);
    }

    void parkSysfsFolder(const std::string &port)
    {
        const std::string parked = root + ParkedFolders + port;
        move(root + "/sys/bus/usb/devices/" + port, parked + ".link");
        move(root + "/sys" + sysfsPath(port), parked);
    }

    static void move(const std::string &from, const std::string &to)
    {
        if (::rename(from.c_str(), to.c_str()) != 0)
            std::fprintf(stderr, "kr960sim: cannot move %s: %s\n", from.c_str(),
                         std::strerror(errno));
    }

    static void linkAs(const std::string &target, const std::string &link)
    {
        if (::symlink(target.c_str(), link.c_str()) != 0)
            std::fprintf(stderr, "kr960sim: cannot link %s: %s\n", link.c_str(),
                         std::strerror(errno));
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

bool SimulatedBus::validPort(const std::string &port)
{
    const size_t dash = port.find('-');
    if (dash == std::string::npos)
        return false;
    std::string numbers = port;
    numbers[dash] = '.'; // the bus, then the ports
    for (size_t start = 0, end = 0; start <= numbers.size(); start = end + 1) {
        end = std::min(numbers.find('.', start), numbers.size());
        const std::string number = numbers.substr(start, end - start);
        if (number.empty() || number.size() > 3 || number[0] == '0' ||
            number.find_first_not_of("0123456789") != std::string::npos)
            return false;
    }
    return true;
}

bool SimulatedBus::portsCollide(const std::string &a, const std::string &b)
{
    const auto behind = [](const std::string &port, const std::string &hub) {
        return port.compare(0, hub.size() + 1, hub + ".") == 0;
    };
    return a == b || behind(a, b) || behind(b, a);
}

std::shared_ptr<SimulatedKr960> SimulatedBus::addDevice(const DeviceConfig &config,
                                                        const std::string &port)
{
    auto device = std::make_shared<SimulatedKr960>(config);
    {
        std::lock_guard<std::mutex> guard(impl->nodesLock);
        const auto taken = [this](const std::string &candidate) {
            return std::any_of(impl->places.begin(), impl->places.end(), [&](const auto &place) {
                return portsCollide(place.second.port, candidate);
            });
        };
        std::string where = port;
        for (int hubPort = 1; where.empty() && hubPort <= 999; ++hubPort)
            if (!taken("1-1." + std::to_string(hubPort)))
                where = "1-1." + std::to_string(hubPort);
        if (where.empty())
            throw std::invalid_argument("no free port on the hub at 1-1");
        if (!validPort(where))
            throw std::invalid_argument("not a USB port: '" + where + "'");
        if (taken(where))
            throw std::invalid_argument("USB port " + where + " is taken, or behind a taken one");
        Impl::Place &place = impl->places[device.get()];
        place.port = where;
        place.bus = busOf(where);
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

std::string SimulatedBus::port(const std::shared_ptr<SimulatedKr960> &device) const
{
    std::lock_guard<std::mutex> guard(impl->nodesLock);
    const auto place = impl->places.find(device.get());
    return place == impl->places.end() ? std::string() : place->second.port;
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
