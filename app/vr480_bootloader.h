#pragma once

#include <QMainWindow>

class USBVR480;
class Upgrader;
struct VR480_BootloaderClass;

// The single main window. Only "Change Firmware" is shown; the engineering
// and production buttons are hidden but stay wired to their slots.
class VR480_Bootloader : public QMainWindow {
    Q_OBJECT

public:
    explicit VR480_Bootloader(QWidget *parent = nullptr);
    ~VR480_Bootloader() override;

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
    void slotTimeout();

private:
    USBVR480 *usb = nullptr;
    Upgrader *upgrader = nullptr;
    VR480_BootloaderClass *ui = nullptr;
};
