// CreateBootBin through the window with its real dialogs: what the dialogs offer, and for good
// runs and every way a run stops, the image files byte for byte, the log and the message box.

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
// No zero bytes except the brand word, so the zero fill and a stray serial byte show.
QByteArray bootloader(int brandByte = -1)
{
    QByteArray image(0x4000, '\0');
    for (int i = 0; i < image.size(); ++i)
        image[i] = char(i == brandByte ? 1 : i == 0x3FD0 || i == 0x3FD1 ? 0 : 1 + (i * 7) % 251);
    return image;
}

// 16 bytes a record with CR LF, and a record past the bootloader area that must be dropped.
QByteArray hexOf(const QByteArray &image, const QByteArray &extra = {})
{
    QByteArray text = hexLinearBase(0x0800, "\r\n");
    for (int offset = 0; offset < image.size(); offset += 16)
        text += hexDataRecord(quint16(offset), image.mid(offset, 16), "\r\n");
    text += hexDataRecord(0x4000, "past the area", "\r\n");
    return text + extra + hexEndOfFile("\r\n");
}

QString fileName(const QString &serial)
{
    return "Mv604_Bootloader_" + serial + ".bin";
}

QStringList logOf(int first, int count, const QStringList &serials)
{
    QStringList lines{QString("prod_number %1").arg(first), QString("iter %1").arg(count)};
    for (const QString &serial : serials)
        lines << serial << "New bootloader + serial:" + fileName(serial);
    return lines;
}

QString describe(const SeenDialog &d)
{
    const QVariantMap &o = d.offered;
    const QStringList items = o["items"].toStringList();
    return QStringList{d.kind,
                       d.title,
                       d.label,
                       o["value"].toString(),
                       o["minimum"].toString(),
                       o["maximum"].toString(),
                       items.isEmpty() ? "" : items[0] + ".." + items.last(),
                       o["filters"].toStringList().join(';')}
        .join('|');
}
} // namespace

class TestCreateBootBin : public QObject
{
    Q_OBJECT
    QTemporaryDir dir;
    const QString hex = dir.filePath("in/b.hex");

    static QStringList run()
    {
        KR960_Bootloader window;
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
    void dialogsOfferTodayAndTheLimits();
    void writesImages_data();
    void writesImages();
};

void TestCreateBootBin::dialogsOfferTodayAndTheLimits()
{
    DialogScript script;
    script.chooseFile(hex).acceptDefault().acceptDefault().acceptDefault().cancel();
    QVERIFY(writeFile(hex, hexOf(bootloader())));
    QCOMPARE(run(), QStringList{"prod_number 1"});
    QVERIFY(script.done());
    const QDate today = QDate::currentDate();
    QStringList seen;
    for (const SeenDialog &dialog : script.seen())
        seen << describe(dialog);
    QCOMPARE(seen, QStringList({"file|Open File||||||Hex (*.hex)",
                                "item|Production year|Year(YY)|" +
                                    QString::number(100 + today.year() % 100).mid(1) + "|||00..99|",
                                "item|Production week|Week(WW)|" +
                                    QString::number(100 + today.weekNumber()).mid(1) + "|||01..53|",
                                "int|Production number|Number(NNNN)|1|1|9999||",
                                "int|Iteration|Count:|1|1|9998||"}));
}

void TestCreateBootBin::writesImages_data()
{
    QTest::addColumn<QByteArray>("hexText");
    QTest::addColumn<int>("first"); // 0: no production dialogs follow the file
    QTest::addColumn<int>("count");
    QTest::addColumn<QString>("trouble");
    QTest::addColumn<QStringList>("serials"); // of the image files left
    QTest::addColumn<QStringList>("log");
    QTest::addColumn<QString>("box");
    const QByteArray good = hexOf(bootloader());
    const QStringList one{"264900001"}, three{"264900001", "264900002", "264900003"};

    QTest::newRow("three images") << good << 1 << 3 << "" << three << logOf(1, 3, three) << "";
    QTest::newRow("number padded")
        << good << 42 << 1 << "" << QStringList{"264900042"} << logOf(42, 1, {"264900042"}) << "";
    for (int first : {9998, 9999}) {
        const QStringList last{QString("26490%1").arg(first)};
        QTest::addRow("%d allows one", first)
            << good << first << 5 << "" << last << logOf(first, 1, last) << "";
    }
    for (int brand : {0x3FD0, 0x3FD1})
        QTest::addRow("brand byte %x", brand)
            << hexOf(bootloader(brand)) << 0 << 0 << "" << QStringList()
            << QStringList{"Err: Invalid brand!"} << "";
    QTest::newRow("segment record")
        << hexOf(bootloader(), ":020000021000EC\r\n") << 0 << 0 << "" << QStringList()
        << QStringList{"HexToBin error: -7)"} << "HexToBin error: -7)";
    QTest::newRow("second image blocked")
        << good << 1 << 3 << "directory" << one << logOf(1, 3, one) + QStringList{"264900002"}
        << "Cannot write " + fileName("264900002");
    QTest::newRow("disk full") << good << 1 << 2 << "full" << QStringList() << logOf(1, 2, {}) + one
                               << "Cannot write " + fileName("264900001");
}

void TestCreateBootBin::writesImages()
{
    QFETCH(QByteArray, hexText);
    QFETCH(int, first);
    QFETCH(int, count);
    QFETCH(QString, trouble);
    QFETCH(QStringList, serials);
    QFETCH(QStringList, log);
    QFETCH(QString, box);
    QVERIFY(writeFile(hex, hexText));
    if (trouble == "directory")
        QVERIFY(QDir().mkdir(fileName("264900002")));
    FileSizeLimit limit(trouble == "full" ? 8192 : RLIM_INFINITY);
    DialogScript script;
    script.chooseFile(hex);
    if (first > 0)
        script.answerItem("26").answerItem("49").answerInt(first).answerInt(count);
    if (!box.isEmpty())
        script.acknowledge();

    QCOMPARE(run(), log);
    QVERIFY(script.done());
    if (!box.isEmpty())
        QCOMPARE(script.seen().last().label, box);
    QStringList names;
    for (const QString &serial : serials) {
        names << fileName(serial);
        QFile file(names.last());
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), bootloader().replace(0x3FF0, 9, serial.toLatin1()));
    }
    QCOMPARE(QDir().entryList(QDir::Files | QDir::Hidden), names);
}

QTEST_MAIN(TestCreateBootBin)
#include "test_create_boot_bin.moc"
