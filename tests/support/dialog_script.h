#pragma once

// Answers the real modal dialogs a command opens, in order, as an operator would: a queue of
// answers, each applied to the next modal widget that appears. Every dialog seen is recorded
// with what it offered, so tests can assert on titles, labels, defaults and ranges.
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
#include <QVariantMap>
#include <functional>

struct SeenDialog {
    QString kind;  // "text", "int", "item", "file", "message"
    QString title; // window title
    QString label; // input label or message text
    QVariantMap offered;
};

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
    // Picks an item of a list dialog by its text.
    DialogScript &answerItem(const QString &item) { return answerText(item); }
    // Accepts what the dialog offers (a list's preselected item, an int's default); closes a
    // message box with its only button.
    DialogScript &acceptDefault()
    {
        return input([](QInputDialog *) {});
    }
    DialogScript &acknowledge() { return acceptDefault(); }
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
    const QList<SeenDialog> &seen() const { return dialogs; }

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

    static SeenDialog describe(QWidget *w)
    {
        SeenDialog seen{QString(), w->windowTitle(), QString(), {}};
        if (auto *d = qobject_cast<QInputDialog *>(w)) {
            seen.label = d->labelText();
            if (d->inputMode() == QInputDialog::IntInput)
                seen = {"int",
                        seen.title,
                        seen.label,
                        {{"value", d->intValue()},
                         {"minimum", d->intMinimum()},
                         {"maximum", d->intMaximum()},
                         {"step", d->intStep()}}};
            else if (!d->comboBoxItems().isEmpty())
                seen = {"item",
                        seen.title,
                        seen.label,
                        {{"items", d->comboBoxItems()},
                         {"value", d->textValue()},
                         {"editable", d->isComboBoxEditable()}}};
            else
                seen = {"text", seen.title, seen.label, {{"value", d->textValue()}}};
        } else if (auto *d = qobject_cast<QFileDialog *>(w)) {
            seen.kind = "file";
            seen.offered = {{"directory", d->directory().absolutePath()},
                            {"filters", d->nameFilters()},
                            {"save", d->acceptMode() == QFileDialog::AcceptSave}};
        } else if (auto *d = qobject_cast<QMessageBox *>(w)) {
            seen = {"message", seen.title, d->text(), {{"icon", int(d->icon())}}};
        }
        return seen;
    }

    QTimer timer;
    QList<std::function<void(QWidget *)>> steps;
    QList<SeenDialog> dialogs;
    QPointer<QWidget> handled;
    int unexpected = 0;
};
