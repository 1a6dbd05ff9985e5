#include "app/main_window_title.h"

#include "mv604_version.h"

QString mainWindowTitle()
{
    return QStringLiteral("Mv604 v" MV604_VERSION_TEXT);
}
