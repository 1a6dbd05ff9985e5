#pragma once

#include <QFrame>

class QLabel;
class QProgressBar;
struct BoardIdentity;
struct PageProgress;
struct StationRun;

// One board on the line, where it sits: its port and serial, how far its run has come, and how
// the run ended, in words and in a colour that reads from across the room, with the next step
// when it failed. It keeps its last state until its port gets a new run. Small enough that
// sixteen fit on a 1366x768 screen.
class BoardTile : public QFrame
{
    Q_OBJECT

public:
    explicit BoardTile(QWidget *parent = nullptr);

    void showWaiting(const BoardIdentity &board);
    void showStarted(const BoardIdentity &board, bool restarting);
    void showProgress(const PageProgress &progress, qint64 elapsedMs);
    void showEnded(const StationRun &run);

private:
    void showBoard(const QString &port, const QString &serial);
    void showElapsed(double seconds);
    void paint(const QColor &background);

    QLabel *port;
    QLabel *serial;
    QProgressBar *pages;
    QLabel *elapsed;
    QLabel *ending;
    QLabel *nextStep;
};
