// Runs one Disconnect in a fresh process and prints the log it leaves, so a test can compare
// two starts of the tool.
#include "app/kr960_bootloader.h"

#include <QApplication>
#include <QTextBrowser>
#include <cstdio>

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    KR960_Bootloader window;
    window.slotpushButtonDisconnect(false);
    const QString log = window.findChild<QTextBrowser *>(QStringLiteral("txt"))->toPlainText();
    std::fputs(log.toUtf8().constData(), stdout);
    return 0;
}
