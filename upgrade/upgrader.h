#pragma once

#include <QByteArray>
#include <QString>
#include <QThread>

#include <atomic>

class USBKR960;

// Pauses of an upgrade run. The defaults are the device's needs; tests that run hundreds of
// upgrades against a fast simulated device may shorten them.
struct UpgradeTiming {
    int connectRetryMs = 200;      // between connection attempts
    int restartWaitMs = 2000;      // after the run-application request
    int disconnectWaitMs = 500;    // after disconnecting the restarting device
    int reconnectGiveUpMs = 15000; // failed connection passes after a restart, in all
};

// How a run ended, beside the log texts that say it to the operator: front ends branch on this,
// never on the last line of the log.
enum class UpgradeOutcome {
    NotRun,       // no file was chosen, or no run has ended yet
    Ok,           // all 120 pages written and read back equal
    VerifyFailed, // every page was written, but some did not read back equal
    WriteFailed,  // the device refused a page
    BadFile,      // the upgrade file is unusable; the device was not touched
    NoDevice,     // no KR960 answered, or it did not come back in its bootloader
    Stopped,      // stop() ended the run
};

// "ok", "verify-failed", ...: for logs and scripts.
QString upgradeOutcomeName(UpgradeOutcome outcome);

// Programs the application area from an upgrade file in its own thread and reports each step
// through sendText and sendPercent, which the window queues to its log and progress bar.
class Upgrader : public QThread
{
    Q_OBJECT

public:
    explicit Upgrader(USBKR960 *usb);
    ~Upgrader() override;

    void setTiming(const UpgradeTiming &timing);
    // The command line's re-flash: each page is read first and written only when it differs;
    // pages already current count as verified, and the log says how many were written. The
    // window never sets it.
    void setSkipUnchangedPages(bool skip);
    // Asks a running upgrade to end at the next safe point (between pages or during a pause)
    // and waits for it.
    void stop();

    // What the last run came to, and its page counts; read them once the thread has finished.
    UpgradeOutcome outcome() const { return lastOutcome; }
    int pagesWritten() const { return lastPagesWritten; }
    int pagesVerified() const { return lastPagesVerified; }

signals:
    void sendText(QString s);
    void sendPercent(int percent);

public slots:
    void slotSetFileName(QString fileName);

protected:
    void run() override;

private:
    void end(UpgradeOutcome outcome);
    bool pause(int ms);
    bool connectWithRetries();
    bool reportBootloaderVersion();
    bool restartIntoBootloader();
    bool waitForBootloader();
    void connectAfresh();
    UpgradeOutcome programApplication(const QByteArray &applicationArea);

    USBKR960 *usb = nullptr;
    QString fileName;
    UpgradeTiming timing;
    bool skipUnchangedPages = false;
    std::atomic<UpgradeOutcome> lastOutcome{UpgradeOutcome::NotRun};
    std::atomic<int> lastPagesWritten{0};
    std::atomic<int> lastPagesVerified{0};
};
