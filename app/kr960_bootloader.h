#pragma once

#include "app/remembered_inputs.h"

#include <QMainWindow>

class USBKR960;
class Upgrader;
struct BuildResult;

namespace Ui
{
class KR960_BootloaderClass;
}

// The main window: owns the device object and the upgrade worker and wires the command buttons
// to the slots below. The slots live beside it in app/, a *_slots.cpp file per subsystem; each
// asks (dialogs), calls the core and reports.
class KR960_Bootloader : public QMainWindow
{
    Q_OBJECT

public:
    explicit KR960_Bootloader(QWidget *parent = nullptr);
    ~KR960_Bootloader() override;

    // The worker that programs the device; it outlives the window.
    Upgrader *upgradeWorker() const { return upgrader; }

public slots:
    void slotpushButtonConnect(bool t);            // app/connection_slots.cpp
    void slotpushButtonDisconnect(bool t);         // app/connection_slots.cpp
    void slotpushButtonRead(bool t);               // app/memory_slots.cpp
    void slotpushButtonWrite(bool t);              // app/memory_slots.cpp
    void slotpushButtonWritePage(bool t);          // app/memory_slots.cpp
    void slotpushButtonFirmware(bool t);           // app/firmware_slots.cpp
    void slotpushButtonWriteExtFlashBin(bool t);   // app/external_flash_slots.cpp
    void slotpushButtonRunApplication(bool t);     // app/connection_slots.cpp
    void slotpushButtonWriteExternalFlash(bool t); // app/external_flash_slots.cpp
    void slotpushButtonReadExternalFlash(bool t);  // app/external_flash_slots.cpp
    void slotpushButtonCreateUpg(bool t);          // app/firmware_slots.cpp
    void slotpushButtonCreateBootBin(bool t);      // app/boot_image_slots.cpp
    void slotTimeout();                            // app/connection_slots.cpp

private:
    void hideServiceWidgets();
    void connectButtons();
    // The worker is never deleted: it lives until the process ends, past the window.
    void createWorker();
    void connectProgress();

    bool upgradeRunning() const;
    // While an upgrade runs the device belongs to the worker: device commands, after their own
    // trace line, log "Upgrade in progress" and leave it alone.
    bool refuseWhileUpgrading();

    // A failed CreateUpg or CreateBootBin: a HEX error goes to the log and a box, a wrong brand to
    // the log, a file that cannot be written to a box.
    void reportBuildFailure(const BuildResult &result);

    // The last inputs of the service dialogs, offered again next time.
    MemoryCommandInputs memoryInputs;
    ExternalFlashInputs externalFlashInputs;

    USBKR960 *usb = nullptr;
    Upgrader *upgrader = nullptr;
    Ui::KR960_BootloaderClass *ui = nullptr;
};
