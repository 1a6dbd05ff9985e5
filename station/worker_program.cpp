#include "station/worker_program.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

QString findWorkerProgram()
{
    const QString named = qEnvironmentVariable("MV604_CLI");
    if (!named.isEmpty())
        return named;
    const QDir here(QCoreApplication::applicationDirPath());
    for (const QString &candidate : {here.filePath("mv604-cli"), here.filePath("../cli/mv604-cli")})
        if (QFileInfo(candidate).isFile() && QFileInfo(candidate).isExecutable())
            return QFileInfo(candidate).canonicalFilePath();
    return QStandardPaths::findExecutable("mv604-cli");
}
