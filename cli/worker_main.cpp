// mv604-worker: programs one board for a station (mv604-station, mv604-cli upgrade --all and
// --watch). Not for people: its command line and its lines on stderr are the station protocol,
// and the upgrade file's bytes arrive on standard input.
//
//   mv604-worker --port P --serial S [--skip-unchanged] -- FILE.upg  < the file's bytes

#include "production/station_worker.h"

#include "upgrade/upgrade_file.h"

#include <QCoreApplication>

#include <cerrno>
#include <cstdio>
#include <unistd.h>

namespace
{

void tellParent(const QByteArray &line)
{
    fputs(line.constData(), stderr);
    fflush(stderr);
}

// All of standard input, one byte past the largest upgrade file at most: more is no upgrade file,
// and the worker's check of the bytes refuses it then.
QByteArray readStandardInput()
{
    QByteArray bytes(int(MaxUpgradeFileBytes + 1), Qt::Uninitialized);
    qint64 done = 0;
    while (done < bytes.size()) {
        const ssize_t got = read(STDIN_FILENO, bytes.data() + done, size_t(bytes.size() - done));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        done += got;
    }
    bytes.truncate(int(done));
    return bytes;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    WorkerProtocol::Order order;
    QString error;
    if (!WorkerProtocol::parseOrder(application.arguments().mid(1), &order, &error)) {
        fprintf(stderr, "mv604-worker: %s\n", qPrintable(error));
        return 2;
    }
    return runStationWorker(order, readStandardInput(), tellParent);
}
