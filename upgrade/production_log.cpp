#include "upgrade/production_log.h"

#include "image/file_io.h"
#include "image/word_scrambler.h"
#include "mv604_version.h"
#include "upgrade/upgrade_file.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSysInfo>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#ifndef O_CLOEXEC // Windows
#define O_CLOEXEC 0
#endif

namespace
{

QString isoUtc(const QDateTime &time)
{
    return time.toUTC().toString(Qt::ISODateWithMs);
}

QJsonValue checksumValue(const std::optional<quint32> &checksum)
{
    if (!checksum)
        return QJsonValue::Null;
    return QString("0x%1").arg(*checksum, 8, 16, QChar('0'));
}

QJsonValue countValue(const std::optional<int> &count)
{
    return count ? QJsonValue(*count) : QJsonValue(QJsonValue::Null);
}

bool writeAll(int fd, const QByteArray &line)
{
    // A regular file takes an O_APPEND write whole; the loop only guards against a signal.
    const char *data = line.constData();
    qint64 left = line.size();
    while (left > 0) {
        const ssize_t written = ::write(fd, data, size_t(left));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        data += written;
        left -= written;
    }
    return true;
}

} // namespace

QByteArray sha256Hex(const QByteArray &bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex();
}

bool readUpgradeFileFacts(const QString &fileName, UpgradeFileFacts *facts)
{
    QByteArray bytes;
    if (!readWholeFile(fileName, &bytes))
        return false;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    QByteArray image;
    if (readUpgradeFile(buffer, &image) != UpgradeFileStatus::Ok)
        return false;
    DecodeWords(image.data(), int(image.size()));
    facts->sha256 = sha256Hex(bytes);
    facts->applicationChecksum = stampedChecksum(image, UpgradeFile::ApplicationChecksumOffset);
    facts->upperChecksum = stampedChecksum(image, UpgradeFile::UpperChecksumOffset);
    return true;
}

QByteArray productionRecordLine(const ProductionRecord &record)
{
    QJsonObject object;
    object["started"] = isoUtc(record.started);
    object["ended"] = isoUtc(record.ended);
    object["host"] = QSysInfo::machineHostName();
    object["tool_version"] = QStringLiteral(MV604_VERSION_TEXT);
    object["command"] = record.command;
    object["serial"] = record.serial;
    object["file"] = record.fileName;
    object["file_sha256"] = QString::fromLatin1(record.fileSha256);
    object["application_checksum"] = checksumValue(record.applicationChecksum);
    object["upper_checksum"] = checksumValue(record.upperChecksum);
    object["result"] = record.result;
    object["log"] = record.logText;
    object["pages_written"] = countValue(record.pagesWritten);
    object["pages_verified"] = countValue(record.pagesVerified);
    object["duration_s"] = record.started.msecsTo(record.ended) / 1000.0;
    return QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n';
}

bool appendProductionRecord(const QString &logFile, const ProductionRecord &record, QString *error)
{
    const QByteArray line = productionRecordLine(record);
    const int fd = ::open(QFile::encodeName(logFile).constData(),
                          O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    bool written = fd >= 0 && writeAll(fd, line);
    const int cause = errno;
    if (fd >= 0)
        written = ::close(fd) == 0 && written;
    if (!written && error)
        *error = QString::fromLocal8Bit(std::strerror(cause ? cause : errno));
    return written;
}
