// What the line's database costs a station: the time to record one run (median of 100) on SQLite
// and on PostgreSQL, as a share of a realistic single-board upgrade of 5 s (target: at most 1 %),
// and how many serials 8 allocators reserve per second at once, as the ratio to one allocator.
//
//   bench_line_database      SQLite; PostgreSQL as well when PGHOST is set (pg_virtualenv does)
//   cmake --build build --target run_bench_line_database    both, on a throwaway cluster

#include "bench_support.h"
#include "production/line_database.h"
#include "production/run_record.h"
#include "production/serial_allocation.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>

#include <cstdio>
#include <vector>

namespace
{

constexpr double BoardRunSeconds = 5.0;

RunRecord sampleRecord(int i)
{
    RunRecord record = newRunRecord(RunCommand::Upgrade, QDateTime::currentDateTimeUtc());
    record.serial = QString("2649%1").arg(i % 10000, 5, 10, QChar('0'));
    record.port = "1-1.4";
    record.fileName = "firmware.upg";
    record.fileSha256 = QByteArray(64, 'a');
    record.applicationChecksum = record.upperChecksum = 0x12345678;
    record.pagesWritten = record.pagesVerified = 120;
    record.result = RunResult::Ok;
    record.logText = "OK";
    record.ended = record.started.addSecs(5);
    return record;
}

// Median seconds to store one record, each in its own transaction; negative when one failed.
double secondsPerRecord(LineDatabase &database)
{
    std::vector<double> seconds;
    for (int i = 0; i < 100; ++i) {
        QElapsedTimer clock;
        clock.start();
        if (!database.store(sampleRecord(i)).ok())
            return -1;
        seconds.push_back(clock.nsecsElapsed() / 1e9);
    }
    return median(seconds);
}

// Serials per second that `allocators` processes reserve, one per transaction, all at once.
double allocationsPerSecond(const QString &url, int allocators, int week, int each)
{
    std::vector<QProcess *> processes;
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < allocators; ++i) {
        processes.push_back(new QProcess);
        processes.back()->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        processes.back()->start(QCoreApplication::applicationFilePath(),
                                {"allocate", url, QString::number(week), QString::number(each)});
    }
    bool ok = true;
    for (QProcess *process : processes) {
        ok = process->waitForFinished(300000) && process->exitCode() == 0 && ok;
        delete process;
    }
    return ok ? allocators * each / (clock.elapsed() / 1000.0) : -1;
}

int allocate(const QString &url, int week, int count)
{
    LineDatabase database;
    if (!database.open(url).ok())
        return 1;
    for (int i = 0; i < count; ++i)
        if (!allocateSerials(database, 26, week, 1).status.ok())
            return 1;
    return 0;
}

bool measure(const QString &name, const QString &url)
{
    LineDatabase database;
    const DatabaseStatus status = database.open(url);
    if (!status.ok()) {
        fprintf(stderr, "%s\n", qPrintable(status.text()));
        return false;
    }
    const double seconds = secondsPerRecord(database);
    const double one = allocationsPerSecond(url, 1, 1, 200);
    const double eight = allocationsPerSecond(url, 8, 2, 100);
    // Counted by the sqlite3 or psql client.
    const QList<QByteArray> counts =
        clientAnswer(url, "SELECT count(*), count(DISTINCT serial) FROM serial_allocations")
            .split('|');
    const int given = counts.value(0).toInt();
    const int distinct = counts.value(1, "-1").toInt();
    if (seconds < 0 || one < 0 || eight < 0 || given != 1000 || distinct != given) {
        fprintf(stderr, "%s: a store or an allocation failed (%d serials, %d distinct)\n",
                qPrintable(name), given, distinct);
        return false;
    }
    printf("%-10s %9.2f ms %11.3f %% %14.0f/s %14.0f/s %9.2fx\n", qPrintable(name), seconds * 1000,
           100 * seconds / BoardRunSeconds, one, eight, eight / one);
    fflush(stdout);
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    qInstallMessageHandler(dropDebug);
    const QStringList arguments = app.arguments();
    if (arguments.value(1) == "allocate")
        return allocate(arguments.value(2), arguments.value(3).toInt(), arguments.value(4).toInt());

    QTemporaryDir work;
    printf("one record (median of 100) against a %.0f s board run (target: at most 1 %%);\n"
           "serials reserved per second by 1 and by 8 allocators at once\n",
           BoardRunSeconds);
    printf("%-10s %12s %13s %16s %16s %10s\n", "database", "per record", "of a run", "1 allocator",
           "8 allocators", "ratio");
    bool ok = work.isValid() && measure("SQLite", "sqlite:" + work.filePath("line.db"));
    if (qEnvironmentVariableIsSet("PGHOST"))
        ok = measure("PostgreSQL", serverUrl(qEnvironmentVariable("PGDATABASE"))) && ok;
    else
        printf("PostgreSQL: not measured (PGHOST unset; run it under pg_virtualenv)\n");
    return ok ? 0 : 1;
}
