#include "sim/usb_descriptors.h"

namespace kr960sim
{

namespace
{

constexpr uint8_t DeviceType = 1;
constexpr uint8_t ConfigurationType = 2;
constexpr uint8_t StringType = 3;
constexpr uint8_t InterfaceType = 4;
constexpr uint8_t EndpointType = 5;
constexpr uint8_t BulkTransfer = 2;
constexpr uint8_t MaxPacketSize = 64;

void appendWord(std::vector<uint8_t> &bytes, uint16_t word)
{
    bytes.push_back(uint8_t(word));
    bytes.push_back(uint8_t(word >> 8));
}

std::vector<uint8_t> endpointDescriptor(uint8_t address)
{
    std::vector<uint8_t> bytes{7, EndpointType, address, BulkTransfer};
    appendWord(bytes, MaxPacketSize);
    bytes.push_back(0); // bInterval, unused for bulk
    return bytes;
}

} // namespace

std::vector<uint8_t> deviceDescriptor()
{
    std::vector<uint8_t> bytes{18, DeviceType};
    appendWord(bytes, 0x0200); // bcdUSB
    bytes.insert(bytes.end(), {0, 0, 0, MaxPacketSize});
    appendWord(bytes, Kr960VendorId);
    appendWord(bytes, Kr960ProductId);
    appendWord(bytes, 0x0100); // bcdDevice
    bytes.insert(bytes.end(), {0, 0, SerialStringIndex, 1});
    return bytes;
}

std::vector<uint8_t> configurationDescriptor()
{
    std::vector<uint8_t> bytes{9, ConfigurationType, 0, 0, 1, 1, 0, 0x80, 50};
    const std::vector<uint8_t> interface {
        9, InterfaceType, 0, 0, 2, 0xFF, 0, 0, 0
    };
    bytes.insert(bytes.end(), interface.begin(), interface.end());
    for (uint8_t address : {BulkOutEndpoint, BulkInEndpoint}) {
        const std::vector<uint8_t> endpoint = endpointDescriptor(address);
        bytes.insert(bytes.end(), endpoint.begin(), endpoint.end());
    }
    bytes[2] = uint8_t(bytes.size());
    bytes[3] = uint8_t(bytes.size() >> 8);
    return bytes;
}

std::vector<uint8_t> descriptorFile()
{
    std::vector<uint8_t> bytes = deviceDescriptor();
    const std::vector<uint8_t> configuration = configurationDescriptor();
    bytes.insert(bytes.end(), configuration.begin(), configuration.end());
    return bytes;
}

std::vector<uint8_t> languageDescriptor()
{
    return {4, StringType, 0x09, 0x04};
}

std::vector<uint8_t> stringDescriptor(const std::string &text)
{
    std::vector<uint8_t> bytes{uint8_t(2 + 2 * text.size()), StringType};
    for (char c : text)
        appendWord(bytes, uint8_t(c));
    return bytes;
}

} // namespace kr960sim
