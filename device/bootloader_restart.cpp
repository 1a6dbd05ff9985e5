#include "device/bootloader_restart.h"

#include "device/board_identity.h"
#include "device/device_jobs.h"
#include "device/usbkr960.h"

#include <QDebug>
#include <QElapsedTimer>

namespace
{

bool waitForBootloader(USBKR960 &usb, const RestartTiming &timing, const Pause &pause)
{
    int triesLeft = timing.connectedTries;
    qint64 failedMs = 0;
    for (;;) {
        QElapsedTimer pass;
        pass.start();
        const bool connected = usb.connect() == 0;
        if (connected && BoardSerial::isBackInBootloader(readSerialText(usb)))
            return true;
        if (!pause(timing.retryMs))
            return false;
        if (connected ? --triesLeft == 0 : (failedMs += pass.elapsed()) >= timing.reconnectGiveUpMs)
            return false;
    }
}

} // namespace

bool restartIntoBootloader(USBKR960 &usb, const RestartTiming &timing, const Pause &pause)
{
    usb.RunApplication();
    qDebug() << "usb->RunApplication()";
    if (!pause(timing.restartWaitMs))
        return false;
    usb.disconnect();
    qDebug() << "usb->disconnect()";
    if (!pause(timing.disconnectWaitMs))
        return false;
    return waitForBootloader(usb, timing, pause);
}
