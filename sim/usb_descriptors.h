#pragma once

// The KR960's standard USB descriptors, as its bootloader and application both report them.

#include <cstdint>
#include <string>
#include <vector>

namespace kr960sim
{

constexpr uint16_t Kr960VendorId = 0x16C0;
constexpr uint16_t Kr960ProductId = 0x0790;
constexpr uint8_t SerialStringIndex = 3;
constexpr uint8_t BulkOutEndpoint = 0x02;
constexpr uint8_t BulkInEndpoint = 0x81;

std::vector<uint8_t> deviceDescriptor();
// Configuration 1 with interface 0 and its two bulk endpoints, wTotalLength bytes in all.
std::vector<uint8_t> configurationDescriptor();
// What usbfs serves from the node: the device descriptor followed by every configuration.
std::vector<uint8_t> descriptorFile();
// String descriptor 0: the language list (US English only).
std::vector<uint8_t> languageDescriptor();
// A string descriptor holding `text` as UTF-16LE (each byte one code unit).
std::vector<uint8_t> stringDescriptor(const std::string &text);

} // namespace kr960sim
