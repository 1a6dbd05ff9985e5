#include "sim/simulated_kr960.h"

#include "sim/device_scrambler.h"
#include "sim/usb_descriptors.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <optional>
#include <set>
#include <thread>

namespace kr960sim
{

namespace
{

constexpr uint8_t DirectionIn = 0x80;
constexpr uint8_t TypeMask = 0x60;
constexpr uint8_t TypeStandard = 0x00;
constexpr uint8_t TypeVendor = 0x40;
constexpr uint8_t GetDescriptor = 6;

constexpr uint8_t RequestIdentity = 0xFF;
constexpr uint8_t RequestBrand = 0xFE;
constexpr uint8_t RequestReadMemory = 1;
constexpr uint8_t RequestTestPattern = 2;
constexpr uint8_t RequestWritePage = 3;
constexpr uint8_t RequestRunApplication = 4;
constexpr uint8_t RequestReadExternal = 5;
constexpr uint8_t RequestWriteExternal = 6;

constexpr uint16_t MaxMemoryRead = 2048;
constexpr uint16_t MaxTestPattern = 512;
constexpr uint16_t MaxExternalRead = 512;
constexpr uint16_t MaxExternalWrite = 256;
constexpr size_t VersionTextLength = 16;

constexpr int Stalled = -EPIPE;

uint32_t addressOf(uint16_t value, uint16_t index)
{
    return uint32_t(value) | uint32_t(index) << 16;
}

bool isVendor(uint8_t requestType)
{
    return (requestType & TypeMask) == TypeVendor;
}

// Copies the part of [address, address + length) that lies inside [start, start + size).
std::vector<uint8_t> cutOut(const std::vector<uint8_t> &memory, uint32_t start, uint32_t address,
                            uint32_t length)
{
    if (address < start || address - start >= memory.size())
        return {};
    const size_t offset = address - start;
    const size_t available = std::min<size_t>(length, memory.size() - offset);
    return {memory.begin() + offset, memory.begin() + offset + available};
}

void pasteIn(std::vector<uint8_t> &memory, uint32_t start, uint32_t address,
             const std::vector<uint8_t> &bytes)
{
    if (address < start || address - start >= memory.size())
        return;
    const size_t offset = address - start;
    const size_t fitting = std::min(bytes.size(), memory.size() - offset);
    std::copy_n(bytes.begin(), fitting, memory.begin() + offset);
}

int answer(const std::vector<uint8_t> &reply, uint8_t *data, uint16_t length)
{
    const size_t count = std::min<size_t>(reply.size(), length);
    std::copy_n(reply.begin(), count, data);
    return int(count);
}

} // namespace

struct SimulatedKr960::State {
    struct ActiveRule {
        FaultRule rule;
        int seen = 0;
    };

    DeviceConfig config;
    Mode mode;
    std::vector<uint8_t> flash;
    std::vector<uint8_t> external;
    std::vector<ActiveRule> faults;
    std::set<uint32_t> corruptPages;
    int serialReadsBeforeRestart = 0; // 0: no restart at a serial read
    std::vector<RequestRecord> requests;
    bool plugged = false;
    bool restartPending = false;
    Mode modeAfterRestart = Mode::Bootloader;
    std::function<void(int)> busListener;
    std::function<void(const RequestRecord &)> requestListener;
    mutable std::condition_variable plugChanged;

    explicit State(const DeviceConfig &deviceConfig)
        : config(deviceConfig), mode(deviceConfig.mode), flash(FlashEnd - FlashStart, 0xFF),
          external(deviceConfig.externalFlashSize, 0xFF)
    {
        burnBootloaderBlock();
    }

    // The bootloader's own words: brand 0, its version text, the production serial.
    void burnBootloaderBlock()
    {
        std::fill_n(flash.begin() + (BrandWordAddress - FlashStart), 16, 0x00);
        std::vector<uint8_t> version(VersionTextLength, 0x00);
        std::copy_n(config.bootloaderVersion.begin(),
                    std::min(config.bootloaderVersion.size(), VersionTextLength), version.begin());
        pasteIn(flash, FlashStart, VersionTextAddress, version);
        pasteIn(flash, FlashStart, SerialAddress, {config.serial.begin(), config.serial.end()});
    }

    std::string serialString() const
    {
        return mode == Mode::Bootloader ? config.serial + "b" : config.serial;
    }

    // How long the device takes before it answers a request: the bus latency, the data stage,
    // and for a page it takes, programming the page. A request it does not take (a fault) costs
    // the latency and the data stage only.
    std::chrono::microseconds responseTime(uint8_t requestType, uint8_t request, uint16_t length,
                                           const std::optional<Fault> &fault) const
    {
        std::chrono::microseconds time = std::chrono::milliseconds(config.latencyMs);
        time += std::chrono::microseconds(int64_t(length) * config.transferUsPerKiB / 1024);
        const bool pageWrite = isVendor(requestType) && !(requestType & DirectionIn) &&
                               request == RequestWritePage && mode == Mode::Bootloader;
        if (pageWrite && !fault)
            time += std::chrono::milliseconds(config.pageProgramMs);
        return time;
    }

    std::optional<Fault> takeFault(uint8_t requestType, uint8_t request)
    {
        if (!isVendor(requestType))
            return std::nullopt;
        std::optional<Fault> hit;
        for (ActiveRule &active : faults) {
            if (active.rule.request != -1 && active.rule.request != request)
                continue;
            const int position = ++active.seen;
            const bool reached = position >= active.rule.nth;
            const bool within =
                active.rule.count == 0 || position < active.rule.nth + active.rule.count;
            if (reached && within && !hit)
                hit = active.rule.fault;
        }
        return hit;
    }

    int standardRequest(uint8_t requestType, uint8_t request, uint16_t value, uint8_t *data,
                        uint16_t length) const
    {
        if (requestType != DirectionIn || request != GetDescriptor)
            return Stalled;
        const uint8_t type = uint8_t(value >> 8);
        const uint8_t index = uint8_t(value);
        if (type == 1)
            return answer(deviceDescriptor(), data, length);
        if (type == 2 && index == 0)
            return answer(configurationDescriptor(), data, length);
        if (type == 3 && index == 0)
            return answer(languageDescriptor(), data, length);
        if (type == 3 && index == SerialStringIndex)
            return answer(stringDescriptor(serialString()), data, length);
        return Stalled;
    }

    int wordReply(uint16_t word, uint8_t *data, uint16_t length) const
    {
        return answer({uint8_t(word), uint8_t(word >> 8)}, data, length);
    }

    int readMemory(uint32_t address, uint8_t *data, uint16_t length) const
    {
        if (length == 0 || length > MaxMemoryRead || address < FlashStart ||
            address > FlashEnd - length)
            return Stalled;
        std::vector<uint8_t> plain = cutOut(flash, FlashStart, address, length);
        lieAboutCorruptPages(address, plain);
        deviceEncode(plain.data(), plain.size());
        return answer(plain, data, length);
    }

    // Flips the first byte of the answer that falls into a page marked as lying.
    void lieAboutCorruptPages(uint32_t address, std::vector<uint8_t> &plain) const
    {
        for (uint32_t page : corruptPages) {
            const uint32_t first = std::max(page, address);
            if (first < page + PageSize && first < address + plain.size()) {
                plain[first - address] ^= 0x01;
                return;
            }
        }
    }

    int writePage(uint32_t address, uint8_t *data, uint16_t length)
    {
        if (length != PageSize || address % PageSize != 0 || address < WritableStart ||
            address >= WritableEnd)
            return Stalled;
        std::vector<uint8_t> page(data, data + length);
        deviceDecode(page.data(), page.size());
        pasteIn(flash, FlashStart, address, page);
        return length;
    }

    bool fitsExternal(uint32_t address, uint16_t length) const
    {
        return length <= external.size() && address <= external.size() - length;
    }

    int readExternal(uint32_t address, uint8_t *data, uint16_t length) const
    {
        if (length == 0 || length > MaxExternalRead || !fitsExternal(address, length))
            return Stalled;
        return answer(cutOut(external, 0, address, length), data, length);
    }

    int writeExternal(uint32_t address, const uint8_t *data, uint16_t length)
    {
        if (length == 0 || length > MaxExternalWrite || !fitsExternal(address, length))
            return Stalled;
        pasteIn(external, 0, address, {data, data + length});
        return length;
    }

    // Returns the time until the device comes back, or -1.
    bool restartsAtThisRead(uint8_t requestType, uint8_t request, uint16_t value)
    {
        const bool serialRead = !isVendor(requestType) && request == GetDescriptor &&
                                value == (3 << 8 | SerialStringIndex);
        return serialRead && serialReadsBeforeRestart > 0 && --serialReadsBeforeRestart == 0;
    }

    int startRestart()
    {
        restartPending = true;
        const bool toBootloader = mode == Mode::Application && !config.staysInApplication;
        modeAfterRestart = toBootloader ? Mode::Bootloader : Mode::Application;
        return config.comesBackAfterRestart ? config.restartDelayMs : -1;
    }

    int vendorRequest(uint8_t requestType, uint8_t request, uint16_t value, uint16_t index,
                      uint8_t *data, uint16_t length, int &leaveFor)
    {
        const bool in = requestType & DirectionIn;
        const bool bootloader = mode == Mode::Bootloader;
        const uint32_t address = addressOf(value, index);
        if (request == RequestIdentity && in)
            return wordReply(config.identity, data, length);
        if (request == RequestBrand && in)
            return wordReply(config.brand, data, length);
        if (request == RequestRunApplication && !in) {
            leaveFor = startRestart();
            return 0;
        }
        // Reads answer in both modes: a host reads the bootloader's version block before it
        // knows which mode runs. Everything that changes memory is the bootloader's alone.
        if (request == RequestReadMemory && in)
            return readMemory(address, data, length);
        if (!bootloader)
            return Stalled;
        if (request == RequestTestPattern && !in)
            return length <= MaxTestPattern ? int(length) : Stalled;
        if (request == RequestWritePage && !in)
            return writePage(address, data, length);
        if (request == RequestReadExternal && in)
            return readExternal(address, data, length);
        if (request == RequestWriteExternal && !in)
            return writeExternal(address, data, length);
        return Stalled;
    }
};

SimulatedKr960::SimulatedKr960(const DeviceConfig &config) : state(std::make_unique<State>(config))
{
}

SimulatedKr960::~SimulatedKr960() = default;

Mode SimulatedKr960::mode() const
{
    std::lock_guard<std::mutex> guard(lock);
    return state->mode;
}

void SimulatedKr960::setMode(Mode mode)
{
    std::lock_guard<std::mutex> guard(lock);
    state->mode = mode;
}

std::string SimulatedKr960::stringDescriptor3() const
{
    std::lock_guard<std::mutex> guard(lock);
    return state->serialString();
}

DeviceConfig SimulatedKr960::config() const
{
    std::lock_guard<std::mutex> guard(lock);
    DeviceConfig current = state->config;
    current.mode = state->mode;
    return current;
}

std::vector<uint8_t> SimulatedKr960::flash(uint32_t address, uint32_t length) const
{
    std::lock_guard<std::mutex> guard(lock);
    return cutOut(state->flash, FlashStart, address, length);
}

void SimulatedKr960::setFlash(uint32_t address, const std::vector<uint8_t> &bytes)
{
    std::lock_guard<std::mutex> guard(lock);
    pasteIn(state->flash, FlashStart, address, bytes);
}

std::vector<uint8_t> SimulatedKr960::externalFlash(uint32_t address, uint32_t length) const
{
    std::lock_guard<std::mutex> guard(lock);
    return cutOut(state->external, 0, address, length);
}

void SimulatedKr960::setExternalFlash(uint32_t address, const std::vector<uint8_t> &bytes)
{
    std::lock_guard<std::mutex> guard(lock);
    pasteIn(state->external, 0, address, bytes);
}

void SimulatedKr960::addFault(const FaultRule &rule)
{
    std::lock_guard<std::mutex> guard(lock);
    state->faults.push_back({rule, 0});
}

void SimulatedKr960::clearFaults()
{
    std::lock_guard<std::mutex> guard(lock);
    state->faults.clear();
    state->corruptPages.clear();
}

void SimulatedKr960::setLatencyMs(int ms)
{
    std::lock_guard<std::mutex> guard(lock);
    state->config.latencyMs = ms;
}

void SimulatedKr960::setTransferUsPerKiB(int us)
{
    std::lock_guard<std::mutex> guard(lock);
    state->config.transferUsPerKiB = us;
}

void SimulatedKr960::setPageProgramMs(int ms)
{
    std::lock_guard<std::mutex> guard(lock);
    state->config.pageProgramMs = ms;
}

void SimulatedKr960::setIdentity(uint16_t identity, uint16_t brand)
{
    std::lock_guard<std::mutex> guard(lock);
    state->config.identity = identity;
    state->config.brand = brand;
}

void SimulatedKr960::restartAtSerialRead(int nth)
{
    std::lock_guard<std::mutex> guard(lock);
    state->serialReadsBeforeRestart = nth;
}

void SimulatedKr960::corruptReadBack(uint32_t pageAddress)
{
    std::lock_guard<std::mutex> guard(lock);
    state->corruptPages.insert(pageAddress - pageAddress % PageSize);
}

void SimulatedKr960::setComesBackAfterRestart(bool comesBack)
{
    std::lock_guard<std::mutex> guard(lock);
    state->config.comesBackAfterRestart = comesBack;
}

void SimulatedKr960::setStaysInApplication(bool stays)
{
    std::lock_guard<std::mutex> guard(lock);
    state->config.staysInApplication = stays;
}

void SimulatedKr960::setRestartDelayMs(int ms)
{
    std::lock_guard<std::mutex> guard(lock);
    state->config.restartDelayMs = ms;
}

std::vector<RequestRecord> SimulatedKr960::requests() const
{
    std::lock_guard<std::mutex> guard(lock);
    return state->requests;
}

void SimulatedKr960::clearRequests()
{
    std::lock_guard<std::mutex> guard(lock);
    state->requests.clear();
}

void SimulatedKr960::setRequestListener(std::function<void(const RequestRecord &)> listener)
{
    std::lock_guard<std::mutex> guard(lock);
    state->requestListener = std::move(listener);
}

bool SimulatedKr960::plugged() const
{
    std::lock_guard<std::mutex> guard(lock);
    return state->plugged && !state->restartPending;
}

bool SimulatedKr960::waitUntilPlugged(int timeoutMs) const
{
    std::unique_lock<std::mutex> guard(lock);
    return state->plugChanged.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                                       [this] { return state->plugged && !state->restartPending; });
}

bool SimulatedKr960::waitUntilUnplugged(int timeoutMs) const
{
    std::unique_lock<std::mutex> guard(lock);
    return state->plugChanged.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                                       [this] { return !state->plugged; });
}

int SimulatedKr960::handleControl(uint8_t requestType, uint8_t request, uint16_t value,
                                  uint16_t index, uint8_t *data, uint16_t length, int *delayUs)
{
    std::unique_lock<std::mutex> guard(lock);
    const std::optional<Fault> fault = state->takeFault(requestType, request);
    const std::chrono::microseconds delay =
        state->responseTime(requestType, request, length, fault);
    if (delayUs) {
        *delayUs = int(delay.count());
    } else if (delay.count() > 0) {
        guard.unlock();
        std::this_thread::sleep_for(delay);
        guard.lock();
    }

    RequestRecord record{requestType, request, value, index, length, {}, 0};
    const bool in = requestType & DirectionIn;
    if (!in)
        record.data.assign(data, data + length);
    int leaveFor = -2; // the device stays on the bus
    if (fault == Fault::Timeout) {
        record.result = -ETIMEDOUT;
    } else if (fault == Fault::Stall) {
        record.result = Stalled;
    } else if (fault == Fault::Vanish) {
        record.result = -ENODEV;
        leaveFor = -1;
    } else if (state->restartsAtThisRead(requestType, request, value)) {
        record.result = -ENODEV;
        leaveFor = state->startRestart();
    } else {
        const bool shortReply = fault == Fault::ShortReply && length > 0;
        const uint16_t asked = shortReply && in ? uint16_t(length - 1) : length;
        record.result =
            isVendor(requestType)
                ? state->vendorRequest(requestType, request, value, index, data, asked, leaveFor)
                : state->standardRequest(requestType, request, value, data, asked);
        if (shortReply && !in && record.result > 0)
            record.result = std::min<int>(record.result, length - 1);
    }
    if (in && record.result > 0)
        record.data.assign(data, data + record.result);

    state->requests.push_back(record);
    const auto requestListener = state->requestListener;
    const auto busListener = state->busListener;
    guard.unlock();

    if (requestListener)
        requestListener(record);
    if (leaveFor != -2 && busListener)
        busListener(leaveFor);
    return record.result;
}

void SimulatedKr960::setBusListener(std::function<void(int backAfterMs)> listener)
{
    std::lock_guard<std::mutex> guard(lock);
    state->busListener = std::move(listener);
}

void SimulatedKr960::setPlugged(bool plugged)
{
    {
        std::lock_guard<std::mutex> guard(lock);
        state->plugged = plugged;
    }
    state->plugChanged.notify_all();
}

void SimulatedKr960::finishRestart()
{
    {
        std::lock_guard<std::mutex> guard(lock);
        if (state->restartPending)
            state->mode = state->modeAfterRestart;
        state->restartPending = false;
    }
    state->plugChanged.notify_all();
}

} // namespace kr960sim
