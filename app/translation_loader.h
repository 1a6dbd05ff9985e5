#pragma once

#include <QString>

class QTranslator;

// Loads "kr960_<localeName>" from the working directory (Qt shortens kr960_pl_PL to kr960_pl and
// kr960 on the way), else "kr960_en", and installs the translator in every case: an empty one
// simply leaves the texts as written. True when the locale's own file was found.
bool installTranslation(QTranslator &translator, const QString &localeName);
