// mv604-cli check-signature: who signed an upgrade file, and whether this station trusts it.

#include "cli/cli_support.h"
#include "cli/commands.h"
#include "cli/signature_options.h"

#include "files/file_io.h"
#include "upgrade/upgrade_signature.h"

#include <QFileInfo>

// Prints the key id, the trusted comment and "trusted", or why not; exit 0 only when trusted.
int runCheckSignatureCommand(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.addPositionalArgument("FILE.upg",
                                 "The upgrade file; its signature is FILE.upg.minisig.");
    parseCommandLine(parser, arguments,
                     "Checks the minisign signature of an upgrade file against the trusted keys "
                     "(/etc/mv604/keys.d/, MV604_TRUSTED_KEYS, --trusted-key).");
    const QString fileName = requirePositionals(parser, {"FILE.upg"}).at(0);
    if (!QFileInfo(fileName).isFile())
        failOperation(QString("cannot open %1: not a regular file").arg(fileName));
    QByteArray bytes;
    QString error;
    if (!readWholeFile(fileName, &bytes, &error))
        failOperation(QString("cannot open %1: %2").arg(fileName, error));

    const SignatureCheck check = checkUpgradeFileSignature(bytes, fileName, trustedKeysOrFail());
    if (!check.keyId.isNull()) {
        printLine(QString("key id: %1").arg(check.keyId));
        printLine(QString("trusted comment: %1").arg(check.trustedComment));
    }
    if (check.trusted()) {
        printLine("trusted");
        return ExitOk;
    }
    printLine(QString("not trusted: %1").arg(signatureCheckText(check, fileName)));
    return ExitFailed;
}
