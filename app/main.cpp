#include "app/kr960_bootloader.h"
#include "app/main_window_title.h"
#include "app/translation_loader.h"

#include <QApplication>
#include <QLocale>
#include <QTranslator>

// Locals go in reverse order: the window before the translator it uses, the application last.
int main(int argc, char *argv[])
{
    const QString localeName = QLocale::system().name();
    QApplication application(argc, argv);
    QTranslator translator;
    installTranslation(translator, localeName);
    KR960_Bootloader window;
    window.setWindowTitle(mainWindowTitle());
    window.show();
    return application.exec();
}
