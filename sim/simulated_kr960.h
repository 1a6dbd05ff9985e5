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

namespace kr960sim {

enum class Mode { Bootloader, Application };

struct DeviceConfig {
    Mode mode = Mode::Bootloader;
    std::string serial = "264900001";             // nine digits; the bootloader appends 'b'
    std::string bootloaderVersion = "KR960 BL 1.07"; // at 0x08003FE0, up to 16 characters
    uint16_t identity = 0x0115;                  // answer to request 0xFF
    uint16_t brand = 0x0000;                     // answer to request 0xFE
    int latencyMs = 0;                           // added to every control request
    int restartDelayMs = 300;                    // time off the bus after request 4
    bool comesBackAfterRestart = true;
    bool staysInApplication = false;             // request 4 restarts into the application again
    uint32_t externalFlashSize = 16u << 20;      // erased to 0xFF
};

enum class Fault {
    Timeout,    // the request times out (ETIMEDOUT, -110 in libusb)
    Stall,      // the request stalls (EPIPE, -32)
    ShortReply, // one byte fewer than asked, or taken
    Vanish,     // the device leaves the bus instead of answering
};

// Which requests a fault hits: bRequest (or every request with -1), the n-th matching request
// counted from when the rule was added (1-based), then `count` of them in a row (0: for ever).
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

    Mode mode() const;
    std::string stringDescriptor3() const; // serial, with 'b' appended in bootloader mode
    DeviceConfig config() const;

    // Plain (unscrambled) contents.
    std::vector<uint8_t> flash(uint32_t address, uint32_t length) const;
    void setFlash(uint32_t address, const std::vector<uint8_t> &bytes);
    std::vector<uint8_t> externalFlash(uint32_t address, uint32_t length) const;
    void setExternalFlash(uint32_t address, const std::vector<uint8_t> &bytes);

    // Knobs.
    void addFault(const FaultRule &rule);
    void clearFaults();
    void setLatencyMs(int ms);
    void setIdentity(uint16_t identity, uint16_t brand);
    // Reads of the page at this address return it with one byte flipped (the flash holds the
    // right data; the read path lies).
    void corruptReadBack(uint32_t pageAddress);
    void setComesBackAfterRestart(bool comesBack);
    void setStaysInApplication(bool stays);

    std::vector<RequestRecord> requests() const;
    void clearRequests();

    // The USB side calls these. handleControl answers one control transfer: it returns the byte
    // count or -errno and fills IN data.
    int handleControl(uint8_t requestType, uint8_t request, uint16_t value, uint16_t index,
                      uint8_t *data, uint16_t length);
    // Called with true when the device leaves the bus (a restart or a vanish fault) and false
    // when it comes back; the bus wires this to its plug and unplug.
    std::function<void(bool leaving, int backAfterMs)> onBusChange;

private:
    mutable std::mutex lock;
    // the rest is the implementer's
    struct State;
    std::shared_ptr<State> state;
};

} // namespace kr960sim
