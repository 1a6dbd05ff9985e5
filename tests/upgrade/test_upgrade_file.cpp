// The upgrade file: the builder's bytes against a file put together by hand from an objcopy HEX
// file, the reader's verdict on every kind of damage, and the builder's refusals.

#include "file_size_limit.h"
#include "upgrade/upgrade_builder.h"
#include "upgrade_fixtures.h"

#include <QBuffer>
#include <QTemporaryDir>
#include <QtTest>

using namespace fixtures;
Q_DECLARE_METATYPE(UpgradeFileStatus)

class TestUpgradeFile : public QObject
{
    Q_OBJECT
    QTemporaryDir dir;
    QString path(const char *name) const { return dir.filePath(name); }

private slots:
    void initTestCase()
    {
        if (!objcopyAvailable())
            QSKIP("GNU objcopy makes the HEX files");
    }
    void builtFileBytes();
    void reader_data();
    void reader();
    void builderRefuses_data();
    void builderRefuses();
};

// Data in the bootloader area, the tail and past the image is dropped; each area's last word is
// replaced by the sum of its other words.
void TestUpgradeFile::builtFileBytes()
{
    const QByteArray application = withChecksum(firmwareBytes(0x3C000, 1)).chopped(4) + "junk";
    const QByteArray upper = firmwareBytes(0x1C000, 2);
    const QByteArray fill(0x800, '\xA5');
    QVERIFY(writeHex(path("fw.hex"), {{0x08000000, fill},
                                      {0x08004000, application},
                                      {0x08040000, upper},
                                      {0x0805C000, fill},
                                      {0x08060000, fill}}));
    QCOMPARE(buildUpgradeFile(path("fw.hex"), path("fw.upg")).status, BuildResult::Ok);
    QFile file(path("fw.upg"));
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray bytes = file.readAll();

    // Item lengths big-endian: 50 bytes of UTF-16BE header, 4 of version, then 0x60000.
    QCOMPARE(bytes.left(0x42).toHex(), "00000032004d0076003600300034002000550070006700720061"
                                       "00640065002000460069006c0065002000480065006100640065"
                                       "0072000000040030003200060000");
    QByteArray image = QByteArray(0x4000, '\0') + withChecksum(application) +
                       withChecksum(upper, false) + QByteArray(0x4000, '\0');
    QCOMPARE(bytes.size(), 0x42 + 0x60000);
    QVERIFY(bytes.mid(0x42) == scrambled(image));
}

void TestUpgradeFile::reader_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<UpgradeFileStatus>("status");
    const QByteArray header = textItem(UpgradeFile::HeaderText), version = textItem("02");
    const QByteArray image = firmwareBytes(0x60000 + 8, 3), length = be32(0x60000);
    const QByteArray good = header + version + length + image.left(0x60000);
    const auto row = [](const char *name) -> QTestData & { return QTest::newRow(name); };
    using S = UpgradeFileStatus;

    row("good") << good << S::Ok;
    row("bytes after the image") << good + "more" << S::Ok;
    row("longer image item") << header + version + be32(0x60008) + image << S::Ok;
    row("empty") << QByteArray() << S::WrongHeader;
    row("header in lower case") << textItem("mv604 upgrade file header") + good.mid(54)
                                << S::WrongHeader;
    row("null header") << be32(0xFFFFFFFF) + good.mid(54) << S::WrongHeader;
    row("version 2") << header + textItem("2") + good.mid(62) << S::WrongVersion;
    row("version '02 '") << header + textItem("02 ") + good.mid(62) << S::WrongVersion;
    row("no version") << header << S::WrongVersion;
    row("image length one short") << header + version + be32(0x5FFFF) + image << S::WrongSize;
    row("null image") << header + version + be32(0xFFFFFFFF) + image << S::WrongSize;
    row("file cut short") << good.chopped(1) << S::WrongSize;
    row("longer item cut short") << header + version + be32(0x60009) + image << S::WrongSize;
    row("length beyond the file") << header + version + be32(0x7FFFFFF0) + image << S::WrongSize;
}

void TestUpgradeFile::reader()
{
    QFETCH(QByteArray, bytes);
    QFETCH(UpgradeFileStatus, status);
    QBuffer buffer(&bytes);
    QVERIFY(buffer.open(QIODevice::ReadOnly));
    QByteArray image;
    QCOMPARE(readUpgradeFile(buffer, &image), status);
    QCOMPARE(image, status == UpgradeFileStatus::Ok ? bytes.mid(0x42, 0x60000) : QByteArray());
}

void TestUpgradeFile::builderRefuses_data()
{
    QTest::addColumn<QByteArray>("application");
    QTest::addColumn<QString>("target");
    QTest::addColumn<QString>("message");
    const QByteArray good = withChecksum(firmwareBytes(0x3C000, 4));
    QTest::newRow("brand low byte") << QByteArray(good).replace(0x3BFD0, 1, "\1") << "fw.upg"
                                    << "Err: Invalid brand!";
    QTest::newRow("brand high byte") << QByteArray(good).replace(0x3BFD1, 1, "\1") << "fw.upg"
                                     << "Err: Invalid brand!";
    QTest::newRow("no such directory") << good << "no/fw.upg"
                                       << "Cannot write %1";
    QTest::newRow("disk full") << good << "full.upg"
                               << "Cannot write %1";
}

// Nothing is left at the target, not even a part of the file.
void TestUpgradeFile::builderRefuses()
{
    QFETCH(QByteArray, application);
    QFETCH(QString, target);
    QFETCH(QString, message);
    QVERIFY(writeHex(path("in.hex"), {{0x08004000, application}}));
    QTemporaryDir out;
    target = out.filePath(target);
    FileSizeLimit limit(target.endsWith("full.upg") ? 100000 : RLIM_INFINITY);
    QCOMPARE(buildUpgradeFile(path("in.hex"), target).text(), message.replace("%1", target));
    QCOMPARE(QDir(out.path()).entryList(QDir::Files | QDir::Hidden), QStringList());
}

QTEST_GUILESS_MAIN(TestUpgradeFile)
#include "test_upgrade_file.moc"
