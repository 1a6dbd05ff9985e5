#include "bootloader_hex.h"
#include "file_size_limit.h"
#include "image/boot_image.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

namespace
{
bool writeText(const QString &path, const QByteArray &contents)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(contents) == contents.size();
}
} // namespace

class TestBootImage : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        QVERIFY(workDir.isValid());
        QVERIFY(QDir::setCurrent(workDir.path()));
    }
    void cleanup()
    {
        QDir::setCurrent(QDir::tempPath());
        QDir(workDir.path()).removeRecursively();
        QDir().mkpath(workDir.path());
    }

    void loadsOnlyTheBootloaderWindow()
    {
        const QByteArray bootloader = sampleBootloader();
        QVERIFY(writeText("boot.hex", intelHex(0x08000000, bootloader) +
                                          intelHex(0x08004000, QByteArray(64, '\x5A')) +
                                          intelHexEnd()));
        QByteArray image("left over from an earlier run");
        QCOMPARE(loadBootImage("boot.hex", image), 0);
        QCOMPARE(image.size(), BootImage::Size);
        QCOMPARE(image, bootloader);
    }

    void uncoveredAddressesAreZero()
    {
        QVERIFY(
            writeText("part.hex", intelHex(0x08000100, QByteArray(32, '\x11')) + intelHexEnd()));
        QByteArray image;
        QCOMPARE(loadBootImage("part.hex", image), 0);
        QByteArray expected(BootImage::Size, '\0');
        expected.replace(0x100, 32, QByteArray(32, '\x11'));
        QCOMPARE(image, expected);
    }

    void loadReportsWhatTheLoaderReports_data()
    {
        QTest::addColumn<QByteArray>("contents");
        QTest::addColumn<int>("result");
        const QByteArray records = intelHex(0x08000000, QByteArray(32, '\x22'));
        QTest::newRow("blank line") << records + "\r\n" + intelHexEnd() << -1;
        QTest::newRow("no colon") << records + " " + intelHexEnd() << -2;
        QTest::newRow("segment record") << records + ":020000021000EC\r\n" << -7;
    }
    void loadReportsWhatTheLoaderReports()
    {
        QFETCH(QByteArray, contents);
        QFETCH(int, result);
        QVERIFY(writeText("bad.hex", contents));
        QByteArray image;
        QCOMPARE(loadBootImage("bad.hex", image), result);
    }

    void missingFileIsAnError()
    {
        QByteArray image;
        QVERIFY(loadBootImage("no such file.hex", image) < 0);
    }

    void brandWord_data()
    {
        QTest::addColumn<int>("offset");
        QTest::addColumn<char>("value");
        QTest::addColumn<bool>("valid");
        QTest::newRow("zero") << 0x3FD0 << '\0' << true;
        QTest::newRow("low byte set") << 0x3FD0 << '\x01' << false;
        QTest::newRow("high byte set") << 0x3FD1 << '\x01' << false;
        QTest::newRow("byte before the word") << 0x3FCF << '\x01' << true;
        QTest::newRow("byte after the word") << 0x3FD2 << '\x01' << true;
    }
    void brandWord()
    {
        QFETCH(int, offset);
        QFETCH(char, value);
        QFETCH(bool, valid);
        QByteArray image(BootImage::Size, '\0');
        image[offset] = value;
        QCOMPARE(hasValidBrand(image), valid);
    }

    void serialAndFileName_data()
    {
        QTest::addColumn<QString>("year");
        QTest::addColumn<QString>("week");
        QTest::addColumn<int>("number");
        QTest::addColumn<QString>("serial");
        QTest::newRow("first device") << "26"
                                      << "49" << 1 << "264900001";
        QTest::newRow("two digits padded") << "26"
                                           << "49" << 42 << "264900042";
        QTest::newRow("last number") << "99"
                                     << "53" << 9999 << "995309999";
        QTest::newRow("year zero") << "00"
                                   << "01" << 1234 << "000101234";
    }
    void serialAndFileName()
    {
        QFETCH(QString, year);
        QFETCH(QString, week);
        QFETCH(int, number);
        QFETCH(QString, serial);
        QCOMPARE(productionSerial(year, week, number), serial);
        QCOMPARE(bootImageFileName(serial), "Mv604_Bootloader_" + serial + ".bin");
    }

    void stampTouchesOnlyTheNineSerialBytes()
    {
        const QByteArray original = sampleBootloader();
        QByteArray image = original;
        stampSerial(image, "264900042");
        QCOMPARE(image.size(), original.size());
        QCOMPARE(image.mid(0x3FF0, 9), QByteArray("264900042"));
        QCOMPARE(image.left(0x3FF0), original.left(0x3FF0));
        QCOMPARE(image.mid(0x3FF9), original.mid(0x3FF9));
    }

    void choices()
    {
        const QStringList years = productionYearChoices();
        QCOMPARE(years.size(), 100);
        QCOMPARE(years.first(), "00");
        QCOMPARE(years.at(7), "07");
        QCOMPARE(years.last(), "99");
        const QStringList weeks = productionWeekChoices();
        QCOMPARE(weeks.size(), 53);
        QCOMPARE(weeks.first(), "01");
        QCOMPARE(weeks.last(), "53");
    }

    // The year is the calendar year; the week is the ISO week, which around New Year belongs
    // to the neighbouring year.
    void todaysChoice_data()
    {
        QTest::addColumn<QDate>("today");
        QTest::addColumn<QString>("year");
        QTest::addColumn<QString>("week");
        QTest::newRow("December, week 49") << QDate(2026, 12, 3) << "26"
                                           << "49";
        QTest::newRow("new year in week 53") << QDate(2021, 1, 1) << "21"
                                             << "53";
        QTest::newRow("December in week 1") << QDate(2024, 12, 30) << "24"
                                            << "01";
        QTest::newRow("year 2000") << QDate(2000, 6, 15) << "00"
                                   << "24";
    }
    void todaysChoice()
    {
        QFETCH(QDate, today);
        QFETCH(QString, year);
        QFETCH(QString, week);
        QCOMPARE(productionYearChoices().at(currentYearChoice(today)), year);
        QCOMPARE(productionWeekChoices().at(currentWeekChoice(today)), week);
    }

    void countLimit_data()
    {
        QTest::addColumn<int>("first");
        QTest::addColumn<int>("maximum");
        QTest::newRow("first number") << 1 << 9998;
        QTest::newRow("42") << 42 << 9957;
        QTest::newRow("9998") << 9998 << 1;
        QTest::newRow("9999") << 9999 << 1;
    }
    void countLimit()
    {
        QFETCH(int, first);
        QFETCH(int, maximum);
        QCOMPARE(maximumBootImageCount(first), maximum);
    }

    void writeCreatesOrReplaces()
    {
        QVERIFY(writeText("image.bin", QByteArray(20000, '\x77')));
        const QByteArray image = sampleBootloader();
        QVERIFY(writeBootImageFile("image.bin", image));
        QFile file("image.bin");
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), image);
    }

    void failedWriteLeavesNoFile_data()
    {
        QTest::addColumn<int>("limit");
        QTest::newRow("nothing fits") << 0;
        QTest::newRow("half fits") << BootImage::Size / 2;
        QTest::newRow("one byte short") << BootImage::Size - 1;
    }
    void failedWriteLeavesNoFile()
    {
        QFETCH(int, limit);
        {
            FileSizeLimit fileSizeLimit{rlim_t(limit)};
            QVERIFY(!writeBootImageFile("image.bin", sampleBootloader()));
        }
        QCOMPARE(QDir().entryList(QDir::Files | QDir::Hidden), QStringList());
    }

    void directoryInTheWayFails()
    {
        QVERIFY(QDir().mkdir("image.bin"));
        QVERIFY(!writeBootImageFile("image.bin", sampleBootloader()));
        QCOMPARE(QDir().entryList(QDir::Files | QDir::Hidden), QStringList());
    }

private:
    QTemporaryDir workDir;
};

QTEST_GUILESS_MAIN(TestBootImage)
#include "test_boot_image.moc"
