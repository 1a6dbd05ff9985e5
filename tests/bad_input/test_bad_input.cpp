// The catalogue of malformed input, one table per kind of input, one row per variant, each with the
// outcome it must get: the message the operator sees, and nothing sent to the device or written to
// disk that should not be. Variants that a subsystem's own suite already pins are named in the
// comment above each table instead of being repeated here.

#include "../boot_image/bootloader_hex.h"
#include "../service/service_test_support.h"
#include "../upgrade/upgrade_fixtures.h"

#include "device/usbkr960.h"
#include "dialog_script.h"
#include "service/remembered_inputs.h"
#include "sim/simulated_bus.h"
#include "upgrade/upgrader.h"

#include <QDir>
#include <QMessageBox>
#include <QMutex>
#include <QTemporaryDir>
#include <QTest>

#include <climits>
#include <functional>
#include <memory>

using kr960sim::SimulatedBus;
using kr960sim::SimulatedKr960;

namespace
{

constexpr quint32 ApplicationStart = 0x08004000;
constexpr quint32 BootloaderStart = 0x08000000;
constexpr int RunLimitMs = 20000;
constexpr int Converts = -1; // an expected value column: the command refuses the text

// What happens to the chosen file between the dialog and the command reading it.
enum class FileFate { Stays, Removed, ReplacedByDirectory };
} // namespace

Q_DECLARE_METATYPE(FileFate)

namespace
{

// The commands of the text tables, by name.
AddressedCommand addressedCommand(const QString &name)
{
    if (name == "Read")
        return {&KR960_Bootloader::slotpushButtonRead, Kr960Request::ReadMemory};
    return externalFlashCommand(name == "WriteExternalFlash");
}

std::function<void()> befall(const QString &path, FileFate fate)
{
    return [path, fate] {
        if (fate == FileFate::Stays)
            return;
        QFile::remove(path);
        if (fate == FileFate::ReplacedByDirectory)
            QDir().mkpath(path);
    };
}

// A 16-byte data record that a variant then spoils at one character.
QByteArray dataRecord()
{
    return intelHexRecord(
        0x0100, 0x00,
        QByteArray("\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0A\x0B\x0C\x0D\x0E\x0F\x10", 16));
}

QByteArray spoiled(QByteArray record, int position, char character)
{
    record[position] = character;
    return record;
}

// Not text at all: an executable's first bytes and no line end within the loader's line buffer.
QByteArray binaryGarbage()
{
    QByteArray bytes("\x7F"
                     "ELF\x02\x01\x01",
                     7);
    for (int i = 0; bytes.size() < 300; ++i)
        bytes += char(i * 37 % 251 == '\n' ? 0 : i * 37 % 251);
    return bytes;
}

QStringList fileNames(const QString &directory)
{
    return QDir(directory).entryList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot);
}

} // namespace

class TestBadInput : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void hexFiles_data();
    void hexFiles();
    void upgradeFiles_data();
    void upgradeFiles();
    void binFiles_data();
    void binFiles();
    void addressTexts_data();
    void addressTexts();
    void dataTexts_data();
    void dataTexts();
    void numbers_data();
    void numbers();

private:
    QStringList logLines() const;
    void expectRefusal(const QList<SeenDialog> &seen, const QString &title, const QString &text,
                       QMessageBox::Icon icon);
    void expectNoVendorRequest();

    SimulatedBus bus;
    std::shared_ptr<SimulatedKr960> device;
    std::unique_ptr<QTemporaryDir> workDir; // the working directory: nothing may appear in it
    std::unique_ptr<QTemporaryDir> inputDir;
    std::unique_ptr<KR960_Bootloader> window;
};

void TestBadInput::initTestCase()
{
    QVERIFY2(SimulatedBus::preloadActive(), "run under LD_PRELOAD=libumockdev-preload.so.0");
    device = bus.addDevice();
}

void TestBadInput::init()
{
    workDir = std::make_unique<QTemporaryDir>();
    inputDir = std::make_unique<QTemporaryDir>();
    QVERIFY(workDir->isValid() && inputDir->isValid());
    QVERIFY(QDir::setCurrent(workDir->path()));
    memoryCommandInputs = MemoryCommandInputs{};
    externalFlashInputs = ExternalFlashInputs{};
    device->clearFaults();
    device->clearRequests();
    window = std::make_unique<KR960_Bootloader>();
}

void TestBadInput::cleanup()
{
    window.reset();
    QDir::setCurrent(QDir::tempPath());
    workDir.reset();
    inputDir.reset();
}

QStringList TestBadInput::logLines() const
{
    const QString text = logText(*window);
    return text.isEmpty() ? QStringList() : text.split('\n');
}

void TestBadInput::expectRefusal(const QList<SeenDialog> &seen, const QString &title,
                                 const QString &text, QMessageBox::Icon icon)
{
    QVERIFY(!seen.isEmpty());
    QCOMPARE(seen.last().kind, QString("message"));
    QCOMPARE(seen.last().title, title);
    QCOMPARE(seen.last().label, text);
    QCOMPARE(seen.last().offered["icon"].toInt(), int(icon));
}

void TestBadInput::expectNoVendorRequest()
{
    for (const kr960sim::RequestRecord &record : device->requests())
        QVERIFY2((record.requestType & 0x60) != 0x40,
                 qPrintable(QString("request %1 was sent").arg(record.request)));
}

// Intel HEX into CreateUpg and CreateBootBin. Pinned elsewhere: blank line, line without colon,
// type 02 record and a wrong brand for both commands (tests/upgrade/test_upgrade_commands,
// tests/boot_image/test_create_boot_bin), a file gone before CreateBootBin reads it (same).
// Result 0 means the file loads: an empty file, or one whose records all lie outside the
// command's window, loads as all zeros with brand 0 and is built like any other.
void TestBadInput::hexFiles_data()
{
    QTest::addColumn<bool>("upgrade"); // CreateUpg, else CreateBootBin
    QTest::addColumn<QByteArray>("contents");
    QTest::addColumn<FileFate>("fate");
    QTest::addColumn<int>("result");

    const QByteArray record = dataRecord();
    for (const bool upgrade : {true, false}) {
        const quint32 window = upgrade ? ApplicationStart : BootloaderStart;
        const QByteArray good = intelHex(window, fixtures::firmwareBytes(256, 3));
        const QByteArray end = intelHexEnd();
        const auto row = [upgrade](const char *name) -> QTestData & {
            return QTest::addRow("%s, %s", upgrade ? "CreateUpg" : "CreateBootBin", name);
        };
        const auto stays = FileFate::Stays;
        row("count not hex") << upgrade << good + spoiled(record, 2, 'G') + end << stays << -3;
        row("address not hex") << upgrade << good + spoiled(record, 5, 'X') + end << stays << -4;
        row("type not hex") << upgrade << good + spoiled(record, 8, 'Z') + end << stays << -5;
        row("data not hex") << upgrade << good + spoiled(record, 12, 'Q') + end << stays << -6;
        row("record cut short") << upgrade << good + record.left(20) + "\r\n" + end << stays << -6;
        row("32-byte record") << upgrade
                              << good +
                                     intelHexRecord(0x0100, 0x00, fixtures::firmwareBytes(32, 5)) +
                                     end
                              << stays << -6;
        row("type 03 record") << upgrade
                              << good + intelHexRecord(0, 0x03, QByteArray(4, '\x10')) + end
                              << stays << -7;
        row("type 06 record") << upgrade << good + intelHexRecord(0, 0x06, QByteArray()) + end
                              << stays << -7;
        row("extended address not hex")
            << upgrade << good + ":02000004ZZZZ00\r\n" + end << stays << -7;
        row("binary garbage") << upgrade << binaryGarbage() << stays << -2;
        if (upgrade)
            row("file gone before it is read") << upgrade << good + end << FileFate::Removed << -8;
        row("empty file") << upgrade << QByteArray() << stays << 0;
        // The other command's firmware: every record falls outside this command's window.
        row("the other command's HEX") << upgrade
                                       << intelHex(upgrade ? BootloaderStart : ApplicationStart,
                                                   fixtures::firmwareBytes(256, 4)) +
                                              end
                                       << stays << 0;
    }
}

void TestBadInput::hexFiles()
{
    QFETCH(bool, upgrade);
    QFETCH(QByteArray, contents);
    QFETCH(FileFate, fate);
    QFETCH(int, result);
    const QString hex = inputDir->filePath("input.hex");
    QVERIFY(fixtures::writeFile(hex, contents));

    DialogScript script;
    script.then(chooseFile(hex, befall(hex, fate)));
    const QString message = QString("HexToBin error: %1)").arg(result);
    if (result < 0)
        script.acknowledge();
    else if (upgrade)
        script.chooseFile(workDir->filePath("built.upg"));
    else
        script.acceptDefault().acceptDefault().answerInt(1).answerInt(1);
    if (upgrade)
        window->slotpushButtonCreateUpg(false);
    else
        window->slotpushButtonCreateBootBin(false);
    QVERIFY(script.done());

    if (result < 0) {
        QCOMPARE(script.seen().size(), 2); // no save or production dialog
        expectRefusal(script.seen(), "Error", message, QMessageBox::Critical);
        if (QTest::currentTestFailed())
            return;
        QCOMPARE(logLines(), QStringList{message});
        QCOMPARE(fileNames(workDir->path()), QStringList());
        return;
    }
    if (upgrade) {
        QCOMPARE(logLines(), QStringList());
        QCOMPARE(fileNames(workDir->path()), QStringList{"built.upg"});
        QCOMPARE(QFileInfo(workDir->filePath("built.upg")).size(), UpgradeFile::FileSize);
    } else {
        QCOMPARE(logLines().size(), 4); // number, count, serial, file name
        QCOMPARE(fileNames(workDir->path()).size(), 1);
        QVERIFY(fileNames(workDir->path()).first().startsWith("Mv604_Bootloader_"));
    }
}

// Upgrade files into the worker. Pinned in tests/upgrade/test_upgrader: empty file, header as
// UTF-16LE, in lower case or with a trailing blank, versions "2", "02 " and "03", an image one
// byte short, a null image, a file cut short and an image length beyond the file.
void TestBadInput::upgradeFiles_data()
{
    using namespace fixtures;
    QTest::addColumn<QByteArray>("contents"); // null: no file at all
    QTest::addColumn<bool>("directory");      // a directory where the file should be
    QTest::addColumn<QString>("message");

    const QByteArray header = textItem(UpgradeFile::HeaderText);
    const QByteArray version = textItem(UpgradeFile::VersionText);
    const QByteArray image = scrambled(plainImageWith({}));
    const QByteArray imageItem = be32(UpgradeFile::ImageSize) + image;
    const QByteArray afterHeader = version + imageItem;
    const QString wrongHeader = "Wrong file header", wrongVersion = "Wrong file version",
                  wrongSize = "Wrong file size";
    const QByteArray oddHeader = be32(49) + utf16(UpgradeFile::HeaderText, true).left(49);
    QByteArray littleEndian = be32(0) + afterHeader;
    littleEndian.replace(0, 4, QByteArray("\x32\x00\x00\x00", 4));
    littleEndian.insert(4, utf16(UpgradeFile::HeaderText, false));

    QTest::newRow("no file") << QByteArray() << false << wrongHeader;
    QTest::newRow("a directory") << QByteArray() << true << wrongHeader;
    QTest::newRow("garbage") << firmwareBytes(4096, 1) << false << wrongHeader;
    QTest::newRow("null header") << be32(0xFFFFFFFF) + afterHeader << false << wrongHeader;
    QTest::newRow("header of odd byte length") << oddHeader + afterHeader << false << wrongHeader;
    QTest::newRow("header length beyond the file")
        << be32(0x7FFFFFFE) + utf16(UpgradeFile::HeaderText, true) + afterHeader << false
        << wrongHeader;
    QTest::newRow("another product's header")
        << textItem("Mv603 Upgrade File Header") + afterHeader << false << wrongHeader;
    QTest::newRow("little-endian lengths") << littleEndian << false << wrongHeader;
    QTest::newRow("header only") << header << false << wrongVersion;
    QTest::newRow("null version") << header + be32(0xFFFFFFFF) + imageItem << false << wrongVersion;
    QTest::newRow("empty version") << header + be32(0) + imageItem << false << wrongVersion;
    QTest::newRow("version as UTF-16LE")
        << header + textItem(UpgradeFile::VersionText, false) + imageItem << false << wrongVersion;
    QTest::newRow("version with a trailing NUL")
        << header + textItem(UpgradeFile::VersionText + QChar(0)) + imageItem << false
        << wrongVersion;
    QTest::newRow("version 01") << header + textItem("01") + imageItem << false << wrongVersion;
    QTest::newRow("no image item") << header + version << false << wrongSize;
    QTest::newRow("image length cut short") << header + version + "\x00\x06" << false << wrongSize;
    QTest::newRow("empty image item") << header + version + be32(0) << false << wrongSize;
    QTest::newRow("length one short, whole image after it")
        << header + version + be32(UpgradeFile::ImageSize - 1) + image << false << wrongSize;
}

void TestBadInput::upgradeFiles()
{
    QFETCH(QByteArray, contents);
    QFETCH(bool, directory);
    QFETCH(QString, message);
    const QString file = inputDir->filePath("input.upg");
    if (directory)
        QVERIFY(QDir().mkpath(file));
    else if (!contents.isNull())
        QVERIFY(fixtures::writeFile(file, contents));

    USBKR960 usb;
    Upgrader upgrader(&usb);
    QMutex lock;
    QStringList lines;
    QList<int> percents;
    connect(
        &upgrader, &Upgrader::sendText, this,
        [&](const QString &line) {
            QMutexLocker locker(&lock);
            lines << line;
        },
        Qt::DirectConnection);
    connect(
        &upgrader, &Upgrader::sendPercent, this,
        [&](int percent) {
            QMutexLocker locker(&lock);
            percents << percent;
        },
        Qt::DirectConnection);
    upgrader.slotSetFileName(file);
    upgrader.start();
    QVERIFY(upgrader.wait(RunLimitMs));

    QCOMPARE(lines, QStringList({file, message}));
    QVERIFY(percents.isEmpty());
    QVERIFY(device->requests().empty());
}

// .bin files into WriteExtFlashBin. Pinned in tests/service/test_external_flash_commands:
// empty, 5 and 6 bytes. A file that cannot be read reads as empty and is refused for its length.
void TestBadInput::binFiles_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<FileFate>("fate");
    QTest::newRow("1 byte") << 1 << FileFate::Stays;
    QTest::newRow("2 bytes") << 2 << FileFate::Stays;
    QTest::newRow("3 bytes") << 3 << FileFate::Stays;
    QTest::newRow("gone before it is read") << 8 << FileFate::Removed;
    QTest::newRow("a directory in its place") << 8 << FileFate::ReplacedByDirectory;
}

void TestBadInput::binFiles()
{
    QFETCH(int, size);
    QFETCH(FileFate, fate);
    const QString bin = inputDir->filePath("input.bin");
    QVERIFY(fixtures::writeFile(bin, distinctBytes(size)));

    DialogScript script;
    script.then(chooseFile(bin, befall(bin, fate))).acknowledge();
    window->slotpushButtonWriteExtFlashBin(false);
    QVERIFY(script.done());

    QCOMPARE(script.seen().size(), 2);
    expectRefusal(script.seen(), "Length error", "Length should be aligned to 4",
                  QMessageBox::Critical);
    QVERIFY(device->requests().empty());
}

// Address texts of Read, WriteExternalFlash and ReadExternalFlash. Pinned in tests/service:
// Read: "xyz", "0x100000000", "", "8000100", "0x8000100", "0X8000100"; WriteExternalFlash:
// "12G"; ReadExternalFlash: "12G", "1FFFFFFFF", " 0x30100 ".
void TestBadInput::addressTexts_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<QString>("text");
    QTest::addColumn<qint64>("address"); // Converts: "Conversion error", nothing sent

    const auto rows = [](const QString &command, const QStringList &texts) {
        for (const QString &text : texts) {
            // Blanks around the number are forgiven; "1e3" is three hexadecimal digits.
            const qint64 address = text == " 0x10 " ? 0x10 : text == "1e3" ? 0x1E3 : Converts;
            QTest::addRow("%s, \"%s\"", qPrintable(command), qPrintable(text))
                << command << text << address;
        }
    };
    rows("Read", {"12G", "0x", " 0x10 ", "-1", "0x-1", "1e3"});
    const QStringList external{"xyz", "0x", "", " 0x10 ", "0x100000000", "-1", "0x-1", "1e3"};
    rows("WriteExternalFlash", external);
    rows("ReadExternalFlash", external);
}

void TestBadInput::addressTexts()
{
    QFETCH(QString, command);
    QFETCH(QString, text);
    QFETCH(qint64, address);
    setLogText(*window, "before");

    DialogScript script;
    script.answerText(text).answerInt(8);
    if (command == "WriteExternalFlash")
        script.answerText("0xAB");
    if (address == Converts)
        script.acknowledge();
    const AddressedCommand run = addressedCommand(command);
    run.runOn(*window);
    QVERIFY(script.done());

    if (address == Converts) {
        expectRefusal(script.seen(), "error", "Conversion error", QMessageBox::Warning);
        expectNoVendorRequest();
        if (QTest::currentTestFailed())
            return;
        QCOMPARE(logText(*window), QString("before"));
        return;
    }
    const auto sent = vendorRequests(*device, run.request);
    QCOMPARE(sent.size(), size_t(1));
    QCOMPARE(sent[0].value, quint16(address & 0xFFFF));
    QCOMPARE(sent[0].index, quint16(address >> 16));
    QCOMPARE(int(sent[0].length), 8);
}

// Data texts of WriteExternalFlash: only the low byte of a valid number is written. Pinned in
// tests/service: "zz", "0xAB", "0x1C7".
void TestBadInput::dataTexts_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("byte"); // Converts: "Conversion error", nothing sent
    QTest::newRow("empty") << "" << Converts;
    QTest::newRow("prefix alone") << "0x" << Converts;
    QTest::newRow("negative") << "-1" << Converts;
    QTest::newRow("negative after the prefix") << "0x-1" << Converts;
    QTest::newRow("above 32 bits") << "0x100000000" << Converts;
    QTest::newRow("blank inside") << "A B" << Converts;
    QTest::newRow("largest 32-bit value") << "0xFFFFFFFF" << 0xFF;
    QTest::newRow("blanks around") << " 0x5A " << 0x5A;
    QTest::newRow("looks like an exponent") << "1e3" << 0xE3;
}

void TestBadInput::dataTexts()
{
    QFETCH(QString, text);
    QFETCH(int, byte);
    DialogScript script;
    script.answerText("0x40").answerInt(4).answerText(text);
    if (byte == Converts)
        script.acknowledge();
    window->slotpushButtonWriteExternalFlash(false);
    QVERIFY(script.done());

    if (byte == Converts) {
        expectRefusal(script.seen(), "error", "Conversion error", QMessageBox::Warning);
        expectNoVendorRequest();
        return;
    }
    const auto sent = vendorRequests(*device, 6);
    QCOMPARE(sent.size(), size_t(1));
    QCOMPARE(sent[0].value, quint16(0x40));
    QByteArray expected(4, char(byte));
    EncodeWords(expected.data(), int(expected.size()));
    QCOMPARE(toBytes(sent[0].data), expected);
}

// The number dialogs keep what is typed within their range. Small values show in the request;
// values near the top are checked by what the command remembers, with an address it refuses, so
// that no megabyte goes over the bus. Pinned in tests/service: Read lengths 0 and -5; in
// tests/boot_image: the production number and count dialogs.
void TestBadInput::numbers_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<int>("typed");
    QTest::addColumn<int>("used");
    const int most = 0x100000;
    for (const QString command : {"Read", "WriteExternalFlash", "ReadExternalFlash"}) {
        const auto row = [&](const char *name) -> QTestData & {
            return QTest::addRow("%s, %s", qPrintable(command), name) << command;
        };
        if (command != "Read") {
            row("zero") << 0 << 1;
            row("negative") << -1 << 1;
        }
        row("smallest") << 1 << 1;
        row("largest") << most << most;
        row("one above the largest") << most + 1 << most;
        row("largest int") << INT_MAX << most;
    }
    QTest::newRow("WritePage, negative") << "WritePage" << -1 << 0;
    QTest::newRow("WritePage, largest") << "WritePage" << 255 << 255;
    QTest::newRow("WritePage, one above the largest") << "WritePage" << 256 << 255;
}

void TestBadInput::numbers()
{
    QFETCH(QString, command);
    QFETCH(int, typed);
    QFETCH(int, used);
    const bool large = used > 2048;
    DialogScript script;
    if (command == "WritePage") {
        script.answerInt(typed);
        window->slotpushButtonWritePage(false);
        QVERIFY(script.done());
        QCOMPARE(memoryCommandInputs.lastFillPattern, used);
        QCOMPARE(vendorRequests(*device, 3).size(), size_t(1));
        QCOMPARE(toBytes(device->flash(0x08005000, 2048)), QByteArray(2048, char(used)));
        return;
    }

    const QString address = large ? "xyz" : command == "Read" ? "0x8000000" : "0x0";
    script.answerText(address).answerInt(typed);
    if (command == "WriteExternalFlash")
        script.answerText("0x11");
    if (large)
        script.acknowledge();
    const AddressedCommand run = addressedCommand(command);
    run.runOn(*window);
    QVERIFY(script.done());
    const int remembered = command == "Read"                 ? memoryCommandInputs.lastReadLength
                           : command == "WriteExternalFlash" ? externalFlashInputs.writeLength
                                                             : externalFlashInputs.readLength;
    QCOMPARE(remembered, used);
    if (large) {
        expectNoVendorRequest();
        return;
    }
    const auto sent = vendorRequests(*device, run.request);
    QCOMPARE(sent.size(), size_t(1));
    QCOMPARE(int(sent[0].length), used);
}

QTEST_MAIN(TestBadInput)
#include "test_bad_input.moc"
