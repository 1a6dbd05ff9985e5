#include "station/upgrade_file_panel.h"

#include "upgrade/upgrade_file.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace
{

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

} // namespace

UpgradeFilePanel::UpgradeFilePanel(QWidget *parent)
    : QWidget(parent), name(new QLabel(tr("No upgrade file chosen"), this)),
      facts(new QLabel(this)), signature(new QLabel(this)),
      chooseButton(new QPushButton(tr("Choose File..."), this)),
      reloadButton(new QPushButton(tr("Reload"), this))
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
    reloadButton->setObjectName("reload");
    reloadButton->setToolTip(tr("Check the file on disk again and program it from now on"));
    reloadButton->hide();
    auto *text = new QVBoxLayout;
    text->addWidget(name);
    text->addWidget(facts);
    text->addWidget(signature);
    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addLayout(text, 1);
    layout->addWidget(reloadButton);
    layout->addWidget(chooseButton);
    connect(chooseButton, &QPushButton::clicked, this, &UpgradeFilePanel::askForFile);
    connect(reloadButton, &QPushButton::clicked, this, &UpgradeFilePanel::reloadAsked);
}

void UpgradeFilePanel::showAccepted(const QString &path, const UpgradeFileFacts &fileFacts)
{
    chosen = path;
    name->setText(QFileInfo(path).fileName());
    facts->setText(factsText(fileFacts));
    facts->setStyleSheet(QString());
    // Who signed it, when the station checks signatures: "signed by KEYID: trusted comment".
    signature->setVisible(!fileFacts.signingKeyId.isEmpty());
    signature->setText(signatureCheckText(
        {SignatureStatus::Trusted, fileFacts.signingKeyId, fileFacts.trustedComment, {}}, path));
    reloadButton->hide();
}

void UpgradeFilePanel::showRefused(const QString &path, const QString &reason)
{
    name->setText(QFileInfo(path).fileName());
    facts->setText(reason);
    facts->setStyleSheet(QStringLiteral("color: #c62828"));
    signature->hide();
}

void UpgradeFilePanel::showChangedOnDisk()
{
    reloadButton->show();
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
        emit fileChosen(path);
}
