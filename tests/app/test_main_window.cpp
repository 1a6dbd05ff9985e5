#include "app/kr960_bootloader.h"
#include "app/main_window_title.h"
#include "app/translation_loader.h"
#include "dialog_script.h"
#include "trace_capture.h"
#include "upgrade/upgrader.h"
#include "window_probe.h"

#include <QMenu>
#include <QMenuBar>
#include <QMetaMethod>
#include <QProcess>
#include <QRegularExpression>
#include <QSpacerItem>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QThread>
#include <QTranslator>
#include <QtTest>
#include <memory>
#include <unistd.h>

namespace
{

struct Cell {
    int row = -1;
    int column = -1;
    int rowSpan = -1;
    int columnSpan = -1;
    bool operator==(const Cell &other) const
    {
        return row == other.row && column == other.column && rowSpan == other.rowSpan &&
               columnSpan == other.columnSpan;
    }
};

Cell cellOf(QGridLayout *grid, int index)
{
    Cell cell;
    grid->getItemPosition(index, &cell.row, &cell.column, &cell.rowSpan, &cell.columnSpan);
    return cell;
}

char *toString(const Cell &cell)
{
    return QTest::toString(QStringLiteral("(%1, %2, %3, %4)")
                               .arg(cell.row)
                               .arg(cell.column)
                               .arg(cell.rowSpan)
                               .arg(cell.columnSpan));
}

QGridLayout *grid(const KR960_Bootloader &window, const QString &name)
{
    return window.findChild<QGridLayout *>(name);
}

void showEverything(KR960_Bootloader &window)
{
    for (const QString &name : allButtonNames())
        button(window, name)->setVisible(true);
    for (QProgressBar *bar : window.findChildren<QProgressBar *>())
        bar->setVisible(true);
}

// What a command shows an operator, with numbers masked so that two Disconnects compare equal.
struct Observed {
    QStringList trace;
    QStringList dialogs;
    QStringList log;
};

// "kind|title|label" of every dialog, in order.
QStringList dialogsOf(const DialogScript &script)
{
    QStringList dialogs;
    for (const SeenDialog &dialog : script.seen())
        dialogs.append(dialog.kind + '|' + dialog.title + '|' + dialog.label);
    return dialogs;
}

// Every dialog is turned down, as an operator pressing Cancel would.
void observe(KR960_Bootloader &window, const std::function<void()> &command, Observed &observed)
{
    logOf(window)->clear();
    TraceCapture trace;
    DialogScript refuseAll;
    command();
    QTRY_VERIFY(!window.upgradeWorker()->isRunning());
    QCoreApplication::processEvents();
    observed.trace = trace.lines();
    observed.dialogs = dialogsOf(refuseAll);
    static const QRegularExpression digits(QStringLiteral("\\d+"));
    for (QString line : logLines(window))
        observed.log.append(line.replace(digits, QStringLiteral("#")));
}

QVector<int> parseTable(const QStringList &lines, bool *ok)
{
    static const QRegularExpression shape(QStringLiteral("^(\\d+) -> (\\d+)$"));
    QVector<int> values;
    *ok = true;
    for (const QString &line : lines) {
        const QRegularExpressionMatch match = shape.match(line);
        const qint64 draw = match.captured(1).toLongLong();
        const int value = match.captured(2).toInt();
        *ok = *ok && match.hasMatch() && value == draw % 191 + 351;
        values.append(value);
    }
    return values;
}

QByteArray csvOf(const QVector<int> &values)
{
    QByteArray csv;
    for (int value : values)
        csv += QByteArray::number(value) + ',';
    return csv + ';';
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

    QString startDirectory;
    std::unique_ptr<QTemporaryDir> workDirectory;

private slots:
    void initTestCase()
    {
        startDirectory = QDir::currentPath();
        workDirectory = std::make_unique<QTemporaryDir>();
        QVERIFY(workDirectory->isValid());
    }
    void init() { QVERIFY(QDir::setCurrent(workDirectory->path())); }
    void cleanup() { QDir::setCurrent(startDirectory); }

    void visibleAtStart_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("visible");
        for (const QString &name : allButtonNames())
            QTest::newRow(qPrintable(name)) << name << (name == "pushButtonFirmware");
        QTest::newRow("progressBarFlash") << "progressBarFlash" << true;
        QTest::newRow("progressBarExtFlashWr") << "progressBarExtFlashWr" << false;
        QTest::newRow("progressBarExtFlashRd") << "progressBarExtFlashRd" << false;
        QTest::newRow("txt") << "txt" << true;
    }
    void visibleAtStart()
    {
        QFETCH(QString, name);
        QFETCH(bool, visible);
        KR960_Bootloader window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QWidget *widget = window.findChild<QWidget *>(name);
        QVERIFY(widget);
        QCOMPARE(widget->isVisible(), visible);
    }

    void startsEmptyAtZero()
    {
        KR960_Bootloader window;
        window.setWindowTitle(mainWindowTitle());
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QCOMPARE(window.windowTitle(), QStringLiteral("Mv604 v2.00"));
        QVERIFY(logOf(window)->toPlainText().isEmpty());
        QVERIFY(logOf(window)->isReadOnly());
        QCOMPARE(logOf(window)->font().family(), QStringLiteral("Courier New"));
        QCOMPARE(progressBar(window, "progressBarFlash")->text(), QStringLiteral("Flash 0%"));
        QVERIFY(window.statusBar()->currentMessage().isEmpty());
    }

    // The form's own title is what main replaces.
    void formTitleBeforeMainSetsItsOwn()
    {
        KR960_Bootloader window;
        QCOMPARE(window.windowTitle(), QStringLiteral("KR960_Bootloader"));
        QCOMPARE(mainWindowTitle(), QStringLiteral("Mv604 v2.00"));
    }

    void buttonColumnOrder_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("row");
        for (int row = 0; row < allButtonNames().size(); ++row)
            QTest::newRow(qPrintable(allButtonNames().at(row))) << allButtonNames().at(row) << row;
    }
    void buttonColumnOrder()
    {
        QFETCH(QString, name);
        QFETCH(int, row);
        KR960_Bootloader window;
        QGridLayout *column = grid(window, "gridLayout_2");
        QCOMPARE(cellOf(column, column->indexOf(button(window, name))), (Cell{row, 0, 1, 1}));
    }

    void buttonsTopToBottomWhenShown()
    {
        KR960_Bootloader window;
        showEverything(window);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QStringList byHeight = allButtonNames();
        std::stable_sort(byHeight.begin(), byHeight.end(), [&](const QString &a, const QString &b) {
            return button(window, a)->y() < button(window, b)->y();
        });
        QCOMPARE(byHeight, allButtonNames());
        QCOMPARE(button(window, "pushButtonFirmware")->text(), QStringLiteral("Change Firmware"));
    }

    void spacerBelowButtons()
    {
        KR960_Bootloader window;
        QGridLayout *column = grid(window, "gridLayout_2");
        int spacerIndex = -1;
        for (int i = 0; i < column->count(); ++i) {
            if (column->itemAt(i)->spacerItem())
                spacerIndex = i;
        }
        QVERIFY(spacerIndex >= 0);
        QCOMPARE(cellOf(column, spacerIndex), (Cell{12, 0, 1, 1}));
        QCOMPARE(column->itemAt(spacerIndex)->sizeHint(), QSize(20, 40));
        QCOMPARE(column->itemAt(spacerIndex)->expandingDirections(), Qt::Vertical);
        QCOMPARE(column->spacing(), 9);
        QCOMPARE(column->contentsMargins(), QMargins(9, 9, 9, 9));
    }

    void centralCells_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("row");
        QTest::addColumn<int>("column");
        QTest::addColumn<int>("rowSpan");
        QTest::addColumn<int>("columnSpan");
        QTest::newRow("flash bar") << "progressBarFlash" << 0 << 0 << 1 << 1;
        QTest::newRow("write bar") << "progressBarExtFlashWr" << 1 << 0 << 1 << 1;
        QTest::newRow("verify bar") << "progressBarExtFlashRd" << 2 << 0 << 1 << 1;
        QTest::newRow("log") << "txt" << 3 << 0 << 1 << 2;
        QTest::newRow("button column") << "gridLayout_2" << 0 << 2 << 4 << 1;
    }
    void centralCells()
    {
        QFETCH(QString, name);
        QFETCH(int, row);
        QFETCH(int, column);
        QFETCH(int, rowSpan);
        QFETCH(int, columnSpan);
        KR960_Bootloader window;
        QGridLayout *central = grid(window, "gridLayout");
        QCOMPARE(central->parentWidget(), window.centralWidget());
        QCOMPARE(central->spacing(), 6);
        QCOMPARE(central->contentsMargins(), QMargins(11, 11, 11, 11));
        QObject *object = window.findChild<QObject *>(name);
        QVERIFY(object);
        const int index = qobject_cast<QWidget *>(object)
                              ? central->indexOf(qobject_cast<QWidget *>(object))
                              : central->indexOf(qobject_cast<QLayout *>(object));
        QCOMPARE(cellOf(central, index), (Cell{row, column, rowSpan, columnSpan}));
    }

    void fileMenuHoldsOnlyExit()
    {
        KR960_Bootloader window;
        const QList<QAction *> menus = window.menuBar()->actions();
        QCOMPARE(menus.size(), 1);
        QCOMPARE(menus.first()->text(), QStringLiteral("File"));
        const QList<QAction *> entries = menus.first()->menu()->actions();
        QCOMPARE(entries.size(), 1);
        QCOMPARE(entries.first()->text(), QStringLiteral("Exit"));
        auto *open = window.findChild<QAction *>(QStringLiteral("actionOpen"));
        QVERIFY(open);
        QCOMPARE(open->text(), QStringLiteral("Open"));
        QVERIFY(open->associatedObjects().isEmpty());
        QCOMPARE(window.menuBar()->geometry(), QRect(0, 0, 591, 21));
    }

    void exitEndsEventLoopWithZero()
    {
        KR960_Bootloader window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QAction *exit = window.menuBar()->actions().first()->menu()->actions().first();
        QTimer::singleShot(0, exit, &QAction::trigger);
        // Only a guard against a hang: a loop still running after this reports failure.
        QTimer::singleShot(30000, qApp, [] { QCoreApplication::exit(1); });
        QCOMPARE(QApplication::exec(), 0);
        QVERIFY(!window.isVisible());
    }

    void progressText_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("text");
        QTest::newRow("flash") << "progressBarFlash"
                               << "Flash 37%";
        QTest::newRow("write") << "progressBarExtFlashWr"
                               << "External Flash Write 37%";
        QTest::newRow("verify") << "progressBarExtFlashRd"
                                << "External Flash Verify 37%";
    }
    void progressText()
    {
        QFETCH(QString, name);
        QFETCH(QString, text);
        KR960_Bootloader window;
        QProgressBar *bar = progressBar(window, name);
        QCOMPARE(bar->minimum(), 0);
        QCOMPARE(bar->maximum(), 100);
        QCOMPARE(bar->value(), 0);
        QVERIFY(bar->isTextVisible());
        QCOMPARE(bar->alignment(), Qt::AlignJustify | Qt::AlignVCenter);
        bar->setValue(37);
        QCOMPARE(bar->text(), text);
    }

    void barsStayThinWhenWindowGrows_data()
    {
        QTest::addColumn<bool>("everythingShown");
        QTest::newRow("as at start") << false;
        QTest::newRow("everything shown") << true;
    }
    void barsStayThinWhenWindowGrows()
    {
        QFETCH(bool, everythingShown);
        KR960_Bootloader window;
        if (everythingShown)
            showEverything(window);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        const int logHeight = logOf(window)->height();
        const int firmwareTop = button(window, "pushButtonFirmware")->y();
        window.resize(1400, 1100);
        QTRY_VERIFY(logOf(window)->height() > logHeight);
        for (QProgressBar *bar : window.findChildren<QProgressBar *>()) {
            if (bar->isVisible())
                QVERIFY2(bar->height() <= 15, qPrintable(bar->objectName()));
        }
        QCOMPARE(button(window, "pushButtonFirmware")->y(), firmwareTop);
    }

    void methodTable_data()
    {
        QTest::addColumn<int>("index");
        QTest::addColumn<QByteArray>("signature");
        const char *signatures[] = {"slotpushButtonConnect(bool)",
                                    "slotpushButtonDisconnect(bool)",
                                    "slotpushButtonRead(bool)",
                                    "slotpushButtonWrite(bool)",
                                    "slotpushButtonWritePage(bool)",
                                    "slotpushButtonFirmware(bool)",
                                    "slotpushButtonWriteExtFlashBin(bool)",
                                    "slotpushButtonRunApplication(bool)",
                                    "slotpushButtonWriteExternalFlash(bool)",
                                    "slotpushButtonReadExternalFlash(bool)",
                                    "slotpushButtonCreateUpg(bool)",
                                    "slotpushButtonCreateBootBin(bool)",
                                    "slotTimeout()"};
        for (int i = 0; i < 13; ++i)
            QTest::addRow("%d %s", i, signatures[i]) << i << QByteArray(signatures[i]);
    }
    void methodTable()
    {
        QFETCH(int, index);
        QFETCH(QByteArray, signature);
        const QMetaObject &meta = KR960_Bootloader::staticMetaObject;
        QCOMPARE(meta.methodCount() - meta.methodOffset(), 13);
        const QMetaMethod method = meta.method(meta.methodOffset() + index);
        QCOMPARE(method.methodSignature(), signature);
        QCOMPARE(method.methodType(), QMetaMethod::Slot);
        QCOMPARE(method.access(), QMetaMethod::Public);
        QCOMPARE(QByteArray(meta.className()), QByteArray("KR960_Bootloader"));
    }

    // Clicking a (shown) button and invoking its slot by name do the same; a button wired to
    // the wrong slot shows up as a difference.
    void slotByNameActsLikeClick_data()
    {
        QTest::addColumn<QString>("buttonName");
        QTest::addColumn<QByteArray>("slot");
        for (const QString &name : allButtonNames()) {
            const QByteArray slot = "slot" + name.toLatin1();
            QTest::newRow(qPrintable(name)) << name << slot;
        }
    }
    void slotByNameActsLikeClick()
    {
        QFETCH(QString, buttonName);
        QFETCH(QByteArray, slot);
        KR960_Bootloader window;
        QPushButton *pushButton = button(window, buttonName);
        pushButton->setVisible(true);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));

        Observed invoked;
        observe(
            window,
            [&] {
                QVERIFY(QMetaObject::invokeMethod(&window, slot.constData(), Q_ARG(bool, false)));
            },
            invoked);
        Observed clicked;
        observe(
            window, [&] { QTest::mouseClick(pushButton, Qt::LeftButton); }, clicked);
        QVERIFY2(!invoked.trace.isEmpty() || !invoked.dialogs.isEmpty(), "the slot did nothing");
        QCOMPARE(clicked.trace, invoked.trace);
        QCOMPARE(clicked.dialogs, invoked.dialogs);
        QCOMPARE(clicked.log, invoked.log);
    }

    void timeoutSlotOnlyTraces()
    {
        KR960_Bootloader window;
        TraceCapture trace;
        QVERIFY(QMetaObject::invokeMethod(&window, "slotTimeout"));
        QCOMPARE(trace.lines(), QStringList{"KR960_Bootloader::slotTimeout(void)"});
        QVERIFY(logOf(window)->toPlainText().isEmpty());
    }

    void constructionTracesMyDebug()
    {
        TraceCapture trace;
        KR960_Bootloader window;
        QVERIFY(trace.lines().contains(QStringLiteral("MY_DEBUG")));
    }

    // The worker lives in its own thread: its texts must reach the log in order, each its own
    // paragraph, and its percentages the Flash bar.
    void workerTextReachesLogInOrder()
    {
        KR960_Bootloader window;
        Upgrader *worker = window.upgradeWorker();
        QVERIFY(worker);
        QStringList sent;
        for (int i = 0; i < 300; ++i)
            sent.append(QStringLiteral("step %1").arg(i));
        std::unique_ptr<QThread> emitter(QThread::create([worker, sent] {
            for (const QString &text : sent)
                QMetaObject::invokeMethod(worker, "sendText", Qt::DirectConnection,
                                          Q_ARG(QString, text));
            QMetaObject::invokeMethod(worker, "sendPercent", Qt::DirectConnection, Q_ARG(int, 42));
        }));
        emitter->start();
        QVERIFY(emitter->wait(30000));
        QTRY_COMPARE(logLines(window).size(), sent.size());
        QCOMPARE(logLines(window), sent);
        QCOMPARE(logOf(window)->document()->blockCount(), sent.size());
        QTRY_COMPARE(progressBar(window, "progressBarFlash")->value(), 42);
    }

    void disconnectWritesTable()
    {
        KR960_Bootloader window;
        logOf(window)->append(QStringLiteral("left from before"));
        TraceCapture trace;
        QVector<int> previous;
        for (int run = 0; run < 2; ++run) {
            QVERIFY(
                QMetaObject::invokeMethod(&window, "slotpushButtonDisconnect", Q_ARG(bool, false)));
            const QStringList lines = logLines(window);
            QCOMPARE(lines.size(), 191);
            bool wellFormed = false;
            const QVector<int> values = parseTable(lines, &wellFormed);
            QVERIFY(wellFormed);
            QVector<int> sorted = values;
            std::sort(sorted.begin(), sorted.end());
            for (int i = 0; i < 191; ++i)
                QCOMPARE(sorted.at(i), 351 + i);
            QCOMPARE(readFile(QStringLiteral("dane.csv")), csvOf(values));
            QVERIFY(values != previous); // a second Disconnect goes on with the same sequence
            previous = values;
        }
        const QStringList lines = trace.lines();
        const int slotLine = lines.indexOf("KR960_Bootloader::slotpushButtonDisconnect(bool t)");
        QVERIFY(slotLine > 0);
        QVERIFY(lines.lastIndexOf(QStringLiteral("USB Disconnect"), slotLine) >= 0);
    }

    void disconnectWithoutWritableDirectory()
    {
        if (::geteuid() == 0)
            QSKIP("root writes into read-only directories");
        QTemporaryDir dir;
        QVERIFY(QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::ExeOwner));
        QVERIFY(QDir::setCurrent(dir.path()));
        KR960_Bootloader window;
        window.slotpushButtonDisconnect(false);
        QCOMPARE(logLines(window).size(), 191);
        QVERIFY(!QFile::exists(QStringLiteral("dane.csv")));
        QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }

    // The generator is never seeded: every start of the tool draws the same first table.
    void freshProcessDrawsSameFirstTable()
    {
        QStringList logs;
        QList<QByteArray> tables;
        for (int start = 0; start < 2; ++start) {
            QTemporaryDir dir;
            QProcess probe;
            probe.setWorkingDirectory(dir.path());
            probe.start(QStringLiteral(DISCONNECT_PROBE), {});
            QVERIFY(probe.waitForFinished(60000));
            QCOMPARE(probe.exitCode(), 0);
            logs.append(QString::fromUtf8(probe.readAllStandardOutput()));
            tables.append(readFile(dir.filePath(QStringLiteral("dane.csv"))));
        }
        QCOMPARE(logs.at(1), logs.at(0));
        QCOMPARE(tables.at(1), tables.at(0));
        const QStringList lines = logs.at(0).split('\n');
        QCOMPARE(lines.size(), 191);
        QCOMPARE(lines.first(), QStringLiteral("1804289383 -> 403"));
        QCOMPARE(lines.last(), QStringLiteral("1364180570 -> 475"));
        QVERIFY(tables.at(0).startsWith("403,374,394,"));
        QVERIFY(tables.at(0).endsWith("362,475,;"));
    }

    // The form's texts go through the translator installed at start; the title stays as it is.
    void polishWindowWithTranslation()
    {
        QTemporaryDir dir;
        QVERIFY(QFile::copy(QStringLiteral(MV604_PL_QM), dir.filePath("kr960_pl.qm")));
        QVERIFY(QDir::setCurrent(dir.path()));
        QTranslator translator;
        QVERIFY(installTranslation(translator, QStringLiteral("pl_PL")));
        {
            KR960_Bootloader window;
            window.setWindowTitle(mainWindowTitle());
            window.show();
            QVERIFY(QTest::qWaitForWindowExposed(&window));
            QCOMPARE(window.windowTitle(), QStringLiteral("Mv604 v2.00"));
            QCOMPARE(button(window, "pushButtonFirmware")->text(),
                     QStringLiteral("Zmień oprogramowanie"));
            QCOMPARE(progressBar(window, "progressBarFlash")->text(),
                     QStringLiteral("Pamięć Flash 0%"));
            QCOMPARE(window.menuBar()->actions().first()->text(), QStringLiteral("Plik"));
            const QDir out(QStringLiteral(SCREENSHOT_DIR));
            QVERIFY(window.grab().save(out.filePath(QStringLiteral("main_window_pl.png"))));
        }
        QCoreApplication::removeTranslator(&translator);
    }

    // For review: the window as an operator sees it, and with every command shown.
    void saveScreenshots()
    {
        KR960_Bootloader window;
        window.setWindowTitle(mainWindowTitle());
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        const QDir out(QStringLiteral(SCREENSHOT_DIR));
        QVERIFY(window.grab().save(out.filePath(QStringLiteral("main_window.png"))));
        showEverything(window);
        QCoreApplication::processEvents();
        QVERIFY(window.grab().save(out.filePath(QStringLiteral("main_window_all_commands.png"))));
    }
};

QTEST_MAIN(TestMainWindow)
#include "test_main_window.moc"
