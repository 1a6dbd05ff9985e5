// The upgrade file as the builder writes it and the reader accepts it, and the builder's
// handling of bad HEX files, brands and unwritable targets.

#include "upgrade_fixtures.h"

#include "image/word_scrambler.h"
#include "upgrade/upgrade_builder.h"
#include "upgrade/upgrade_file.h"

#include <QBuffer>
#include <QDir>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>

#include <csignal>
#include <sys/resource.h>

using namespace fixtures;
using namespace UpgradeFile;

Q_DECLARE_METATYPE(UpgradeFileStatus)
Q_DECLARE_METATYPE(UpgradeBuildResult::Status)

namespace
{

constexpr quint32 ApplicationAddress = 0x08004000;
constexpr quint32 UpperAddress = 0x08040000;

quint32 wordAt(const QByteArray &bytes, int offset)
{
    return qFromLittleEndian<quint32>(bytes.constData() + offset);
}

// Accepts the first `capacity` bytes and then fails, as a full disk does.
class FillingDevice : public QIODevice
{
public:
    explicit FillingDevice(qint64 capacity) : capacity(capacity) { open(WriteOnly); }

protected:
    qint64 readData(char *, qint64) override { return -1; }
    qint64 writeData(const char *, qint64 length) override
    {
        if (written >= capacity)
            return -1;
        const qint64 taken = qMin(length, capacity - written);
        written += taken;
        return taken;
    }

private:
    qint64 capacity;
    qint64 written = 0;
};

} // namespace

class TestUpgradeFile : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void builtFileHasTheFixedLayout();
    void builtFileHoldsTheApplicationWindowWithItsChecksum();
    void buildsAreByteIdentical();
    void everyPageScrambledAloneEqualsTheStoredBytes();
    void checksumIsTheWrappingSumOfTheAreaWords_data();
    void checksumIsTheWrappingSumOfTheAreaWords();
    void checksumReplacesHexDataAtItsFourBytes();
    void dataOutsideTheTwoWindowsIsDropped();

    void readerChecksInOrder_data();
    void readerChecksInOrder();
    void readerTakesTheFirstImageBytesOfALongerItem_data();
    void readerTakesTheFirstImageBytesOfALongerItem();
    void readerRejectsAFileThatCannotBeOpened();

    void builderRefusesABrandedFirmware_data();
    void builderRefusesABrandedFirmware();
    void builderStopsAtTheFirstHexError();
    void builderLeavesNothingWhenItCannotWrite_data();
    void builderLeavesNothingWhenItCannotWrite();
    void builderLeavesNothingWhenTheDiskFills();
    void writerReportsAnIncompleteWrite();

private:
    QString path(const QString &name) const { return dir.filePath(name); }
    QString hexFile(const QString &name, const QList<HexRegion> &regions);
    QByteArray buildFromHex(const QString &hexPath, const QString &upgName);

    QTemporaryDir dir;
    QByteArray firmware; // the application window, brand word 0
};

void TestUpgradeFile::initTestCase()
{
    QVERIFY(dir.isValid());
    if (!objcopyAvailable())
        QSKIP("GNU objcopy is needed to make the HEX files");
    firmware = firmwareBytes(ApplicationSize, 1);
    const int brand = BrandOffset - ApplicationOffset;
    firmware[brand] = 0;
    firmware[brand + 1] = 0;
}

QString TestUpgradeFile::hexFile(const QString &name, const QList<HexRegion> &regions)
{
    const QString hexPath = path(name);
    if (!writeHex(hexPath, regions))
        return {};
    return hexPath;
}

QByteArray TestUpgradeFile::buildFromHex(const QString &hexPath, const QString &upgName)
{
    if (!buildUpgradeFile(hexPath, path(upgName)).ok())
        return {};
    QFile file(path(upgName));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

void TestUpgradeFile::builtFileHasTheFixedLayout()
{
    const QString hex = hexFile("layout.hex", {{ApplicationAddress, firmware}});
    const QByteArray file = buildFromHex(hex, "layout.upg");

    QCOMPARE(file.size(), 393282);
    QCOMPARE(file.mid(0x00, 4), QByteArray::fromHex("00000032"));
    QCOMPARE(file.mid(0x04, 50), utf16("Mv604 Upgrade File Header", true));
    QCOMPARE(file.mid(0x36, 8), QByteArray::fromHex("0000000400300032"));
    QCOMPARE(file.mid(0x3E, 4), QByteArray::fromHex("00060000"));
}

void TestUpgradeFile::builtFileHoldsTheApplicationWindowWithItsChecksum()
{
    const QString hex = hexFile("window.hex", {{ApplicationAddress, firmware}});
    QByteArray image = buildFromHex(hex, "window.upg").mid(int(ImageFileOffset));
    QCOMPARE(image.size(), ImageSize);
    DecodeWords(image.data(), int(image.size()));

    QCOMPARE(image.mid(ApplicationOffset, ApplicationSize), applicationWithChecksum(firmware));
    // No upper data in the HEX file: the upper area, its checksum included, stays zero, and so
    // do the bootloader and tail areas.
    QCOMPARE(image.left(ApplicationOffset), QByteArray(ApplicationOffset, '\0'));
    QCOMPARE(image.mid(UpperOffset), QByteArray(ImageSize - UpperOffset, '\0'));
}

void TestUpgradeFile::buildsAreByteIdentical()
{
    const QByteArray upper = firmwareBytes(0x1000, 2);
    const QString hex =
        hexFile("twice.hex", {{ApplicationAddress, firmware}, {UpperAddress + 0x100, upper}});
    const QByteArray first = buildFromHex(hex, "first.upg");
    const QByteArray second = buildFromHex(hex, "second.upg");
    QCOMPARE(first.size(), 393282);
    QVERIFY(first == second);
}

void TestUpgradeFile::everyPageScrambledAloneEqualsTheStoredBytes()
{
    const QString hex = hexFile("pages.hex", {{ApplicationAddress, firmware}});
    const QByteArray file = buildFromHex(hex, "pages.upg");
    const QByteArray plain = applicationWithChecksum(firmware);
    QCOMPARE(file.size(), 393282);
    for (int p = 0; p < ApplicationSize / 2048; ++p) {
        QByteArray page = plain.mid(p * 2048, 2048);
        EncodeWords(page.data(), int(page.size()));
        QVERIFY2(page == file.mid(int(ImageFileOffset) + ApplicationOffset + p * 2048, 2048),
                 qPrintable(QString("page %1").arg(p)));
    }
}

void TestUpgradeFile::checksumIsTheWrappingSumOfTheAreaWords_data()
{
    QTest::addColumn<int>("areaOffset");
    QTest::addColumn<int>("checksumOffset");
    QTest::addColumn<QList<quint32>>("words"); // from the start of the area
    QTest::addColumn<quint32>("checksum");

    for (auto [area, offset, checksum] :
         {std::tuple{"application", ApplicationOffset, ApplicationChecksumOffset},
          std::tuple{"upper", UpperOffset, UpperChecksumOffset}}) {
        QTest::addRow("%s: one word", area)
            << offset << checksum << QList<quint32>{0x12345678} << quint32(0x12345678);
        QTest::addRow("%s: the sum wraps", area)
            << offset << checksum << QList<quint32>{0xFFFFFFFF, 0x00000002} << quint32(1);
        QTest::addRow("%s: all zero", area) << offset << checksum << QList<quint32>{} << quint32(0);
    }
}

void TestUpgradeFile::checksumIsTheWrappingSumOfTheAreaWords()
{
    QFETCH(int, areaOffset);
    QFETCH(int, checksumOffset);
    QFETCH(QList<quint32>, words);
    QFETCH(quint32, checksum);

    QByteArray image(ImageSize, '\0');
    for (int i = 0; i < words.size(); ++i)
        qToLittleEndian(words[i], image.data() + areaOffset + 4 * i);
    stampChecksums(reinterpret_cast<unsigned char *>(image.data()));
    QCOMPARE(wordAt(image, checksumOffset), checksum);
}

void TestUpgradeFile::checksumReplacesHexDataAtItsFourBytes()
{
    const QByteArray tail = QByteArray::fromHex("0102030405060708090A0B0C0D0E0F10");
    const QString hex = hexFile("stamped.hex", {{0x0803FFF0, tail}, {0x0805BFF0, tail}});
    QByteArray image = buildFromHex(hex, "stamped.upg").mid(int(ImageFileOffset));
    DecodeWords(image.data(), int(image.size()));

    const quint32 sumOfThreeWords = 0x04030201u + 0x08070605u + 0x0C0B0A09u;
    QCOMPARE(wordAt(image, ApplicationChecksumOffset), sumOfThreeWords);
    QCOMPARE(wordAt(image, UpperChecksumOffset), sumOfThreeWords);
    QCOMPARE(image.mid(ApplicationChecksumOffset - 12, 12), tail.left(12));
}

void TestUpgradeFile::dataOutsideTheTwoWindowsIsDropped()
{
    const QByteArray fill(0x4000, char(0xA5));
    const QString hex = hexFile("outside.hex", {{0x08000000, fill}, // bootloader
                                                {0x0805C000, fill}, // tail
                                                {0x08060000, fill}, // past the image
                                                {0x07FFC000, fill}});
    QByteArray image = buildFromHex(hex, "outside.upg").mid(int(ImageFileOffset));
    QCOMPARE(image.size(), ImageSize);
    DecodeWords(image.data(), int(image.size()));
    QCOMPARE(image, QByteArray(ImageSize, '\0'));
}

void TestUpgradeFile::readerChecksInOrder_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<UpgradeFileStatus>("status");

    const QByteArray header = textItem(HeaderText);
    const QByteArray version = textItem(VersionText);
    const QByteArray image = scrambled(QByteArray(ImageSize, '\x5A'));
    const QByteArray good = header + version + be32(ImageSize) + image;
    const QByteArray null = be32(0xFFFFFFFF);
    const auto rest = version + be32(ImageSize) + image;

    QTest::newRow("a good file") << good << UpgradeFileStatus::Ok;
    QTest::newRow("extra bytes after the image") << good + "trailing" << UpgradeFileStatus::Ok;

    QTest::newRow("empty file") << QByteArray() << UpgradeFileStatus::WrongHeader;
    QTest::newRow("header cut short") << header.left(30) << UpgradeFileStatus::WrongHeader;
    QTest::newRow("header as UTF-16LE")
        << textItem(HeaderText, false) + rest << UpgradeFileStatus::WrongHeader;
    QTest::newRow("header in capitals")
        << textItem(HeaderText.toUpper()) + rest << UpgradeFileStatus::WrongHeader;
    QTest::newRow("header with a trailing blank")
        << textItem(HeaderText + ' ') + rest << UpgradeFileStatus::WrongHeader;
    QTest::newRow("null header") << null + rest << UpgradeFileStatus::WrongHeader;

    const QByteArray afterVersion = be32(ImageSize) + image;
    QTest::newRow("version 2") << header + textItem("2") + afterVersion
                               << UpgradeFileStatus::WrongVersion;
    QTest::newRow("version '02 '")
        << header + textItem("02 ") + afterVersion << UpgradeFileStatus::WrongVersion;
    QTest::newRow("version 03") << header + textItem("03") + afterVersion
                                << UpgradeFileStatus::WrongVersion;
    QTest::newRow("null version") << header + null + afterVersion
                                  << UpgradeFileStatus::WrongVersion;
    QTest::newRow("no version") << header << UpgradeFileStatus::WrongVersion;

    const QByteArray items = header + version;
    QTest::newRow("no image item") << items << UpgradeFileStatus::WrongSize;
    QTest::newRow("null image") << items + null << UpgradeFileStatus::WrongSize;
    QTest::newRow("empty image") << items + be32(0) << UpgradeFileStatus::WrongSize;
    QTest::newRow("image one byte short")
        << items + be32(ImageSize - 1) + image.left(ImageSize - 1) << UpgradeFileStatus::WrongSize;
    QTest::newRow("short length field before a whole image")
        << items + be32(2048) + image << UpgradeFileStatus::WrongSize;
    QTest::newRow("file cut short") << good.left(good.size() - 1) << UpgradeFileStatus::WrongSize;
    QTest::newRow("longer item cut short")
        << items + be32(ImageSize + 100) + image << UpgradeFileStatus::WrongSize;
    QTest::newRow("length field far beyond the file")
        << items + be32(0x7FFFFFF0) + image.left(1000) << UpgradeFileStatus::WrongSize;
}

void TestUpgradeFile::readerChecksInOrder()
{
    QFETCH(QByteArray, bytes);
    QFETCH(UpgradeFileStatus, status);

    QBuffer buffer(&bytes);
    QVERIFY(buffer.open(QIODevice::ReadOnly));
    QByteArray image;
    QCOMPARE(readUpgradeFile(buffer, &image), status);
    if (status == UpgradeFileStatus::Ok)
        QCOMPARE(image, bytes.mid(int(ImageFileOffset), ImageSize));
    else
        QVERIFY(image.isEmpty());
}

void TestUpgradeFile::readerTakesTheFirstImageBytesOfALongerItem_data()
{
    QTest::addColumn<int>("extra");
    QTest::newRow("one byte longer") << 1;
    QTest::newRow("a page longer") << 2048;
}

void TestUpgradeFile::readerTakesTheFirstImageBytesOfALongerItem()
{
    QFETCH(int, extra);
    const QByteArray longer = firmwareBytes(ImageSize + extra, 3);
    QByteArray bytes = textItem(HeaderText) + textItem(VersionText) + be32(quint32(longer.size())) +
                       longer + "after";
    QBuffer buffer(&bytes);
    QVERIFY(buffer.open(QIODevice::ReadOnly));
    QByteArray image;
    QCOMPARE(readUpgradeFile(buffer, &image), UpgradeFileStatus::Ok);
    QCOMPARE(image, longer.left(ImageSize));
}

void TestUpgradeFile::readerRejectsAFileThatCannotBeOpened()
{
    QFile missing(path("missing.upg"));
    missing.open(QIODevice::ReadOnly);
    QByteArray image;
    QCOMPARE(readUpgradeFile(missing, &image), UpgradeFileStatus::WrongHeader);
}

void TestUpgradeFile::builderRefusesABrandedFirmware_data()
{
    QTest::addColumn<QByteArray>("brand");
    QTest::newRow("01 00") << QByteArray::fromHex("0100");
    QTest::newRow("00 01") << QByteArray::fromHex("0001");
}

void TestUpgradeFile::builderRefusesABrandedFirmware()
{
    QFETCH(QByteArray, brand);
    QByteArray branded = firmware;
    branded.replace(BrandOffset - ApplicationOffset, 2, brand);
    const QString hex = hexFile("branded.hex", {{ApplicationAddress, branded}});

    const UpgradeBuildResult result = buildUpgradeFile(hex, path("branded.upg"));
    QCOMPARE(result.status, UpgradeBuildResult::InvalidBrand);
    QVERIFY(!QFile::exists(path("branded.upg")));
}

void TestUpgradeFile::builderStopsAtTheFirstHexError()
{
    const QString hex = hexFile("blank.hex", {{ApplicationAddress, firmware.left(64)}});
    QFile file(hex);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QByteArray text = file.readAll();
    file.close();
    text.insert(text.indexOf('\n') + 1, "\n"); // a blank line among the records
    QVERIFY(writeFile(hex, text));

    const UpgradeBuildResult result = buildUpgradeFile(hex, path("blank.upg"));
    QCOMPARE(result.status, UpgradeBuildResult::HexError);
    QCOMPARE(result.hexError, -1);
    QVERIFY(!QFile::exists(path("blank.upg")));
}

void TestUpgradeFile::builderLeavesNothingWhenItCannotWrite_data()
{
    QTest::addColumn<QString>("target");
    QTest::newRow("missing directory") << QString("no/such/dir/fw.upg");
    QTest::newRow("target is a directory") << QString("adir");
}

void TestUpgradeFile::builderLeavesNothingWhenItCannotWrite()
{
    QFETCH(QString, target);
    QVERIFY(QDir(dir.path()).mkpath("adir"));
    const QString hex = hexFile("unwritable.hex", {{ApplicationAddress, firmware}});
    UpgradeBuilder builder;
    QVERIFY(builder.load(hex).ok());

    QCOMPARE(builder.save(path(target)).status, UpgradeBuildResult::CannotWrite);
    QVERIFY(!QFileInfo(path(target)).isFile());
}

// A file size limit makes the kernel refuse the write part-way, as a full disk would.
void TestUpgradeFile::builderLeavesNothingWhenTheDiskFills()
{
    const QString hex = hexFile("full.hex", {{ApplicationAddress, firmware}});
    UpgradeBuilder builder;
    QVERIFY(builder.load(hex).ok());
    QTemporaryDir target;
    QVERIFY(target.isValid());

    std::signal(SIGXFSZ, SIG_IGN);
    rlimit saved{};
    getrlimit(RLIMIT_FSIZE, &saved);
    rlimit limited = saved;
    limited.rlim_cur = 100000;
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &limited), 0);
    const UpgradeBuildResult result = builder.save(target.filePath("full.upg"));
    setrlimit(RLIMIT_FSIZE, &saved);

    QCOMPARE(result.status, UpgradeBuildResult::CannotWrite);
    QCOMPARE(QDir(target.path()).entryList(QDir::Files | QDir::Hidden), QStringList());
}

void TestUpgradeFile::writerReportsAnIncompleteWrite()
{
    const QByteArray image(ImageSize, '\0');
    FillingDevice full(1000);
    QVERIFY(!writeUpgradeFile(full, image));
    FillingDevice roomy(FileSize);
    QVERIFY(writeUpgradeFile(roomy, image));
}

QTEST_GUILESS_MAIN(TestUpgradeFile)
#include "test_upgrade_file.moc"
