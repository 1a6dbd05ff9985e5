// CreateBootBin through the window with its real dialogs: what they offer, and for good runs and
// every way a run stops, the image files byte for byte, the log and the message box.

#include "app/kr960_bootloader.h"
#include "dialog_script.h"
#include "file_size_limit.h"
#include "hex_records.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>
#include <QTextEdit>

namespace
{
// No zero bytes but the brand word, so the zero fill and a stray serial byte show.
QByteArray bootloader(int brandByte = -1)
{
    QByteArray image(0x4000, '\0');
    for (int i = 0; i < image.size(); ++i)
        image[i] = char(i == 0x3FD0 || i == 0x3FD1 ? i == brandByte : 1 + (i * 7) % 251);
    return image;
}

// Records of 17 bytes with CR LF, each overlapping the next; the last reach past the area.
QByteArray hexOf(const QByteArray &image, const QByteArray &extra = {})
{
    QByteArray text = hexLinearBase(0x0800, "\r\n");
    for (int offset = 0; offset <= image.size(); offset += 16)
        text += hexDataRecord(quint16(offset), image.mid(offset, 16) + "x", "\r\n");
    return text + extra + hexEndOfFile("\r\n");
}

QString fileName(const QString &serial)
{
    return "Mv604_Bootloader_" + serial + ".bin";
}
} // namespace

class TestCreateBootBin : public QObject
{
    Q_OBJECT
    QTemporaryDir dir;
    const QString hex = dir.filePath("in/b.hex");

    QStringList run(const QByteArray &hexText, rlim_t sizeLimit)
    {
        [&] { QVERIFY(writeFile(hex, hexText)); }();
        KR960_Bootloader window;
        FileSizeLimit limit(sizeLimit);
        window.slotpushButtonCreateBootBin(false);
        const QString text = window.findChild<QTextEdit *>("txt")->toPlainText();
        return text.isEmpty() ? QStringList() : text.split('\n');
    }

private slots:
    void init()
    {
        QVERIFY(QDir(dir.path()).removeRecursively() && QDir().mkpath(dir.filePath("in")));
        QVERIFY(QDir::setCurrent(dir.path()));
    }

    void dialogsOfferTodayAndTheLimits()
    {
        DialogScript script;
        script.chooseFile(hex).acceptDefault().acceptDefault().acceptDefault().cancel();
        QCOMPARE(run(hexOf(bootloader()), RLIM_INFINITY), QStringList{"prod_number 1"});
        QVERIFY(script.done());
        const QDate today = QDate::currentDate();
        QStringList seen;
        for (const SeenDialog &d : script.seen())
            seen << QStringList{d.title,
                                d.label,
                                d.offered["value"].toString(),
                                d.offered["minimum"].toString(),
                                d.offered["maximum"].toString(),
                                QString::number(d.offered["items"].toStringList().size())}
                        .join('|');
        QCOMPARE(seen, QStringList({"Open File|||||0",
                                    QString("Production year|Year(YY)|%1|||100")
                                        .arg(today.year() % 100, 2, 10, QChar('0')),
                                    QString("Production week|Week(WW)|%1|||53")
                                        .arg(today.weekNumber(), 2, 10, QChar('0')),
                                    "Production number|Number(NNNN)|1|1|9999|0",
                                    "Iteration|Count:|1|1|9998|0"}));
    }

    void writesImages_data()
    {
        QTest::addColumn<QByteArray>("hexText");
        QTest::addColumn<int>("first"); // 0: no production dialogs
        QTest::addColumn<int>("count");
        QTest::addColumn<QString>("trouble");
        QTest::addColumn<QStringList>("log");
        QTest::addColumn<QString>("box");
        QTest::addColumn<QStringList>("serials"); // of the image files left
        const QByteArray good = hexOf(bootloader());
        const QString made = "New bootloader + serial:Mv604_Bootloader_%1.bin";
        const QString hexError = "HexToBin error: -7)",
                      blocked = "Cannot write " + fileName("264900002");
        // clang-format off
        QTest::newRow("three") << good << 1 << 3 << "" << QStringList{"prod_number 1", "iter 3", "264900001", made.arg("264900001"), "264900002", made.arg("264900002"), "264900003", made.arg("264900003")} << "" << QStringList{"264900001", "264900002", "264900003"};
        QTest::newRow("padded") << good << 42 << 1 << "" << QStringList{"prod_number 42", "iter 1", "264900042", made.arg("264900042")} << "" << QStringList{"264900042"};
        QTest::newRow("9998 allows one") << good << 9998 << 5 << "" << QStringList{"prod_number 9998", "iter 1", "264909998", made.arg("264909998")} << "" << QStringList{"264909998"};
        QTest::newRow("9999 forces one") << good << 9999 << 5 << "" << QStringList{"prod_number 9999", "iter 1", "264909999", made.arg("264909999")} << "" << QStringList{"264909999"};
        QTest::newRow("brand low byte") << hexOf(bootloader(0x3FD0)) << 0 << 0 << "" << QStringList{"Err: Invalid brand!"} << "" << QStringList();
        QTest::newRow("brand high byte") << hexOf(bootloader(0x3FD1)) << 0 << 0 << "" << QStringList{"Err: Invalid brand!"} << "" << QStringList();
        QTest::newRow("segment record") << hexOf(bootloader(), ":020000021000EC\r\n") << 0 << 0 << "" << QStringList{hexError} << hexError << QStringList();
        QTest::newRow("second image blocked") << good << 1 << 3 << "blocked" << QStringList{"prod_number 1", "iter 3", "264900001", made.arg("264900001"), "264900002"} << blocked << QStringList{"264900001"};
        QTest::newRow("disk full") << good << 1 << 2 << "full" << QStringList{"prod_number 1", "iter 2", "264900001"} << "Cannot write " + fileName("264900001") << QStringList();
        // clang-format on
    }
    void writesImages()
    {
        QFETCH(QByteArray, hexText);
        QFETCH(int, first);
        QFETCH(int, count);
        QFETCH(QString, trouble);
        QFETCH(QStringList, log);
        QFETCH(QString, box);
        QFETCH(QStringList, serials);
        QVERIFY(trouble != "blocked" || QDir().mkdir(fileName("264900002")));
        DialogScript script;
        script.chooseFile(hex);
        if (first > 0)
            script.answerItem("26").answerItem("49").answerInt(first).answerInt(count);
        if (!box.isEmpty())
            script.acknowledge();
        QCOMPARE(run(hexText, trouble == "full" ? 8192 : RLIM_INFINITY), log);
        QVERIFY(script.done());
        QVERIFY(box.isEmpty() || script.seen().last().label == box);
        QStringList names;
        for (const QString &serial : serials) {
            QFile file(fileName(serial));
            QVERIFY(file.open(QIODevice::ReadOnly));
            QCOMPARE(file.readAll(), bootloader().replace(0x3FF0, 9, serial.toLatin1()));
            names << file.fileName();
        }
        QCOMPARE(QDir().entryList(QDir::Files | QDir::Hidden), names);
    }
};

QTEST_MAIN(TestCreateBootBin)
#include "test_create_boot_bin.moc"
