#include "app/translation_loader.h"

#include <QCoreApplication>
#include <QTranslator>

bool installTranslation(QTranslator &translator, const QString &localeName)
{
    const bool found = translator.load(QStringLiteral("kr960_") + localeName);
    if (!found)
        (void)translator.load(QStringLiteral("kr960_en"));
    QCoreApplication::installTranslator(&translator);
    return found;
}
