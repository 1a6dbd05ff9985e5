#pragma once

#include "upgrade/upgrade_signature.h"

#include <QWidget>

class QLabel;
struct LoadedUpgradeFile;
class QPushButton;

// The upgrade file a station programs: chosen in a file dialog, shown with what tells it from
// another (its name, the start of its SHA-256, both checksums) or with the core's reason why it
// cannot be programmed, and remembered for the next start.
class UpgradeFilePanel : public QWidget
{
    Q_OBJECT

public:
    explicit UpgradeFilePanel(QWidget *parent = nullptr);

    // Reads the file and remembers it; false, with the reason shown, when it is unusable.
    bool choose(const QString &path);
    QString path() const { return chosen; }
    bool usable() const { return isUsable; }
    // A running station keeps its file.
    void setChoosable(bool choosable);
    // With a trusted key (or a signature required) only a file signed by one is usable; the
    // chosen file is checked again.
    void setTrustedKeys(const TrustedKeys &keys);

signals:
    void changed();

private:
    void askForFile();

    void showSignature(const LoadedUpgradeFile &file);

    QString chosen;
    bool isUsable = false;
    TrustedKeys trustedKeys;
    QLabel *name;
    QLabel *facts;
    QLabel *signature;
    QPushButton *chooseButton;
};
