#include "upgrade/trusted_keys.h"

#include "files/file_io.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

namespace
{

QString tr(const char *text)
{
    return QCoreApplication::translate("TrustedKeys", text);
}

bool loadKeyFile(const QString &fileName, TrustedKeys *keys, QString *error)
{
    QByteArray text;
    QString reason;
    MinisignPublicKey key;
    // A public key file is two short lines; a larger one is not a key.
    if (QFileInfo(fileName).isFile() && QFileInfo(fileName).size() > 16 * 1024)
        reason = tr("not a minisign public key: far too large");
    else if (readWholeFile(fileName, &text, &reason))
        parseMinisignPublicKey(text, &key, &reason);
    if (!reason.isEmpty()) {
        *error = tr("trusted key %1: %2").arg(fileName, reason);
        return false;
    }
    key.file = fileName;
    keys->keys.append(key);
    return true;
}

bool loadKeyFolder(const QString &folder, TrustedKeys *keys, QString *error)
{
    const QDir dir(folder);
    const QStringList names = dir.entryList({QStringLiteral("*.pub")}, QDir::Files, QDir::Name);
    for (const QString &name : names)
        if (!loadKeyFile(dir.filePath(name), keys, error))
            return false;
    return true;
}

} // namespace

bool loadTrustedKeys(const QStringList &keyFiles, bool signatureRequired, TrustedKeys *keys,
                     QString *error)
{
    TrustedKeys loaded;
    loaded.signatureRequired = signatureRequired;
    if (QFileInfo(TrustedKeyFolders::System).isDir() &&
        !loadKeyFolder(TrustedKeyFolders::System, &loaded, error))
        return false;
    if (qEnvironmentVariableIsSet(TrustedKeyFolders::Variable)) {
        const QString folder = qEnvironmentVariable(TrustedKeyFolders::Variable);
        if (!QFileInfo(folder).isDir()) {
            *error = tr("%1 names %2, which is not a folder")
                         .arg(QString::fromLatin1(TrustedKeyFolders::Variable),
                              folder.isEmpty() ? tr("nothing") : folder);
            return false;
        }
        if (!loadKeyFolder(folder, &loaded, error))
            return false;
    }
    for (const QString &file : keyFiles)
        if (!loadKeyFile(file, &loaded, error))
            return false;
    *keys = loaded;
    return true;
}
