#include "upgrade/upgrade_signature.h"

#include "files/file_io.h"

#include <QCoreApplication>
#include <QFileInfo>

#include <openssl/evp.h>

#include <memory>

namespace
{

constexpr int AlgorithmSize = 2;
constexpr int KeyIdSize = 8;
constexpr int PublicKeySize = 32;
constexpr int SignatureSize = 64;
const QByteArray LegacyAlgorithm = QByteArrayLiteral("Ed"); // the file itself is signed
const QByteArray HashedAlgorithm = QByteArrayLiteral("ED"); // its BLAKE2b-512 hash is signed
const QByteArray UntrustedPrefix = QByteArrayLiteral("untrusted comment:");
const QByteArray TrustedPrefix = QByteArrayLiteral("trusted comment: ");

QString tr(const char *text)
{
    return QCoreApplication::translate("UpgradeSignature", text);
}

QList<QByteArray> linesOf(const QByteArray &text)
{
    QList<QByteArray> lines = text.split('\n');
    for (QByteArray &line : lines)
        if (line.endsWith('\r'))
            line.chop(1);
    return lines;
}

// Strict base64: a line with anything else in it is not minisign's.
bool decodeBase64(const QByteArray &line, QByteArray *bytes)
{
    const auto decoded =
        QByteArray::fromBase64Encoding(line.trimmed(), QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded)
        return false;
    *bytes = decoded.decoded;
    return true;
}

struct ParsedSignature {
    QByteArray algorithm;
    QByteArray keyId;
    QByteArray signature;
    QByteArray trustedComment;
    QByteArray globalSignature;
};

bool parseSignature(const QByteArray &text, ParsedSignature *parsed, QString *error)
{
    const QList<QByteArray> lines = linesOf(text);
    if (lines.size() < 4 || !lines.at(0).startsWith(UntrustedPrefix)) {
        *error = tr("it does not have minisign's four lines");
        return false;
    }
    QByteArray signatureLine;
    if (!decodeBase64(lines.at(1), &signatureLine) ||
        signatureLine.size() != AlgorithmSize + KeyIdSize + SignatureSize) {
        *error = tr("its second line is not a base64 signature of %1 bytes")
                     .arg(AlgorithmSize + KeyIdSize + SignatureSize);
        return false;
    }
    parsed->algorithm = signatureLine.left(AlgorithmSize);
    if (parsed->algorithm != LegacyAlgorithm && parsed->algorithm != HashedAlgorithm) {
        *error = tr("unknown signature algorithm '%1'").arg(QString::fromLatin1(parsed->algorithm));
        return false;
    }
    parsed->keyId = signatureLine.mid(AlgorithmSize, KeyIdSize);
    parsed->signature = signatureLine.mid(AlgorithmSize + KeyIdSize);
    if (!lines.at(2).startsWith(TrustedPrefix)) {
        *error = tr("its third line is not a trusted comment");
        return false;
    }
    parsed->trustedComment = lines.at(2).mid(TrustedPrefix.size());
    if (!decodeBase64(lines.at(3), &parsed->globalSignature) ||
        parsed->globalSignature.size() != SignatureSize) {
        *error =
            tr("its fourth line is not a base64 global signature of %1 bytes").arg(SignatureSize);
        return false;
    }
    return true;
}

struct PkeyFree {
    void operator()(EVP_PKEY *key) const { EVP_PKEY_free(key); }
};
struct MdContextFree {
    void operator()(EVP_MD_CTX *context) const { EVP_MD_CTX_free(context); }
};

// Ed25519 (RFC 8032) as OpenSSL implements it: one-shot, no digest of our own choosing.
bool ed25519Verifies(const QByteArray &publicKey, const QByteArray &signature,
                     const QByteArray &message)
{
    std::unique_ptr<EVP_PKEY, PkeyFree> key(EVP_PKEY_new_raw_public_key(
        EVP_PKEY_ED25519, nullptr, reinterpret_cast<const unsigned char *>(publicKey.constData()),
        size_t(publicKey.size())));
    std::unique_ptr<EVP_MD_CTX, MdContextFree> context(EVP_MD_CTX_new());
    if (!key || !context ||
        EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, key.get()) != 1)
        return false;
    return EVP_DigestVerify(context.get(),
                            reinterpret_cast<const unsigned char *>(signature.constData()),
                            size_t(signature.size()),
                            reinterpret_cast<const unsigned char *>(message.constData()),
                            size_t(message.size())) == 1;
}

QByteArray blake2b512(const QByteArray &bytes)
{
    QByteArray digest(EVP_MAX_MD_SIZE, Qt::Uninitialized);
    unsigned int size = 0;
    if (EVP_Digest(bytes.constData(), size_t(bytes.size()),
                   reinterpret_cast<unsigned char *>(digest.data()), &size, EVP_blake2b512(),
                   nullptr) != 1)
        return QByteArray();
    digest.resize(int(size));
    return digest;
}

const MinisignPublicKey *keyWithId(const QList<MinisignPublicKey> &keys, const QByteArray &keyId)
{
    for (const MinisignPublicKey &key : keys)
        if (key.keyId == keyId)
            return &key;
    return nullptr;
}

} // namespace

QString keyIdText(const QByteArray &keyId)
{
    quint64 number = 0;
    for (int i = int(keyId.size()) - 1; i >= 0; --i)
        number = number << 8 | quint8(keyId.at(i));
    return QString::number(number, 16).toUpper();
}

bool parseMinisignPublicKey(const QByteArray &text, MinisignPublicKey *key, QString *error)
{
    const QList<QByteArray> lines = linesOf(text);
    QByteArray bytes;
    if (lines.size() < 2 || !lines.at(0).startsWith(UntrustedPrefix)) {
        *error = tr("not a minisign public key: no untrusted comment line");
        return false;
    }
    if (!decodeBase64(lines.at(1), &bytes) ||
        bytes.size() != AlgorithmSize + KeyIdSize + PublicKeySize ||
        bytes.left(AlgorithmSize) != LegacyAlgorithm) {
        *error = tr("not a minisign public key: its second line is not a base64 Ed25519 key");
        return false;
    }
    key->keyId = bytes.mid(AlgorithmSize, KeyIdSize);
    key->key = bytes.mid(AlgorithmSize + KeyIdSize);
    return true;
}

QStringList TrustedKeys::files() const
{
    QStringList names;
    for (const MinisignPublicKey &key : keys)
        if (!names.contains(key.file))
            names.append(key.file);
    return names;
}

QString signatureFileName(const QString &upgradeFileName)
{
    return upgradeFileName + QStringLiteral(".minisig");
}

SignatureCheck checkMinisignSignature(const QByteArray &fileBytes, const QByteArray &signature,
                                      const QList<MinisignPublicKey> &keys)
{
    SignatureCheck check;
    ParsedSignature parsed;
    if (!parseSignature(signature, &parsed, &check.detail)) {
        check.status = SignatureStatus::Malformed;
        return check;
    }
    check.keyId = keyIdText(parsed.keyId);
    check.trustedComment = QString::fromUtf8(parsed.trustedComment);
    const MinisignPublicKey *key = keyWithId(keys, parsed.keyId);
    if (!key) {
        check.status =
            keys.isEmpty() ? SignatureStatus::NoTrustedKey : SignatureStatus::UntrustedKey;
        return check;
    }
    const QByteArray signedMessage =
        parsed.algorithm == HashedAlgorithm ? blake2b512(fileBytes) : fileBytes;
    if (!ed25519Verifies(key->key, parsed.signature, signedMessage)) {
        check.status = SignatureStatus::Mismatch;
        return check;
    }
    // Without this the comment ("KR960 app 1.4.2") could be rewritten on an old, signed file.
    if (!ed25519Verifies(key->key, parsed.globalSignature,
                         parsed.signature + parsed.trustedComment)) {
        check.status = SignatureStatus::TrustedCommentChanged;
        return check;
    }
    check.status = SignatureStatus::Trusted;
    return check;
}

SignatureCheck checkUpgradeFileSignature(const QByteArray &fileBytes,
                                         const QString &upgradeFileName, const TrustedKeys &keys)
{
    const QString signatureFile = signatureFileName(upgradeFileName);
    QByteArray signature;
    SignatureCheck check;
    if (!QFileInfo::exists(signatureFile)) {
        check.status =
            keys.keys.isEmpty() ? SignatureStatus::NoTrustedKey : SignatureStatus::Unsigned;
        return check;
    }
    // A signature file is a few hundred bytes: anything far larger is not one.
    if (QFileInfo(signatureFile).size() > 64 * 1024 ||
        !readWholeFile(signatureFile, &signature, &check.detail)) {
        if (check.detail.isEmpty())
            check.detail = tr("it is far too large");
        check.status = SignatureStatus::Malformed;
        return check;
    }
    return checkMinisignSignature(fileBytes, signature, keys.keys);
}

QString signatureCheckText(const SignatureCheck &check, const QString &upgradeFileName)
{
    const QString file = QFileInfo(upgradeFileName).fileName();
    const QString signatureFile = QFileInfo(signatureFileName(upgradeFileName)).fileName();
    switch (check.status) {
    case SignatureStatus::Trusted:
        return tr("signed by %1: %2").arg(check.keyId, check.trustedComment);
    case SignatureStatus::NoTrustedKey:
        return tr("no trusted key is configured to check it against: put the release manager's "
                  "minisign public key (.pub) in /etc/mv604/keys.d/ or name it with "
                  "--trusted-key");
    case SignatureStatus::Unsigned:
        return tr("%1 is not signed: there is no %2 next to it").arg(file, signatureFile);
    case SignatureStatus::Malformed:
        return tr("%1 is not a minisign signature: %2").arg(signatureFile, check.detail);
    case SignatureStatus::UntrustedKey:
        return tr("%1 is signed by key %2, which is not a trusted key").arg(file, check.keyId);
    case SignatureStatus::Mismatch:
        return tr("%1 does not match its signature by key %2: the file was changed after it "
                  "was signed")
            .arg(file, check.keyId);
    case SignatureStatus::TrustedCommentChanged:
        return tr("the trusted comment of %1 was changed after it was signed").arg(signatureFile);
    }
    return QString();
}
