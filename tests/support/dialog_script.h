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
#include <QComboBox>
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
        timer.setInterval(5);
        QObject::connect(&timer, &QTimer::timeout, this, [this] { poll(); });
        timer.start();
    }

    DialogScript &answerText(const QString &text)
    {
        return then([text](QWidget *w) {
            auto *d = qobject_cast<QInputDialog *>(w);
            d->setTextValue(text);
            d->accept();
        });
    }
    DialogScript &answerInt(int value)
    {
        return then([value](QWidget *w) {
            auto *d = qobject_cast<QInputDialog *>(w);
            d->setIntValue(value);
            d->accept();
        });
    }
    // Picks an item of a list dialog by its text.
    DialogScript &answerItem(const QString &item)
    {
        return then([item](QWidget *w) {
            auto *d = qobject_cast<QInputDialog *>(w);
            d->setTextValue(item);
            d->accept();
        });
    }
    // Accepts whatever the dialog offers (a list's preselected item, an int's default).
    DialogScript &acceptDefault()
    {
        return then([](QWidget *w) { qobject_cast<QDialog *>(w)->accept(); });
    }
    DialogScript &chooseFile(const QString &path) { return then(::chooseFile(path)); }
    DialogScript &cancel()
    {
        return then([](QWidget *w) { qobject_cast<QDialog *>(w)->reject(); });
    }
    // Closes a message box with its (only) button.
    DialogScript &acknowledge()
    {
        return then([](QWidget *w) { qobject_cast<QDialog *>(w)->accept(); });
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
        auto step = steps.takeFirst();
        step(modal);
    }

    static SeenDialog describe(QWidget *w)
    {
        SeenDialog seen;
        seen.title = w->windowTitle();
        if (auto *d = qobject_cast<QInputDialog *>(w)) {
            seen.label = d->labelText();
            if (d->inputMode() == QInputDialog::IntInput) {
                seen.kind = "int";
                seen.offered = {{"value", d->intValue()},
                                {"minimum", d->intMinimum()},
                                {"maximum", d->intMaximum()},
                                {"step", d->intStep()}};
            } else if (!d->comboBoxItems().isEmpty()) {
                seen.kind = "item";
                seen.offered = {{"items", d->comboBoxItems()},
                                {"value", d->textValue()},
                                {"editable", d->isComboBoxEditable()}};
            } else {
                seen.kind = "text";
                seen.offered = {{"value", d->textValue()}};
            }
        } else if (auto *d = qobject_cast<QFileDialog *>(w)) {
            seen.kind = "file";
            seen.offered = {{"directory", d->directory().absolutePath()},
                            {"filters", d->nameFilters()},
                            {"save", d->acceptMode() == QFileDialog::AcceptSave}};
        } else if (auto *d = qobject_cast<QMessageBox *>(w)) {
            seen.kind = "message";
            seen.label = d->text();
            seen.offered = {{"icon", int(d->icon())}};
        }
        return seen;
    }

    QTimer timer;
    QList<std::function<void(QWidget *)>> steps;
    QList<SeenDialog> dialogs;
    QPointer<QWidget> handled;
    int unexpected = 0;
};
