// mv604-cli serve: the line's dashboard over HTTP, read from the line's database. The page, its
// JSON and the Prometheus metrics; nothing here writes.

#include "cli/cli_support.h"
#include "cli/commands.h"
#include "cli/db_option.h"

#include "production/line_dashboard.h"
#include "production/line_database.h"
#include "production/run_record.h"
#include "production/stop_signals.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QFile>
#include <QHostAddress>
#include <QHttpServer>
#include <QHttpServerRequest>
#include <QHttpServerResponse>
#include <QJsonArray>
#include <QJsonDocument>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>
#include <QUrl>
#include <QUrlQuery>

#include <cstdio>

namespace
{

using Status = QHttpServerResponder::StatusCode;

constexpr quint16 DefaultPort = 8604;
constexpr int MaximumRunsLimit = 1000;
// Runs that started before the current day are counted at start and anew this often, in a
// thread of their own, so that a scrape only counts today's; a record that reaches the database
// late (from a spool) shows in the counters by the next recount.
constexpr int RecountIntervalMs = 5 * 60 * 1000;

QByteArray dashboardPage()
{
    QFile page(":/dashboard/index.html");
    return page.open(QIODevice::ReadOnly) ? page.readAll() : QByteArray();
}

// The page runs only its own inline script, whose hash the policy names; it talks only to this
// server and loads nothing else.
QByteArray contentSecurityPolicy(const QByteArray &page)
{
    const int open = page.indexOf("<script>") + 8;
    const QByteArray script = page.mid(open, page.indexOf("</script>", open) - open);
    return "default-src 'none'; script-src 'sha256-" +
           QCryptographicHash::hash(script, QCryptographicHash::Sha256).toBase64() +
           "'; style-src 'unsafe-inline'; connect-src 'self'; img-src data:; base-uri 'none'; "
           "form-action 'none'; frame-ancestors 'none'";
}

QHttpServerResponse withHeaders(QHttpServerResponse response)
{
    response.addHeader("Cache-Control", "no-store");
    response.addHeader("X-Content-Type-Options", "nosniff");
    response.addHeader("Referrer-Policy", "no-referrer");
    return response;
}

QHttpServerResponse json(const QJsonObject &object, Status status = Status::Ok)
{
    return withHeaders(QHttpServerResponse(
        "application/json", QJsonDocument(object).toJson(QJsonDocument::Compact), status));
}

QHttpServerResponse plain(const QByteArray &text, Status status)
{
    return withHeaders(QHttpServerResponse("text/plain; charset=utf-8", text + '\n', status));
}

QHttpServerResponse methodNotAllowed()
{
    QHttpServerResponse response = plain("only GET is served", Status::MethodNotAllowed);
    response.addHeader("Allow", "GET");
    return response;
}

// What a client is told of a database that failed: a short reason, never its URL. The whole
// status, with the URL's password masked, goes to the server's log.
QByteArray unavailableReason(const DatabaseStatus &status)
{
    std::fprintf(stderr, "mv604-cli serve: %s\n", qPrintable(status.text()));
    switch (status.kind) {
    case DatabaseStatus::Unreachable:
    case DatabaseStatus::MissingFolder:
        return "the line's database cannot be reached";
    case DatabaseStatus::WrongPassword:
        return "the line's database refused the user name or password";
    case DatabaseStatus::NewerSchema:
        return "the line's database was written by a newer Mv604";
    default:
        return "the line's database failed to answer";
    }
}

QDateTime startOfToday()
{
    return QDateTime(QDateTime::currentDateTimeUtc().date(), QTime(0, 0), Qt::UTC);
}

// --listen ADDRESS:PORT ([::1]:8604 for IPv6; "localhost" is 127.0.0.1; port 0: any free one).
void parseListen(const QString &text, QHostAddress *address, quint16 *port)
{
    const QUrl url("http://" + text);
    const QString host = url.host();
    *address = host == "localhost" ? QHostAddress(QHostAddress::LocalHost) : QHostAddress(host);
    if (!url.isValid() || address->isNull() || url.port() < 0 || !url.path().isEmpty())
        failUsage(QString("--listen '%1' is not ADDRESS:PORT (such as 127.0.0.1:8604)").arg(text));
    *port = quint16(url.port());
}

// Answers leave at once: without it, an answer written in two pieces waits for the client's
// delayed acknowledgement of the first (about 40 ms).
class LowDelayTcpServer : public QTcpServer
{
protected:
    void incomingConnection(qintptr descriptor) override
    {
        auto *socket = new QTcpSocket(this);
        if (!socket->setSocketDescriptor(descriptor)) {
            delete socket;
            return;
        }
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        addPendingConnection(socket);
    }
};

class DashboardServer : public QObject
{
public:
    explicit DashboardServer(const QString &url) : databaseUrl(url), page(dashboardPage())
    {
        policy = contentSecurityPolicy(page);
        route("/", [this](const QUrlQuery &) { return pageResponse(); });
        route("/api/v1/summary", [this](const QUrlQuery &) { return summaryResponse(); });
        route("/api/v1/runs", [this](const QUrlQuery &query) { return runsResponse(query); });
        route("/metrics", [this](const QUrlQuery &) { return metricsResponse(); });
        http.setMissingHandler([](const QHttpServerRequest &request,
                                  QHttpServerResponder &&responder) {
            const QHttpServerResponse response = request.method() == QHttpServerRequest::Method::Get
                                                     ? plain("not found", Status::NotFound)
                                                     : methodNotAllowed();
            response.write(std::move(responder));
        });
        recountTimer.setInterval(RecountIntervalMs);
        connect(&recountTimer, &QTimer::timeout, this, [this] { recountClosedDays(); });
    }
    ~DashboardServer() override
    {
        if (recount)
            recount->wait();
    }

    void start(const QHostAddress &address, quint16 port)
    {
        openDatabaseOrFail(database, databaseUrl);
        const DatabaseStatus indexes = prepareDashboardIndexes(database);
        if (!indexes.ok())
            std::fprintf(stderr,
                         "mv604-cli serve: cannot add the dashboard's index (%s); "
                         "answers may be slower\n",
                         qPrintable(indexes.text()));
        auto *tcp = new LowDelayTcpServer;
        if (!tcp->listen(address, port))
            failOperation(QString("cannot listen on %1:%2: %3")
                              .arg(address.toString())
                              .arg(port)
                              .arg(tcp->errorString()));
        http.bind(tcp); // which takes it
        const quint16 listening = tcp->serverPort();
        const QString host = address.protocol() == QAbstractSocket::IPv6Protocol
                                 ? '[' + address.toString() + ']'
                                 : address.toString();
        printLine(QString("serving the line's dashboard on http://%1:%2/ from %3")
                      .arg(host)
                      .arg(listening)
                      .arg(database.url().redacted()));
        recountTimer.start();
        recountClosedDays();
    }

private:
    template <typename Handler> void route(const char *path, Handler handler)
    {
        http.route(path, QHttpServerRequest::Method::AnyKnown,
                   [handler](const QHttpServerRequest &request) {
                       if (request.method() != QHttpServerRequest::Method::Get)
                           return methodNotAllowed();
                       return handler(request.query());
                   });
    }

    QHttpServerResponse pageResponse()
    {
        // The page shows the reason itself, and recovers by its next poll.
        const DatabaseStatus status = checkDashboardDatabase(database);
        QHttpServerResponse response("text/html; charset=utf-8", page,
                                     status.ok() ? Status::Ok : Status::ServiceUnavailable);
        if (!status.ok())
            unavailableReason(status);
        response.addHeader("Content-Security-Policy", policy);
        return withHeaders(std::move(response));
    }

    QHttpServerResponse unavailable(const DatabaseStatus &status)
    {
        return json({{"error", QString::fromUtf8(unavailableReason(status))}},
                    Status::ServiceUnavailable);
    }

    QHttpServerResponse summaryResponse()
    {
        const DashboardSummary summary =
            dashboardSummary(database, QDateTime::currentDateTimeUtc());
        return summary.status.ok() ? json(dashboardSummaryJson(summary))
                                   : unavailable(summary.status);
    }

    QHttpServerResponse runsResponse(const QUrlQuery &query)
    {
        QDateTime since;
        if (query.hasQueryItem("since")) {
            const QString text = query.queryItemValue("since", QUrl::FullyDecoded);
            since = QDateTime::fromString(text, Qt::ISODateWithMs);
            if (!since.isValid())
                return json({{"error", "since is not an ISO 8601 time"}}, Status::BadRequest);
        }
        int limit = 20;
        if (query.hasQueryItem("limit")) {
            bool number = false;
            limit = query.queryItemValue("limit").toInt(&number);
            if (!number || limit < 1 || limit > MaximumRunsLimit)
                return json(
                    {{"error", QString("limit is a number from 1 to %1").arg(MaximumRunsLimit)}},
                    Status::BadRequest);
        }
        QList<RunRecord> runs;
        const DatabaseStatus status = latestRuns(database, since, limit, &runs);
        if (!status.ok())
            return unavailable(status);
        QJsonArray array;
        for (const RunRecord &run : runs)
            array << runRecordJson(run);
        return json({{"runs", array}});
    }

    QHttpServerResponse metricsResponse()
    {
        if (!closedDaysKnown) { // a scrape before the first count was done
            const QDateTime before = startOfToday();
            const DatabaseStatus status = runTotals(database, {}, before, &closedDays);
            if (!status.ok())
                return plain(unavailableReason(status), Status::ServiceUnavailable);
            closedBefore = before;
            closedDaysKnown = true;
        }
        RunTotals totals;
        QMap<QString, QDateTime> lastRuns;
        DatabaseStatus status = runTotals(database, closedBefore, {}, &totals);
        if (status.ok())
            status = lastRunPerStation(database, &lastRuns);
        if (!status.ok())
            return plain(unavailableReason(status), Status::ServiceUnavailable);
        totals.add(closedDays);
        return withHeaders(QHttpServerResponse("text/plain; version=0.0.4; charset=utf-8",
                                               prometheusMetrics(totals, lastRuns)));
    }

    // A connection of its own in a thread of its own: Qt SQL connections keep to their thread.
    void recountClosedDays()
    {
        if (recount)
            return;
        const QDateTime before = startOfToday();
        const QString url = databaseUrl;
        QPointer<DashboardServer> self(this);
        recount = QThread::create([self, url, before] {
            LineDatabase reader;
            RunTotals totals;
            if (!reader.open(url, LineDatabase::Use::Reading).ok() ||
                !runTotals(reader, {}, before, &totals).ok())
                return; // the next recount tries again
            QMetaObject::invokeMethod(
                self,
                [self, before, totals] {
                    if (self && (!self->closedDaysKnown || before >= self->closedBefore)) {
                        self->closedDays = totals;
                        self->closedBefore = before;
                        self->closedDaysKnown = true;
                    }
                },
                Qt::QueuedConnection);
        });
        connect(recount, &QThread::finished, this, [this] {
            recount->deleteLater();
            recount = nullptr;
        });
        recount->start();
    }

    QString databaseUrl;
    LineDatabase database;
    QHttpServer http;
    QByteArray page;
    QByteArray policy;
    // The counts of runs that started before closedBefore; a scrape adds those since.
    RunTotals closedDays;
    QDateTime closedBefore;
    bool closedDaysKnown = false;
    QTimer recountTimer;
    QThread *recount = nullptr;
};

} // namespace

int runServeCommand(const QStringList &arguments)
{
    QCommandLineParser parser;
    const QCommandLineOption db = databaseOption();
    const QCommandLineOption listen(
        "listen",
        QString("Listen on ADDRESS:PORT (default 127.0.0.1:%1; port 0 takes a free one).")
            .arg(DefaultPort),
        "ADDRESS:PORT");
    parser.addOptions({db, listen});
    parseCommandLine(parser, arguments,
                     "Serves the line's dashboard (/), its JSON (/api/v1/summary, /api/v1/runs) "
                     "and Prometheus metrics (/metrics) from the line's database, read only, "
                     "until stopped.");
    requirePositionals(parser, {});
    const QString url = requireDatabaseUrl(parser, db);
    QHostAddress address(QHostAddress::LocalHost);
    quint16 port = DefaultPort;
    if (parser.isSet(listen))
        parseListen(parser.value(listen), &address, &port);

    DashboardServer server(url);
    server.start(address, port);
    StopSignals stop;
    QObject::connect(&stop, &StopSignals::received, qApp, [](int) { qApp->quit(); });
    QCoreApplication::exec();
    return ExitOk;
}
