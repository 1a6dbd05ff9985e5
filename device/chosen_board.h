#pragma once

#include "device/board_identity.h"
#include "usb/usb_device.h"

#include <QList>
#include <QStringList>

class USBKR960;

// A KR960 on the bus, as `list` shows it.
struct AttachedBoard {
    BoardIdentity identity; // production serial (empty when it could not be read) and port
    QByteArray reported;    // the serial as the board reports it: "264900001b" in the bootloader
    int bus = 0;
    int deviceNumber = 0;
    bool readable = false;
    QString accessError; // why its serial could not be read

    DeviceMode mode() const { return modeFromSerial(reported); }
};

// Every attached KR960 the choice accepts, in bus and port order. A board whose serial cannot be
// read is listed when the rest of the choice fits: it may be the one.
QList<AttachedBoard> listAttachedBoards(const BoardChoice &choice = {});

enum class BoardSearch {
    Found,        // the transport now keeps to the board
    NoneAttached, // no KR960 on the bus at all
    NotAttached,  // KR960s are there, none is the board asked for
    Duplicate,    // several boards report the serial asked for: they cannot be told apart
};

struct ChosenBoard {
    BoardSearch search = BoardSearch::NoneAttached;
    BoardIdentity board;        // the board chosen, as far as it is known before connecting
    QStringList duplicatePorts; // the ports of the boards that share the serial (Duplicate)
    UsbDevice::ConnectFailure connectFailure = UsbDevice::ConnectFailure::None;

    bool found() const { return search == BoardSearch::Found; }
    bool connected() const { return found() && connectFailure == UsbDevice::ConnectFailure::None; }
};

// The choice among boards already listed (listAttachedBoards): whose serial and port fit, a
// readable board before an unreadable one when a serial is asked for, and Duplicate when boards
// that share the serial cannot be told apart. Touches no device.
ChosenBoard pickBoard(const QList<AttachedBoard> &attached, const BoardChoice &choice);

// The one way every command reaches "the chosen board": finds it among the attached KR960s and
// makes the transport keep to it (its serial and, where known, its port) for every connect that
// follows, the reconnections after a restart included. Without a choice the first board that
// listAttachedBoards gives is taken. Nothing is configured or claimed.
ChosenBoard pinChosenBoard(USBKR960 &usb, const BoardChoice &choice);

// pinChosenBoard, then one connect: `connected()` tells whether the board is open.
ChosenBoard openChosenBoard(USBKR960 &usb, const BoardChoice &choice);
// The connect of openChosenBoard, for a caller that has something to do between the two (take
// the board's lock): sets `connectFailure`, and the port as connected.
void connectChosenBoard(USBKR960 &usb, ChosenBoard &chosen);

// The transport filter that keeps to one board: same production serial, and same port where the
// port is known. A board restarted into its bootloader comes back with a 'b' and a new device
// number on the same port, and is still the same board.
UsbDevice::BoardFilter filterForBoard(const BoardIdentity &board);
