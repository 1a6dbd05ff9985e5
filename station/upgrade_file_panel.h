#pragma once

#include "upgrade/upgrade_signature.h"

#include <QWidget>

class QLabel;
class QPushButton;
struct UpgradeFileFacts;

// The upgrade file a station programs: chosen in a file dialog and shown with what tells it from
// another (its name, the start of its SHA-256, both checksums), or with the reason why it cannot
// be programmed. The station reads and checks the file; the panel shows what it took.
class UpgradeFilePanel : public QWidget
{
    Q_OBJECT

public:
    explicit UpgradeFilePanel(QWidget *parent = nullptr);

    void showAccepted(const QString &path, const UpgradeFileFacts &facts);
    void showRefused(const QString &path, const QString &reason);
    // The file on disk is no longer the copy the station checked: Reload takes it anew.
    void showChangedOnDisk();
    QString path() const { return chosen; }
    // A running station keeps its file.
    void setChoosable(bool choosable);

signals:
    void fileChosen(const QString &path);
    void reloadAsked();

private:
    void askForFile();

    QString chosen;
    QLabel *name;
    QLabel *facts;
    QLabel *signature;
    QPushButton *chooseButton;
    QPushButton *reloadButton;
};
