#pragma once

// Answers the real modal dialogs a command opens, in order, as an operator would: a queue of
// answers, each applied to the next modal widget that appears. Every dialog seen is recorded as
// "kind|title|label|offers", so tests can assert on titles, labels, defaults and ranges.
//
//   DialogScript script;
//   script.answerText("0x8000100").answerInt(3000);
//   window.slotpushButtonRead(false);
//   QVERIFY(script.done());

#include "choose_file.h"

#include <QApplication>
#include <QFileDialog>
#include <QInputDialog>
#include <QMessageBox>
#include <QPointer>
#include <QTimer>
#include <functional>

class DialogScript : public QObject
{
public:
    DialogScript()
    {
        connect(&timer, &QTimer::timeout, this, [this] { poll(); });
        timer.start(5);
    }

    DialogScript &answerText(const QString &text)
    {
        return input([text](QInputDialog *d) { d->setTextValue(text); });
    }
    DialogScript &answerInt(int value)
    {
        return input([value](QInputDialog *d) { d->setIntValue(value); });
    }
    // Accepts what the dialog offers (a list's preselected item, an int's default); closes a
    // message box with its only button.
    DialogScript &acceptDefault()
    {
        return input([](QInputDialog *) {});
    }
    DialogScript &chooseFile(const QString &path) { return then(::chooseFile(path)); }
    DialogScript &cancel()
    {
        return then([](QWidget *w) { qobject_cast<QDialog *>(w)->reject(); });
    }
    DialogScript &then(std::function<void(QWidget *)> step)
    {
        steps.append(std::move(step));
        return *this;
    }

    // True when every queued answer was used and no unexpected dialog appeared.
    bool done() const { return steps.isEmpty() && unexpected == 0; }
    int unexpectedDialogs() const { return unexpected; }
    const QStringList &seen() const { return dialogs; }

private:
    DialogScript &input(const std::function<void(QInputDialog *)> &set)
    {
        return then([set](QWidget *w) {
            if (auto *d = qobject_cast<QInputDialog *>(w))
                set(d);
            qobject_cast<QDialog *>(w)->accept();
        });
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
