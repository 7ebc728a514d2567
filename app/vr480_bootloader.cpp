#include "vr480_bootloader.h"

#include "hexdump.h"
#include "imagebuilder.h"
#include "inputfile.h"
#include "memorymap.h"
#include "outputfiles.h"
#include "scramble.h"
#include "servicedialogs.h"
#include "servicetools.h"
#include "upgradefile.h"
#include "upgrader.h"
#include "usbvr480.h"
#include "vr480_bootloaderclass.h"

#include <QDebug>
#include <QFile>
#include <QFileDialog>
#include <QInputDialog>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTextBrowser>

#include <cstdlib>
#include <optional>

namespace {

// What the service dialogs offer again: kept for one run of the program, never saved.
quint32 readAddress = 0x08000000;
qint32 readLength = 256;
qint32 fillPattern = 0;
quint32 extReadAddress = 0;
qint32 extReadLength = 512;
quint32 extWriteAddress = 0;
qint32 extWriteLength = 1;
quint32 extFillValue = 1;

constexpr quint32 kPageWriteAddress = 0x08005000;
constexpr int kTestBlockRequest = 2;
constexpr int kTestBlockSize = 512;

} // namespace

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
    connect(ui->pushButtonRead, &QPushButton::clicked, this, &VR480_Bootloader::slotpushButtonRead);
    connect(ui->pushButtonWrite, &QPushButton::clicked, this, &VR480_Bootloader::slotpushButtonWrite);
    connect(ui->pushButtonWritePage, &QPushButton::clicked, this,
            &VR480_Bootloader::slotpushButtonWritePage);
    connect(ui->pushButtonFirmware, &QPushButton::clicked, this,
            &VR480_Bootloader::slotpushButtonFirmware);
    connect(ui->pushButtonRunApplication, &QPushButton::clicked, this,
            &VR480_Bootloader::slotpushButtonRunApplication);
    connect(ui->pushButtonReadExternalFlash, &QPushButton::clicked, this,
            &VR480_Bootloader::slotpushButtonReadExternalFlash);
    connect(ui->pushButtonWriteExternalFlash, &QPushButton::clicked, this,
            &VR480_Bootloader::slotpushButtonWriteExternalFlash);
    connect(ui->pushButtonWriteExtFlashBin, &QPushButton::clicked, this,
            &VR480_Bootloader::slotpushButtonWriteExtFlashBin);
    connect(ui->pushButtonCreateUpg, &QPushButton::clicked, this,
            &VR480_Bootloader::slotpushButtonCreateUpg);
    connect(ui->pushButtonCreateBootBin, &QPushButton::clicked, this,
            &VR480_Bootloader::slotpushButtonCreateBootBin);

    upgrader = new Upgrader(usb);
    upgrader->setPlan({}); // the window's run: says so when the new application does not start
    upgrader->showOn(this, [this](const QString &text) { ui->txt->append(text); },
                     [this](Upgrader::Bar bar, int percent) {
                         QProgressBar *shown = bar == Upgrader::Bar::Flash ? ui->progressBarFlash
                                             : bar == Upgrader::Bar::ExternalFlashWrite ? ui->progressBarExtFlashWr
                                                                                         : ui->progressBarExtFlashRd;
                         shown->setValue(percent);
                     });
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

void VR480_Bootloader::setDateSource(std::function<QDate()> source)
{
    today = std::move(source);
}

void VR480_Bootloader::reportError(const QString &text)
{
    ui->txt->append(text);
    QMessageBox::critical(this, tr("Error"), text);
}

bool VR480_Bootloader::acceptConverted(const image::FileResult &result, const QByteArray &image, int brandOffset,
                                       const QString &noDataText)
{
    if (result.status == image::FileStatus::NoData) {
        reportError(noDataText);
        return false;
    }
    if (!result.ok()) {
        reportError(tr("HexToBin error: %1)").arg(result.hexCode));
        return false;
    }
    if (ImageBuilder::hasForeignBrand(image, brandOffset)) {
        ui->txt->append(QStringLiteral("Err: Invalid brand!"));
        return false;
    }
    return true;
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

void VR480_Bootloader::slotpushButtonRead(bool)
{
    qDebug("VR480_Bootloader::slotpushButtonRead(bool t)");
    QString text;
    if (!app::askHexText(this, tr("Read From Vr480"), tr("Address (hex)"), readAddress, text)
        || !app::askLength(this, tr("Read From Vr480"), readLength)
        || !app::convertHexText(this, text, readAddress))
        return;
    app::showRead(ui->txt, ServiceTools::readMemory(*usb, readAddress, readLength));
}

void VR480_Bootloader::slotpushButtonWrite(bool)
{
    qDebug("VR480_Bootloader::slotpushButtonWrite(bool t)");
    QByteArray block(kTestBlockSize, '\0');
    for (int i = 0; i < kTestBlockSize; ++i)
        block[i] = char(i);
    if (usb->control_send(kTestBlockRequest, 0, 0, block.constData(), kTestBlockSize) == kTestBlockSize)
        qDebug() << HexDump(block.constData(), kTestBlockSize);
}

void VR480_Bootloader::slotpushButtonWritePage(bool)
{
    qDebug("VR480_Bootloader::slotpushButtonWritePage(bool t)");
    bool ok = false;
    fillPattern = QInputDialog::getInt(this, tr("Fill pattern"), tr("Number (dec)"), fillPattern, 0, 255,
                                       1, &ok);
    if (!ok)
        return;
    QByteArray page(int(MemoryMap::kPageSize), char(fillPattern));
    if (usb->WritePageToAddress(page.data(), kPageWriteAddress) == 0)
        qDebug("page write OK");
    else
        qDebug("page write ERROR");
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

void VR480_Bootloader::slotpushButtonWriteExtFlashBin(bool)
{
    qDebug("VR480_Bootloader::slotpushButtonWriteExtFlashBin(bool t)");
    const QString path = QFileDialog::getOpenFileName(
        this, tr("Open File"), QStringLiteral("E:\\Projekty\\ARM\\Vr480\\out"), tr("Bin (*.bin)"));
    if (path.isEmpty())
        return;
    // A file that cannot be read is an empty image; one larger than the
    // external flash is not read at all.
    const image::InputFile file = image::readInputFile(path, ServiceTools::kMaxImageSize);
    if (file.result.status == image::FileStatus::TooLarge) {
        // A stream is not read to its end: its size is not known.
        if (file.size >= 0)
            qDebug() << "length error" << file.size;
        else
            qDebug() << "length error" << "more than" << ServiceTools::kMaxImageSize;
        QMessageBox::critical(this, tr("Length error"),
                              tr("The file is larger than the external flash (%1 bytes)")
                                  .arg(ServiceTools::kMaxImageSize));
        return;
    }

    using ServiceTools::ImageResult;
    switch (ServiceTools::writeExternalFlashImage(*usb, file.bytes)) {
    case ImageResult::Ok:
        QMessageBox::information(this, tr("Info"), tr("Write OK"));
        break;
    case ImageResult::LengthError:
        QMessageBox::critical(this, tr("Length error"), tr("Length should be aligned to 4"));
        break;
    case ImageResult::WriteError:
        QMessageBox::critical(this, tr("Error"), tr("WriteExternalFlashToAddress"));
        break;
    case ImageResult::ReadError:
        QMessageBox::critical(this, tr("Error"), tr("ReadExternalFlashFromAddress"));
        break;
    case ImageResult::Mismatch:
        QMessageBox::critical(this, tr("Error"), tr("memcmp"));
        break;
    }
}

void VR480_Bootloader::slotpushButtonRunApplication(bool)
{
    usb->RunApplication();
    usb->disconnect();
    usb->connect();
}

void VR480_Bootloader::slotpushButtonWriteExternalFlash(bool)
{
    qDebug("VR480_Bootloader::slotpushButtonWriteExternalFlash(bool t)");
    const QString title = tr("Write To External Flash Vr480");
    QString address, data;
    if (!app::askHexText(this, title, tr("Address (hex)"), extWriteAddress, address)
        || !app::convertHexText(this, address, extWriteAddress)
        || !app::askLength(this, title, extWriteLength)
        || !app::askHexText(this, title, tr("Data(hex)"), extFillValue, data)
        || !app::convertHexText(this, data, extFillValue))
        return;

    // The flash holds scrambled data: the fill byte is scrambled word by word
    // like any other, and the log shows what went to the device.
    QByteArray buffer(extWriteLength, char(extFillValue & 0xFF));
    encodeData(buffer.data(), extWriteLength);
    const bool written = usb->WriteExternalFlashToAddress(buffer.constData(), extWriteAddress,
                                                          quint32(extWriteLength)) == 0;
    QStringList blocks{QStringLiteral("lenght: %1").arg(extWriteLength, 8),
                       QStringLiteral("address: 0x%1").arg(extWriteAddress, 8, 16), app::dumpText(buffer)};
    if (!written)
        blocks << tr("Write error");
    app::replaceLog(ui->txt, blocks);
}

void VR480_Bootloader::slotpushButtonReadExternalFlash(bool)
{
    qDebug("VR480_Bootloader::slotpushButtonReadExternalFlash(bool t)");
    QString text;
    if (!app::askHexText(this, tr("Read External Flash From Vr480"), tr("Address (hex)"), extReadAddress, text)
        || !app::askLength(this, tr("Read External Flash From Vr480"), extReadLength)
        || !app::convertHexText(this, text, extReadAddress))
        return;
    app::showRead(ui->txt, ServiceTools::readExternalFlash(*usb, extReadAddress, extReadLength));
}

void VR480_Bootloader::slotpushButtonCreateUpg(bool)
{
    qDebug("VR480_Bootloader::slotpushButtonCreateUpg(bool t)");
    ui->txt->clear();
    const QString hexFile = QFileDialog::getOpenFileName(
        this, tr("Open File"), QStringLiteral("E:/Projekty/ARM/VR480/out"), tr("Hex (*.hex)"));
    if (hexFile.isNull())
        return;
    // Both windows come from the same lines, so a faulty file fails in the
    // first; a half-converted image is never offered for saving.
    QByteArray image;
    if (!acceptConverted(ImageBuilder::convertUpgradeImage(hexFile, image), image,
                         UpgradeFile::kBrandOffset, tr("No application data in %1").arg(hexFile)))
        return;
    const QString upgFile = QFileDialog::getSaveFileName(this, tr("Save File"),
                                                         QStringLiteral("."), tr("Upg (*.upg)"));
    if (upgFile.isNull())
        return;
    // The image is whole in memory and the dialog had the user confirm any
    // replacement, so even the HEX file it came from may be saved over.
    if (!ImageBuilder::saveUpgradeFile(upgFile, image).ok())
        reportError(tr("Cannot write the file %1").arg(upgFile));
}

void VR480_Bootloader::slotpushButtonCreateBootBin(bool)
{
    const QString hexFile =
        QFileDialog::getOpenFileName(this, tr("Open File"), QStringLiteral("."), tr("Hex (*.hex)"));
    if (hexFile.isNull())
        return;
    QByteArray image;
    if (!acceptConverted(ImageBuilder::convertBootloaderImage(hexFile, image), image,
                         ImageBuilder::kBootloaderBrandOffset, tr("No bootloader data in %1").arg(hexFile)))
        return;

    const QDate date = today();
    QStringList years;
    for (int year = 0; year <= 99; ++year)
        years << QStringLiteral("%1").arg(year, 2, 10, QLatin1Char('0'));
    QStringList weeks;
    for (int week = 1; week <= 53; ++week)
        weeks << QStringLiteral("%1").arg(week, 2, 10, QLatin1Char('0'));
    bool ok = false;
    const QString year =
        QInputDialog::getItem(this, tr("Production year"), tr("Year(YY)"), years,
                              ImageBuilder::productionYear(date), false, &ok);
    if (!ok)
        return;
    const QString week =
        QInputDialog::getItem(this, tr("Production week"), tr("Week(WW)"), weeks,
                              ImageBuilder::productionWeek(date) - 1, false, &ok);
    if (!ok)
        return;
    const int number = QInputDialog::getInt(this, tr("Production number"), tr("Number(NNNN)"), 1,
                                            1, ImageBuilder::kMaxProductionNumber, 1, &ok);
    if (!ok)
        return;
    ui->txt->append(QStringLiteral("prod_number %1").arg(number));
    const int count = QInputDialog::getInt(this, tr("Iteration"), tr("Count:"), 1, 1,
                                           ImageBuilder::maxProductionCount(number), 1, &ok);
    if (!ok)
        return;
    ui->txt->append(QStringLiteral("iter %1").arg(count));

    // Every file is the same image with its own serial.
    for (int n = number; n < number + count; ++n) {
        const QByteArray serial = ImageBuilder::productionSerial(year.toInt(), week.toInt(), n);
        ui->txt->append(QString::fromLatin1(serial));
        ImageBuilder::setSerial(image, serial);
        const QString fileName = ImageBuilder::bootloaderFileName(serial);
        if (!ImageBuilder::saveFile(fileName, image).ok()) {
            reportError(tr("Cannot write the file %1").arg(fileName));
            return;
        }
        ui->txt->append(QStringLiteral("New bootloader + serial:"));
        ui->txt->append(fileName);
    }
}

void VR480_Bootloader::slotTimeout()
{
    qDebug("VR480_Bootloader::slotTimeout(void)");
}
