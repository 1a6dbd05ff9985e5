#include "station/board_tile.h"

#include "device/kr960_memory_map.h"
#include "production/station.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QVBoxLayout>

namespace
{
QColor colourOf(RunEnding ending)
{
    switch (ending) {
    case RunEnding::Passed:
        return QColor(0x66, 0xbb, 0x6a);
    case RunEnding::CannotOpen: // nothing was tried: a cable or the udev rule
        return QColor(0xff, 0xca, 0x28);
    case RunEnding::Failed:
        break;
    }
    return QColor(0xef, 0x53, 0x50);
}
} // namespace

BoardTile::BoardTile(QWidget *parent)
    : QFrame(parent), port(new QLabel(this)), serial(new QLabel(this)),
      pages(new QProgressBar(this)), elapsed(new QLabel(this)), ending(new QLabel(this)),
      nextStep(new QLabel(this))
{
    port->setObjectName("port");
    serial->setObjectName("serial");
    pages->setObjectName("pages");
    elapsed->setObjectName("elapsed");
    ending->setObjectName("ending");
    nextStep->setObjectName("nextStep");
    setFrameShape(QFrame::StyledPanel);
    setAutoFillBackground(true);
    setFixedWidth(200);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    QFont large = serial->font();
    large.setPointSizeF(large.pointSizeF() * 1.3);
    large.setBold(true);
    serial->setFont(large);
    QFont bold = ending->font();
    bold.setBold(true);
    ending->setFont(bold);
    ending->setWordWrap(true);
    nextStep->setWordWrap(true);
    // Room for the longest ending (the udev hint), so that a row of tiles stays even.
    ending->setFixedHeight(3 * QFontMetrics(bold).lineSpacing());
    nextStep->setFixedHeight(2 * QFontMetrics(nextStep->font()).lineSpacing());
    ending->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    elapsed->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    pages->setRange(0, int(Kr960::ApplicationPages));
    pages->setFormat(tr("%v of %m pages"));
    pages->setValue(0);
    auto *top = new QHBoxLayout;
    top->addWidget(port, 1);
    top->addWidget(elapsed);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(6, 4, 6, 4);
    layout->setSpacing(2);
    layout->addLayout(top);
    for (QWidget *part : std::initializer_list<QWidget *>{serial, pages, ending, nextStep})
        layout->addWidget(part);
}

void BoardTile::showWaiting(const BoardIdentity &board)
{
    showBoard(board.port, QString::fromLatin1(board.serial));
    pages->setValue(0);
    elapsed->clear();
    ending->setText(tr("ready"));
    nextStep->clear();
    paint(QPalette().color(QPalette::Button));
}

// A board in its application restarts into its bootloader first: no page is written then.
void BoardTile::showStarted(const BoardIdentity &board, bool restarting)
{
    showBoard(board.port, QString::fromLatin1(board.serial));
    pages->setValue(0);
    elapsed->clear();
    ending->setText(restarting ? tr("restarting") : tr("programming"));
    nextStep->clear();
    paint(QPalette().color(QPalette::Button));
}

// Pages written and read back equal: a page that failed is not done.
void BoardTile::showProgress(const PageProgress &progress, qint64 elapsedMs)
{
    pages->setRange(0, progress.pagesTotal);
    pages->setValue(progress.pagesVerified);
    ending->setText(tr("programming"));
    showElapsed(elapsedMs / 1000.0);
}

void BoardTile::showEnded(const StationRun &run)
{
    showBoard(run.record.port, run.record.serial);
    showElapsed(run.record.durationSeconds());
    ending->setText(runEndingText(run));
    nextStep->setText(runNextStepText(run));
    paint(colourOf(runEnding(run)));
}

void BoardTile::showBoard(const QString &portPath, const QString &serialNumber)
{
    port->setText(portPath.isEmpty() ? tr("port unknown") : tr("port %1").arg(portPath));
    serial->setText(serialNumber.isEmpty() ? tr("serial unknown") : serialNumber);
}

void BoardTile::showElapsed(double seconds)
{
    elapsed->setText(tr("%1 s").arg(seconds, 0, 'f', 1));
}

void BoardTile::paint(const QColor &background)
{
    QPalette colours = palette();
    colours.setColor(QPalette::Window, background);
    setPalette(colours);
}
