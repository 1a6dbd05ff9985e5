#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

// minisign's detached signatures (Ed25519), as `minisign -Sm fw.upg` writes them next to the
// file: a release manager signs with the tool they already have, and a station only verifies.
//
// A public key file is an untrusted comment line and the base64 of
//   "Ed" | key id (8 bytes) | Ed25519 public key (32 bytes).
// A signature file (.minisig) is an untrusted comment line, the base64 of
//   "ED" or "Ed" | key id (8 bytes) | Ed25519 signature (64 bytes),
// a "trusted comment: " line and the base64 of the global signature (64 bytes) over the
// signature followed by the trusted comment's text. "ED" signs the BLAKE2b-512 hash of the file,
// the legacy "Ed" the file itself.

struct MinisignPublicKey {
    QByteArray keyId; // 8 bytes, as stored
    QByteArray key;   // 32 bytes
    QString file;     // where it was read from
};

// A key id as minisign prints it: the stored bytes read as a little-endian number, in upper-case
// hexadecimal without leading zeros.
QString keyIdText(const QByteArray &keyId);

// False, with what is wrong, when `text` is not a minisign public key file.
bool parseMinisignPublicKey(const QByteArray &text, MinisignPublicKey *key, QString *error);

// The keys a station trusts, and whether a signature is required even without one.
struct TrustedKeys {
    QList<MinisignPublicKey> keys;
    bool signatureRequired = false; // --require-signature

    // With a key or the requirement, every file that is written to a board must be signed.
    bool policyActive() const { return signatureRequired || !keys.isEmpty(); }
    QStringList files() const;
};

enum class SignatureStatus {
    Trusted,               // signed by a trusted key, file and trusted comment unchanged
    NoTrustedKey,          // a signature is required, but no key is configured
    Unsigned,              // no signature file next to the upgrade file
    Malformed,             // the signature file is not a minisign signature
    UntrustedKey,          // signed by a key that is not trusted
    Mismatch,              // the file's bytes are not the ones that were signed
    TrustedCommentChanged, // the global signature does not cover this trusted comment
};

struct SignatureCheck {
    SignatureStatus status = SignatureStatus::Unsigned;
    QString keyId;          // of the signature, once it could be read; else null
    QString trustedComment; // likewise
    QString detail;         // why a signature file is unreadable or malformed

    bool trusted() const { return status == SignatureStatus::Trusted; }
};

// The signature file minisign writes for an upgrade file: FILE.minisig.
QString signatureFileName(const QString &upgradeFileName);

// Checks `signature` (a .minisig file's text) over `fileBytes` against the trusted keys.
SignatureCheck checkMinisignSignature(const QByteArray &fileBytes, const QByteArray &signature,
                                      const QList<MinisignPublicKey> &keys);

// Checks the signature file next to the upgrade file over `fileBytes`: the bytes read once, the
// very ones that are programmed, never a second read of the path.
SignatureCheck checkUpgradeFileSignature(const QByteArray &fileBytes,
                                         const QString &upgradeFileName, const TrustedKeys &keys);

// The operator's words: "signed by KEYID: comment", or why the file is refused.
QString signatureCheckText(const SignatureCheck &check, const QString &upgradeFileName);
