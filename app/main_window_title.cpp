#include "app/main_window_title.h"

QString mainWindowTitle()
{
    return QStringLiteral("Mv604") + QStringLiteral(" v") + QStringLiteral("2.00");
}
