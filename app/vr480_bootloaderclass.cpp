#include "vr480_bootloaderclass.h"

#include <QAction>
#include <QCoreApplication>
#include <QGridLayout>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QProgressBar>
#include <QPushButton>
#include <QSpacerItem>
#include <QStatusBar>
#include <QTextBrowser>
#include <QToolBar>

namespace {

QPushButton *addButton(QWidget *parent, QGridLayout *column, const char *name, int row)
{
    auto *button = new QPushButton(parent);
    button->setObjectName(QString::fromLatin1(name));
    column->addWidget(button, row, 0, 1, 1);
    return button;
}

QProgressBar *addProgressBar(QWidget *parent, QGridLayout *grid, const char *name, int row)
{
    auto *bar = new QProgressBar(parent);
    bar->setObjectName(QString::fromLatin1(name));
    bar->setMaximumSize(QSize(16777215, 15));
    bar->setValue(0);
    bar->setAlignment(Qt::AlignJustify | Qt::AlignVCenter);
    grid->addWidget(bar, row, 0, 1, 1);
    return bar;
}

} // namespace

void VR480_BootloaderClass::setupUi(QMainWindow *window)
{
    if (window->objectName().isEmpty())
        window->setObjectName(QString::fromLatin1("VR480_BootloaderClass"));
    window->resize(591, 472);

    actionOpen = new QAction(window);
    actionOpen->setObjectName(QString::fromLatin1("actionOpen"));
    actionClose = new QAction(window);
    actionClose->setObjectName(QString::fromLatin1("actionClose"));

    centralWidget = new QWidget(window);
    centralWidget->setObjectName(QString::fromLatin1("centralWidget"));
    gridLayout = new QGridLayout(centralWidget);
    gridLayout->setSpacing(6);
    gridLayout->setContentsMargins(11, 11, 11, 11);
    gridLayout->setObjectName(QString::fromLatin1("gridLayout"));

    txt = new QTextBrowser(centralWidget);
    txt->setObjectName(QString::fromLatin1("txt"));
    QFont font;
    font.setFamily(QString::fromLatin1("Courier New"));
    txt->setFont(font);
    gridLayout->addWidget(txt, 3, 0, 1, 2);

    gridLayout_2 = new QGridLayout();
    gridLayout_2->setSpacing(9);
    gridLayout_2->setContentsMargins(9, 9, 9, 9);
    gridLayout_2->setObjectName(QString::fromLatin1("gridLayout_2"));

    pushButtonConnect = addButton(centralWidget, gridLayout_2, "pushButtonConnect", 0);
    pushButtonDisconnect = addButton(centralWidget, gridLayout_2, "pushButtonDisconnect", 1);
    verticalSpacer = new QSpacerItem(20, 40, QSizePolicy::Minimum, QSizePolicy::Expanding);
    gridLayout_2->addItem(verticalSpacer, 12, 0, 1, 1);
    pushButtonRead = addButton(centralWidget, gridLayout_2, "pushButtonRead", 2);
    pushButtonWrite = addButton(centralWidget, gridLayout_2, "pushButtonWrite", 3);
    pushButtonWritePage = addButton(centralWidget, gridLayout_2, "pushButtonWritePage", 4);
    pushButtonFirmware = addButton(centralWidget, gridLayout_2, "pushButtonFirmware", 5);
    pushButtonRunApplication = addButton(centralWidget, gridLayout_2, "pushButtonRunApplication", 7);
    pushButtonWriteExternalFlash =
        addButton(centralWidget, gridLayout_2, "pushButtonWriteExternalFlash", 8);
    pushButtonReadExternalFlash =
        addButton(centralWidget, gridLayout_2, "pushButtonReadExternalFlash", 9);
    pushButtonWriteExtFlashBin = addButton(centralWidget, gridLayout_2, "pushButtonWriteExtFlashBin", 6);
    pushButtonCreateUpg = addButton(centralWidget, gridLayout_2, "pushButtonCreateUpg", 10);
    pushButtonCreateBootBin = addButton(centralWidget, gridLayout_2, "pushButtonCreateBootBin", 11);
    gridLayout->addLayout(gridLayout_2, 0, 2, 4, 1);

    progressBarFlash = addProgressBar(centralWidget, gridLayout, "progressBarFlash", 0);
    progressBarExtFlashWr = addProgressBar(centralWidget, gridLayout, "progressBarExtFlashWr", 1);
    progressBarExtFlashRd = addProgressBar(centralWidget, gridLayout, "progressBarExtFlashRd", 2);

    window->setCentralWidget(centralWidget);

    menuBar = new QMenuBar(window);
    menuBar->setObjectName(QString::fromLatin1("menuBar"));
    menuBar->setGeometry(QRect(0, 0, 591, 21));
    menuFile = new QMenu(menuBar);
    menuFile->setObjectName(QString::fromLatin1("menuFile"));
    window->setMenuBar(menuBar);

    mainToolBar = new QToolBar(window);
    mainToolBar->setObjectName(QString::fromLatin1("mainToolBar"));
    window->addToolBar(Qt::TopToolBarArea, mainToolBar);

    statusBar = new QStatusBar(window);
    statusBar->setObjectName(QString::fromLatin1("statusBar"));
    statusBar->setMinimumSize(QSize(0, 0));
    window->setStatusBar(statusBar);

    menuBar->addAction(menuFile->menuAction());
    menuFile->addAction(actionClose);

    retranslateUi(window);

    QObject::connect(actionClose, &QAction::triggered, window, &QMainWindow::close);
    QMetaObject::connectSlotsByName(window);
}

void VR480_BootloaderClass::retranslateUi(QMainWindow *window)
{
    window->setWindowTitle(QCoreApplication::translate("VR480_BootloaderClass", "VR480_Bootloader", nullptr));
    actionOpen->setText(QCoreApplication::translate("VR480_BootloaderClass", "Open", nullptr));
    actionClose->setText(QCoreApplication::translate("VR480_BootloaderClass", "Close", nullptr));
    pushButtonConnect->setText(QCoreApplication::translate("VR480_BootloaderClass", "Connect", nullptr));
    pushButtonDisconnect->setText(QCoreApplication::translate("VR480_BootloaderClass", "Disconnect", nullptr));
    pushButtonRead->setText(QCoreApplication::translate("VR480_BootloaderClass", "Read", nullptr));
    pushButtonWrite->setText(QCoreApplication::translate("VR480_BootloaderClass", "Write", nullptr));
    pushButtonWritePage->setText(QCoreApplication::translate("VR480_BootloaderClass", "WritePage", nullptr));
    pushButtonFirmware->setText(QCoreApplication::translate("VR480_BootloaderClass", "Change Firmware", nullptr));
    pushButtonRunApplication->setText(QCoreApplication::translate("VR480_BootloaderClass", "RunApplication", nullptr));
    pushButtonWriteExternalFlash->setText(QCoreApplication::translate("VR480_BootloaderClass", "WriteExternalFlash", nullptr));
    pushButtonReadExternalFlash->setText(QCoreApplication::translate("VR480_BootloaderClass", "ReadExternalFlash", nullptr));
    pushButtonWriteExtFlashBin->setText(QCoreApplication::translate("VR480_BootloaderClass", "WriteExtFlashBin", nullptr));
    pushButtonCreateUpg->setText(QCoreApplication::translate("VR480_BootloaderClass", "CreateUpg", nullptr));
    pushButtonCreateBootBin->setText(QCoreApplication::translate("VR480_BootloaderClass", "CreateBootBin", nullptr));
    progressBarFlash->setFormat(QCoreApplication::translate("VR480_BootloaderClass", "Flash %p%", nullptr));
    progressBarExtFlashWr->setFormat(QCoreApplication::translate("VR480_BootloaderClass", "External Flash Write %p%", nullptr));
    progressBarExtFlashRd->setFormat(QCoreApplication::translate("VR480_BootloaderClass", "External Flash Verify %p%", nullptr));
    menuFile->setTitle(QCoreApplication::translate("VR480_BootloaderClass", "File", nullptr));
}
