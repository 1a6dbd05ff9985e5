#include "station/station_window.h"

#include "production/station.h"
#include "station/board_tile.h"
#include "station/upgrade_file_panel.h"

#include <QCloseEvent>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QScrollArea>
#include <QTimer>
#include <QVBoxLayout>

namespace
{

constexpr int TileColumns = 4;

QString workerMissingText()
{
    return StationWindow::tr("mv604-cli was not found: install it next to mv604-station or name "
                             "it in MV604_CLI");
}

QLabel *countLabel(const QString &name, QWidget *parent)
{
    auto *label = new QLabel(parent);
    label->setObjectName(name);
    QFont large = label->font();
    large.setPointSizeF(large.pointSizeF() * 1.6);
    large.setBold(true);
    label->setFont(large);
    return label;
}

} // namespace

StationWindow::StationWindow(const QString &workerProgram, const QString &logFile, QWidget *parent)
    : QMainWindow(parent), workerProgram(workerProgram)
{
    recorder.setLogFile(logFile);
    setWindowTitle(tr("Mv604 Station"));
    auto *central = new QWidget(this);
    filePanel = new UpgradeFilePanel(central);
    startButton = new QPushButton(tr("Start"), central);
    stopButton = new QPushButton(tr("Stop"), central);
    startButton->setObjectName("start");
    stopButton->setObjectName("stop");
    stopButton->setToolTip(tr("No new boards; the runs in progress go on to their end"));
    message = new QLabel(central);
    message->setObjectName("message");
    duplicates = new QLabel(central);
    duplicates->setObjectName("duplicates");
    duplicates->setStyleSheet("color: #c62828; font-weight: bold");
    duplicates->hide();

    auto *tileArea = new QWidget;
    tileGrid = new QGridLayout(tileArea);
    tileGrid->setAlignment(Qt::AlignTop | Qt::AlignLeft);
    auto *scroll = new QScrollArea(central);
    scroll->setWidget(tileArea);
    scroll->setWidgetResizable(true);

    passed = countLabel("passed", central);
    passed->setStyleSheet("color: #2e7d32");
    failed = countLabel("failed", central);
    failed->setStyleSheet("color: #c62828");
    yield = countLabel("yield", central);
    databaseState = new QLabel(central);
    databaseState->setObjectName("database");

    auto *controls = new QHBoxLayout;
    controls->addWidget(filePanel, 1);
    controls->addWidget(startButton);
    controls->addWidget(stopButton);
    auto *counts = new QHBoxLayout;
    counts->setSpacing(40);
    for (QLabel *count : {passed, failed, yield})
        counts->addWidget(count);
    counts->addStretch();
    counts->addWidget(databaseState);
    auto *layout = new QVBoxLayout(central);
    layout->addLayout(controls);
    layout->addWidget(message);
    layout->addWidget(duplicates);
    layout->addWidget(scroll, 1);
    layout->addLayout(counts);
    setCentralWidget(central);
    resize(1040, 480);

    connect(filePanel, &UpgradeFilePanel::changed, this, &StationWindow::updateButtons);
    connect(startButton, &QPushButton::clicked, this, &StationWindow::start);
    connect(stopButton, &QPushButton::clicked, this, &StationWindow::stopAfterRunsInProgress);
    showTotals({});
    // The recorder's thread talks to the database; the window only looks at how it goes.
    auto *stateClock = new QTimer(this);
    connect(stateClock, &QTimer::timeout, this, &StationWindow::showDatabaseState);
    stateClock->start(500);
    showDatabaseState();
    QString logProblem;
    if (workerProgram.isEmpty())
        showMessage(workerMissingText(), true);
    else if (!recorder.ready(&logProblem))
        showMessage(logProblem, true);
    else
        showMessage(tr("Choose the upgrade file and press Start"));
    updateButtons();
}

StationWindow::~StationWindow() = default;

bool StationWindow::chooseUpgradeFile(const QString &path)
{
    return filePanel->choose(path);
}

bool StationWindow::useDatabase(const QString &url)
{
    databaseProblem.clear();
    if (!recorder.setDatabase(url, &databaseProblem))
        showMessage(databaseProblem, true);
    return databaseProblem.isEmpty();
}

void StationWindow::showDatabaseState()
{
    switch (recorder.databaseState()) {
    case RunRecorder::DatabaseState::NotConfigured:
        databaseState->setText(tr("Database: not configured"));
        break;
    case RunRecorder::DatabaseState::Connected:
        databaseState->setText(tr("Database: connected"));
        break;
    case RunRecorder::DatabaseState::Spooling:
        databaseState->setText(tr("Database: away, spooling %1").arg(recorder.spooledCount()));
        break;
    }
}

bool StationWindow::start()
{
    if (running())
        return false;
    QString error;
    if (workerProgram.isEmpty())
        error = workerMissingText();
    else if (!filePanel->usable())
        error = tr("Choose a usable upgrade file first");
    else if (!databaseProblem.isEmpty())
        error = databaseProblem;
    else
        recorder.ready(&error);
    if (!error.isEmpty()) {
        showMessage(error, true);
        return false;
    }

    StationSettings settings;
    settings.workerProgram = workerProgram;
    settings.upgradeFile = filePanel->path();
    station = std::make_unique<Station>(settings, recorder);
    connect(station.get(), &Station::runStarted, this, [this](const BoardIdentity &board) {
        tileFor(board.port, board.serial)->showStarted(board);
    });
    connect(station.get(), &Station::runProgress, this,
            [this](const BoardIdentity &board, const PageProgress &progress, qint64 elapsedMs) {
                tileFor(board.port, board.serial)->showProgress(progress, elapsedMs);
            });
    connect(station.get(), &Station::runEnded, this, [this](const StationRun &run) {
        tileFor(run.record.port, run.record.serial.toLatin1())->showEnded(run);
    });
    connect(station.get(), &Station::duplicateSerial, this, &StationWindow::showDuplicate);
    connect(station.get(), &Station::totalsChanged, this, &StationWindow::showTotals);
    connect(station.get(), &Station::finished, this, &StationWindow::stationFinished);
    stopRequested = false;
    duplicates->clear();
    duplicates->hide();
    showTotals({});
    showMessage(tr("Programming each KR960 plugged in"));
    if (!station->start(Station::Mode::Watch, &error)) {
        station.reset();
        showMessage(error, true);
    }
    updateButtons();
    return station != nullptr;
}

// Closing asks the runs to end at their next page; the window goes once each is recorded.
void StationWindow::closeEvent(QCloseEvent *event)
{
    if (running()) {
        closing = true;
        station->stopRuns();
    }
    if (!running()) {
        event->accept();
        return;
    }
    showMessage(tr("Closing: the runs in progress end at their next page and are recorded"));
    updateButtons();
    event->ignore();
}

bool StationWindow::running() const
{
    return station && station->running();
}

void StationWindow::stopAfterRunsInProgress()
{
    if (!running())
        return;
    stopRequested = true;
    showMessage(tr("Stopping: no new boards, the runs in progress go on to their end"));
    station->stopAfterRunsInProgress();
    updateButtons();
}

void StationWindow::stationFinished()
{
    showMessage(tr("Stopped"));
    updateButtons();
    if (closing)
        QTimer::singleShot(0, this, [this] {
            if (isVisible())
                close();
        });
}

BoardTile *StationWindow::tileFor(const QString &port, const QByteArray &serial)
{
    const QString key = boardKey({serial, port});
    BoardTile *&tile = tiles[key];
    if (tile)
        return tile;
    tile = new BoardTile;
    // In port order: a fixture's slots stay where they are whichever board came first.
    for (BoardTile *each : std::as_const(tiles))
        tileGrid->removeWidget(each);
    int position = 0;
    for (BoardTile *each : std::as_const(tiles)) {
        tileGrid->addWidget(each, position / TileColumns, position % TileColumns, Qt::AlignTop);
        ++position;
    }
    return tile;
}

void StationWindow::showDuplicate(const QByteArray &serial, const QStringList &ports)
{
    const QString line = duplicateSerialText(serial, ports);
    duplicates->setText(duplicates->text().isEmpty() ? line : duplicates->text() + '\n' + line);
    duplicates->show();
}

void StationWindow::showTotals(const StationTotals &totals)
{
    passed->setText(tr("%1 passed").arg(totals.passed));
    failed->setText(tr("%1 failed").arg(totals.failed));
    yield->setText(totals.firstRuns
                       ? tr("first-pass yield %1 %").arg(totals.firstPassYield() * 100, 0, 'f', 0)
                       : tr("first-pass yield -"));
}

void StationWindow::showMessage(const QString &text, bool problem)
{
    message->setText(text);
    message->setStyleSheet(problem ? QStringLiteral("color: #c62828") : QString());
}

void StationWindow::updateButtons()
{
    const bool busy = running();
    startButton->setEnabled(!busy && filePanel->usable() && !workerProgram.isEmpty());
    stopButton->setEnabled(busy && !stopRequested && !closing);
    filePanel->setChoosable(!busy);
}
