#include "app/translation_loader.h"

#include <QCoreApplication>
#include <QTranslator>

QStringList installedTranslationDirectories()
{
    return {QStringLiteral(MV604_TRANSLATIONS_DIR), QCoreApplication::applicationDirPath()};
}

namespace
{

// The same two names as in the working directory, in one directory.
bool loadFromDirectory(QTranslator &translator, const QString &localeName, const QString &directory)
{
    return translator.load(QStringLiteral("kr960_") + localeName, directory) ||
           translator.load(QStringLiteral("kr960_en"), directory);
}

} // namespace

bool installTranslation(QTranslator &translator, const QString &localeName)
{
    const bool found = translator.load(QStringLiteral("kr960_") + localeName);
    // Started from the desktop entry, the working directory is the user's home: the installed
    // translations are looked for only when the working directory has none at all.
    if (!found && !translator.load(QStringLiteral("kr960_en"))) {
        for (const QString &directory : installedTranslationDirectories())
            if (loadFromDirectory(translator, localeName, directory))
                break;
    }
    QCoreApplication::installTranslator(&translator);
    return found;
}
