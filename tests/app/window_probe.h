#pragma once

// Reaches the form's widgets of a KR960_Bootloader by their object names, as a user finds them.

#include "app/kr960_bootloader.h"

#include <QGridLayout>
#include <QProgressBar>
#include <QPushButton>
#include <QTextBrowser>

inline QPushButton *button(const KR960_Bootloader &window, const QString &name)
{
    return window.findChild<QPushButton *>(name);
}

inline QProgressBar *progressBar(const KR960_Bootloader &window, const QString &name)
{
    return window.findChild<QProgressBar *>(name);
}

inline QTextBrowser *logOf(const KR960_Bootloader &window)
{
    return window.findChild<QTextBrowser *>(QStringLiteral("txt"));
}

inline QStringList logLines(const KR960_Bootloader &window)
{
    const QString text = logOf(window)->toPlainText();
    return text.isEmpty() ? QStringList() : text.split(QLatin1Char('\n'));
}

// The button column, in form order.
inline const QStringList &allButtonNames()
{
    static const QStringList names{"pushButtonConnect",
                                   "pushButtonDisconnect",
                                   "pushButtonRead",
                                   "pushButtonWrite",
                                   "pushButtonWritePage",
                                   "pushButtonFirmware",
                                   "pushButtonWriteExtFlashBin",
                                   "pushButtonRunApplication",
                                   "pushButtonWriteExternalFlash",
                                   "pushButtonReadExternalFlash",
                                   "pushButtonCreateUpg",
                                   "pushButtonCreateBootBin"};
    return names;
}
