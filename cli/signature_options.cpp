#include "cli/signature_options.h"

#include "cli/cli_support.h"

#include <optional>

namespace
{

QStringList keyFiles;
bool signatureRequired = false;

// The values of these options are skipped while looking for ours.
bool takesValue(const QString &option)
{
    return option == "--serial" || option == "--port" || option == "--trusted-key";
}

} // namespace

void takeSignatureOptions(QStringList &arguments)
{
    for (int i = 1; i < arguments.size() && arguments.at(i).startsWith("--");) {
        const QString option = arguments.at(i);
        if (option == "--require-signature") {
            signatureRequired = true;
            arguments.removeAt(i);
        } else if (option.startsWith("--trusted-key=")) {
            keyFiles.append(option.mid(int(qstrlen("--trusted-key="))));
            arguments.removeAt(i);
        } else if (option == "--trusted-key") {
            if (i + 1 >= arguments.size() || arguments.at(i + 1).isEmpty())
                failUsage("--trusted-key needs a public key file");
            keyFiles.append(arguments.at(i + 1));
            arguments.remove(i, 2);
        } else {
            i += takesValue(option) ? 2 : 1;
        }
    }
    for (const QString &file : keyFiles)
        if (file.isEmpty())
            failUsage("--trusted-key needs a public key file");
}

const TrustedKeys &trustedKeysOrFail()
{
    static std::optional<TrustedKeys> keys;
    if (!keys) {
        TrustedKeys loaded;
        QString error;
        if (!loadTrustedKeys(keyFiles, signatureRequired, &loaded, &error))
            failOperation(error);
        keys = loaded;
    }
    return *keys;
}

LoadedUpgradeFile loadCheckedUpgradeFile(const QString &fileName, QString *refusal)
{
    LoadedUpgradeFile file = loadUpgradeFile(fileName);
    const TrustedKeys &keys = trustedKeysOrFail();
    // A file that cannot be read is refused by the upgrade itself; one that can is checked first:
    // a file that is not trusted is refused whatever else is wrong with it.
    if (!keys.policyActive() || !file.openError.isEmpty())
        return file;
    const SignatureCheck check = checkUpgradeFileSignature(file.bytes, fileName, keys);
    if (!check.trusted()) {
        *refusal = signatureCheckText(check, fileName);
        return file;
    }
    file.facts.signingKeyId = check.keyId;
    file.facts.trustedComment = check.trustedComment;
    return file;
}
