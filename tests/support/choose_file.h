#pragma once

// Picks a file in a real QFileDialog as an operator typing its path would. selectFile() alone is
// not enough: it leaves the name field alone while that field has the focus, and the dialog then
// accepts nothing. The choice is repeated until the dialog has closed.

#include <QDialog>
#include <QFileDialog>
#include <QLineEdit>
#include <QPointer>
#include <QTimer>
#include <functional>

inline void chooseFileUntilClosed(QPointer<QFileDialog> dialog, const QString &path,
                                  const std::function<void()> &afterwards)
{
    if (!dialog || !dialog->isVisible())
        return;
    dialog->selectFile(path);
    if (auto *name = dialog->findChild<QLineEdit *>("fileNameEdit"))
        name->setText(path);
    static_cast<QDialog *>(dialog.data())->accept();
    if (dialog && dialog->isVisible()) {
        QTimer::singleShot(
            10, [dialog, path, afterwards] { chooseFileUntilClosed(dialog, path, afterwards); });
        return;
    }
    if (afterwards)
        afterwards();
}

// A DialogScript step; `afterwards` runs once the dialog has taken the file.
inline std::function<void(QWidget *)> chooseFile(const QString &path,
                                                 std::function<void()> afterwards = {})
{
    return [path, afterwards](QWidget *w) {
        chooseFileUntilClosed(qobject_cast<QFileDialog *>(w), path, afterwards);
    };
}
