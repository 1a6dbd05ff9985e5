#include "image/file_io.h"

#include <QFile>
#include <QSaveFile>

bool writeFileAtomically(const QString &fileName, const QByteArray &bytes, QString *error)
{
    // QSaveFile's commit does not notice a failed flush of buffered data (a full disk, a file
    // size limit), hence the explicit flush before it.
    QSaveFile file(fileName);
    bool written =
        file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.flush();
    if (error && !written)
        *error = file.errorString();
    if (!written) {
        file.cancelWriting();
        return false;
    }
    if (!file.commit()) {
        if (error)
            *error = file.errorString();
        return false;
    }
    return true;
}

bool readWholeFile(const QString &fileName, QByteArray *bytes, QString *error)
{
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly)) {
        if (error)
            *error = file.errorString();
        return false;
    }
    *bytes = file.readAll();
    if (file.error() != QFile::NoError) {
        if (error)
            *error = file.errorString();
        return false;
    }
    return true;
}
