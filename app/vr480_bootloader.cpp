#include "app/vr480_bootloader.h"

#include "app/vr480_bootloaderclass.h"
#include "upgrade/upgrader.h"
#include "usb/usbvr480.h"

#include <QDebug>
#include <QFile>
#include <QFileDialog>
#include <QProgressBar>
#include <QPushButton>
#include <QTextBrowser>

#include <cstdlib>

VR480_Bootloader::VR480_Bootloader(QWidget *parent)
    : QMainWindow(parent)
    , ui(new VR480_BootloaderClass)
{
    ui->setupUi(this);
    qDebug("MY_DEBUG");

    for (QPushButton *button :
         {ui->pushButtonRead, ui->pushButtonReadExternalFlash, ui->pushButtonWrite,
          ui->pushButtonWriteExternalFlash, ui->pushButtonWriteExtFlashBin, ui->pushButtonWritePage,
          ui->pushButtonConnect, ui->pushButtonDisconnect, ui->pushButtonCreateBootBin,
          ui->pushButtonCreateUpg, ui->pushButtonRunApplication})
        button->hide();

    usb = new USBVR480();

    connect(ui->pushButtonConnect, &QPushButton::clicked, this,
            &VR480_Bootloader::slotpushButtonConnect);
    connect(ui->pushButtonDisconnect, &QPushButton::clicked, this,
            &VR480_Bootloader::slotpushButtonDisconnect);
    connect(ui->pushButtonFirmware, &QPushButton::clicked, this,
            &VR480_Bootloader::slotpushButtonFirmware);
    connect(ui->pushButtonRunApplication, &QPushButton::clicked, this,
            &VR480_Bootloader::slotpushButtonRunApplication);

    upgrader = new Upgrader(usb);
    connect(upgrader, &Upgrader::sendText, ui->txt, &QTextBrowser::append);
    connect(upgrader, &Upgrader::sendPercent, ui->progressBarFlash, &QProgressBar::setValue);
    connect(usb, &USBVR480::sendPercentExtFlashWrite, ui->progressBarExtFlashWr,
            &QProgressBar::setValue);
    connect(usb, &USBVR480::sendPercentExtFlashRead, ui->progressBarExtFlashRd,
            &QProgressBar::setValue);
}

VR480_Bootloader::~VR480_Bootloader()
{
    // An upgrade still running stops at its next page or transfer, leaving the
    // device in its bootloader; only then may the device object go.
    if (upgrader) {
        upgrader->requestInterruption();
        upgrader->wait();
        delete upgrader;
    }
    delete usb;
    delete ui;
}

void VR480_Bootloader::slotpushButtonConnect(bool)
{
    qDebug("VR480_Bootloader::slotpushButtonConnect(bool t)");
    if (usb->connect() == 0) {
        qDebug("Connect OK");
        ui->txt->append(QStringLiteral("Connect OK"));
    } else {
        qDebug("Connect ERROR");
        ui->txt->append(QStringLiteral("Connect ERROR"));
    }
}

void VR480_Bootloader::slotpushButtonDisconnect(bool)
{
    usb->disconnect();
    qDebug("VR480_Bootloader::slotpushButtonDisconnect(bool t)");
    ui->txt->clear();

    // A random permutation of 351..541 from the C library's unseeded generator;
    // each accepted value goes to dane.csv and, with its raw draw, to the log.
    QFile file(QStringLiteral("dane.csv"));
    const bool saving = file.open(QIODevice::WriteOnly | QIODevice::Truncate);
    constexpr int kCount = 191;
    constexpr int kFirst = 351;
    bool taken[kCount] = {};
    for (int i = 0; i < kCount; ++i) {
        int r = 0;
        int v = 0;
        do {
            r = std::rand();
            v = r % kCount + kFirst;
        } while (taken[v - kFirst]);
        taken[v - kFirst] = true;
        if (saving)
            file.write(QByteArray::number(v) + ',');
        ui->txt->append(QStringLiteral("%0 -> %1").arg(r).arg(v));
    }
    if (saving)
        file.write(";");
}

void VR480_Bootloader::slotpushButtonFirmware(bool)
{
    qDebug("Vr306_bootloader::slotpushButtonCHF(bool t)");
    if (!upgrader)
        return;
    ui->progressBarFlash->setValue(0);
    ui->progressBarExtFlashWr->setValue(0);
    ui->progressBarExtFlashRd->setValue(0);
    const QString path = QFileDialog::getOpenFileName(nullptr, tr("Open File"), QStringLiteral("."),
                                                      tr("Upg (*.upg)"));
    // A run already in progress keeps its file; the name counts for the next one.
    upgrader->slotSetFileName(path);
    upgrader->start();
}

void VR480_Bootloader::slotpushButtonRunApplication(bool)
{
    usb->RunApplication();
    usb->disconnect();
    usb->connect();
}

void VR480_Bootloader::slotTimeout()
{
    qDebug("VR480_Bootloader::slotTimeout(void)");
}
