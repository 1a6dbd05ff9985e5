#pragma once

// Answers the real modal dialogs a command opens, in order, as an operator would: a queue of
// answers, each applied to the next modal widget that appears. Every dialog seen is recorded as
// "kind|title|label|offers", so tests can assert on titles, labels, defaults and ranges.

#include <QApplication>
#include <QFileDialog>
#include <QInputDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QTimer>
#include <functional>

class DialogScript : public QObject
{
public:
    // One answer per dialog: "text:T", "int:N", "file:PATH", "cancel", or "ok" to accept what is
    // offered (a list's preselected item, an int's default, a message box's only button).
    explicit DialogScript(const QStringList &answers = {})
    {
        connect(&timer, &QTimer::timeout, this, [this] { poll(); });
        timer.start(5);
        for (const QString &answer : answers)
            then(step(answer));
    }
    DialogScript &then(std::function<void(QWidget *)> step)
    {
        steps.append(std::move(step));
        return *this;
    }

    // Picks a file in a real QFileDialog as an operator typing its path would. selectFile() alone
    // is not enough: it leaves the name field alone while that field has the focus, and the dialog
    // then accepts nothing. The choice is repeated until the dialog has closed.
    static void chooseFile(QPointer<QFileDialog> dialog, const QString &path)
    {
        if (!dialog || !dialog->isVisible())
            return;
        dialog->selectFile(path);
        if (auto *name = dialog->findChild<QLineEdit *>("fileNameEdit"))
            name->setText(path);
        static_cast<QDialog *>(dialog.data())->accept();
        if (dialog && dialog->isVisible())
            QTimer::singleShot(10, [dialog, path] { chooseFile(dialog, path); });
    }

    // True when every queued answer was used and no unexpected dialog appeared.
    bool done() const { return steps.isEmpty() && unexpected == 0; }
    int unexpectedDialogs() const { return unexpected; }
    const QStringList &seen() const { return dialogs; }

private:
    static std::function<void(QWidget *)> step(const QString &answer)
    {
        const QString value = answer.mid(answer.indexOf(':') + 1);
        return [answer, value](QWidget *w) {
            if (answer.startsWith("file:"))
                return chooseFile(qobject_cast<QFileDialog *>(w), value);
            auto *d = qobject_cast<QInputDialog *>(w);
            if (d && answer.startsWith("text:"))
                d->setTextValue(value);
            else if (d && answer.startsWith("int:"))
                d->setIntValue(value.toInt());
            // A file dialog accepts only a file: any other answer closes it, never hangs on it.
            answer == "cancel" || qobject_cast<QFileDialog *>(w)
                ? qobject_cast<QDialog *>(w)->reject()
                : qobject_cast<QDialog *>(w)->accept();
        };
    }

    void poll()
    {
        QWidget *modal = QApplication::activeModalWidget();
        if (!modal || modal == handled || !modal->isVisible())
            return;
        handled = modal;
        dialogs.append(describe(modal));
        if (steps.isEmpty()) {
            ++unexpected;
            if (auto *d = qobject_cast<QDialog *>(modal))
                d->reject();
            return;
        }
        steps.takeFirst()(modal);
    }

    // An int dialog offers value|minimum|maximum, a list its item count|preselected item, a text
    // its value, a file dialog its filters (the folder it opens depends on the platform).
    static QString describe(QWidget *w)
    {
        const QString title = w->windowTitle();
        auto *d = qobject_cast<QInputDialog *>(w);
        QStringList seen{"other", title};
        if (auto *box = qobject_cast<QMessageBox *>(w))
            seen = QStringList{"message", title, box->text()};
        else if (auto *file = qobject_cast<QFileDialog *>(w))
            seen = QStringList{"file", title, "", file->nameFilters().join(';')};
        else if (d && d->inputMode() == QInputDialog::IntInput)
            seen = QStringList{"int", title, d->labelText()} << QString::number(d->intValue())
                                                             << QString::number(d->intMinimum())
                                                             << QString::number(d->intMaximum());
        else if (d && !d->comboBoxItems().isEmpty())
            seen = QStringList{"item", title, d->labelText()}
                   << QString::number(d->comboBoxItems().size()) << d->textValue();
        else if (d)
            seen = QStringList{"text", title, d->labelText(), d->textValue()};
        return seen.join('|');
    }

    QTimer timer;
    QList<std::function<void(QWidget *)>> steps;
    QStringList dialogs;
    QPointer<QWidget> handled;
    int unexpected = 0;
};
