// What serving the line's dashboard costs: a year of a line of 16 stations (1,000,000 runs) in
// the database, then the answer times of /api/v1/summary and /metrics from a real
// `mv604-cli serve` (target: under 100 ms), and 16 stations recording while a headless Chromium
// shows the page (it polls every 2 s): records lost (target: none) and the time to record one
// run with and without the page, as a share of a 5 s board run (target: at most 1 % more).
//
//   bench_dashboard                    PostgreSQL (PGHOST set, as pg_virtualenv does), else SQLite
//   bench_dashboard --sample URL       a small line of four stations today, for the screenshot
//   cmake --build build --target run_bench_dashboard    on a throwaway PostgreSQL cluster

#include "bench_support.h"
#include "production/line_dashboard.h"
#include "production/line_database.h"
#include "production/run_record.h"

#include "../../tests/dashboard/browser.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <functional>
#include <vector>

namespace
{

constexpr double BoardRunSeconds = 5.0;
constexpr int Stations = 16;

// One run of a line that programs boards evenly around the clock: about 4 % fail and are run
// again at the same station, a new firmware every month.
struct LineGenerator {
    QRandomGenerator random{604};
    int serials = 0;
    QMap<int, int> rerun; // station: the serial of its board that failed

    RunRecord run(int i, const QDateTime &started, int stations)
    {
        const int station = i % stations;
        const int month = started.date().month();
        const int serial = rerun.contains(station) ? rerun.take(station) : ++serials;
        const bool ok = random.bounded(100) >= 4;
        if (!ok)
            rerun[station] = serial;
        const double duration = 20 + random.bounded(10.0);
        RunRecord record = newRunRecord(RunCommand::Upgrade, started);
        record.id = QString("run-%1").arg(i);
        record.ended = started.addMSecs(qint64(duration * 1000));
        record.host = QString("station-%1").arg(station + 1, 2, 10, QChar('0'));
        record.toolVersion = "2.00";
        record.serial = QString::number(260000000 + serial % 99999999);
        record.port = QString("1-1.%1").arg(i / stations % 4 + 1);
        record.fileName = QString("kr960-app-1.%1.upg").arg(month);
        record.fileSha256 =
            QCryptographicHash::hash(QByteArray::number(month), QCryptographicHash::Sha256).toHex();
        record.applicationChecksum = record.upperChecksum = 305419896;
        record.result = ok ? RunResult::Ok : RunResult::VerifyFailed;
        record.logText = ok ? "OK" : "Verify error at 0x08004800";
        record.pagesWritten = 120;
        record.pagesVerified = ok ? 120 : 37;
        return record;
    }
};

// `runs` runs spread evenly over the `seconds` before now, in transactions of 50,000 rows.
bool fill(LineDatabase &database, int runs, qint64 seconds, int stations)
{
    const QDateTime end = QDateTime::currentDateTimeUtc();
    const qint64 span = seconds * 1000;
    LineGenerator line;
    for (int first = 0; first < runs; first += 50000) {
        QList<RunRecord> some;
        for (int i = first; i < std::min(runs, first + 50000); ++i)
            some << line.run(i, end.addMSecs(-span + span * i / runs - 90000), stations);
        const DatabaseStatus status = database.store(some);
        if (!status.ok()) {
            std::fprintf(stderr, "fill: %s\n", qPrintable(status.text()));
            return false;
        }
    }
    return true;
}

struct Server {
    QProcess process;
    QString base;

    bool start(const QString &url)
    {
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.start(MV604_CLI, {"serve", "--db", url, "--listen", "127.0.0.1:0"});
        if (!process.waitForReadyRead(120000))
            return false;
        base = QRegularExpression("http://127\\.0\\.0\\.1:[0-9]+")
                   .match(QString::fromUtf8(process.readLine()))
                   .captured(0);
        return !base.isEmpty();
    }
    ~Server()
    {
        process.terminate(); // our own child, by its PID
        process.waitForFinished(10000);
    }
};

// Milliseconds for one GET, the whole answer read; negative when it failed.
double getMs(QNetworkAccessManager &network, const QString &url)
{
    QElapsedTimer clock;
    clock.start();
    QNetworkReply *reply = network.get(QNetworkRequest(QUrl(url)));
    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    loop.exec();
    const bool ok = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() == 200 &&
                    !reply->readAll().isEmpty();
    reply->deleteLater();
    return ok ? clock.nsecsElapsed() / 1e6 : -1;
}

void printAnswerTimes(QNetworkAccessManager &network, const QString &base, const char *path)
{
    std::vector<double> ms;
    for (int i = 0; i < 21; ++i)
        ms.push_back(getMs(network, base + path));
    std::printf("  %-16s median %6.1f ms   max %6.1f ms   (21 requests%s)\n", path, median(ms),
                *std::max_element(ms.begin(), ms.end()),
                *std::min_element(ms.begin(), ms.end()) < 0 ? ", SOME FAILED" : "");
}

// Stations each recording one run every 250 ms for `seconds`: runs recorded and stored, and the
// median time one record took.
struct Recording {
    int sent = 0;
    int stored = 0;
    double medianMs = 0;
};
Recording record(const QString &url, int seconds, const QString &tag,
                 const std::function<void()> &everyTwoSeconds = {})
{
    std::vector<std::vector<double>> times(Stations);
    std::atomic<int> sent{0}, stored{0};
    std::vector<QThread *> threads;
    for (int station = 0; station < Stations; ++station)
        threads.push_back(QThread::create([&, station] {
            LineDatabase database;
            if (!database.open(url).ok())
                return;
            QElapsedTimer running;
            running.start();
            for (int i = 0; running.elapsed() < seconds * 1000; ++i) {
                RunRecord run = newRunRecord(RunCommand::Upgrade, QDateTime::currentDateTimeUtc());
                run.id = QString("%1-%2-%3").arg(tag).arg(station).arg(i);
                run.host = QString("station-%1").arg(station + 1, 2, 10, QChar('0'));
                run.serial = QString::number(270000000 + station * 100000 + i);
                run.port = "1-1.1";
                run.fileName = "kr960-app-1.12.upg";
                run.fileSha256 = QByteArray(64, 'c');
                run.result = RunResult::Ok;
                run.ended = run.started.addSecs(5);
                ++sent;
                QElapsedTimer clock;
                clock.start();
                if (database.store(run).ok())
                    ++stored;
                times[station].push_back(clock.nsecsElapsed() / 1e6);
                QThread::msleep(250);
            }
        }));
    for (QThread *thread : threads)
        thread->start();
    QElapsedTimer ticks;
    ticks.start();
    for (QThread *thread : threads) {
        while (!thread->wait(50)) {
            QCoreApplication::processEvents();
            if (everyTwoSeconds && ticks.elapsed() >= 2000) {
                ticks.restart();
                everyTwoSeconds();
            }
        }
        delete thread;
    }
    std::vector<double> all;
    for (const auto &station : times)
        all.insert(all.end(), station.begin(), station.end());
    return {sent, stored, median(all)};
}

// Counted by the sqlite3 or psql client.
int countRuns(const QString &url, const QString &tag)
{
    bool ok = false;
    const int count =
        clientAnswer(url, QString("SELECT count(*) FROM run_records WHERE id LIKE '%1-%'").arg(tag))
            .toInt(&ok);
    return ok ? count : -1;
}

// A morning of four stations and one gone quiet, with a board that failed twice and one serial
// on two ports at once.
int sample(const QString &url)
{
    LineDatabase database;
    if (!database.open(url).ok() || !fill(database, 160, 2 * 3600, 4))
        return 1;
    const QDateTime now = QDateTime::currentDateTimeUtc();
    const auto run = [&](const char *host, const char *port, const char *serial, int minutesAgo,
                         bool ok) {
        RunRecord record = newRunRecord(RunCommand::Upgrade, now.addSecs(-60 * minutesAgo));
        record.ended = record.started.addSecs(ok ? 24 : 9);
        record.host = host;
        record.port = port;
        record.serial = serial;
        record.fileName = "kr960-app-1.12.upg";
        record.fileSha256 = QCryptographicHash::hash("12", QCryptographicHash::Sha256).toHex();
        record.result = ok ? RunResult::Ok : RunResult::WriteFailed;
        record.logText = ok ? "OK" : "Write error at 0x08012000";
        return database.store(record).ok();
    };
    return run("station-02", "1-1.2", "264900417", 50, false) &&
                   run("station-02", "1-1.2", "264900417", 45, false) &&
                   run("station-01", "1-1.1", "264900500", 20, true) &&
                   run("station-03", "1-1.3", "264900500", 20, true) &&
                   run("station-05", "1-1.1", "264900600", 190, true) && // idle since
                   run("station-04", "1-1.4", "264900700", 0, false)
               ? 0
               : 1;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const QStringList arguments = app.arguments();
    if (arguments.value(1) == "--sample")
        return sample(arguments.value(2));
    if (arguments.value(1) == "--fill") { // a year of the line, to look at by hand
        LineDatabase database;
        return database.open(arguments.value(2)).ok() &&
                       fill(database, 1000000, 365 * 86400, Stations)
                   ? 0
                   : 1;
    }

    QTemporaryDir work;
    const bool postgresql = qEnvironmentVariableIsSet("PGHOST");
    QString url = "sqlite:" + work.filePath("line.db");
    if (postgresql) {
        QProcess::execute("psql", {"-XAtq", "-d", "postgres", "-c", "CREATE DATABASE dashboard"});
        url = serverUrl("dashboard");
    }
    std::printf("mv604-cli serve on %s\n", postgresql ? "PostgreSQL" : "SQLite");

    LineDatabase database;
    QElapsedTimer clock;
    clock.start();
    if (!database.open(url).ok() || !fill(database, 1000000, 365 * 86400, Stations))
        return 1;
    if (postgresql)
        QProcess::execute("psql", {"-XAtq", "-d", "dashboard", "-c", "VACUUM ANALYZE run_records"});
    std::printf("  1,000,000 runs over 365 days of %d stations written in %.1f s\n", Stations,
                clock.elapsed() / 1000.0);

    Server server;
    clock.restart();
    if (!server.start(url))
        return 1;
    std::printf("  serve started (with its index) in %.1f s\n", clock.elapsed() / 1000.0);
    QNetworkAccessManager network;
    clock.restart();
    const double first = getMs(network, server.base + "/metrics");
    std::printf("  first /metrics after the start: %.1f ms\n", first);
    printAnswerTimes(network, server.base, "/api/v1/summary");
    printAnswerTimes(network, server.base, "/api/v1/runs");
    printAnswerTimes(network, server.base, "/metrics");

    const int seconds = 30;
    const Recording alone = record(url, seconds, "alone");
    Browser browser;
    QTemporaryDir profile;
    if (!browser.open(server.base + "/", profile.path()))
        return 1;
    const Recording watched = record(url, seconds, "watched");
    const int refreshes = browser.evaluate("Number(document.body.dataset.refreshes)").toInt();
    // Then the answer times while all that goes on (the timed requests come on top).
    std::vector<double> summaryMs, metricsMs;
    record(url, 20, "timed", [&] {
        summaryMs.push_back(getMs(network, server.base + "/api/v1/summary"));
        metricsMs.push_back(getMs(network, server.base + "/metrics"));
    });

    std::printf("  %d stations recording a run every 250 ms for %d s each:\n", Stations, seconds);
    std::printf("    without the page: %d sent, %d stored, %d in the database; median %.2f ms "
                "per record\n",
                alone.sent, alone.stored, countRuns(url, "alone"), alone.medianMs);
    std::printf("    with the page (%d refreshes): %d sent, %d stored, %d in the database; "
                "median %.2f ms per record\n",
                refreshes, watched.sent, watched.stored, countRuns(url, "watched"),
                watched.medianMs);
    std::printf("    the page adds %.3f %% to a %.0f s board run (record time ratio %.3f)\n",
                100.0 * (watched.medianMs - alone.medianMs) / 1000.0 / BoardRunSeconds,
                BoardRunSeconds, watched.medianMs / alone.medianMs);
    std::printf("    meanwhile /api/v1/summary median %.1f ms, max %.1f ms; /metrics median %.1f "
                "ms, max %.1f ms (%zu each)\n",
                median(summaryMs), *std::max_element(summaryMs.begin(), summaryMs.end()),
                median(metricsMs), *std::max_element(metricsMs.begin(), metricsMs.end()),
                summaryMs.size());
    return 0;
}
