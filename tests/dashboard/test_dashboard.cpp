// mv604-cli serve as a line would run it: a real server over a database filled by simulated
// stations, its page read in headless Chromium and held against mv604-cli report, its metrics
// checked by promtool and against the sqlite3 or psql client, hostile text shown as text, and a
// database that goes away. Runs on SQLite, and on PostgreSQL under pg_virtualenv
// (MV604_TEST_POSTGRESQL=1).

#include "production/line_database.h"
#include "production/run_record.h"

#include "browser.h"
#include "process_run.h"
#include "upgrade_fixtures.h"

#include <QJsonArray>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

namespace
{
// In every text field of one record: markup, both quotes, a newline and an entity.
const QString Hostile =
    "<script>window.pwned=1</script><img src=x onerror=\"window.pwned=2\">'\n&amp;";

// A sample line: metric name, labels, value; and one label with its escaped value.
const QRegularExpression Sample("^(\\w+)\\{(.*)\\} (\\S+)$");
const QRegularExpression Label("(\\w+)=\"((?:[^\"\\\\]|\\\\.)*)\"");

struct Answer {
    int status = 0;
    QByteArray body;
    QByteArray headers; // every header, one per line
};
} // namespace

class TestDashboard : public QObject
{
    Q_OBJECT

    QTemporaryDir work;
    const bool postgresql = qEnvironmentVariableIsSet("MV604_TEST_POSTGRESQL");
    QString url;
    QProcess server;
    QString base; // http://127.0.0.1:PORT
    QNetworkAccessManager network;

    QString path(const QString &name) const { return work.filePath(name); }
    static QString pg(const char *name) { return qEnvironmentVariable(name); }

    QString client(const QString &statement) const
    {
        const ProcessRun run = postgresql
                                   ? runProcess("psql", {"-XAtq", "-d", "dash", "-c", statement})
                                   : runProcess("sqlite3", {"-batch", path("line.db"), statement});
        return (run.out + run.err).trimmed();
    }

    // One simulated station run: mv604-sim's options, then upgrade --all FILE into the database.
    int station(const QStringList &boards, const QString &file) const
    {
        const ProcessRun run = runProcess(
            MV604_SIM, boards + QStringList{"--", MV604_CLI, "upgrade", "--all", file, "--db", url},
            work.path());
        return run.exitCode;
    }

    QJsonObject report() const
    {
        const QString today = QDateTime::currentDateTimeUtc().date().toString(Qt::ISODate);
        const ProcessRun run =
            runProcess(MV604_CLI, {"report", "--db", url, "--since", today, "--json"}, work.path());
        return QJsonDocument::fromJson(run.out.toUtf8()).object();
    }

    Answer request(const QString &where, const QByteArray &method = "GET")
    {
        QNetworkRequest asked(QUrl(base + where));
        asked.setTransferTimeout(10000);
        QNetworkReply *reply = network.sendCustomRequest(asked, method);
        QEventLoop loop;
        connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
        loop.exec();
        Answer answer{reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(),
                      reply->readAll(),
                      {}};
        for (const auto &[name, value] : reply->rawHeaderPairs())
            answer.headers += name + ": " + value + '\n';
        reply->deleteLater();
        return answer;
    }

    // The figures as the browser shows them, per station and firmware.
    static QJsonObject shownFigures(Browser &browser)
    {
        const QString figures =
            "(() => { const all = (s, within = document) => [...within.querySelectorAll(s)];"
            " const fields = e => Object.fromEntries(all('[data-field]', e)"
            "  .map(f => [f.dataset.field, f.textContent]));"
            " return JSON.stringify({refreshes: Number(document.body.dataset.refreshes || 0),"
            " stations: all('#stations .station').map(card => [card.dataset.host, fields(card)]),"
            " firmware: all('#firmware tr[data-sha256]').map(r => [r.dataset.sha256, fields(r)]),"
            " failed: all('#failed tr').map(r => r.innerText),"
            " duplicates: all('#duplicates tr').map(r => r.innerText),"
            " runs: all('#runs tr[data-id]').length}); })()";
        return QJsonDocument::fromJson(browser.evaluate(figures).toString().toUtf8()).object();
    }

    // The report's figures in the page's words; empty when they match.
    static QString mismatch(const QJsonObject &shown, const QJsonObject &report)
    {
        QMap<QString, QJsonObject> pageFigures;
        for (const char *group : {"stations", "firmware"})
            for (const QJsonValue &entry : shown[group].toArray())
                pageFigures[QString(group) + ' ' + entry[0].toString()] = entry[1].toObject();
        QStringList wrong;
        for (const char *group : {"stations", "firmware"})
            for (const QJsonValue &entry : report[group].toArray()) {
                const QString key =
                    QString(group) + ' ' +
                    entry[QLatin1String(group) == "stations" ? "host" : "file_sha256"].toString();
                const QJsonObject page = pageFigures.value(key);
                for (const char *field : {"runs", "boards", "passed", "failed"})
                    if (page[field].toString() != QString::number(entry[field].toInt()))
                        wrong << QString("%1 %2: page %3, report %4")
                                     .arg(key, field, page[field].toString())
                                     .arg(entry[field].toInt());
                const QString yield =
                    QString::number(100 * entry["first_pass_yield"].toDouble(), 'f', 1) + " %";
                if (page["first_pass_yield"].toString() != yield)
                    wrong << key + " first pass: page " + page["first_pass_yield"].toString() +
                                 ", report " + yield;
            }
        QStringList failed;
        for (const QJsonValue &failure : report["failed_more_than_once"].toArray())
            failed << failure["serial"].toString() + '\t' +
                          QString::number(failure["failures"].toInt());
        QStringList shownFailed;
        for (const QJsonValue &row : shown["failed"].toArray())
            shownFailed << row.toString().trimmed();
        if (shownFailed != failed && !(failed.isEmpty() && shownFailed == QStringList{"none"}))
            wrong << "failed more than once: page " + shownFailed.join(", ") + "; report " +
                         failed.join(", ");
        const QJsonArray duplicates = report["duplicates"].toArray();
        for (int i = 0; i < duplicates.size(); ++i)
            if (!shown["duplicates"][i].toString().startsWith(duplicates[i]["serial"].toString()))
                wrong << "duplicate " + duplicates[i]["serial"].toString();
        return wrong.join("; ");
    }

private slots:
    void initTestCase()
    {
        QVERIFY(work.isValid());
        qputenv("XDG_STATE_HOME", path("state").toLocal8Bit());
        if (postgresql) {
            runProcess("psql", {"-XAtq", "-d", "postgres", "-c", "CREATE DATABASE dash"});
            url = QString("postgresql://%1:%2@%3:%4/dash")
                      .arg(pg("PGUSER"), pg("PGPASSWORD"), pg("PGHOST"), pg("PGPORT"));
        } else {
            url = "sqlite:" + path("line.db");
        }
        const QByteArray upgrade = fixtures::upgradeFileBytes(fixtures::applicationWithChecksum(
            fixtures::firmwareBytes(UpgradeFile::ApplicationSize, 7)));
        QVERIFY(writeFile(path("app.upg"), upgrade));
        // A file name as a field may bring it; a slash it cannot hold.
        const QString oddName = path("<b onclick=\"x\">it's\n&amp;.upg");
        QVERIFY(writeFile(oddName, upgrade));

        // Board 3 fails twice, board 4 shows up on two ports at once, board 5 runs the odd file.
        station({"--devices", "3", "--serials", "264900001,264900002,264900003", "--faults-on", "3",
                 "--fail", "3:4"},
                "app.upg");
        station({"--devices", "3", "--serials", "264900003,264900004,264900004", "--faults-on", "1",
                 "--fail", "3:4"},
                "app.upg");
        QCOMPARE(station({"--devices", "1", "--serials", "264900005"}, oddName), 0);

        // The record path itself takes what no simulated board could send.
        RunRecord hostile = newRunRecord(RunCommand::Upgrade, QDateTime::currentDateTimeUtc());
        hostile.ended = hostile.started.addSecs(7);
        hostile.host = "station " + Hostile;
        hostile.port = hostile.serial = hostile.fileName = hostile.logText = Hostile;
        hostile.setResultText("failed " + Hostile);
        hostile.fileSha256 = Hostile.toUtf8();
        // A station that last recorded yesterday: idle, and counted among the earlier days.
        RunRecord earlier =
            newRunRecord(RunCommand::Upgrade, QDateTime::currentDateTimeUtc().addDays(-1));
        earlier.ended = earlier.started.addSecs(42);
        earlier.host = "station-yesterday";
        earlier.serial = "264900009";
        earlier.port = "1-1.1";
        earlier.fileName = "old.upg";
        earlier.fileSha256 = QByteArray(64, 'e');
        earlier.result = RunResult::Ok;
        LineDatabase database;
        QVERIFY(database.open(url).ok());
        QVERIFY(database.store(hostile).ok() && database.store(earlier).ok());
        QCOMPARE(client("SELECT count(*) FROM run_records"), "9");

        server.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        server.start(MV604_CLI, {"serve", "--db", url, "--listen", "127.0.0.1:0"});
        QVERIFY(server.waitForReadyRead(10000));
        const QString line = QString::fromUtf8(server.readLine());
        base = QRegularExpression("http://127\\.0\\.0\\.1:[0-9]+").match(line).captured(0);
        QVERIFY2(!base.isEmpty(), qPrintable(line));
    }

    void cleanupTestCase()
    {
        if (server.state() != QProcess::NotRunning) {
            server.terminate(); // the server this suite started, by its PID
            QVERIFY(server.waitForFinished(5000));
            QCOMPARE(server.exitCode(), 0);
        }
    }

    // The rendered page holds the report's figures, runs no script of the data, and follows a
    // new run without being reloaded.
    void pageShowsTheReportLive()
    {
        Browser browser;
        QVERIFY(browser.open(base + "/", path("profile")));
        QVERIFY(browser.waitFor("Number(document.body.dataset.refreshes) >= 1", 15000));
        QJsonObject shown = shownFigures(browser);
        QCOMPARE(mismatch(shown, report()), QString());
        QCOMPARE(shown["runs"].toInt(), 9);
        const QString yesterday =
            QDateTime::currentDateTime().addDays(-1).date().toString(Qt::ISODate);
        for (const QJsonValue &card : shown["stations"].toArray()) {
            const QString state = card[1]["state"].toString();
            if (card[0] == "station-yesterday")
                QVERIFY2(state.startsWith("IDLE since " + yesterday), qPrintable(state));
            else
                QCOMPARE(state, "RUNNING");
        }

        QCOMPARE(browser.evaluate("window.pwned === undefined"), QJsonValue(true));
        QCOMPARE(browser.evaluate("document.querySelectorAll('main script, main img, "
                                  "[onclick], [onerror]').length"),
                 QJsonValue(0));
        const QString text =
            browser.evaluate("document.getElementById('runs').textContent").toString();
        QVERIFY2(text.contains(Hostile), qPrintable(text));
        QVERIFY(browser.evaluate("document.getElementById('firmware').textContent")
                    .toString()
                    .contains("<b onclick=\"x\">it's\n&amp;.upg"));

        browser.evaluate("window.sameLoad = 604");
        const int before = shown["refreshes"].toInt();
        QCOMPARE(station({"--devices", "1", "--serials", "264900006"}, "app.upg"), 0);
        const QJsonObject after = report();
        QVERIFY(browser.waitFor("[...document.querySelectorAll('#runs tr[data-id]')].some(r => "
                                "r.textContent.includes('264900006'))",
                                15000));
        shown = shownFigures(browser);
        QCOMPARE(mismatch(shown, after), QString());
        QVERIFY(shown["refreshes"].toInt() > before);
        QCOMPARE(browser.evaluate("window.sameLoad"), QJsonValue(604));
    }

    // The JSON parses and gives every hostile text back as it was; the page names its script.
    void apiGivesTextBack()
    {
        const Answer summary = request("/api/v1/summary");
        QCOMPARE(summary.status, 200);
        const QJsonObject figures = QJsonDocument::fromJson(summary.body).object();
        QStringList hosts;
        for (const QJsonValue &station : figures["stations"].toArray())
            hosts << station["host"].toString();
        QVERIFY(hosts.contains("station " + Hostile));

        const Answer runs = request("/api/v1/runs?limit=3");
        const QJsonArray latest = QJsonDocument::fromJson(runs.body)["runs"].toArray();
        QCOMPARE(latest.size(), 3);
        QVERIFY(latest[0]["started"].toString() >= latest[1]["started"].toString());
        const QString since = latest[1]["started"].toString();
        const QJsonArray newer =
            QJsonDocument::fromJson(
                request("/api/v1/runs?since=" + QUrl::toPercentEncoding(since)).body)["runs"]
                .toArray();
        QCOMPARE(newer.size(), 2);
        QCOMPARE(request("/api/v1/runs?limit=0").status, 400);
        QCOMPARE(request("/api/v1/runs?since=yesterday").status, 400);

        const Answer page = request("/");
        QVERIFY(page.headers.contains("Content-Security-Policy: default-src 'none'; script-src "
                                      "'sha256-"));
    }

    // promtool accepts the text, and its counts are the database's.
    void metricsAreTheDatabases()
    {
        const Answer metrics = request("/metrics");
        QCOMPARE(metrics.status, 200);
        QVERIFY(writeFile(path("metrics.txt"), metrics.body));
        QProcess promtool;
        promtool.setStandardInputFile(path("metrics.txt"));
        promtool.start("promtool", {"check", "metrics"});
        QVERIFY(promtool.waitForFinished(20000));
        QVERIFY2(promtool.exitCode() == 0,
                 promtool.readAllStandardError() + promtool.readAllStandardOutput());

        QMap<QString, qint64> byResult;
        qint64 histogram = 0;
        QMap<QString, double> lastRun;
        for (const QString &line : QString::fromUtf8(metrics.body).split('\n')) {
            const QRegularExpressionMatch sample = Sample.match(line);
            if (!sample.hasMatch())
                continue;
            QMap<QString, QString> labels;
            for (auto label = Label.globalMatch(sample.captured(2)); label.hasNext();) {
                const QRegularExpressionMatch match = label.next();
                labels[match.captured(1)] = match.captured(2);
            }
            const QString name = sample.captured(1);
            const QString value = sample.captured(3);
            if (name == "mv604_runs_total")
                byResult[labels["result"]] += value.toLongLong();
            if (name == "mv604_run_duration_seconds_count")
                histogram += value.toLongLong();
            if (name == "mv604_station_last_run_timestamp_seconds")
                lastRun[labels["station"]] = value.toDouble();
        }
        QStringList counted;
        for (auto result = byResult.cbegin(); result != byResult.cend(); ++result)
            if (!result.key().contains('\\'))
                counted << QString("%1|%2").arg(result.key()).arg(result.value());
        QCOMPARE(counted.join('\n'),
                 client("SELECT result, count(*) FROM run_records WHERE result NOT LIKE "
                        "'failed%' GROUP BY result ORDER BY result"));
        QCOMPARE(QString::number(histogram), client("SELECT count(*) FROM run_records"));
        // Each station's latest record, also of a station with many.
        const QStringList latest = client("SELECT host, max(ended) FROM run_records WHERE host NOT "
                                          "LIKE 'station %' GROUP BY host ORDER BY host")
                                       .split('\n');
        QCOMPARE(latest.size(), 2);
        for (const QString &row : latest) {
            const QString host = row.section('|', 0, 0);
            const QDateTime ended = QDateTime::fromString(row.section('|', 1), Qt::ISODateWithMs);
            QCOMPARE(qint64(lastRun.value(host) * 1000), ended.toMSecsSinceEpoch());
        }
    }

    void refusesAllButGet_data()
    {
        QTest::addColumn<QString>("where");
        QTest::addColumn<QByteArray>("method");
        QTest::newRow("POST /") << "/" << QByteArray("POST");
        QTest::newRow("PUT /api/v1/summary") << "/api/v1/summary" << QByteArray("PUT");
        QTest::newRow("DELETE /api/v1/runs") << "/api/v1/runs" << QByteArray("DELETE");
        QTest::newRow("PATCH /metrics") << "/metrics" << QByteArray("PATCH");
        QTest::newRow("POST elsewhere") << "/admin" << QByteArray("POST");
    }
    void refusesAllButGet()
    {
        QFETCH(QString, where);
        QFETCH(QByteArray, method);
        const Answer answer = request(where, method);
        QCOMPARE(answer.status, 405);
        QVERIFY(answer.headers.contains("Allow: GET"));
    }

    // Each endpoint says the database is away, briefly and without its password, and serves
    // again once it is back.
    void databaseAwayAndBack()
    {
        if (!postgresql)
            QSKIP("a SQLite file stays readable through its open connection");
        const auto cluster = [](const char *action) {
            return runProcess("pg_ctlcluster", {pg("PGVERSION"), "regress", action}).exitCode;
        };
        QCOMPARE(cluster("stop"), 0);
        auto restart = qScopeGuard([&] { cluster("start"); });
        const QStringList endpoints{"/", "/api/v1/summary", "/api/v1/runs", "/metrics"};
        for (const QString &where : endpoints) {
            const Answer answer = request(where);
            QCOMPARE(answer.status, 503);
            // The page comes all the same: its own polls show the reason and recover.
            QVERIFY2(
                answer.body.contains(where == "/" ? "<title>Mv604 line" : "cannot be reached") &&
                    !(answer.body + answer.headers).contains(pg("PGPASSWORD").toUtf8()) &&
                    !answer.body.contains(pg("PGHOST").toUtf8()),
                answer.body);
        }
        restart.dismiss();
        QCOMPARE(cluster("start"), 0);
        for (const QString &where : endpoints)
            QCOMPARE(request(where).status, 200);
    }
};

QTEST_GUILESS_MAIN(TestDashboard)
#include "test_dashboard.moc"
