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
    int station(const QString &boards, const QString &file) const
    {
        const QStringList cli{"--", MV604_CLI, "upgrade", "--all", file, "--db", url};
        return runProcess(MV604_SIM, boards.split(' ') + cli, work.path()).exitCode;
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

    // The figures as the browser shows them, per station and firmware; the first cell of each
    // row of boards that failed more than once and of duplicates.
    static QJsonObject shownFigures(Browser &browser)
    {
        const QString figures =
            "(() => { const all = (s, within = document) => [...within.querySelectorAll(s)];"
            " const fields = e => Object.fromEntries(all('[data-field]', e)"
            "  .map(f => [f.dataset.field, f.textContent]));"
            " return JSON.stringify({refreshes: Number(document.body.dataset.refreshes || 0),"
            " stations: all('#stations .station').map(card => [card.dataset.host, fields(card)]),"
            " firmware: all('#firmware tr[data-sha256]').map(r => [r.dataset.sha256, fields(r)]),"
            " failed: all('#failed tr').map(r => r.innerText.trim()),"
            " duplicates: all('#duplicates tr').map(r => r.cells[0].innerText),"
            " runs: all('#runs tr[data-id]').length}); })()";
        return QJsonDocument::fromJson(browser.evaluate(figures).toString().toUtf8()).object();
    }

    // The report's figures in the page's words; empty when they match.
    static QString mismatch(const QJsonObject &shown, const QJsonObject &report)
    {
        QStringList wrong;
        for (const char *group : {"stations", "firmware"}) {
            QMap<QString, QJsonObject> page;
            for (const QJsonValue &entry : shown[group].toArray())
                page[entry[0].toString()] = entry[1].toObject();
            for (const QJsonValue &entry : report[group].toArray()) {
                const QString key = entry[*group == 's' ? "host" : "file_sha256"].toString();
                QMap<QString, QString> words{
                    {"first_pass_yield",
                     QString::number(100 * entry["first_pass_yield"].toDouble(), 'f', 1) + " %"}};
                for (const char *field : {"runs", "boards", "passed", "failed"})
                    words[field] = QString::number(entry[field].toInt());
                for (const auto &[field, value] : words.asKeyValueRange())
                    if (page.value(key)[field].toString() != value)
                        wrong << QString("%1 %2: page %3, report %4")
                                     .arg(key, field, page.value(key)[field].toString(), value);
            }
        }
        QStringList failed, duplicates;
        for (const QJsonValue &failure : report["failed_more_than_once"].toArray())
            failed << failure["serial"].toString() + '\t' +
                          QString::number(failure["failures"].toInt());
        for (const QJsonValue &duplicate : report["duplicates"].toArray())
            duplicates << duplicate["serial"].toString();
        for (const auto &[list, rows] : {std::pair("failed", failed), {"duplicates", duplicates}}) {
            const QStringList page = shown[list].toVariant().toStringList();
            if (page != (rows.isEmpty() ? QStringList{"none"} : rows))
                wrong << QString("%1: page %2; report %3")
                             .arg(list, page.join(", "), rows.join(", "));
        }
        return wrong.join("; ");
    }

private slots:
    void initTestCase()
    {
        QVERIFY(work.isValid());
        qputenv("XDG_STATE_HOME", path("state").toLocal8Bit());
        url = postgresql ? QString("postgresql://%1:%2@%3:%4/dash")
                               .arg(pg("PGUSER"), pg("PGPASSWORD"), pg("PGHOST"), pg("PGPORT"))
                         : "sqlite:" + path("line.db");
        if (postgresql)
            runProcess("psql", {"-XAtq", "-d", "postgres", "-c", "CREATE DATABASE dash"});
        const QByteArray upgrade = fixtures::upgradeFileBytes(fixtures::applicationWithChecksum(
            fixtures::firmwareBytes(UpgradeFile::ApplicationSize, 7)));
        QVERIFY(writeFile(path("app.upg"), upgrade));
        // A file name as a field may bring it; a slash it cannot hold.
        const QString oddName = path("<b onclick=\"x\">it's\n&amp;.upg");
        QVERIFY(writeFile(oddName, upgrade));

        // Board 3 fails twice, board 4 shows up on two ports at once, board 5 runs the odd file.
        station("--devices 3 --serials 264900001,264900002,264900003 --faults-on 3 --fail 3:4",
                "app.upg");
        station("--devices 3 --serials 264900003,264900004,264900004 --faults-on 1 --fail 3:4",
                "app.upg");
        QCOMPARE(station("--devices 1 --serials 264900005", oddName), 0);

        // The record path itself takes what no simulated board could send.
        RunRecord hostile = newRunRecord(RunCommand::Upgrade, QDateTime::currentDateTimeUtc());
        hostile.host = "station " + Hostile;
        hostile.port = hostile.serial = hostile.fileName = hostile.logText = Hostile;
        hostile.setResultText("failed " + Hostile);
        hostile.fileSha256 = Hostile.toUtf8();
        // A station that last recorded yesterday: idle, and counted among the earlier days.
        RunRecord earlier =
            newRunRecord(RunCommand::Upgrade, QDateTime::currentDateTimeUtc().addDays(-1));
        earlier.host = "station-yesterday";
        earlier.serial = "264900009";
        earlier.port = "1-1.1";
        earlier.fileName = "old.upg";
        earlier.fileSha256 = QByteArray(64, 'e');
        earlier.result = RunResult::Ok;
        LineDatabase database;
        QVERIFY(database.open(url).ok());
        QVERIFY(database.store(hostile).ok() && database.store(earlier).ok());

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
        QCOMPARE(station("--devices 1 --serials 264900006", "app.upg"), 0);
        const QJsonObject after = report();
        QVERIFY(browser.waitFor("[...document.querySelectorAll('#runs tr[data-id]')].some(r => "
                                "r.textContent.includes('264900006'))",
                                15000));
        shown = shownFigures(browser);
        QCOMPARE(mismatch(shown, after), QString());
        QVERIFY(shown["refreshes"].toInt() > before);
        QCOMPARE(browser.evaluate("window.sameLoad"), QJsonValue(604));
    }

    // The latest runs newest first, or those since a time; a query it cannot take is refused;
    // the page names its script.
    void apiAnswers()
    {
        const auto runs = [&](const QString &query) {
            return QJsonDocument::fromJson(request("/api/v1/runs?" + query).body)["runs"].toArray();
        };
        const QJsonArray latest = runs("limit=3");
        QCOMPARE(latest.size(), 3);
        QVERIFY(latest[0]["started"].toString() >= latest[1]["started"].toString());
        QCOMPARE(runs("since=" + QUrl::toPercentEncoding(latest[1]["started"].toString())).size(),
                 2);
        QCOMPARE(request("/api/v1/runs?limit=0").status, 400);
        QCOMPARE(request("/api/v1/runs?since=yesterday").status, 400);
        QVERIFY(request("/").headers.contains(
            "Content-Security-Policy: default-src 'none'; script-src 'sha256-"));
    }

    // promtool accepts the text, and its counts are the database's.
    void metricsAreTheDatabases()
    {
        const Answer metrics = request("/metrics");
        QCOMPARE(metrics.status, 200);
        QVERIFY(writeFile(path("metrics.txt"), metrics.body));
        const ProcessRun promtool =
            runProcess("sh", {"-c", "promtool check metrics < metrics.txt"}, work.path());
        QVERIFY2(promtool.exitCode == 0, qPrintable(promtool.err + promtool.out));
        // Each metric's samples, summed by the one label it is held against here.
        const QMap<QString, QString> by{{"mv604_runs_total", "result"},
                                        {"mv604_run_duration_seconds_count", "station"},
                                        {"mv604_station_last_run_timestamp_seconds", "station"}};
        QMap<QString, QMap<QString, double>> sums;
        for (const QString &line : QString::fromUtf8(metrics.body).split('\n')) {
            const QRegularExpressionMatch sample = Sample.match(line);
            for (auto label = Label.globalMatch(sample.captured(2)); label.hasNext();) {
                const QRegularExpressionMatch match = label.next();
                if (match.captured(1) == by.value(sample.captured(1)))
                    sums[sample.captured(1)][match.captured(2)] += sample.captured(3).toDouble();
            }
        }
        // As the client's rows, but for the hostile texts (escaped in a label); each station's
        // latest record also of a station with many.
        QStringList results, stations;
        for (const auto &[result, count] : sums["mv604_runs_total"].asKeyValueRange())
            if (!result.contains('\\'))
                results << QString("%1|%2").arg(result).arg(count);
        for (const auto &[station, count] :
             sums["mv604_run_duration_seconds_count"].asKeyValueRange()) {
            const double last = sums["mv604_station_last_run_timestamp_seconds"][station];
            if (!station.contains('\\'))
                stations << QString("%1|%2|%3")
                                .arg(station)
                                .arg(count)
                                .arg(QDateTime::fromMSecsSinceEpoch(qRound64(last * 1000), Qt::UTC)
                                         .toString(Qt::ISODateWithMs));
        }
        QCOMPARE(results.join('\n'),
                 client("SELECT result, count(*) FROM run_records WHERE result NOT LIKE "
                        "'failed%' GROUP BY result ORDER BY result"));
        QStringList rows = client("SELECT host, count(*), max(ended) FROM run_records WHERE host "
                                  "NOT LIKE 'station %' GROUP BY host")
                               .split('\n');
        rows.sort();
        QCOMPARE(stations, rows);
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
