// The production line through mv604-cli under mv604-sim: a device chosen by serial among
// several, every device at once, the station that programs boards as they are plugged in, and
// the JSON Lines log. Checked on the simulator's request log and the flash each device holds.

#include "image/word_scrambler.h"
#include "upgrade/production_log.h"
#include "upgrade/upgrade_file.h"

#include "process_run.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>

class TestProduction : public QObject
{
    Q_OBJECT

    QTemporaryDir work;
    QByteArray plainImage;
    QByteArray application; // its application area

    QString path(const QString &name) const { return work.filePath(name); }
    QString upgradeFile() const { return path("app.upg"); }

    void forgetLastRun()
    {
        QDir(path("state")).removeRecursively();
        QDir().mkpath(path("state"));
        QFile::remove(path("requests.log"));
        QFile::remove(path("production.log"));
    }

    ProcessRun simulated(const QStringList &simOptions, const QStringList &arguments)
    {
        forgetLastRun();
        return runProcess(MV604_SIM,
                          QStringList{"--state-dir", path("state"), "--log", path("requests.log")} +
                              simOptions + QStringList{"--", MV604_CLI} + arguments,
                          work.path());
    }

    // Vendor request `request` as device `device` (1-based) of the last run received it.
    int requestsTo(int device, int request) const
    {
        QFile log(path("requests.log"));
        if (!log.open(QIODevice::ReadOnly))
            return -1;
        const QByteArray head = QString("device %1 ").arg(device).toLatin1();
        const QByteArray wanted = QString(" bRequest=%1 ").arg(request).toLatin1();
        int count = 0;
        for (const QByteArray &line : log.readAll().split('\n'))
            count += line.startsWith(head) && line.contains(wanted) && !line.contains("=0x80 ");
        return count;
    }

    QByteArray applicationAreaOf(int device) const
    {
        const QString suffix = device == 1 ? QString() : QString("-%1").arg(device);
        QFile flash(path("state/internal-flash" + suffix + ".bin"));
        flash.open(QIODevice::ReadOnly);
        return flash.readAll().mid(UpgradeFile::ApplicationOffset, UpgradeFile::ApplicationSize);
    }

    QString checksumText(int offset) const
    {
        const quint32 sum = qFromLittleEndian<quint32>(plainImage.constData() + offset);
        return QString("0x%1").arg(sum, 8, 16, QChar('0'));
    }

    QList<QJsonObject> logRecords() const
    {
        QFile log(path("production.log"));
        QList<QJsonObject> records;
        if (log.open(QIODevice::ReadOnly))
            for (const QByteArray &line : log.readAll().split('\n'))
                if (!line.isEmpty())
                    records << QJsonDocument::fromJson(line).object();
        return records;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(work.isValid());
        plainImage = QByteArray(UpgradeFile::ImageSize, '\xff');
        for (int i = 0; i < UpgradeFile::ApplicationSize; ++i)
            plainImage[UpgradeFile::ApplicationOffset + i] = char(i * 7 ^ i >> 9);
        plainImage[UpgradeFile::BrandOffset] = plainImage[UpgradeFile::BrandOffset + 1] = 0;
        stampChecksums(reinterpret_cast<unsigned char *>(plainImage.data()));
        application = plainImage.mid(UpgradeFile::ApplicationOffset, UpgradeFile::ApplicationSize);
        QByteArray scrambled = plainImage;
        EncodeWords(scrambled.data(), int(scrambled.size()));
        QFile file(upgradeFile());
        QVERIFY(file.open(QIODevice::WriteOnly) && writeUpgradeFile(file, scrambled));
    }

    // Three boards on the bus; only the one asked for sees a vendor request.
    void selectionBySerial_data()
    {
        QTest::addColumn<QStringList>("simOptions");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<int>("chosen"); // the device that was talked to, 0: none
        QTest::newRow("middle board")
            << QStringList{} << QStringList{"--serial", "264900002", "info"} << 0
            << "serial: 264900002b" << 2;
        QTest::newRow("last board restarts and comes back with b")
            << QStringList{"--mode", "application"}
            << QStringList{"--serial", "264900003", "upgrade", upgradeFile()} << 0 << "OK" << 3;
        QTest::newRow("serial not attached")
            << QStringList{} << QStringList{"--serial", "264900009", "info"} << 1
            << "no KR960 with serial 264900009" << 0;
    }
    void selectionBySerial()
    {
        QFETCH(QStringList, simOptions);
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QFETCH(QString, expected);
        QFETCH(int, chosen);
        const ProcessRun run = simulated(QStringList{"--devices", "3"} + simOptions, arguments);
        QCOMPARE(run.exitCode, exitCode);
        QVERIFY2((run.out + run.err).contains(expected), qPrintable(run.out + run.err));
        for (int device = 1; device <= 3; ++device)
            QCOMPARE(requestsTo(device, 0xFF) > 0, device == chosen);
        if (arguments.contains("upgrade")) {
            QCOMPARE(requestsTo(chosen, 4), 1);
            QCOMPARE(applicationAreaOf(chosen), application);
        }
    }

    void allDevicesAtOnce_data()
    {
        QTest::addColumn<int>("faulty"); // the device whose fourth page write stalls, 0: none
        QTest::newRow("all pass") << 0;
        QTest::newRow("second fails, the others pass") << 2;
    }
    void allDevicesAtOnce()
    {
        QFETCH(int, faulty);
        const QStringList fault =
            faulty ? QStringList{"--faults-on", QString::number(faulty), "--fail", "3:4"}
                   : QStringList{};
        const ProcessRun run =
            simulated(QStringList{"--devices", "3", "--mode", "application"} + fault,
                      {"upgrade", "--all", upgradeFile(), "--log", "production.log"});
        QCOMPARE(run.exitCode, faulty ? 1 : 0);
        const QList<QJsonObject> records = logRecords();
        QCOMPARE(records.size(), 3);
        QFile file(upgradeFile());
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QString sha256 = QString::fromLatin1(sha256Hex(file.readAll()));
        for (int device = 1; device <= 3; ++device) {
            const QString serial = QString("26490000%1").arg(device);
            const bool fails = device == faulty;
            const QString row =
                QString("%1  %2").arg(serial, fails ? "write-failed" : "OK        ");
            QVERIFY2(run.out.contains(row), qPrintable(run.out));
            QCOMPARE(applicationAreaOf(device) == application, !fails);
            QCOMPARE(requestsTo(device, 3), fails ? 4 : 120);
            const auto record = std::find_if(records.begin(), records.end(), [&](auto &r) {
                return r["serial"].toString() == serial;
            });
            QVERIFY(record != records.end());
            const QJsonObject expected{
                {"result", fails ? "write-failed" : "ok"},
                {"log", fails ? "ERROR" : "OK"},
                {"pages_written", fails ? 3 : 120},
                {"pages_verified", fails ? 3 : 120},
                {"command", "upgrade"},
                {"file", "app.upg"},
                {"file_sha256", sha256},
                {"application_checksum", checksumText(UpgradeFile::ApplicationChecksumOffset)},
                {"upper_checksum", checksumText(UpgradeFile::UpperChecksumOffset)},
                {"tool_version", "2.00"}};
            for (const QString &key : expected.keys())
                QCOMPARE((*record)[key], expected[key]);
            const QDateTime started =
                QDateTime::fromString((*record)["started"].toString(), Qt::ISODateWithMs);
            const QDateTime ended =
                QDateTime::fromString((*record)["ended"].toString(), Qt::ISODateWithMs);
            QVERIFY(started.isValid() && started.timeSpec() == Qt::UTC && started <= ended);
            QVERIFY(!(*record)["host"].toString().isEmpty());
        }
    }

    // Board 3 is plugged in later; board 1 is unplugged and plugged in again, so it is
    // programmed twice, the others once, although each re-enumerates during its own run.
    void stationProgramsEachPluggedBoardOnce()
    {
        forgetLastRun();
        QProcess station;
        station.setWorkingDirectory(work.path());
        station.start(MV604_SIM, {"--devices",   "3",           "--mode",
                                  "application", "--log",       path("requests.log"),
                                  "--plug",      "3@1500",      "--unplug",
                                  "1@5000",      "--plug",      "1@5600",
                                  "--",          MV604_CLI,     "upgrade",
                                  "--watch",     upgradeFile(), "--unplugged-after",
                                  "300",         "--log",       "production.log"});
        QVERIFY(station.waitForStarted());
        QTest::qWait(9500);
        station.terminate(); // SIGTERM: ends after the runs in progress
        QVERIFY(station.waitForFinished(30000));
        const QString out = QString::fromLocal8Bit(station.readAllStandardOutput());
        QCOMPARE(station.exitCode(), 0);
        QVERIFY2(out.contains("station stopped: 4 passed, 0 failed"), qPrintable(out));
        const int pageWrites[] = {240, 120, 120};
        for (int device = 1; device <= 3; ++device)
            QCOMPARE(requestsTo(device, 3), pageWrites[device - 1]);
        QStringList serials;
        for (const QJsonObject &record : logRecords())
            serials << record["serial"].toString() + " " + record["result"].toString();
        serials.sort();
        QCOMPARE(serials,
                 QStringList({"264900001 ok", "264900001 ok", "264900002 ok", "264900003 ok"}));
    }
};

QTEST_GUILESS_MAIN(TestProduction)
#include "test_production.moc"
