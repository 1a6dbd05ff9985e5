#pragma once

#include <QMainWindow>

class USBKR960;
class Upgrader;

namespace Ui
{
class KR960_BootloaderClass;
}

// The main window: owns the device object and the upgrade worker and wires the command buttons
// to the slots below. The slots live in the folders of their subsystems.
class KR960_Bootloader : public QMainWindow
{
    Q_OBJECT

public:
    explicit KR960_Bootloader(QWidget *parent = nullptr);
    ~KR960_Bootloader() override;

    // The worker that programs the device; it outlives the window.
    Upgrader *upgradeWorker() const { return upgrader; }

public slots:
    void slotpushButtonConnect(bool t);
    void slotpushButtonDisconnect(bool t);
    void slotpushButtonRead(bool t);
    void slotpushButtonWrite(bool t);
    void slotpushButtonWritePage(bool t);
    void slotpushButtonFirmware(bool t);
    void slotpushButtonWriteExtFlashBin(bool t);
    void slotpushButtonRunApplication(bool t);
    void slotpushButtonWriteExternalFlash(bool t);
    void slotpushButtonReadExternalFlash(bool t);
    void slotpushButtonCreateUpg(bool t);
    void slotpushButtonCreateBootBin(bool t);
    void slotTimeout();

private:
    void hideServiceWidgets();
    void connectButtons();
    // The worker is never deleted: it lives until the process ends, past the window.
    void createWorker();
    void connectProgress();

    // While an upgrade runs the device belongs to the worker: device commands log
    // "Upgrade in progress" and leave it alone.
    bool refuseWhileUpgrading();

    USBKR960 *usb = nullptr;
    Upgrader *upgrader = nullptr;
    Ui::KR960_BootloaderClass *ui = nullptr;
};
