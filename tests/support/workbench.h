#pragma once

// What the window and device tests stand on: simulated KR960s on a bus served to the real
// libusb, a window over them in a scratch folder, and probes for the form, its log and dumps.

#include "app/kr960_bootloader.h"
#include "device/usbkr960.h"
#include "request_log.h"
#include "sim/simulated_bus.h"
#include "upgrade/upgrade_file.h"
#include "upgrade/upgrader.h"
#include "upgrade_fixtures.h"

#include <QDir>
#include <QFile>
#include <QProgressBar>
#include <QPushButton>
#include <QScopedPointer>
#include <QTemporaryDir>
#include <QTextBrowser>
#include <QtTest>
#include <memory>
#include <vector>

using fixtures::scrambled;
using kr960sim::SimulatedBus;
using kr960sim::SimulatedKr960;

inline QPushButton *button(const QWidget &window, const QString &name)
{
    return window.findChild<QPushButton *>(name);
}
inline QProgressBar *progressBar(const QWidget &window, const QString &name)
{
    return window.findChild<QProgressBar *>(name);
}
inline QTextBrowser *logOf(const QWidget &window)
{
    return window.findChild<QTextBrowser *>(QStringLiteral("txt"));
}
inline QStringList logLines(const QWidget &window)
{
    const QString text = logOf(window)->toPlainText();
    return text.isEmpty() ? QStringList() : text.split(QLatin1Char('\n'));
}

// The bytes of a dump's data lines ("0xOOOO: hh hh ... < chars >"), in order.
inline QByteArray dumpBytes(const QString &text)
{
    QByteArray bytes;
    for (const QString &line : text.split('\n')) {
        const int colon = line.indexOf(':');
        if (line.startsWith("0x") && colon > 0 && line.mid(colon + 1 + 48, 3) == " < ")
            bytes += QByteArray::fromHex(line.mid(colon + 1, 48).simplified().toLatin1());
    }
    return bytes;
}

// A window over one simulated KR960, in a scratch folder that is the current one, so the files
// the commands write land there. Call plugIn() in initTestCase and freshWindow() in init.
class Workbench
{
protected:
    bool plugIn(const kr960sim::DeviceConfig &config = {})
    {
        if (!SimulatedBus::preloadActive() || !workDir.isValid() ||
            !QDir::setCurrent(workDir.path()))
            return false;
        bus.reset(new SimulatedBus);
        device = bus->addDevice(config);
        return true;
    }
    void freshWindow()
    {
        device->clearFaults();
        device->waitUntilPlugged(5000); // a command before may have restarted it
        device->setMode(kr960sim::Mode::Bootloader);
        device->clearRequests();
        window.reset(new KR960_Bootloader);
    }
    // Starts the window's worker on `upgradePath` and returns once it is writing pages.
    bool startUpgrade(const QString &upgradePath)
    {
        window->upgradeWorker()->slotSetFileName(upgradePath);
        window->upgradeWorker()->start();
        return QTest::qWaitFor(
            [&] { return progressBar(*window, "progressBarFlash")->value() > 0; }, 60000);
    }

    QTemporaryDir workDir;
    QScopedPointer<SimulatedBus> bus;
    std::shared_ptr<SimulatedKr960> device;
    QScopedPointer<KR960_Bootloader> window;
};
