#pragma once

#include <QString>
#include <QStringList>

class QTranslator;

// Loads "kr960_<localeName>" from the working directory (Qt shortens kr960_pl_PL to kr960_pl and
// kr960 on the way), else "kr960_en"; when neither is there, the same two names from the
// installed translations directories. Installs the translator in every case: an empty one
// simply leaves the texts as written. True when the locale's own file was found in the working
// directory.
bool installTranslation(QTranslator &translator, const QString &localeName);

// The installed translations directory, then the executable's own (a build tree), in that order.
QStringList installedTranslationDirectories();
