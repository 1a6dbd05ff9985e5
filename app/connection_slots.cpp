#include "app/kr960_bootloader.h"
#include "app/random_permutation.h"
#include "device/device_jobs.h"
#include "device/usbkr960.h"
#include "ui_kr960_bootloader.h"
#include "usb/connect_failure_text.h"

#include <QDebug>
#include <QFile>
#include <cstdlib>

namespace
{

// The table written on Disconnect: 351..541, shuffled by the C library's unseeded rand(), so
// every start of the process yields the same sequence of tables.
constexpr int TableLow = 351;
constexpr int TableEnd = 542;
const char *const TableFileName = "dane.csv";

} // namespace

void KR960_Bootloader::slotpushButtonConnect(bool)
{
    qDebug() << "KR960_Bootloader::slotpushButtonConnect(bool t)";
    if (refuseWhileUpgrading())
        return;
    const QString outcome =
        usb->connect() == 0 ? QStringLiteral("Connect OK") : QStringLiteral("Connect ERROR");
    qDebug() << qPrintable(outcome);
    ui->txt->append(outcome);
    // Without a udev rule the device is there but cannot be opened: say so.
    const QString hint = permissionHint(usb->lastConnectFailure());
    if (!hint.isEmpty())
        ui->txt->append(hint);
}

// During an upgrade the link belongs to the worker: only the disconnect itself is left out; the
// table has nothing to do with the device.
void KR960_Bootloader::slotpushButtonDisconnect(bool)
{
    const bool upgrading = upgradeRunning();
    if (!upgrading)
        usb->disconnect();
    qDebug() << "KR960_Bootloader::slotpushButtonDisconnect(bool t)";
    ui->txt->clear();
    const QVector<PermutationDraw> draws =
        drawPermutation(TableLow, TableEnd, [] { return std::rand(); });
    // A file that cannot be opened just stays unwritten; the log still shows the table.
    QFile table(QString::fromLatin1(TableFileName));
    if (table.open(QIODevice::WriteOnly)) {
        table.write(permutationCsv(draws));
        table.close();
    }
    for (const PermutationDraw &draw : draws)
        ui->txt->append(permutationLogLine(draw));
    if (upgrading)
        ui->txt->append(QStringLiteral("Upgrade in progress"));
}

// The device restarts into its application and may or may not be found again at once; either
// way nothing is reported beyond the transport's own trace.
void KR960_Bootloader::slotpushButtonRunApplication(bool)
{
    if (refuseWhileUpgrading())
        return;
    startApplication(*usb);
}

void KR960_Bootloader::slotTimeout()
{
    qDebug() << "KR960_Bootloader::slotTimeout(void)";
}
