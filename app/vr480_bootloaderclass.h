#pragma once

class QAction;
class QGridLayout;
class QMainWindow;
class QMenu;
class QMenuBar;
class QProgressBar;
class QPushButton;
class QSpacerItem;
class QStatusBar;
class QTextBrowser;
class QToolBar;
class QWidget;

// The main window's form: a plain record of pointers to every action, layout,
// widget and the spacer, named after their object names. It owns nothing: the
// objects belong to the window through the Qt parent tree.
struct VR480_BootloaderClass {
    QAction *actionOpen;
    QAction *actionClose;
    QWidget *centralWidget;
    QGridLayout *gridLayout;
    QTextBrowser *txt;
    QGridLayout *gridLayout_2;
    QPushButton *pushButtonConnect;
    QPushButton *pushButtonDisconnect;
    QSpacerItem *verticalSpacer;
    QPushButton *pushButtonRead;
    QPushButton *pushButtonWrite;
    QPushButton *pushButtonWritePage;
    QPushButton *pushButtonFirmware;
    QPushButton *pushButtonRunApplication;
    QPushButton *pushButtonWriteExternalFlash;
    QPushButton *pushButtonReadExternalFlash;
    QPushButton *pushButtonWriteExtFlashBin;
    QPushButton *pushButtonCreateUpg;
    QPushButton *pushButtonCreateBootBin;
    QProgressBar *progressBarFlash;
    QProgressBar *progressBarExtFlashWr;
    QProgressBar *progressBarExtFlashRd;
    QMenuBar *menuBar;
    QMenu *menuFile;
    QToolBar *mainToolBar;
    QStatusBar *statusBar;

    // Builds the whole tree on the window, sets the texts and wires File > Close.
    void setupUi(QMainWindow *window);
    // Sets every translatable text (context "VR480_BootloaderClass").
    void retranslateUi(QMainWindow *window);
};
