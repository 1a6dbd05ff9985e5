#include "device/chosen_board.h"

#include "device/kr960_memory_map.h"
#include "device/usbkr960.h"
#include "usb/device_list.h"

namespace
{

AttachedBoard boardOf(const AttachedDevice &device)
{
    AttachedBoard board;
    board.reported = BoardSerial::reported(device.serial);
    board.identity = {device.opened ? BoardSerial::production(board.reported) : QByteArray(),
                      device.port};
    board.bus = device.bus;
    board.deviceNumber = device.deviceNumber;
    board.readable = device.opened;
    board.accessError = device.openError;
    return board;
}

// An unreadable board is only ruled out by what can be seen of it: its port.
bool mayBe(const AttachedBoard &board, const BoardChoice &choice)
{
    if (board.readable)
        return choice.accepts(board.reported, board.identity.port);
    return choice.port.isEmpty() || choice.port == board.identity.port;
}

QStringList portsOf(const QList<AttachedBoard> &boards)
{
    QStringList ports;
    for (const AttachedBoard &board : boards)
        ports.append(board.identity.port);
    return ports;
}

QList<AttachedBoard> sharingSerial(const QList<AttachedBoard> &boards, const QByteArray &serial)
{
    QList<AttachedBoard> sharing;
    for (const AttachedBoard &board : boards)
        if (board.readable && board.identity.serial == serial)
            sharing.append(board);
    return sharing;
}

// Boards that share a serial are told apart only by their ports: a choice without a port
// cannot pick one of them, nor can anything when the ports are unknown.
bool cannotTellApart(const QList<AttachedBoard> &sharing, const BoardChoice &choice)
{
    if (sharing.size() < 2)
        return false;
    if (!choice.serial.isEmpty() && choice.port.isEmpty())
        return true;
    for (const AttachedBoard &board : sharing)
        if (board.identity.port.isEmpty())
            return true;
    return false;
}

} // namespace

ChosenBoard pickBoard(const QList<AttachedBoard> &attached, const BoardChoice &choice)
{
    ChosenBoard chosen;
    if (attached.isEmpty())
        return chosen;
    QList<AttachedBoard> candidates;
    for (const AttachedBoard &board : attached)
        if (mayBe(board, choice))
            candidates.append(board);
    // A board that shows the serial asked for goes before one whose serial could not be read.
    // Without a serial the first listed is the one, readable or not.
    if (!choice.serial.isEmpty())
        std::stable_sort(candidates.begin(), candidates.end(),
                         [](const AttachedBoard &a, const AttachedBoard &b) {
                             return a.readable && !b.readable;
                         });
    if (candidates.isEmpty()) {
        chosen.search = BoardSearch::NotAttached;
        return chosen;
    }
    const AttachedBoard &first = candidates.first();
    chosen.board = first.identity;
    if (!first.readable)
        chosen.board.serial = choice.serial; // the connect tells whether it is the one
    const QList<AttachedBoard> sharing = sharingSerial(attached, first.identity.serial);
    if (first.readable && cannotTellApart(sharing, choice)) {
        chosen.search = BoardSearch::Duplicate;
        chosen.duplicatePorts = portsOf(sharing);
        return chosen;
    }
    chosen.search = BoardSearch::Found;
    return chosen;
}

QList<AttachedBoard> listAttachedBoards(const BoardChoice &choice)
{
    QList<AttachedBoard> boards;
    for (const AttachedDevice &device :
         listAttachedDevices(Kr960::VendorId, Kr960::ProductId, choice.port)) {
        const AttachedBoard board = boardOf(device);
        if (mayBe(board, choice))
            boards.append(board);
    }
    return boards;
}

UsbDevice::BoardFilter filterForBoard(const BoardIdentity &board)
{
    UsbDevice::BoardFilter filter;
    filter.port = board.port;
    if (!board.serial.isEmpty()) {
        const QByteArray serial = board.serial;
        filter.acceptsSerial = [serial](const QByteArray &text) {
            return BoardSerial::belongsTo(BoardSerial::reported(text), serial);
        };
    }
    return filter;
}

ChosenBoard pinChosenBoard(USBKR960 &usb, const BoardChoice &choice)
{
    // Boards on other ports are not even opened; boards that share the serial asked for are
    // all needed to tell whether it is unique.
    const BoardChoice onPort{QByteArray(), choice.port};
    const ChosenBoard chosen = pickBoard(listAttachedBoards(onPort), choice);
    if (chosen.found())
        usb.setBoardFilter(filterForBoard(chosen.board));
    return chosen;
}

ChosenBoard openChosenBoard(USBKR960 &usb, const BoardChoice &choice)
{
    ChosenBoard chosen = pinChosenBoard(usb, choice);
    if (chosen.found())
        connectChosenBoard(usb, chosen);
    return chosen;
}

void connectChosenBoard(USBKR960 &usb, ChosenBoard &chosen)
{
    if (usb.connect() != 0) {
        chosen.connectFailure = usb.lastConnectFailure();
        // Gone between the walk that found it and the connect.
        if (chosen.connectFailure == UsbDevice::ConnectFailure::NoDevice ||
            chosen.connectFailure == UsbDevice::ConnectFailure::NotChosen)
            chosen.search = BoardSearch::NotAttached;
        return;
    }
    chosen.board.port = usb.connectedPort();
}
