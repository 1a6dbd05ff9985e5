// What a frozen database server costs a station: the wall time of `mv604-cli upgrade --all` on
// 16 simulated KR960s at a real board's timing with `--db` on a healthy PostgreSQL server, and
// the same with the server frozen (its postmaster and backends stopped by SIGSTOP, as a hung
// host) right after the station opened it. Records then wait in the spool; the target is at
// most 1.1 times the healthy run. Runs under pg_virtualenv (PGHOST, PGPORT, PGUSER, PGPASSWORD).
//
//   bench_frozen_database [REPEATS]     (default: 2 runs of each; the median counts)

#include "bench_support.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <csignal>
#include <cstdio>
#include <vector>

namespace
{

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The server's postmaster (from its postmaster.pid) and its children: all of this run's own
// throwaway cluster.
std::vector<pid_t> serverProcesses()
{
    const QString data = clientAnswer("postgres", "SHOW data_directory");
    const pid_t postmaster = readAll(data + "/postmaster.pid").split('\n').value(0).toInt();
    std::vector<pid_t> all{postmaster};
    for (const QString &entry : QDir("/proc").entryList(QDir::Dirs)) {
        const QString stat = readAll("/proc/" + entry + "/stat");
        if (stat.mid(stat.lastIndexOf(')') + 2).section(' ', 1, 1).toInt() == postmaster)
            all.push_back(entry.toInt());
    }
    return all;
}

void signalAll(const std::vector<pid_t> &processes, int signal)
{
    for (pid_t pid : processes)
        if (pid > 0 && ::kill(pid, 0) == 0)
            ::kill(pid, signal);
}

// Seconds for one run, negative when it did not end in "OK".
double secondsForAll(const QString &upgradeFile, const QString &url, bool freeze,
                     const QString &state)
{
    QDir(state).removeRecursively();
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("XDG_STATE_HOME", state);
    process.setProcessEnvironment(environment);
    process.setProcessChannelMode(QProcess::MergedChannels);
    QElapsedTimer clock;
    clock.start();
    process.start(MV604_SIM, {"--devices", "16", "--latency", "2", "--transfer-us-per-kib", "1000",
                              "--page-program-ms", "30", "--", MV604_CLI, "upgrade", "--all",
                              upgradeFile, "--db", url});
    std::vector<pid_t> frozen;
    if (freeze) {
        // The station has opened the database once its first board shows progress.
        process.waitForStarted();
        while (!process.readAll().contains("% of 120") && process.state() == QProcess::Running)
            process.waitForReadyRead(100);
        frozen = serverProcesses();
        signalAll(frozen, SIGSTOP);
    }
    const bool finished = process.waitForFinished(300000);
    const double seconds = clock.elapsed() / 1000.0;
    signalAll(frozen, SIGCONT);
    if (!finished || process.exitCode() != 0)
        fprintf(stderr, "%s run: %s\n", freeze ? "frozen" : "healthy",
                process.readAll().right(2000).constData());
    return finished && process.exitCode() == 0 ? seconds : -1;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    qInstallMessageHandler(dropDebug);
    const int repeats = argc > 1 ? std::max(1, atoi(argv[1])) : 2;
    QTemporaryDir work;
    const QString upgradeFile = work.filePath("bench.upg");
    if (!work.isValid() || !writeSampleUpgradeFile(upgradeFile) || qgetenv("PGHOST").isEmpty()) {
        fprintf(stderr, "needs a writable temporary folder and a server (run under "
                        "pg_virtualenv)\n");
        return 1;
    }
    clientAnswer("postgres", "DROP DATABASE IF EXISTS bench_frozen");
    clientAnswer("postgres", "CREATE DATABASE bench_frozen");
    const QString url = serverUrl("bench_frozen");
    std::vector<double> healthy;
    std::vector<double> frozen;
    for (int i = 0; i < repeats; ++i) {
        healthy.push_back(secondsForAll(upgradeFile, url, false, work.filePath("state")));
        frozen.push_back(secondsForAll(upgradeFile, url, true, work.filePath("state")));
        if (healthy.back() < 0 || frozen.back() < 0) {
            fprintf(stderr, "a run did not end in OK\n");
            return 1;
        }
    }
    printf("upgrade --all on 16 boards at a real board's timing, --db PostgreSQL, median of %d\n",
           repeats);
    printf("healthy server %6.2f s, frozen server %6.2f s, ratio %.3f (target at most 1.1)\n",
           median(healthy), median(frozen), median(frozen) / median(healthy));
    return 0;
}
