#pragma once

#include "device/board_identity.h"
#include "device/board_lock.h"
#include "device/chosen_board.h"

#include <QStringList>

class USBKR960;

// Which KR960 the device commands talk to: `--serial N` and `--port P` before the command word
// (or MV604_SERIAL and MV604_PORT); with both, both must match. Without either, the first KR960
// that `list` shows.

// Takes the choice from before the command word (and the environment), once, for the command to
// hand down. A serial that is not nine digits (a trailing 'b' is accepted), a port that is not a
// port path, and an empty value are usage failures.
BoardChoice takeBoardChoice(QStringList &arguments);

// A board a device command holds: who it is, and the lock that keeps every other command off it
// until the command ends. Where the port is not known there is nothing to key a lock by.
struct HeldBoard {
    BoardIdentity identity;
    BoardLock lock;
};

// Opens the chosen board for `command` ("mv604-cli info"), or fails naming why; the board's
// identity as connected.
HeldBoard openChosenBoardOrFail(USBKR960 &usb, const BoardChoice &choice, const QString &command);
// Locks a board found (not yet connected) for `command`; the refusal in words when another
// process holds it. A board whose port is unknown has nothing to key a lock by.
QString lockBoard(const BoardIdentity &board, const QString &command, BoardLock *lock);

// The operator's sentence for a choice that could not be served.
QString chosenBoardFailureText(const ChosenBoard &chosen, const BoardChoice &choice);
