#include "station/station_window.h"

#include "production/station.h"
#include "station/board_tile.h"
#include "station/upgrade_file_panel.h"

#include <QCloseEvent>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QSettings>
#include <QTimer>
#include <QVBoxLayout>

namespace
{

const char *const RememberedFile = "station/upgradeFile";

// Sixteen tiles, three rows of six, with the file panel and the counts, within a 1366x768
// screen and its window frame.
constexpr int DefaultWidth = 1320;
constexpr int DefaultHeight = 690;

QString workerMissingText()
{
    return StationWindow::tr("mv604-worker was not found: install it next to mv604-station or "
                             "name it in MV604_WORKER");
}

QString startHint(bool fileChosen)
{
    return fileChosen ? StationWindow::tr("Press Start to program each KR960 plugged in")
                      : StationWindow::tr("Choose the upgrade file and press Start");
}

QLabel *countLabel(const QString &name, const QString &colour, QWidget *parent)
{
    auto *label = new QLabel(parent);
    label->setObjectName(name);
    QFont large = label->font();
    large.setPointSizeF(large.pointSizeF() * 1.6);
    large.setBold(true);
    label->setFont(large);
    if (!colour.isEmpty()) {
        QPalette colours = label->palette();
        colours.setColor(QPalette::WindowText, QColor(colour));
        label->setPalette(colours);
    }
    label->setSizePolicy(QSizePolicy::Minimum, QSizePolicy::Preferred);
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
    message->setWordWrap(true);
    duplicates = new QLabel(central);
    duplicates->setObjectName("duplicates");
    duplicates->setStyleSheet("color: #c62828; font-weight: bold");
    duplicates->hide();

    tileArea = new QWidget;
    tileGrid = new QGridLayout(tileArea);
    tileGrid->setAlignment(Qt::AlignTop | Qt::AlignLeft);
    tileGrid->setSpacing(6);
    tileGrid->setContentsMargins(4, 4, 4, 4);
    tileScroll = new QScrollArea(central);
    tileScroll->setObjectName("tiles");
    tileScroll->setWidget(tileArea);
    tileScroll->setWidgetResizable(true);
    tileScroll->viewport()->installEventFilter(this);

    passed = countLabel("passed", "#2e7d32", central);
    failed = countLabel("failed", "#c62828", central);
    yield = countLabel("yield", QString(), central);
    // As wide as their widest text from the start: a count that grows is never cut off while
    // the layout catches up.
    passed->setMinimumWidth(passed->fontMetrics().horizontalAdvance(tr("%1 passed").arg(9999)));
    failed->setMinimumWidth(failed->fontMetrics().horizontalAdvance(tr("%1 failed").arg(9999)));
    yield->setMinimumWidth(
        yield->fontMetrics().horizontalAdvance(tr("first-pass yield %1 %").arg(100)));
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
    layout->addWidget(tileScroll, 1);
    layout->addLayout(counts);
    setCentralWidget(central);
    resize(DefaultWidth, DefaultHeight);

    StationSettings settings;
    settings.workerProgram = workerProgram;
    station = std::make_unique<Station>(settings, recorder);
    connectStation();
    connect(filePanel, &UpgradeFilePanel::fileChosen, this, &StationWindow::chooseUpgradeFile);
    connect(filePanel, &UpgradeFilePanel::reloadAsked, this, &StationWindow::reloadUpgradeFile);
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
        showMessage(startHint(false));
    offerRememberedFile();
    updateButtons();
    station->watchBus();
}

StationWindow::~StationWindow() = default;

void StationWindow::connectStation()
{
    Station *core = station.get();
    connect(core, &Station::boardWaiting, this, [this](const BoardIdentity &board) {
        tileFor(board.port, board.serial)->showWaiting(board);
    });
    connect(core, &Station::runStarted, this, [this](const BoardIdentity &board, bool restarting) {
        tileFor(board.port, board.serial)->showStarted(board, restarting);
    });
    connect(core, &Station::runProgress, this,
            [this](const BoardIdentity &board, const PageProgress &progress, qint64 elapsedMs) {
                tileFor(board.port, board.serial)->showProgress(progress, elapsedMs);
            });
    connect(core, &Station::runEnded, this, [this](const StationRun &run) {
        tileFor(run.record.port, run.record.serial.toLatin1())->showEnded(run);
    });
    connect(core, &Station::duplicateSerial, this, &StationWindow::showDuplicate);
    connect(core, &Station::totalsChanged, this, &StationWindow::showTotals);
    connect(core, &Station::upgradeFileChanged, this, &StationWindow::showUpgradeFileChanged);
    connect(core, &Station::finished, this, &StationWindow::stationFinished);
}

// Only a file the station accepted is remembered; one that has become unusable since (moved,
// damaged, or a FIFO or device that the check refuses without reading) is forgotten, so the
// next start is never held up by it.
void StationWindow::offerRememberedFile()
{
    const QString remembered = QSettings().value(RememberedFile).toString();
    if (remembered.isEmpty())
        return;
    QString error;
    if (station->takeUpgradeFile(remembered, &error)) {
        filePanel->showAccepted(station->upgradeFilePath(), station->upgradeFileFacts());
        if (message->text() == startHint(false))
            showMessage(startHint(true));
        return;
    }
    QSettings().remove(RememberedFile);
    showMessage(tr("The upgrade file chosen last time can no longer be used, and is forgotten: "
                   "%1")
                    .arg(error),
                true);
}

bool StationWindow::chooseUpgradeFile(const QString &path)
{
    QString error;
    if (!station->takeUpgradeFile(path, &error)) {
        filePanel->showRefused(path, error);
        // The copy checked before stays the station's; Start needs one.
        updateButtons();
        return false;
    }
    QSettings().setValue(RememberedFile, station->upgradeFilePath());
    filePanel->showAccepted(station->upgradeFilePath(), station->upgradeFileFacts());
    if (message->text() == startHint(false))
        showMessage(startHint(true));
    updateButtons();
    return true;
}

void StationWindow::reloadUpgradeFile()
{
    if (chooseUpgradeFile(station->upgradeFilePath()))
        showMessage(running() ? tr("The new file is programmed from the next board on")
                              : startHint(true));
}

void StationWindow::showUpgradeFileChanged(const QString &path)
{
    showMessage(tr("%1 changed on disk: the station keeps programming the copy it checked; press "
                   "Reload to check and program the new one")
                    .arg(QFileInfo(path).fileName()),
                true);
    filePanel->showChangedOnDisk();
}

bool StationWindow::useDatabase(const QString &url)
{
    databaseProblem.clear();
    if (!recorder.setDatabase(url, &databaseProblem))
        showMessage(databaseProblem, true);
    return databaseProblem.isEmpty();
}

void StationWindow::useTrustedKeys(const TrustedKeys &keys)
{
    const QString taken = station->upgradeFilePath();
    station->setTrustedKeys(keys);
    if (!taken.isEmpty())
        chooseUpgradeFile(taken);
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
    else if (!station->hasUpgradeFile())
        error = tr("Choose a usable upgrade file first");
    else if (!databaseProblem.isEmpty())
        error = databaseProblem;
    else
        recorder.ready(&error);
    if (!error.isEmpty()) {
        showMessage(error, true);
        return false;
    }
    stopRequested = false;
    showMessage(tr("Programming each KR960 plugged in"));
    const bool started = station->start(Station::Mode::Watch, &error);
    if (!started)
        showMessage(error, true);
    updateButtons();
    return started;
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

// The tiles flow anew whenever their room changes width.
bool StationWindow::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == tileScroll->viewport() && event->type() == QEvent::Resize)
        layOutTiles();
    return QMainWindow::eventFilter(watched, event);
}

bool StationWindow::running() const
{
    return station->running();
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
    if (!tile) {
        tile = new BoardTile(tileArea);
        tileColumns = 0; // lay them out anew
        layOutTiles();
    }
    return tile;
}

// In port order, as many to a row as the window is wide: a fixture's slots stay where they are
// whichever board came first, and a larger window shows more of them at once.
void StationWindow::layOutTiles()
{
    if (tiles.isEmpty())
        return;
    const QMargins margins = tileGrid->contentsMargins();
    const int room = tileScroll->viewport()->width() - margins.left() - margins.right() -
                     tileScroll->verticalScrollBar()->sizeHint().width();
    const int columns =
        qMax(1, (room + tileGrid->spacing()) / (tiles.first()->width() + tileGrid->spacing()));
    if (columns == tileColumns)
        return;
    tileColumns = columns;
    QStringList keys = tiles.keys();
    std::sort(keys.begin(), keys.end(), boardKeyLess);
    for (BoardTile *each : std::as_const(tiles))
        tileGrid->removeWidget(each);
    for (int position = 0; position < keys.size(); ++position)
        tileGrid->addWidget(tiles[keys[position]], position / columns, position % columns,
                            Qt::AlignTop);
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
    startButton->setEnabled(!busy && station->hasUpgradeFile() && !workerProgram.isEmpty());
    stopButton->setEnabled(busy && !stopRequested && !closing);
    filePanel->setChoosable(!busy);
}
