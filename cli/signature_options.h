#pragma once

#include "upgrade/trusted_keys.h"
#include "upgrade/upgrade_file.h"

#include <QStringList>

// `--trusted-key FILE` (repeatable) and `--require-signature` stand before the command word, like
// --serial; they count for every command that writes a board.

// Takes both options from before the command word.
void takeSignatureOptions(QStringList &arguments);
// The trusted keys: those of /etc/mv604/keys.d/, MV604_TRUSTED_KEYS and --trusted-key, read on
// first use. A key file that cannot be used fails the command, naming the file.
const TrustedKeys &trustedKeysOrFail();

// Reads the upgrade file once and, when a trusted key is configured or a signature required,
// checks its signature on those bytes, before any request to a board. `refusal` receives why the
// file must not be programmed, in its own words; the facts of a trusted file carry its key id
// and trusted comment. A file that cannot be read is left to the upgrade to refuse.
LoadedUpgradeFile loadCheckedUpgradeFile(const QString &fileName, QString *refusal);
