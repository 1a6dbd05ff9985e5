// Loads HEX files written by GNU objcopy and srecord's srec_cat and compares them with the
// binaries they were made from, so the loader is checked against writers we did not write.

#include "hex_records.h"
#include "image/hex_to_bin.h"

#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

namespace
{

constexpr quint32 LoadAddress = 0x08000000;
constexpr int FirmwareSize = 0x14000; // crosses the 64 KiB boundary at 0x08010000
constexpr char Fill = char(0xA5);

struct Window {
    const char *name;
    quint32 first;
    quint32 last;
};

const Window Windows[] = {
    {"whole firmware", LoadAddress, LoadAddress + FirmwareSize - 1},
    {"bootloader area", 0x08000000, 0x08003FFF},
    {"application area", 0x08004000, 0x0803FFFF},
    {"upper area", 0x08040000, 0x0805BFFF},
    {"across 64 KiB", 0x0800FF01, 0x080100FE},
    {"straddles start", 0x07FFFF00, 0x080000FF},
    {"straddles end", LoadAddress + FirmwareSize - 0x80, LoadAddress + FirmwareSize + 0x7F},
};

// What the window should hold: the firmware's bytes where they overlap, the fill elsewhere.
QByteArray expectedImage(const QByteArray &firmware, const Window &window)
{
    QByteArray image(int(window.last - window.first + 1), Fill);
    for (quint32 address = window.first;; ++address) {
        const quint32 offset = address - LoadAddress;
        if (address >= LoadAddress && offset < quint32(firmware.size()))
            image[int(address - window.first)] = firmware[int(offset)];
        if (address == window.last)
            break;
    }
    return image;
}

QByteArray withCrLf(QByteArray text)
{
    return text.replace("\r\n", "\n").replace("\n", "\r\n");
}

} // namespace

class TestHexToBinTools : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir dir;
    QByteArray firmware;
    QString binaryPath;

    QString convert(const QString &tool, int recordBytes, bool crlf);

private slots:
    void initTestCase();
    void loadsToolOutput_data();
    void loadsToolOutput();
};

void TestHexToBinTools::initTestCase()
{
    QVERIFY(dir.isValid());
    QRandomGenerator generator(0x960);
    firmware.resize(FirmwareSize);
    for (char &byte : firmware)
        byte = char(generator.bounded(256));
    binaryPath = dir.filePath(QStringLiteral("firmware.bin"));
    QVERIFY(writeFile(binaryPath, firmware));
}

QString TestHexToBinTools::convert(const QString &tool, int recordBytes, bool crlf)
{
    const QString output =
        dir.filePath(QStringLiteral("%1-%2-%3.hex").arg(tool).arg(recordBytes).arg(crlf));
    QStringList arguments;
    if (tool == QLatin1String("objcopy")) {
        arguments << "-I"
                  << "binary"
                  << "-O"
                  << "ihex"
                  << "--change-addresses"
                  << "0x08000000" << binaryPath << output;
    } else {
        arguments << binaryPath << "-binary"
                  << "-offset"
                  << "0x08000000"
                  << "-o" << output << "-intel"
                  << QStringLiteral("-output_block_size=%1").arg(recordBytes);
        if (crlf)
            arguments << "-crlf";
    }
    QProcess process;
    process.start(tool, arguments);
    if (!process.waitForFinished(60000) || process.exitCode() != 0) {
        qWarning("%s failed: %s", qPrintable(tool), process.readAllStandardError().constData());
        return QString();
    }
    if (crlf && tool == QLatin1String("objcopy")) {
        QFile file(output);
        if (!file.open(QIODevice::ReadOnly))
            return QString();
        const QByteArray text = withCrLf(file.readAll());
        file.close();
        if (!writeFile(output, text))
            return QString();
    }
    return output;
}

void TestHexToBinTools::loadsToolOutput_data()
{
    QTest::addColumn<QString>("tool");
    QTest::addColumn<int>("recordBytes");
    QTest::addColumn<bool>("crlf");

    QTest::newRow("objcopy, LF") << "objcopy" << 16 << false;
    QTest::newRow("objcopy, CRLF") << "objcopy" << 16 << true;
    for (int recordBytes : {1, 7, 16, 24, 25}) {
        QTest::addRow("srec_cat %d, LF", recordBytes) << "srec_cat" << recordBytes << false;
        QTest::addRow("srec_cat %d, CRLF", recordBytes) << "srec_cat" << recordBytes << true;
    }
}

void TestHexToBinTools::loadsToolOutput()
{
    QFETCH(QString, tool);
    QFETCH(int, recordBytes);
    QFETCH(bool, crlf);
    if (QStandardPaths::findExecutable(tool).isEmpty())
        QSKIP(qPrintable(tool + QStringLiteral(" is not installed")));

    const QString hexPath = convert(tool, recordBytes, crlf);
    QVERIFY(!hexPath.isEmpty());

    for (const Window &window : Windows) {
        const QByteArray expected = expectedImage(firmware, window);
        QByteArray image(expected.size(), Fill);
        const int result = HexToBin(hexPath, reinterpret_cast<unsigned char *>(image.data()),
                                    window.first, window.last);
        QVERIFY2(result == HexOk, window.name);
        QVERIFY2(image == expected, window.name);
    }
}

QTEST_GUILESS_MAIN(TestHexToBinTools)
#include "test_hex_to_bin_tools.moc"
