#pragma once

#include <QByteArray>
#include <QString>

// How a KR960 is told from every other: by the nine-digit production serial stamped into its
// bootloader (YYWW0NNNN), and, where the host can tell, by the USB port it is plugged into. The
// serial rules live here and nowhere else.

// What the board runs, as its serial number tells: the application reports the nine digits
// alone, the bootloader the nine digits followed by 'b'.
enum class DeviceMode { Application, Bootloader, Unknown };

namespace BoardSerial
{
constexpr int Length = 9;
constexpr char BootloaderMark = 'b';

// The serial as the tool shows and compares it: the string descriptor's text up to its first
// zero byte (a unit such as U+0A00 yields one; what follows it is not shown).
QByteArray reported(const QByteArray &descriptorText);

// Exactly nine characters: the application; nine and a 'b': the bootloader.
DeviceMode mode(const QByteArray &reported);

// After a restart the device has left its application once its tenth character is a 'b',
// also in a longer text: that is what the wait for the bootloader waits for.
bool isBackInBootloader(const QByteArray &reported);

// The production serial of a reported one: its first nine characters when a 'b' or nothing
// follows them, otherwise the whole text (which then matches no production serial).
QByteArray production(const QByteArray &reported);

// Whether the board that reports `reported` is the one with production serial `serial`, in
// either mode.
bool belongsTo(const QByteArray &reported, const QByteArray &serial);

// Nine decimal digits: what an operator may type to choose a board.
bool isProductionSerial(const QString &text);
} // namespace BoardSerial

// Kept for the callers that speak of modes: BoardSerial::mode.
DeviceMode modeFromSerial(const QByteArray &reported);
QString modeName(DeviceMode mode); // "application", "bootloader", "unknown"

// One board, from its first request to its record.
struct BoardIdentity {
    QByteArray serial; // production serial, nine digits; empty when it could not be read
    QString port;      // USB port path ("1-1.4"); empty when the host cannot tell

    bool operator==(const BoardIdentity &other) const
    {
        return serial == other.serial && port == other.port;
    }
};

// Which board an operator asked for: by serial, by port, or both (then both must match).
// Empty: none asked for, the first attached KR960 is taken.
struct BoardChoice {
    QByteArray serial; // nine digits, without the bootloader's 'b'
    QString port;

    bool isEmpty() const { return serial.isEmpty() && port.isEmpty(); }
    // A board that reports `reported` on `port` is this choice (an unknown port matches only a
    // choice without a port).
    bool accepts(const QByteArray &reported, const QString &boardPort) const;
};
