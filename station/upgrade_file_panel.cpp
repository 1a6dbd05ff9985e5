#include "station/upgrade_file_panel.h"

#include "upgrade/upgrade_file.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QSettings>
#include <QVBoxLayout>

namespace
{

const char *const RememberedFile = "station/upgradeFile";

QString checksumText(const std::optional<quint32> &checksum)
{
    return checksum ? QStringLiteral("0x%1").arg(*checksum, 8, 16, QLatin1Char('0'))
                    : QStringLiteral("-");
}

// Twelve hexadecimal digits tell one build from another at a glance; the log keeps all 64.
QString factsText(const UpgradeFileFacts &facts)
{
    return UpgradeFilePanel::tr("SHA-256 %1   application checksum %2   upper checksum %3")
        .arg(QString::fromLatin1(facts.sha256.left(12)), checksumText(facts.applicationChecksum),
             checksumText(facts.upperChecksum));
}

// In the words the core gives to a station that refuses the file.
QString problemText(const QString &path, const LoadedUpgradeFile &file)
{
    return file.openError.isEmpty()
               ? upgradeFileStatusText(file.status)
               : UpgradeFilePanel::tr("cannot open %1: %2").arg(path, file.openError);
}

} // namespace

UpgradeFilePanel::UpgradeFilePanel(QWidget *parent)
    : QWidget(parent), name(new QLabel(tr("No upgrade file chosen"), this)),
      facts(new QLabel(this)), signature(new QLabel(this)),
      chooseButton(new QPushButton(tr("Choose File..."), this))
{
    name->setObjectName("fileName");
    facts->setObjectName("fileFacts");
    facts->setTextInteractionFlags(Qt::TextSelectableByMouse);
    signature->setObjectName("fileSignature");
    signature->setTextInteractionFlags(Qt::TextSelectableByMouse);
    signature->hide();
    QFont bold = name->font();
    bold.setBold(true);
    bold.setPointSizeF(bold.pointSizeF() * 1.3);
    name->setFont(bold);
    chooseButton->setObjectName("chooseFile");
    auto *text = new QVBoxLayout;
    text->addWidget(name);
    text->addWidget(facts);
    text->addWidget(signature);
    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addLayout(text, 1);
    layout->addWidget(chooseButton);
    connect(chooseButton, &QPushButton::clicked, this, &UpgradeFilePanel::askForFile);

    const QString remembered = QSettings().value(RememberedFile).toString();
    if (!remembered.isEmpty())
        choose(remembered);
}

bool UpgradeFilePanel::choose(const QString &path)
{
    chosen = QFileInfo(path).absoluteFilePath();
    QSettings().setValue(RememberedFile, chosen);
    const LoadedUpgradeFile file = loadUpgradeFile(chosen);
    isUsable = file.status == UpgradeFileStatus::Ok;
    name->setText(QFileInfo(chosen).fileName());
    facts->setText(isUsable ? factsText(file.facts) : problemText(chosen, file));
    facts->setStyleSheet(isUsable ? QString() : QStringLiteral("color: #c62828"));
    showSignature(file);
    emit changed();
    return isUsable;
}

// "signed by KEYID: trusted comment", or in red why the station refuses the file. The check is
// the station's own at its start; this one tells the operator before they press Start.
void UpgradeFilePanel::showSignature(const LoadedUpgradeFile &file)
{
    signature->setVisible(trustedKeys.policyActive() && file.openError.isEmpty());
    if (signature->isHidden())
        return;
    const SignatureCheck check = checkUpgradeFileSignature(file.bytes, chosen, trustedKeys);
    isUsable = isUsable && check.trusted();
    signature->setText(signatureCheckText(check, chosen));
    signature->setStyleSheet(check.trusted() ? QString() : QStringLiteral("color: #c62828"));
}

void UpgradeFilePanel::setTrustedKeys(const TrustedKeys &keys)
{
    trustedKeys = keys;
    if (!chosen.isEmpty())
        choose(chosen);
}

void UpgradeFilePanel::setChoosable(bool choosable)
{
    chooseButton->setEnabled(choosable);
}

void UpgradeFilePanel::askForFile()
{
    const QString path =
        QFileDialog::getOpenFileName(this, tr("Choose the upgrade file"), QFileInfo(chosen).path(),
                                     tr("Upgrade files (*.upg);;All files (*)"));
    if (!path.isEmpty())
        choose(path);
}
