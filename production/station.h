#pragma once

#include "device/board_identity.h"
#include "device/chosen_board.h"
#include "production/run_record.h"
#include "production/station_bookkeeping.h"
#include "upgrade/upgrade_file.h"
#include "upgrade/upgrade_signature.h"
#include "upgrade/upgrader.h"

#include <QElapsedTimer>
#include <QHash>
#include <QMap>
#include <QObject>
#include <QSet>
#include <QStringList>
#include <QTimer>

#include <memory>

class RunRecorder;

struct StationSettings {
    QString workerProgram; // runs one board: mv604-worker (findWorkerProgram)
    QString upgradeFile;   // read and checked at the first start unless one was taken before
    bool skipUnchanged = false;
    // A programmed board that stays off the bus this long counts as unplugged and is programmed
    // again when it comes back; shorter absences are its own restarts.
    int unpluggedAfterMs = 3000;
    int pollIntervalMs = 200; // how often a watching station looks at the bus
    int stopGraceMs = 15000;  // after stopRuns, a worker still running is killed
    // With a key (or the requirement), only a file signed by a trusted key is programmed.
    // Each worker is given the same keys and checks the file it programs too.
    TrustedKeys trustedKeys;
};

struct StationRun {
    RunRecord record;
    bool passed = false;
    QString recordError;    // why the record could not be written; empty when it was
    QString recordNote;     // written, but waiting in the spool for the database: why
    int leftBusAtPage = 0;  // the board was gone from the bus when its run failed, at this page
    QStringList sharedWith; // other ports whose board reports the same serial: counted nowhere
};

// What a station keeps a board by: its port, or its serial where the host cannot tell ports.
// Two boards that share a serial are still two.
QString boardKey(const BoardIdentity &board);
// Board keys in the order of a fixture's slots: ports by their numbers (1-1.2 before 1-1.10),
// then boards known only by their serial.
bool boardKeyLess(const QString &a, const QString &b);

// How a run ended, for a front end's colours: a board that could not even be opened is a matter
// of the station's set-up (the udev rule), not of the board; one that shares its serial failed,
// whatever the board took, since its record cannot be told from another's.
enum class RunEnding { Passed, Failed, CannotOpen };
RunEnding runEnding(const StationRun &run);

// How a run ended, in an operator's words: "passed", or what went wrong ("a page could not be
// written", "cannot be opened: no permission (install the udev rule 60-kr960.rules)").
QString runEndingText(const StationRun &run);
// What the operator does next about a run that failed ("unplug and plug in again to retry");
// empty for a run that passed.
QString runNextStepText(const StationRun &run);

// Boards that share a serial, in an operator's words: "serial 264900001 is reported by 2 boards
// (1-1.1, 1-1.2): their records cannot be told apart".
QString duplicateSerialText(const QByteArray &serial, const QStringList &ports);

Q_DECLARE_METATYPE(StationRun)
Q_DECLARE_METATYPE(StationTotals)
Q_DECLARE_METATYPE(BoardIdentity)

// A production station: programs boards from one upgrade file, each in a worker process of its
// own, keyed by the USB port it sits on (by its serial where ports are unknown). It builds and
// writes every run's record and keeps the line's counts; front ends only show what it reports.
class Station : public QObject
{
    Q_OBJECT

public:
    enum class Mode {
        AttachedNow, // every board on the bus now, once
        Watch,       // each board as it is plugged in, until stopped
    };

    Station(const StationSettings &settings, RunRecorder &recorder, QObject *parent = nullptr);
    ~Station() override;

    // Reads and checks the upgrade file, once: every worker is handed exactly these bytes, and
    // the records of runs that never reported (crashed, unopenable boards) carry their facts.
    // False, with the reason, when the file is unusable; the copy taken before is kept then.
    bool takeUpgradeFile(const QString &path, QString *error);
    bool hasUpgradeFile() const { return !checked.bytes.isEmpty(); }
    // Only files signed by one of these keys are taken from now on; a file taken under other
    // keys is let go, to be taken (and checked) again.
    void setTrustedKeys(const TrustedKeys &keys);
    const UpgradeFileFacts &upgradeFileFacts() const { return checked.facts; }
    QString upgradeFilePath() const { return checked.path; }

    // Looks at the bus without programming: boards attached before start() are reported by
    // boardWaiting, and a board that leaves meanwhile is known to have left.
    void watchBus();
    // Starts with the upgrade file taken (settings.upgradeFile when none was). False, with the
    // reason, when the file is unusable: no board is touched then. Boards done before a stop
    // and never unplugged are not programmed again, and the totals go on from the first start.
    bool start(Mode mode, QString *error);
    // No new runs; those in progress go on to their end.
    void stopAfterRunsInProgress();
    // The runs in progress end at their next page boundary and are recorded as stopped.
    void stopRuns();

    bool running() const;
    StationTotals totals() const { return counts; }

signals:
    // A board on the bus that the station is not programming now and has not done.
    void boardWaiting(const BoardIdentity &board);
    // `restarting`: the board runs its application, and restarts into its bootloader first.
    void runStarted(const BoardIdentity &board, bool restarting);
    void runProgress(const BoardIdentity &board, const PageProgress &progress, qint64 elapsedMs);
    void runEnded(const StationRun &run);
    // Their records cannot be told apart: the station's verdict is failed. Where the ports are
    // unknown the boards are not programmed at all.
    void duplicateSerial(const QByteArray &serial, const QStringList &ports);
    void totalsChanged(const StationTotals &totals);
    // The upgrade file on disk is no longer the copy the station checked, which it keeps
    // programming; once per copy taken.
    void upgradeFileChanged(const QString &path);
    void finished();

private:
    struct BoardRun;
    // The one copy of the upgrade file that this station programs.
    struct CheckedFile {
        QString path;
        QByteArray bytes;
        UpgradeFileFacts facts;
        QString stamp; // size, time and inode on disk when read: a change is noticed
        bool changeReported = false;
    };

    void lookAtBus();
    void noticeUpgradeFileChange();
    void showWaiting(const QList<AttachedBoard> &boards, const QSet<QString> &unsettled);
    QSet<QString> boardsToRefuseAsDuplicates(const QList<AttachedBoard> &boards);
    bool isDone(const QString &key, const QByteArray &serial) const;
    void startRun(const AttachedBoard &board);
    void refuse(const AttachedBoard &board);
    void readWorker(BoardRun &run);
    void endRun(const QString &key);
    int leftBusAtPage(const QString &key, const RunRecord &record) const;
    void finishRun(const RunRecord &record, bool workerPassed, int leftBusAtPage = 0);
    void count(StationRun &run);
    void finishIfIdle();

    StationSettings settings;
    RunRecorder &recorder;
    Mode mode = Mode::AttachedNow;
    CheckedFile checked;
    bool watching = false;
    bool accepting = false;
    bool started = false;
    bool stopping = false;
    QTimer poll;
    QMap<QString, std::shared_ptr<BoardRun>> runs; // by board key
    QHash<QString, DoneBoard> done;                // boards that had their run, by key
    QSet<QString> seenBoards;                      // for the first-pass yield
    QSet<QString> reportedDuplicates;
    QHash<QString, QStringList> sharedSerials; // board key and serial: the other ports
    QSet<QString> waitingShown;                // boards reported by boardWaiting, while there
    QSet<QString> unreadableBefore;            // unreadable at the last walk of the bus
    QElapsedTimer anonymousUnreadableSince;    // a device without port or serial, unreadable
    QElapsedTimer sinceConstruction;           // the clock of the boards' absences
    StationTotals counts;
};
