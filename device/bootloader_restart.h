#pragma once

#include <functional>

class USBKR960;

// Pauses of a restart from the application into the bootloader.
struct RestartTiming {
    int restartWaitMs = 2000;      // after the run-application request
    int disconnectWaitMs = 500;    // after disconnecting the restarting board
    int retryMs = 200;             // between connection attempts
    int reconnectGiveUpMs = 15000; // failed connection passes, in all
    int connectedTries = 10;       // passes that find the board still in its application
};

// Sleeps `ms`; false when the wait is to end early (a stop request).
using Pause = std::function<bool(int ms)>;

// The run-application request, sent to a board that runs its application, restarts it into its
// bootloader, which enumerates anew. Sends it and waits until a connect finds the board back with
// the bootloader's 'b' in its serial (the transport keeps to the board it was pinned to). Passes
// that find it still in its application use up a try; passes that find nothing are bounded by
// time, so a board that never comes back ends the wait. False when it did not come back or a
// pause ended early.
bool restartIntoBootloader(USBKR960 &usb, const RestartTiming &timing, const Pause &pause);
