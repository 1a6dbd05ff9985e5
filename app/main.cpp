#include "app/kr960_bootloader.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication a(argc, argv);
    KR960_Bootloader w;
    w.show();
    return a.exec();
}
