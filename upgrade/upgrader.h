#pragma once

#include <QByteArray>
#include <QString>
#include <QThread>

class USBKR960;

// Pauses of an upgrade run. The defaults are the device's needs; tests that run hundreds of
// upgrades against a fast simulated device may shorten them.
struct UpgradeTiming {
    int connectRetryMs = 200;      // between connection attempts
    int restartWaitMs = 2000;      // after the run-application request
    int disconnectWaitMs = 500;    // after disconnecting the restarting device
    int reconnectGiveUpMs = 15000; // failed connection passes after a restart, in all
};

// Programs the application area from an upgrade file in its own thread and reports each step
// through sendText and sendPercent, which the window queues to its log and progress bar.
class Upgrader : public QThread
{
    Q_OBJECT

public:
    explicit Upgrader(USBKR960 *usb);
    ~Upgrader() override;

    void setTiming(const UpgradeTiming &timing);
    // Asks a running upgrade to end at the next safe point (between pages or during a pause)
    // and waits for it.
    void stop();

signals:
    void sendText(QString s);
    void sendPercent(int percent);

public slots:
    void slotSetFileName(QString fileName);

protected:
    void run() override;

private:
    bool pause(int ms);
    bool connectWithRetries();
    QByteArray serialNumber();
    bool reportBootloaderVersion();
    bool restartIntoBootloader();
    bool waitForBootloader();
    void connectAfresh();
    void programApplication(const QByteArray &applicationArea);

    USBKR960 *usb = nullptr;
    QString fileName;
    UpgradeTiming timing;
};
