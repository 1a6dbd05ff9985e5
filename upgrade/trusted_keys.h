#pragma once

#include "upgrade/upgrade_signature.h"

#include <QStringList>

// Where a station's trusted minisign public keys come from: every *.pub file in
// /etc/mv604/keys.d/, in the folder named by MV604_TRUSTED_KEYS, and each file given with
// --trusted-key. A key file that cannot be read or parsed is an error that names it: skipping
// it would quietly turn the check off, or leave a release manager's new key unused.
namespace TrustedKeyFolders
{
inline const QString System = QStringLiteral("/etc/mv604/keys.d");
inline const char *const Variable = "MV604_TRUSTED_KEYS";
} // namespace TrustedKeyFolders

// False, with the reason naming the file or folder, when a key cannot be used. A missing system
// folder is no error; a folder named by the variable that is missing or empty-named is.
bool loadTrustedKeys(const QStringList &keyFiles, bool signatureRequired, TrustedKeys *keys,
                     QString *error);
