#pragma once

// A simulated KR960 as a real one behaves on the bus: bootloader and application modes, internal
// and external flash, re-enumeration after a restart, and fault knobs for tests. Plain C++: the
// USB side lives in simulated_bus.h. Every member is thread-safe: the bus answers requests from
// umockdev's own thread while a test inspects the device from its thread.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace kr960sim
{

enum class Mode { Bootloader, Application };

// Internal flash as the bootloader exposes it (device addresses).
constexpr uint32_t FlashStart = 0x08000000;
constexpr uint32_t FlashEnd = 0x08060000; // one past 0x0805FFFF
constexpr uint32_t WritableStart = 0x08004000;
constexpr uint32_t WritableEnd = 0x0805C000; // application and upper areas
constexpr uint32_t PageSize = 2048;
constexpr uint32_t BrandWordAddress = 0x08003FD0;
constexpr uint32_t VersionTextAddress = 0x08003FE0;
constexpr uint32_t SerialAddress = 0x08003FF0;

struct DeviceConfig {
    Mode mode = Mode::Bootloader;
    std::string serial = "264900001";                // nine digits; the bootloader appends 'b'
    std::string bootloaderVersion = "KR960 BL 1.07"; // at 0x08003FE0, up to 16 characters
    uint16_t identity = 0x0115;                      // answer to request 0xFF
    uint16_t brand = 0x0000;                         // answer to request 0xFE
    int latencyMs = 0;                               // added to every control request
    int transferUsPerKiB = 0; // data stage time, per KiB of control data either way
    int pageProgramMs = 0;    // erasing and programming a page: request 3 completes after it
    int restartDelayMs = 300; // time off the bus after request 4
    bool comesBackAfterRestart = true;
    bool staysInApplication = false;        // request 4 restarts into the application again
    uint32_t externalFlashSize = 16u << 20; // erased to 0xFF
};

enum class Fault {
    Timeout,    // the request times out (ETIMEDOUT, -110 in libusb), answered at once
    Stall,      // the request stalls (EPIPE, -32)
    ShortReply, // one byte fewer than asked, or taken
    Vanish,     // the device leaves the bus instead of answering (ENODEV, -19)
};

// Which vendor requests a fault hits: bRequest (or every vendor request with -1), the n-th
// matching request counted from when the rule was added (1-based), then `count` of them in a row
// (0: for ever). Standard requests (descriptors) are never hit.
struct FaultRule {
    int request = -1;
    int nth = 1;
    int count = 1;
    Fault fault = Fault::Stall;
};

struct RequestRecord {
    uint8_t requestType = 0;
    uint8_t request = 0;
    uint16_t value = 0;
    uint16_t index = 0;
    uint16_t length = 0;
    std::vector<uint8_t> data; // OUT: as sent; IN: as answered
    int result = 0;            // bytes transferred, or -errno
};

class SimulatedKr960
{
public:
    explicit SimulatedKr960(const DeviceConfig &config = {});
    ~SimulatedKr960();
    SimulatedKr960(const SimulatedKr960 &) = delete;
    SimulatedKr960 &operator=(const SimulatedKr960 &) = delete;

    Mode mode() const;
    void setMode(Mode mode);
    std::string stringDescriptor3() const; // serial, with 'b' appended in bootloader mode
    DeviceConfig config() const;

    // Internal flash by device address (0x08000000 on), as the device keeps it: plain. External
    // flash from 0, as stored: the bytes exactly as the host sent them (scrambled by the host).
    // Ranges beyond the memory are cut off.
    std::vector<uint8_t> flash(uint32_t address, uint32_t length) const;
    void setFlash(uint32_t address, const std::vector<uint8_t> &bytes);
    std::vector<uint8_t> externalFlash(uint32_t address, uint32_t length) const;
    void setExternalFlash(uint32_t address, const std::vector<uint8_t> &bytes);

    // Knobs.
    void addFault(const FaultRule &rule);
    void clearFaults();
    // The nth read of the serial string descriptor (1-based, counted from now; 0: none) finds
    // the device restarting: it answers ENODEV and leaves the bus as request 4 makes it, as a
    // board does that restarts while a host walks the bus.
    void restartAtSerialRead(int nth);
    void setLatencyMs(int ms);
    void setTransferUsPerKiB(int us);
    void setPageProgramMs(int ms);
    void setIdentity(uint16_t identity, uint16_t brand);
    // Reads of the page at this address return it with one byte flipped (the flash holds the
    // right data; the read path lies).
    void corruptReadBack(uint32_t pageAddress);
    void setComesBackAfterRestart(bool comesBack);
    void setStaysInApplication(bool stays);
    void setRestartDelayMs(int ms);

    std::vector<RequestRecord> requests() const;
    void clearRequests();
    // Called (from the bus's thread) after every control transfer, e.g. to write a log file.
    void setRequestListener(std::function<void(const RequestRecord &)> listener);

    // On the bus: plugged, and not in the middle of a restart.
    bool plugged() const;
    // Waits until the device is on the bus and any restart has finished; false on time-out.
    // Right after request 4 this already waits for the comeback.
    bool waitUntilPlugged(int timeoutMs) const;
    // Waits until the device is off the bus. A short restart may be over before the wait
    // begins: wait for the comeback with waitUntilPlugged instead.
    bool waitUntilUnplugged(int timeoutMs) const;

    // The USB side calls these. handleControl answers one control transfer: it returns the byte
    // count or -errno and fills IN data. The request takes the device some time (its latency):
    // without `delayUs` it waits that long itself; with it, it answers at once and gives the
    // time, which the bus waits without holding up the other devices.
    int handleControl(uint8_t requestType, uint8_t request, uint16_t value, uint16_t index,
                      uint8_t *data, uint16_t length, int *delayUs = nullptr);
    // The bus is told when the device leaves it on its own (a restart or a vanish fault):
    // backAfterMs is the time until it comes back, or -1 for never.
    void setBusListener(std::function<void(int backAfterMs)> listener);
    void setPlugged(bool plugged); // the bus reports plugging and unplugging
    void finishRestart();          // the device boots into its next mode before it comes back

private:
    mutable std::mutex lock;
    struct State;
    std::unique_ptr<State> state;
};

} // namespace kr960sim
