// usb_probe: a tiny libusb-0.1 program that mv604-sim's tests run as its child.
//   usb_probe count                  number of KR960s on the buses
//   usb_probe serial                 string descriptor 3
//   usb_probe identity               answer to request 0xFF, four hex digits
//   usb_probe write-ext ADDR TEXT    request 6 with the bytes of TEXT
//   usb_probe read-ext ADDR LENGTH   request 5, printed as text
// Exit code 0 on success, 1 when the device cannot be reached or refuses.

#include "raw_usb.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace
{

int withDevice(int (*action)(usb_dev_handle *, char **), char **arguments)
{
    usb_dev_handle *handle = rawusb::open();
    if (!handle)
        return 1;
    const int result = action(handle, arguments);
    rawusb::close(handle);
    return result;
}

int printSerial(usb_dev_handle *handle, char **)
{
    const std::string serial = rawusb::serial(handle);
    std::printf("%s\n", serial.c_str());
    return serial.empty() ? 1 : 0;
}

int printIdentity(usb_dev_handle *handle, char **)
{
    const int identity = rawusb::word(handle, 0xFF);
    if (identity < 0)
        return 1;
    std::printf("%04x\n", identity);
    return 0;
}

int writeExternal(usb_dev_handle *handle, char **arguments)
{
    const uint32_t address = uint32_t(std::strtoul(arguments[0], nullptr, 0));
    std::string text = arguments[1];
    const int length = int(text.size());
    auto *bytes = reinterpret_cast<uint8_t *>(text.data());
    return rawusb::send(handle, 6, address, bytes, length) == length ? 0 : 1;
}

int readExternal(usb_dev_handle *handle, char **arguments)
{
    const uint32_t address = uint32_t(std::strtoul(arguments[0], nullptr, 0));
    const int length = std::atoi(arguments[1]);
    std::string text(size_t(length), '\0');
    auto *bytes = reinterpret_cast<uint8_t *>(text.data());
    if (rawusb::receive(handle, 5, address, bytes, length) != length)
        return 1;
    std::printf("%s\n", text.c_str());
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    const std::string command = argc > 1 ? argv[1] : "";
    if (command == "count") {
        std::printf("%zu\n", rawusb::scan().size());
        return 0;
    }
    if (command == "serial")
        return withDevice(printSerial, argv + 2);
    if (command == "identity")
        return withDevice(printIdentity, argv + 2);
    if (command == "write-ext" && argc == 4)
        return withDevice(writeExternal, argv + 2);
    if (command == "read-ext" && argc == 4)
        return withDevice(readExternal, argv + 2);
    std::fprintf(stderr, "usage: usb_probe count|serial|identity|write-ext ADDR TEXT|"
                         "read-ext ADDR LENGTH\n");
    return 2;
}
