// One process of a line for the concurrency rows: allocates serials, delivers records, fills or
// drains the spool, printing what it got so that the suite can check nothing was given twice
// or lost.
//   line_helper allocate URL TIMES   one serial per transaction, printed once committed
//   line_helper deliver URL COUNT    prints "stored S spooled P failed F"
//   line_helper spool COUNT          appends COUNT records to the spool
//   line_helper flush URL COUNT      flushes until it sent COUNT records (20 s at most), prints
//                                    "sent S": more than COUNT when a record left twice

#include "production/line_records.h"
#include "production/run_record.h"
#include "production/serial_allocation.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QThread>
#include <cstdio>

namespace
{

RunRecord record(int number)
{
    RunRecord run = newRunRecord(RunCommand::Upgrade, QDateTime::currentDateTimeUtc());
    run.serial = QString("2649%1").arg(number % 10000, 5, 10, QChar('0'));
    run.result = RunResult::Ok;
    return run;
}

int fail(const QString &why)
{
    std::fprintf(stderr, "line_helper: %s\n", qPrintable(why));
    return 1;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList words = app.arguments().mid(1);
    const QString command = words.value(0);
    const int count = words.last().toInt();
    LineRecords records;
    QString error;
    if (command != "spool" && !records.open(words.value(1), &error))
        return fail(error);
    if (command == "allocate") {
        for (int i = 0; i < count; ++i) {
            const SerialAllocation serial = allocateSerials(records.database(), 26, 49, 1);
            if (!serial.status.ok())
                return fail(serial.status.text());
            std::printf("%s\n", qPrintable(serial.serials().join(' ')));
            std::fflush(stdout);
        }
    } else if (command == "deliver") {
        int outcomes[4] = {};
        for (int i = 0; i < count; ++i)
            ++outcomes[int(records.deliver(record(i), &error))];
        std::printf("stored %d spooled %d failed %d\n", outcomes[0], outcomes[1], outcomes[2]);
    } else if (command == "spool") {
        RunSpool spool;
        for (int i = 0; i < count; ++i)
            if (!spool.append(record(i), &error))
                return fail(error);
    } else if (command == "flush") {
        int sent = records.openingFlush().sent;
        QElapsedTimer waited;
        waited.start();
        while (sent < count && waited.elapsed() < 20000) {
            const RunSpool::Flush flush = records.flushSpool();
            if (!flush.error.isEmpty())
                return fail(flush.error);
            sent += flush.sent;
            QThread::msleep(2);
        }
        std::printf("sent %d\n", sent);
    } else {
        return fail("unknown command " + command);
    }
    return 0;
}
