#include "app/kr960_bootloader.h"
#include "bootloader_hex.h"
#include "choose_file.h"
#include "dialog_script.h"
#include "file_size_limit.h"

#include <QDate>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QTextEdit>

namespace
{
bool writeText(const QString &path, const QByteArray &contents)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(contents) == contents.size();
}

QByteArray fileContents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QString imageName(const QString &serial)
{
    return "Mv604_Bootloader_" + serial + ".bin";
}

// Answers the four production dialogs.
DialogScript &answerProduction(DialogScript &script, const QString &year, const QString &week,
                               int first, int count)
{
    return script.answerItem(year).answerItem(week).answerInt(first).answerInt(count);
}
} // namespace

class TestCreateBootBin : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        workDir.reset(new QTemporaryDir);
        hexDir.reset(new QTemporaryDir);
        QVERIFY(workDir->isValid() && hexDir->isValid());
        QVERIFY(QDir::setCurrent(workDir->path()));
        window.reset(new KR960_Bootloader);
        bootloader = sampleBootloader();
        hexFile = hexDir->filePath("bootloader.hex");
        QVERIFY(writeText(hexFile, intelHex(0x08000000, bootloader) + intelHexEnd()));
    }
    void cleanup()
    {
        window.reset();
        QDir::setCurrent(QDir::tempPath());
        workDir.reset();
        hexDir.reset();
    }

    void dialogsOfferTodayAndTheLimits()
    {
        DialogScript script;
        script.then(chooseFile(hexFile))
            .acceptDefault()
            .acceptDefault()
            .acceptDefault()
            .acceptDefault();
        window->slotpushButtonCreateBootBin(false);
        QVERIFY(script.done());

        const QDate today = QDate::currentDate();
        const auto &seen = script.seen();
        QCOMPARE(seen.size(), 5);
        QCOMPARE(seen[0].kind, "file");
        QCOMPARE(seen[0].title, "Open File");
        QCOMPARE(seen[0].offered["filters"].toStringList(), QStringList{"Hex (*.hex)"});
        QCOMPARE(seen[0].offered["directory"].toString(), workDir->path());

        QCOMPARE(seen[1].kind, "item");
        QCOMPARE(seen[1].title, "Production year");
        QCOMPARE(seen[1].label, "Year(YY)");
        QCOMPARE(seen[1].offered["items"].toStringList().size(), 100);
        QCOMPARE(seen[1].offered["value"].toString(),
                 QString("%1").arg(today.year() % 100, 2, 10, QLatin1Char('0')));
        QCOMPARE(seen[1].offered["editable"].toBool(), false);

        QCOMPARE(seen[2].title, "Production week");
        QCOMPARE(seen[2].label, "Week(WW)");
        QCOMPARE(seen[2].offered["items"].toStringList().size(), 53);
        QCOMPARE(seen[2].offered["value"].toString(),
                 QString("%1").arg(today.weekNumber(), 2, 10, QLatin1Char('0')));
        QCOMPARE(seen[2].offered["editable"].toBool(), false);

        QCOMPARE(seen[3].title, "Production number");
        QCOMPARE(seen[3].label, "Number(NNNN)");
        QCOMPARE(seen[3].offered["value"].toInt(), 1);
        QCOMPARE(seen[3].offered["minimum"].toInt(), 1);
        QCOMPARE(seen[3].offered["maximum"].toInt(), 9999);

        QCOMPARE(seen[4].title, "Iteration");
        QCOMPARE(seen[4].label, "Count:");
        QCOMPARE(seen[4].offered["value"].toInt(), 1);
        QCOMPARE(seen[4].offered["minimum"].toInt(), 1);
        QCOMPARE(seen[4].offered["maximum"].toInt(), 9998);
    }

    void threeImagesDifferOnlyInTheLastSerialDigit()
    {
        DialogScript script;
        answerProduction(script.then(chooseFile(hexFile)), "26", "49", 1, 3);
        window->slotpushButtonCreateBootBin(false);
        QVERIFY(script.done());

        QStringList expectedLog{"prod_number 1", "iter 3"};
        for (int n = 1; n <= 3; ++n) {
            const QString serial = QString("26490000%1").arg(n);
            const QByteArray image = fileContents(imageName(serial));
            QCOMPARE(image.size(), 16384);
            QCOMPARE(image.mid(0x3FF0, 9), serial.toLatin1());
            QByteArray unstamped = image;
            unstamped.replace(0x3FF0, 9, bootloader.mid(0x3FF0, 9));
            QCOMPARE(unstamped, bootloader);
            expectedLog << serial << "New bootloader + serial:" + imageName(serial);
        }
        QCOMPARE(QDir().entryList(QDir::Files).size(), 3);
        QCOMPARE(logLines(), expectedLog);
    }

    void numberIsPaddedToFourDigits()
    {
        DialogScript script;
        answerProduction(script.then(chooseFile(hexFile)), "07", "02", 42, 1);
        window->slotpushButtonCreateBootBin(false);
        QVERIFY(script.done());
        QCOMPARE(fileContents(imageName("070200042")).mid(0x3FF0, 9), QByteArray("070200042"));
        QVERIFY(logLines().contains("070200042"));
    }

    void lastNumbersAllowOneImage_data()
    {
        QTest::addColumn<int>("first");
        QTest::newRow("9998") << 9998;
        QTest::newRow("9999") << 9999;
    }
    void lastNumbersAllowOneImage()
    {
        QFETCH(int, first);
        DialogScript script;
        answerProduction(script.then(chooseFile(hexFile)), "26", "49", first, 5);
        window->slotpushButtonCreateBootBin(false);
        QVERIFY(script.done());
        QCOMPARE(script.seen().last().offered["minimum"].toInt(), 1);
        QCOMPARE(script.seen().last().offered["maximum"].toInt(), 1);
        QCOMPARE(QDir().entryList(QDir::Files),
                 QStringList{imageName(QString("26490%1").arg(first))});
        QVERIFY(logLines().contains("iter 1"));
    }

    void secondRunReplacesTheImages()
    {
        for (int run = 0; run < 2; ++run) {
            DialogScript script;
            answerProduction(script.then(chooseFile(hexFile)), "26", "49", 5, 2);
            window->slotpushButtonCreateBootBin(false);
            QVERIFY(script.done());
            if (run == 0)
                QVERIFY(writeText(imageName("264900005"), QByteArray(20000, '\x33')));
        }
        QCOMPARE(fileContents(imageName("264900005")).size(), 16384);
        QCOMPARE(QDir().entryList(QDir::Files).size(), 2);
    }

    void invalidBrandEndsBeforeAnyQuestion_data()
    {
        QTest::addColumn<int>("offset");
        QTest::newRow("low byte") << 0x3FD0;
        QTest::newRow("high byte") << 0x3FD1;
    }
    void invalidBrandEndsBeforeAnyQuestion()
    {
        QFETCH(int, offset);
        QByteArray branded = bootloader;
        branded[offset] = 1;
        QVERIFY(writeText(hexFile, intelHex(0x08000000, branded) + intelHexEnd()));
        DialogScript script;
        script.then(chooseFile(hexFile));
        window->slotpushButtonCreateBootBin(false);
        QVERIFY(script.done());
        QCOMPARE(script.seen().size(), 1);
        QCOMPARE(logLines(), QStringList{"Err: Invalid brand!"});
        QVERIFY(QDir().entryList(QDir::Files).isEmpty());
    }

    // A bootloader that did not load completely must never be stamped into production images.
    void unloadableHexIsReportedAndNothingWritten_data()
    {
        QTest::addColumn<QByteArray>("contents");
        QTest::addColumn<int>("result");
        const QByteArray records = intelHex(0x08000000, bootloader.left(0x200));
        QTest::newRow("file gone") << QByteArray() << -8;
        QTest::newRow("blank line") << records + "\r\n" + intelHexEnd() << -1;
        QTest::newRow("no colon") << "x" + records << -2;
        QTest::newRow("segment record") << records + ":020000021000EC\r\n" << -7;
    }
    void unloadableHexIsReportedAndNothingWritten()
    {
        QFETCH(QByteArray, contents);
        QFETCH(int, result);
        QVERIFY(writeText(hexFile, contents));
        DialogScript script;
        if (result == -8)
            // The dialog hands back a name that is gone by the time the command loads it.
            script.then(chooseFile(hexFile, [this] { QFile::remove(hexFile); }));
        else
            script.then(chooseFile(hexFile));
        script.acknowledge();
        window->slotpushButtonCreateBootBin(false);
        QVERIFY(script.done());

        const QString message = QString("HexToBin error: %1)").arg(result);
        QCOMPARE(logLines(), QStringList{message});
        QCOMPARE(script.seen().size(), 2);
        QCOMPARE(script.seen()[1].kind, "message");
        QCOMPARE(script.seen()[1].title, "Error");
        QCOMPARE(script.seen()[1].label, message);
        QCOMPARE(script.seen()[1].offered["icon"].toInt(), int(QMessageBox::Critical));
        QVERIFY(QDir().entryList(QDir::Files).isEmpty());
    }

    void unwritableImageStopsTheRun()
    {
        QVERIFY(QDir().mkdir(imageName("264900002")));
        DialogScript script;
        answerProduction(script.then(chooseFile(hexFile)), "26", "49", 1, 3).acknowledge();
        window->slotpushButtonCreateBootBin(false);
        QVERIFY(script.done());

        const SeenDialog &box = script.seen().last();
        QCOMPARE(box.kind, "message");
        QCOMPARE(box.title, "Error");
        QCOMPARE(box.label, "Cannot write " + imageName("264900002"));
        QCOMPARE(box.offered["icon"].toInt(), int(QMessageBox::Critical));
        QCOMPARE(QDir().entryList(QDir::Files), QStringList{imageName("264900001")});
        QCOMPARE(fileContents(imageName("264900001")).size(), 16384);
        QCOMPARE(logLines(),
                 (QStringList{"prod_number 1", "iter 3", "264900001",
                              "New bootloader + serial:" + imageName("264900001"), "264900002"}));
    }

    void partlyWrittenImageIsRemoved()
    {
        DialogScript script;
        answerProduction(script.then(chooseFile(hexFile)), "26", "49", 1, 2).acknowledge();
        {
            FileSizeLimit limit{8192};
            window->slotpushButtonCreateBootBin(false);
        }
        QVERIFY(script.done());
        QCOMPARE(script.seen().last().label, "Cannot write " + imageName("264900001"));
        QCOMPARE(QDir().entryList(QDir::Files | QDir::Hidden), QStringList());
        QVERIFY(!logLines().contains("264900002"));
    }

    void cancelledCountKeepsTheNumberLine()
    {
        DialogScript script;
        script.then(chooseFile(hexFile)).answerItem("26").answerItem("49").answerInt(7).cancel();
        window->slotpushButtonCreateBootBin(false);
        QVERIFY(script.done());
        QCOMPARE(logLines(), QStringList{"prod_number 7"});
        QVERIFY(QDir().entryList(QDir::Files).isEmpty());
    }

private:
    QStringList logLines() const
    {
        const QString text = window->findChild<QTextEdit *>("txt")->toPlainText();
        return text.isEmpty() ? QStringList() : text.split('\n');
    }

    QScopedPointer<QTemporaryDir> workDir;
    QScopedPointer<QTemporaryDir> hexDir;
    QScopedPointer<KR960_Bootloader> window;
    QByteArray bootloader;
    QString hexFile;
};

QTEST_MAIN(TestCreateBootBin)
#include "test_create_boot_bin.moc"
