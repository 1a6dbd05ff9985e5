#pragma once

// Intel HEX records built by hand (correct checksums unless told not to), test bytes, files, and
// a lowered file size limit: helpers for the image and upgrade suites that never use the code under
// test.

#include <QByteArray>
#include <QFile>
#include <QString>

#include <csignal>
#include <sys/resource.h>

// Type 00 is data, 01 the end of the file, 04 the upper 16 bits of the addresses that follow.
inline QByteArray hexRecord(quint16 address, quint8 type, const QByteArray &data,
                            const char *lineEnd = "\n", int checksumError = 0)
{
    const QByteArray body =
        QByteArray(1, char(data.size())) + char(address >> 8) + char(address) + char(type) + data;
    quint8 sum = quint8(checksumError);
    for (char c : body)
        sum -= quint8(c);
    return ':' + (body + char(sum)).toHex().toUpper() + lineEnd;
}

inline QByteArray hexLinearBase(quint16 upper, const char *lineEnd = "\n")
{
    return hexRecord(0, 0x04, QByteArray(1, char(upper >> 8)) + char(upper), lineEnd);
}

// Bytes that never repeat within 251, so a shifted, dropped or swapped chunk shows; with seed 1
// they count 1, 2, 3, ... and a stored prefix can be told from the zero fill.
inline QByteArray distinctBytes(int count, int seed = 0)
{
    QByteArray bytes(count, '\0');
    for (int i = 0; i < count; ++i)
        bytes[i] = char((i + seed) % 251);
    return bytes;
}

inline bool writeFile(const QString &path, const QByteArray &contents)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(contents) == contents.size();
}
inline QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Lowers the file size limit for one scope; a write past it fails with EFBIG instead of raising
// SIGXFSZ, as a full disk would fail it.
class FileSizeLimit
{
    void (*previousHandler)(int) = std::signal(SIGXFSZ, SIG_IGN);
    rlimit previous{};

public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        getrlimit(RLIMIT_FSIZE, &previous);
        const rlimit lowered{bytes, previous.rlim_max};
        setrlimit(RLIMIT_FSIZE, &lowered);
    }
    ~FileSizeLimit() { setrlimit(RLIMIT_FSIZE, &previous), std::signal(SIGXFSZ, previousHandler); }
};
