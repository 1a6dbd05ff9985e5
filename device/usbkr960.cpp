#include "device/usbkr960.h"

#include "device/kr960_memory_map.h"
#include "image/word_scrambler.h"

#include <QDebug>
#include <algorithm>
#include <cstring>

namespace
{

constexpr quint32 MemoryChunk = Kr960::PageSize;
constexpr quint32 ExternalFlashReadChunk = 512;
constexpr quint32 ExternalFlashWriteChunk = 256;
// One budget for the whole call: a flaky link may cost a few repeats per chunk, a dead one must
// not cost a hundred per chunk.
constexpr int ExternalFlashRetries = 100;

quint16 addressLow(quint32 address)
{
    return quint16(address & 0xFFFF);
}

quint16 addressHigh(quint32 address)
{
    return quint16(address >> 16);
}

// Unsigned 32-bit on purpose: the bars show what the device was sent, rounded down, never 0.
int percentDone(quint32 total, quint32 remaining)
{
    return int((total - remaining) * 100u / total);
}

// Repeats a short or failed chunk at once; a failed request has closed the device, so the repeat
// reconnects by itself.
template <typename Request, typename Progress>
int transferWithRetries(unsigned char *buffer, quint32 address, quint32 length, quint32 chunkSize,
                        Request request, Progress progress, quint32 *transferred)
{
    if (transferred)
        *transferred = 0;
    const quint32 total = length;
    quint32 remaining = length;
    int retries = ExternalFlashRetries;
    while (remaining != 0) {
        const quint32 chunk = std::min(remaining, chunkSize);
        if (request(addressLow(address), addressHigh(address), buffer, int(chunk)) == int(chunk)) {
            buffer += chunk;
            address += chunk;
            remaining -= chunk;
            if (transferred)
                *transferred = total - remaining;
            progress(percentDone(total, remaining));
        } else if (retries == 0) {
            return -1;
        } else {
            --retries;
        }
    }
    return 0;
}

} // namespace

USBKR960::USBKR960()
{
    set_vid_pid(Kr960::VendorId, Kr960::ProductId);
    set_device_id(Kr960::DeviceId);
    set_brand_id(Kr960::BrandId);
    qDebug() << "USBKR960 constructor";
}

USBKR960::~USBKR960() = default;

// Chunks are whole multiples of the key cycle, so decoding each on its own equals decoding the
// whole stream. Each chunk arrives in a scratch buffer first: a short reply must not leave
// scrambled bytes in the caller's buffer, where a dump would show them as memory.
int USBKR960::ReadMemoryFromAddress(unsigned char *buffer, quint32 address, quint32 length)
{
    unsigned char scratch[MemoryChunk];
    while (length != 0) {
        const quint32 chunk = std::min(length, MemoryChunk);
        if (control_receive(Kr960Request::ReadMemory, addressLow(address), addressHigh(address),
                            scratch, int(chunk)) != int(chunk))
            return -1;
        DecodeWords(scratch, int(chunk));
        std::memcpy(buffer, scratch, chunk);
        buffer += chunk;
        address += chunk;
        length -= chunk;
    }
    return 0;
}

// Scrambles in place: the caller that needs the plain page again keeps its own copy.
int USBKR960::WritePageToAddress(unsigned char *buffer, quint32 address)
{
    EncodeWords(buffer, int(Kr960::PageSize));
    const int sent = control_send(Kr960Request::WritePage, addressLow(address),
                                  addressHigh(address), buffer, int(Kr960::PageSize));
    return sent == int(Kr960::PageSize) ? 0 : -1;
}

// The callers scramble and unscramble external-flash data themselves, over the whole transfer.
// Only complete chunks reach the caller's buffer, so what was not received keeps the caller's
// fill.
int USBKR960::ReadExternalFlashFromAddress(unsigned char *buffer, quint32 address, quint32 length,
                                           quint32 *received)
{
    unsigned char scratch[ExternalFlashReadChunk];
    return transferWithRetries(
        buffer, address, length, ExternalFlashReadChunk,
        [this, &scratch](quint16 wValue, quint16 wIndex, unsigned char *data, int chunk) {
            const int result =
                control_receive(Kr960Request::ReadExternalFlash, wValue, wIndex, scratch, chunk);
            if (result == chunk)
                std::memcpy(data, scratch, size_t(chunk));
            return result;
        },
        [this](int percent) { emit sendPercentExtFlashRead(percent); }, received);
}

int USBKR960::WriteExternalFlashToAddress(unsigned char *buffer, quint32 address, quint32 length)
{
    return transferWithRetries(
        buffer, address, length, ExternalFlashWriteChunk,
        [this](quint16 wValue, quint16 wIndex, unsigned char *data, int chunk) {
            return control_send(Kr960Request::WriteExternalFlash, wValue, wIndex, data, chunk);
        },
        [this](int percent) { emit sendPercentExtFlashWrite(percent); }, nullptr);
}

// The bootloader jumps to the application and leaves the bus, so the reply tells nothing.
void USBKR960::RunApplication()
{
    qDebug() << "USBKR960::RunApplication(void)";
    control_send(Kr960Request::RunApplication, 0, 0, nullptr, 0);
}
