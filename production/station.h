#pragma once

#include "device/board_identity.h"
#include "device/chosen_board.h"
#include "production/run_record.h"
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
    QString workerProgram; // runs one board: mv604-cli
    QString upgradeFile;
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

struct StationTotals {
    int passed = 0;
    int failed = 0;
    int firstRuns = 0; // boards seen for the first time by this station
    int firstRunsPassed = 0;
    int duplicates = 0; // serials seen on several boards at once

    double firstPassYield() const { return firstRuns ? double(firstRunsPassed) / firstRuns : 0; }
    // The station's verdict: every run passed and every board could be told apart.
    bool allPassed() const { return failed == 0 && duplicates == 0; }
};

struct StationRun {
    RunRecord record;
    bool passed = false;
    QString recordError; // why the record could not be written; empty when it was
    QString recordNote;  // written, but waiting in the spool for the database: why
};

// What a station keeps a board by: its port, or its serial where the host cannot tell ports.
// Two boards that share a serial are still two.
QString boardKey(const BoardIdentity &board);

// How a run ended, for a front end's colours: a board that could not even be opened is a matter
// of the station's set-up (the udev rule), not of the board.
enum class RunEnding { Passed, Failed, CannotOpen };
RunEnding runEnding(const StationRun &run);

// How a run ended, in an operator's words: "passed", or what went wrong ("a page could not be
// written", "cannot be opened: no permission (install the udev rule 60-kr960.rules)").
QString runEndingText(const StationRun &run);

// Boards that share a serial, in an operator's words: "serial 264900001 is reported by 2 boards
// (1-1.1, 1-1.2): their records cannot be told apart".
QString duplicateSerialText(const QByteArray &serial, const QStringList &ports);

Q_DECLARE_METATYPE(StationRun)
Q_DECLARE_METATYPE(StationTotals)
Q_DECLARE_METATYPE(BoardIdentity)
Q_DECLARE_METATYPE(PageProgress)

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

    // Reads the upgrade file once (its facts go into crash records) and starts. False, with the
    // reason, when the file is unusable: no board is touched then.
    bool start(Mode mode, QString *error);
    // No new runs; those in progress go on to their end.
    void stopAfterRunsInProgress();
    // The runs in progress end at their next page boundary and are recorded as stopped.
    void stopRuns();

    bool running() const;
    StationTotals totals() const { return counts; }

signals:
    void runStarted(const BoardIdentity &board);
    void runProgress(const BoardIdentity &board, const PageProgress &progress, qint64 elapsedMs);
    void runEnded(const StationRun &run);
    // Their records cannot be told apart: the station's verdict is failed. Where the ports are
    // unknown the boards are not programmed at all.
    void duplicateSerial(const QByteArray &serial, const QStringList &ports);
    void totalsChanged(const StationTotals &totals);
    void finished();

private:
    struct BoardRun;
    struct DoneBoard {
        QByteArray serial;
        bool away = false;
        QElapsedTimer awaySince;
    };

    void lookAtBus();
    QSet<QString> boardsToRefuseAsDuplicates(const QList<AttachedBoard> &boards);
    void forgetUnpluggedBoards(const QSet<QString> &present);
    bool isDone(const QString &key, const QByteArray &serial) const;
    void startRun(const AttachedBoard &board);
    void refuse(const AttachedBoard &board);
    void readWorker(BoardRun &run);
    void endRun(const QString &key);
    void finishRun(const RunRecord &record, bool workerPassed);
    void finishIfIdle();

    StationSettings settings;
    RunRecorder &recorder;
    Mode mode = Mode::AttachedNow;
    UpgradeFileFacts facts;
    bool accepting = false;
    bool started = false;
    bool stopping = false;
    QTimer poll;
    QMap<QString, std::shared_ptr<BoardRun>> runs; // by board key
    QHash<QString, DoneBoard> done;                // boards that had their run, by key
    QSet<QString> seenBoards;                      // for the first-pass yield
    QSet<QString> reportedDuplicates;
    StationTotals counts;
};
