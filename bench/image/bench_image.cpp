// Speed of the image tools on firmware-sized inputs, with memcpy of the same buffer as the
// reference for what a single pass over memory costs.

#include "bench_support.h"
#include "image/hex_to_bin.h"

#include "hex_records.h"

#include <QByteArray>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>
#include <cstring>
#include <vector>

namespace
{

constexpr int FirmwareBytes = 240 * 1024;
constexpr int UpgradeImageBytes = 393216;

// The layout objcopy writes: 16-byte records, an 04 record at each 64 KiB segment.
QByteArray firmwareHexText()
{
    QByteArray text;
    text.reserve(FirmwareBytes * 3);
    quint32 segment = ~0u;
    for (int offset = 0; offset < FirmwareBytes; offset += 16) {
        const quint32 address = Kr960::ApplicationStart + quint32(offset);
        if ((address >> 16) != segment) {
            segment = address >> 16;
            text += hexRecord(0, 0x04, QByteArray(1, char(segment >> 8)) + char(segment & 0xff));
        }
        QByteArray data(16, '\0');
        for (int i = 0; i < 16; ++i)
            data[i] = char((offset + i) * 131 >> 3);
        text += hexRecord(quint16(address), 0x00, data);
    }
    text += hexRecord(0, 0x01, QByteArray());
    return text;
}

void BM_HexToBin(benchmark::State &state)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("firmware.hex"));
    const QByteArray text = firmwareHexText();
    if (!writeFile(path, text)) {
        state.SkipWithError("cannot write the HEX file");
        return;
    }

    std::vector<unsigned char> image(Kr960::ApplicationSize);
    for (auto _ : state) {
        const int result =
            HexToBin(path, image.data(), Kr960::ApplicationStart, Kr960::ApplicationEnd);
        benchmark::DoNotOptimize(result);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * text.size());
}
BENCHMARK(BM_HexToBin)->Unit(benchmark::kMillisecond);

void BM_EncodeWords(benchmark::State &state)
{
    const QtMessageHandler previous = qInstallMessageHandler(dropDebug);
    std::vector<unsigned char> image(UpgradeImageBytes, 0x5A);
    for (auto _ : state) {
        EncodeWords(image.data(), int(image.size()));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * UpgradeImageBytes);
    qInstallMessageHandler(previous);
}
BENCHMARK(BM_EncodeWords);

void BM_DecodeWords(benchmark::State &state)
{
    std::vector<unsigned char> image(UpgradeImageBytes, 0x5A);
    for (auto _ : state) {
        DecodeWords(image.data(), int(image.size()));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * UpgradeImageBytes);
}
BENCHMARK(BM_DecodeWords);

void BM_MemcpyReference(benchmark::State &state)
{
    std::vector<unsigned char> source(UpgradeImageBytes, 0x5A);
    std::vector<unsigned char> target(UpgradeImageBytes);
    for (auto _ : state) {
        std::memcpy(target.data(), source.data(), source.size());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * UpgradeImageBytes);
}
BENCHMARK(BM_MemcpyReference);

} // namespace

BENCHMARK_MAIN();
