#pragma once

#include <QDate>
#include <QMainWindow>

#include <functional>

class USBVR480;
namespace image {
struct FileResult;
} // namespace image
class Upgrader;
struct VR480_BootloaderClass;

// The single main window. Only "Change Firmware" is shown; the engineering
// and production buttons are hidden but stay wired to their slots.
class VR480_Bootloader : public QMainWindow {
    Q_OBJECT

public:
    explicit VR480_Bootloader(QWidget *parent = nullptr);
    ~VR480_Bootloader() override;

    // Where the production date defaults come from (today by default).
    void setDateSource(std::function<QDate()> source);

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
    // A log line and a critical "Error" box with the same text.
    void reportError(const QString &text);
    // Reports a conversion result other than 0 (as an error: `noDataText`
    // for an image without data) or an image of another brand (a log line);
    // true if the image may be used.
    bool acceptConverted(const image::FileResult &result, const QByteArray &image, int brandOffset,
                         const QString &noDataText);

    USBVR480 *usb = nullptr;
    Upgrader *upgrader = nullptr;
    VR480_BootloaderClass *ui = nullptr;
    std::function<QDate()> today = &QDate::currentDate;
};
