#pragma once

// Builds Intel HEX record lines for the loader tests, with correct checksums unless told not to.

#include <QByteArray>
#include <QFile>
#include <QString>
#include <QtGlobal>

inline QByteArray hexRecord(quint16 address, quint8 type, const QByteArray &data,
                            const char *lineEnd = "\n", int checksumError = 0)
{
    QByteArray body;
    body.append(char(data.size()));
    body.append(char(address >> 8));
    body.append(char(address & 0xff));
    body.append(char(type));
    body.append(data);
    quint8 sum = 0;
    for (char c : body)
        sum += quint8(c);
    body.append(char(quint8(0x100 - sum + checksumError)));
    return ':' + body.toHex().toUpper() + lineEnd;
}

inline QByteArray hexDataRecord(quint16 address, const QByteArray &data, const char *lineEnd = "\n")
{
    return hexRecord(address, 0x00, data, lineEnd);
}

inline QByteArray hexLinearBase(quint16 upper, const char *lineEnd = "\n")
{
    return hexRecord(0, 0x04, QByteArray(1, char(upper >> 8)) + char(upper & 0xff), lineEnd);
}

inline QByteArray hexEndOfFile(const char *lineEnd = "\n")
{
    return hexRecord(0, 0x01, QByteArray(), lineEnd);
}

// Bytes 1, 2, 3, ... so that a stored prefix can be told from the zero fill.
inline QByteArray countingBytes(int count, int start = 1)
{
    QByteArray bytes;
    for (int i = 0; i < count; ++i)
        bytes.append(char(start + i));
    return bytes;
}

inline bool writeFile(const QString &path, const QByteArray &contents)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(contents) == contents.size();
}
