#pragma once

#include "device/board_identity.h"
#include "device/bootloader_restart.h"
#include "upgrade/page_programmer.h"
#include "upgrade/upgrade_file.h"

#include <QByteArray>
#include <QMutex>
#include <QString>
#include <QThread>

#include <optional>

class USBKR960;

// How a run ended, beside the log texts that say it to the operator: front ends branch on this,
// never on the last line of the log.
enum class UpgradeOutcome {
    NotRun,       // no file was chosen, or no run has ended yet
    Ok,           // all 120 pages written and read back equal
    VerifyFailed, // every page was written, but some read back with other bytes
    ReadFailed,   // every page was written and none read back wrong, but some could not be read
    WriteFailed,  // the device refused a page
    BadFile,      // the upgrade file is unusable; the device was not touched
    NoDevice,     // no KR960 answered, or it did not come back in its bootloader
    Stopped,      // stop() ended the run
};

// "ok", "verify-failed", ...: for logs and scripts.
QString upgradeOutcomeName(UpgradeOutcome outcome);

// Everything a front end or a record needs to know of one run, typed.
struct UpgradeReport {
    UpgradeOutcome outcome = UpgradeOutcome::NotRun;
    int pagesWritten = 0;  // pages the device took
    int pagesVerified = 0; // pages read back equal (or found current and not written)
    BoardIdentity board;   // the board the run met first and kept to; empty before a connect
    UpgradeFileFacts file; // of the bytes the run read
    QString lastLine;      // the last log line: how the run ended, in the operator's words
};

// Programs the application area from an upgrade file in its own thread and reports each step
// through sendText and progressed, which the window queues to its log and progress bar.
class Upgrader : public QThread
{
    Q_OBJECT

public:
    explicit Upgrader(USBKR960 *usb);
    ~Upgrader() override;

    // The pauses of the restart into the bootloader and between connection attempts. The defaults
    // are the device's needs; tests against a fast simulated device may shorten them.
    void setTiming(const RestartTiming &timing);
    // The board the run is to program, as its caller chose it: every connect, those after the
    // restart included, keeps to it. Without one the run takes the first KR960 that answers
    // and keeps to that one, and leaves the transport free for any board when it ends.
    void setBoard(const std::optional<BoardIdentity> &board);
    // The command line's re-flash: each page is read first and written only when it differs;
    // pages already current count as verified, and the log says how many were written. The
    // window never sets it.
    void setSkipUnchangedPages(bool skip);
    // Asks a running upgrade to end at the next safe point (between pages or during a pause);
    // stop() also waits for it.
    void requestStop();
    void stop();

    // A file the caller has read and checked (its signature; a station's bytes): the run
    // programs these bytes and does not read the path again.
    void setUpgradeFile(const QString &fileName, const LoadedUpgradeFile &file);

    // What the last run came to; read it once the thread has finished.
    UpgradeReport report() const;
    UpgradeOutcome outcome() const { return report().outcome; }
    int pagesWritten() const { return report().pagesWritten; }
    int pagesVerified() const { return report().pagesVerified; }

signals:
    void sendText(QString s);
    // Nothing done yet once the run reaches the board, then after every page the device took or
    // held already: a refused page leaves it where it was.
    void progressed(const PageProgress &progress);

public slots:
    void slotSetFileName(QString fileName);

protected:
    void run() override;

private:
    void say(const QString &line);
    void end(UpgradeOutcome outcome);
    bool pause(int ms);
    enum class Connection { Made, Failed, Stopped };
    Connection connectWithRetries();
    bool connectFirst();
    void keepToBoard(const QByteArray &serial);
    bool reportBootloaderVersion();
    bool restartIntoBootloader();
    bool connectAfresh();
    UpgradeOutcome programApplication(const QByteArray &applicationArea);
    void runOnBoard(const QByteArray &applicationArea);

    USBKR960 *usb = nullptr;
    QString fileName;
    std::optional<LoadedUpgradeFile> checkedFile;
    RestartTiming timing;
    std::optional<BoardIdentity> givenBoard;
    bool skipUnchangedPages = false;
    mutable QMutex reportLock; // the report is written by the worker, read by its owner
    UpgradeReport lastReport;
};
