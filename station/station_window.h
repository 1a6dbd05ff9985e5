#pragma once

#include "production/run_recorder.h"
#include "upgrade/upgrade_signature.h"

#include <QMainWindow>
#include <QMap>

#include <memory>

class BoardTile;
class QGridLayout;
class QLabel;
class QPushButton;
class QScrollArea;
class Station;
class UpgradeFilePanel;
struct BoardIdentity;
struct StationTotals;

// The production station as an operator at a fixture sees it: the upgrade file, Start and Stop,
// a tile per board, the line's counts. What happens is the core Station's doing; the window
// shows what it reports. Closed during runs, it lets them end at their next page, waits until
// they are recorded, and only then goes.
class StationWindow : public QMainWindow
{
    Q_OBJECT

public:
    // workerProgram runs one board (mv604-worker), empty when none was found; logFile, when
    // given, gets every run's record. The file chosen last time is offered again when it can
    // still be used; otherwise it is forgotten, with a notice.
    StationWindow(const QString &workerProgram, const QString &logFile, QWidget *parent = nullptr);
    ~StationWindow() override;

    bool chooseUpgradeFile(const QString &path);
    // Records also go to the line's database; false, with the reason shown (and Start refused),
    // when it cannot be used.
    bool useDatabase(const QString &url);
    // Only files signed by one of these keys are programmed (when there is one, or a signature
    // is required).
    void useTrustedKeys(const TrustedKeys &keys);
    // Watches for boards and programs each one plugged in; false, with the reason shown, when
    // the station cannot start.
    bool start();

protected:
    void closeEvent(QCloseEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void connectStation();
    void offerRememberedFile();
    void reloadUpgradeFile();
    void showUpgradeFileChanged(const QString &path);
    void layOutTiles();
    bool running() const;
    void stopAfterRunsInProgress();
    void stationFinished();
    BoardTile *tileFor(const QString &port, const QByteArray &serial);
    void showDuplicate(const QByteArray &serial, const QStringList &ports);
    void showTotals(const StationTotals &totals);
    void showMessage(const QString &text, bool problem = false);
    void updateButtons();
    void showDatabaseState();

    QString workerProgram;
    RunRecorder recorder;
    QString databaseProblem;
    // One station for the window's life: a board that passed and stays on its port is not
    // programmed again after Stop and Start, and the counts run from the first start.
    std::unique_ptr<Station> station;
    bool stopRequested = false;
    bool closing = false;

    UpgradeFilePanel *filePanel;
    QPushButton *startButton;
    QPushButton *stopButton;
    QLabel *message;
    QLabel *duplicates;
    QGridLayout *tileGrid;
    QWidget *tileArea;
    QScrollArea *tileScroll;
    QMap<QString, BoardTile *> tiles; // by port, or by serial where the port is unknown
    int tileColumns = 0;
    QLabel *passed;
    QLabel *failed;
    QLabel *yield;
    QLabel *databaseState;
};
