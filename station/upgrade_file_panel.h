#pragma once

#include <QWidget>

class QLabel;
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

signals:
    void changed();

private:
    void askForFile();

    QString chosen;
    bool isUsable = false;
    QLabel *name;
    QLabel *facts;
    QPushButton *chooseButton;
};
