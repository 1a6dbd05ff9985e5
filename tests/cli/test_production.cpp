// The production line through mv604-cli under mv604-sim: a device chosen by serial among
// several, every device at once, the station that programs boards as they are plugged in, and
// the JSON Lines log. Checked on the simulator's request log and the flash each device holds.

#include "upgrade/upgrade_file.h"

#include "process_run.h"
#include "upgrade_fixtures.h"

#include <QCryptographicHash>
#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>

class TestProduction : public QObject
{
    Q_OBJECT

    QTemporaryDir work;
    const QByteArray application =
        fixtures::applicationWithChecksum(fixtures::firmwareBytes(UpgradeFile::ApplicationSize, 7));
    const QByteArray fileBytes = fixtures::upgradeFileBytes(application);

    QString path(const QString &name) const { return work.filePath(name); }
    QByteArray readAll(const QString &name) const { return readFile(path(name)); }

    // `run` on three fresh devices: mv604-cli's arguments, mv604-sim's options before a '|'.
    QString onThreeDevices(const QString &run)
    {
        QDir(path("state")).removeRecursively();
        QDir().mkpath(path("state"));
        QFile::remove(path("production.log"));
        const QString devices = "--state-dir %1 --log %2 --devices 3 ";
        return devices.arg(path("state"), path("requests.log")) +
               (run.contains('|') ? run : "|" + run);
    }

    // Vendor request `request` as device `device` (1-based) of the last run received it.
    int requestsTo(int device, int request) const
    {
        const QByteArray head = QString("device %1 ").arg(device).toLatin1();
        const QByteArray wanted = QString(" bRequest=%1 ").arg(request).toLatin1();
        int count = 0;
        for (const QByteArray &line : readAll("requests.log").split('\n'))
            count += line.startsWith(head) && line.contains(wanted) && !line.contains("=0x80 ");
        return count;
    }

    QByteArray applicationAreaOf(int device) const
    {
        const QString suffix = device == 1 ? QString() : QString("-%1").arg(device);
        return readAll("state/internal-flash" + suffix + ".bin")
            .mid(UpgradeFile::ApplicationOffset, UpgradeFile::ApplicationSize);
    }

    // One record per device, in the order the runs ended.
    void checkLog(const QList<int> &pageWrites)
    {
        const quint32 checksum =
            qFromLittleEndian<quint32>(application.constData() + application.size() - 4);
        const QList<QByteArray> lines = readAll("production.log").trimmed().split('\n');
        QSet<QString> serials;
        for (const QByteArray &line : lines) {
            const QJsonObject record = QJsonDocument::fromJson(line).object();
            serials << record["serial"].toString();
            const int writes = pageWrites.value(record["serial"].toString().toInt() - 264900001);
            const bool fails = writes != 120; // its last write stalled
            const QJsonObject expected{
                {"result", fails ? "write-failed" : "ok"},
                {"log", fails ? "ERROR" : "OK"},
                {"pages_written", fails ? writes - 1 : 120},
                {"pages_verified", fails ? writes - 1 : 120},
                {"command", "upgrade"},
                {"file", "app.upg"},
                {"file_sha256",
                 QString(QCryptographicHash::hash(fileBytes, QCryptographicHash::Sha256).toHex())},
                {"application_checksum", QString("0x%1").arg(checksum, 8, 16, QChar('0'))},
                {"tool_version", "2.00"}};
            for (const QString &key : expected.keys())
                QCOMPARE(record[key], expected[key]);
            const QString started = record["started"].toString(); // ISO 8601 in UTC
            QVERIFY(started.endsWith('Z') && started <= record["ended"].toString() &&
                    !record["host"].toString().isEmpty());
        }
        QCOMPARE(serials, (QSet<QString>{"264900001", "264900002", "264900003"}));
    }

private slots:
    void initTestCase() { QVERIFY(work.isValid() && writeFile(path("app.upg"), fileBytes)); }

    // Three boards on the bus. Per device the page writes it took, -1: never talked to.
    void runs_data()
    {
        QTest::addColumn<QString>("run");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<QList<int>>("pageWrites");
        QTest::newRow("middle board by serial")
            << "--serial 264900002 info" << 0 << "serial: 264900002b" << QList<int>{-1, 0, -1};
        QTest::newRow("last board by serial restarts and comes back with b")
            << "--mode application | --serial 264900003 upgrade app.upg" << 0 << "\nOK\n"
            << QList<int>{-1, -1, 120};
        QTest::newRow("serial not attached")
            << "--serial 264900009 info" << 1 << "no KR960 with serial 264900009"
            << QList<int>{-1, -1, -1};
        QTest::newRow("upgrade of a serial not attached")
            << "--serial 264900009 upgrade app.upg" << 1 << "no KR960 with serial 264900009"
            << QList<int>{-1, -1, -1};
        QTest::newRow("all at once, the second's fourth page write stalls")
            << "--mode application --faults-on 2 --fail 3:4 | upgrade --all app.upg --log "
               "production.log"
            << 1 << "write-failed         3 " << QList<int>{120, 4, 120};
    }
    void runs()
    {
        QFETCH(QString, run);
        QFETCH(int, exitCode);
        QFETCH(QString, expected);
        QFETCH(QList<int>, pageWrites);
        const ProcessRun result = runCli(onThreeDevices(run), work.path());
        QVERIFY2(result.exitCode == exitCode && (result.out + result.err).contains(expected),
                 qPrintable(result.out + result.err));
        for (int device = 1; device <= 3; ++device) {
            QCOMPARE(requestsTo(device, 0xFF) > 0, pageWrites[device - 1] >= 0);
            QCOMPARE(requestsTo(device, 3), qMax(0, pageWrites[device - 1]));
            QCOMPARE(applicationAreaOf(device) == application, pageWrites[device - 1] == 120);
        }
        if (run.contains("--log"))
            checkLog(pageWrites);
    }

    // Board 3 is plugged in later; board 1 is unplugged and plugged in again, so it is
    // programmed twice, the others once, although each re-enumerates during its own run.
    void stationProgramsEachPluggedBoardOnce()
    {
        QProcess station;
        station.setWorkingDirectory(work.path());
        const QStringList command = cliCommandLine(onThreeDevices(
            "--mode application --plug 3@1500 --unplug 1@5000 --plug 1@5600 | upgrade "
            "--watch app.upg --unplugged-after 300 --log production.log"));
        station.start(command.first(), command.mid(1));
        QTest::qWait(9500);
        station.terminate(); // SIGTERM: ends after the runs in progress
        QVERIFY(station.waitForFinished(30000) && station.exitCode() == 0);
        QVERIFY(station.readAllStandardOutput().contains("station stopped: 4 passed, 0 failed"));
        for (int device = 1; device <= 3; ++device)
            QCOMPARE(requestsTo(device, 3), device == 1 ? 240 : 120);
    }
};

QTEST_GUILESS_MAIN(TestProduction)
#include "test_production.moc"
