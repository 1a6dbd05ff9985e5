// The loader reads Intel HEX from a file, so each input goes through a file in memory-backed
// /dev/shm. Each image is guarded by a canary on both sides: the loader must stay in its window.
// The same file is loaded into several windows, among them one at the top of the address space
// where record addresses wrap; the result code cannot depend on the window.

#include "image/hex_to_bin.h"

#include <QByteArray>
#include <QFile>
#include <cstdint>
#include <cstdlib>
#include <unistd.h>

namespace
{
constexpr int Guard = 64;
constexpr char Canary = char(0xA5);

struct Window {
    quint32 first;
    quint32 last;
};

// The application window of an upgrade file, addresses reached without an extended address,
// and the last page of the address space.
constexpr Window Windows[] = {
    {0x08004000, 0x08004FFF},
    {0x00000000, 0x00000FFF},
    {0xFFFFF000, 0xFFFFFFFF},
};

QString scratchFile()
{
    return QString("/dev/shm/mv604-fuzz-hex-%1").arg(getpid());
}

void removeScratchFile()
{
    QFile::remove(scratchFile());
}

int loadGuarded(const QString &fileName, const Window &window)
{
    const int size = int(window.last - window.first + 1);
    QByteArray image(Guard + size + Guard, Canary);
    const int result = HexToBin(fileName, reinterpret_cast<unsigned char *>(image.data()) + Guard,
                                window.first, window.last);
    for (int i = 0; i < Guard; ++i)
        if (image.at(i) != Canary || image.at(image.size() - 1 - i) != Canary)
            abort();
    return result;
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    atexit(removeScratchFile);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    QFile file(scratchFile());
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        abort();
    if (file.write(reinterpret_cast<const char *>(data), qint64(size)) != qint64(size))
        abort();
    file.close();

    const int result = loadGuarded(file.fileName(), Windows[0]);
    if (result > HexOk || result < HexBadRecord)
        abort();
    for (size_t i = 1; i < sizeof Windows / sizeof Windows[0]; ++i)
        if (loadGuarded(file.fileName(), Windows[i]) != result)
            abort();
    return 0;
}
