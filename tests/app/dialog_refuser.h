#pragma once

// Turns down every modal dialog a command opens, as an operator pressing Cancel would, and
// records what each one showed.

#include <QApplication>
#include <QDialog>
#include <QFileDialog>
#include <QInputDialog>
#include <QMessageBox>
#include <QPointer>
#include <QTimer>

class DialogRefuser : public QObject
{
public:
    DialogRefuser()
    {
        timer.setInterval(5);
        QObject::connect(&timer, &QTimer::timeout, this, [this] { poll(); });
        timer.start();
    }

    // "kind|title|label" of every dialog seen, in order.
    const QStringList &seen() const { return dialogs; }

private:
    void poll()
    {
        QWidget *modal = QApplication::activeModalWidget();
        if (!modal || modal == handled || !modal->isVisible())
            return;
        handled = modal;
        dialogs.append(describe(modal));
        if (auto *dialog = qobject_cast<QDialog *>(modal))
            dialog->reject();
    }

    static QString describe(QWidget *widget)
    {
        QString kind = QStringLiteral("other");
        QString label;
        if (auto *input = qobject_cast<QInputDialog *>(widget)) {
            kind = QStringLiteral("input");
            label = input->labelText();
        } else if (qobject_cast<QFileDialog *>(widget)) {
            kind = QStringLiteral("file");
        } else if (auto *box = qobject_cast<QMessageBox *>(widget)) {
            kind = QStringLiteral("message");
            label = box->text();
        }
        return kind + '|' + widget->windowTitle() + '|' + label;
    }

    QTimer timer;
    QStringList dialogs;
    QPointer<QWidget> handled;
};
