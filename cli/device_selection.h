#pragma once

#include "device/board_identity.h"
#include "device/chosen_board.h"

#include <QStringList>

class USBKR960;

// Which KR960 the device commands talk to: `--serial N` and `--port P` before the command word
// (or MV604_SERIAL and MV604_PORT); with both, both must match. Without either, the first KR960
// that `list` shows.

// Takes the choice from before the command word (and the environment); a serial that is not nine
// digits (a trailing 'b' is accepted) or a port that is not a port path is a usage failure.
void takeBoardChoice(QStringList &arguments);
BoardChoice boardChoice();

// Opens the chosen board, or fails naming why; the board's identity as connected.
BoardIdentity openChosenBoardOrFail(USBKR960 &usb);
// Makes the transport keep to the chosen board without connecting (the upgrade worker connects
// itself), or fails naming why.
BoardIdentity pinChosenBoardOrFail(USBKR960 &usb);

// The operator's sentence for a choice that could not be served.
QString chosenBoardFailureText(const ChosenBoard &chosen, const BoardChoice &choice);
