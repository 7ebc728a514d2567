// The main window: its form, the Connect, Disconnect and RunApplication slots
// against the simulated device, and the choice of translation at start-up.

#include "capture.h"
#include "simdevice.h"
#include "simusb.h"
#include "startup.h"
#include "vr480_bootloader.h"
#include "vr480_bootloaderclass.h"

#include <QAction>
#include <QApplication>
#include <QGridLayout>
#include <QMenu>
#include <QMenuBar>
#include <QMetaMethod>
#include <QProgressBar>
#include <QPushButton>
#include <QSizeGrip>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTextBrowser>
#include <QToolBar>
#include <QTranslator>
#include <QtTest>

#include <algorithm>
#include <memory>

namespace {

template <typename T = QWidget>
T *child(const QObject &window, const char *name)
{
    return window.findChild<T *>(QString::fromLatin1(name));
}

QPushButton *button(const QObject &window, const char *name)
{
    return child<QPushButton>(window, name);
}

QStringList logLines(const QObject &window)
{
    const QString text = child<QTextBrowser>(window, "txt")->toPlainText();
    return text.isEmpty() ? QStringList() : text.split(QLatin1Char('\n'));
}

// Row, column, row span and column span of an item of a grid.
QList<int> gridPosition(QGridLayout *grid, const QLayoutItem *item)
{
    int row = -1, column = -1, rowSpan = -1, columnSpan = -1;
    if (const int index = grid->indexOf(item); index >= 0)
        grid->getItemPosition(index, &row, &column, &rowSpan, &columnSpan);
    return {row, column, rowSpan, columnSpan};
}

QList<int> gridPosition(QGridLayout *grid, QWidget *widget)
{
    return gridPosition(grid, grid->itemAt(grid->indexOf(widget)));
}

// Installs a translator on the application for the lifetime of the guard.
class InstalledTranslator {
public:
    explicit InstalledTranslator(QTranslator &t) : translator(t) { QCoreApplication::installTranslator(&t); }
    ~InstalledTranslator() { QCoreApplication::removeTranslator(&translator); }
    InstalledTranslator(const InstalledTranslator &) = delete;
    InstalledTranslator &operator=(const InstalledTranslator &) = delete;

private:
    QTranslator &translator;
};

QString loadedFile(const QTranslator &translator)
{
    return QFileInfo(translator.filePath()).fileName();
}

} // namespace

class TestWindow : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void construction();
    void formLayout();
    void menusAndBars();
    void fileCloseEndsEventLoop();
    void metaObject();

    void connectSlot();
    void disconnectSlot();
    void runApplicationSlot();

    void translationFound();
    void translationFallback();
    void translationFolders_data();
    void translationFolders();

private:
    void copyTranslation(const QString &name);

    std::unique_ptr<QTemporaryDir> workDir;
    std::unique_ptr<QTemporaryDir> prefix;
    QString installed; // the translations' folder of a program installed under prefix
    QString previousDir;
};

void TestWindow::init()
{
    sim::reset();
    // Each test runs in a fresh working directory: the window writes dane.csv
    // there and the translations are looked up there.
    previousDir = QDir::currentPath();
    workDir = std::make_unique<QTemporaryDir>();
    QVERIFY(workDir->isValid());
    QVERIFY(QDir::setCurrent(workDir->path()));
    // An installation elsewhere, its translations' folder empty unless a test fills it.
    prefix = std::make_unique<QTemporaryDir>();
    QVERIFY(prefix->isValid());
    installed = app::installedTranslationDir(prefix->filePath(QStringLiteral("bin")));
    QVERIFY2(installed.startsWith(prefix->path() + QLatin1Char('/')), qPrintable(installed));
    QVERIFY(QDir().mkpath(installed));
}

void TestWindow::cleanup()
{
    QDir::setCurrent(previousDir);
    workDir.reset();
    prefix.reset();
    sim::reset();
}

void TestWindow::copyTranslation(const QString &name)
{
    QVERIFY(QFile::copy(QStringLiteral(VR480_QM_FILE), workDir->filePath(name)));
}

void TestWindow::construction()
{
    sim::addDevice();
    DebugCapture debug;
    VR480_Bootloader window;
    QCOMPARE(debug.count("MY_DEBUG"), 1);
    QCOMPARE(debug.count("Upgrader constructor"), 1);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));

    // Of the twelve buttons only "Change Firmware" shows.
    const QList<QPushButton *> buttons = window.findChildren<QPushButton *>();
    QCOMPARE(buttons.size(), 12);
    QStringList visible;
    for (QPushButton *b : buttons)
        if (b->isVisible())
            visible << b->objectName() + QLatin1Char('=') + b->text();
    QCOMPARE(visible, QStringList{"pushButtonFirmware=Change Firmware"});

    // An empty log and three bars at 0 %.
    QVERIFY(child(window, "txt")->isVisible());
    QVERIFY(logLines(window).isEmpty());
    QCOMPARE(child<QProgressBar>(window, "progressBarFlash")->text(), QStringLiteral("Flash 0%"));
    QCOMPARE(child<QProgressBar>(window, "progressBarExtFlashWr")->text(),
             QStringLiteral("External Flash Write 0%"));
    QCOMPARE(child<QProgressBar>(window, "progressBarExtFlashRd")->text(),
             QStringLiteral("External Flash Verify 0%"));

    // The form's title and name; the start-up title replaces the former.
    QCOMPARE(window.windowTitle(), QStringLiteral("VR480_Bootloader"));
    QCOMPARE(app::windowTitle(), QStringLiteral("Vr480 v3.00"));
    QCOMPARE(window.objectName(), QStringLiteral("VR480_BootloaderClass"));
    QMainWindow named;
    named.setObjectName("keepMe");
    VR480_BootloaderClass form;
    form.setupUi(&named);
    QCOMPARE(named.objectName(), QStringLiteral("keepMe"));

    // Construction leaves the device alone, and every window writes its own line.
    QVERIFY(sim::events().isEmpty());
    VR480_Bootloader second;
    QCOMPARE(debug.count("MY_DEBUG"), 2);
}

void TestWindow::formLayout()
{
    VR480_Bootloader window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));

    auto *grid = qobject_cast<QGridLayout *>(window.centralWidget()->layout());
    auto *column = child<QGridLayout>(window, "gridLayout_2");
    QVERIFY(grid && column);
    QCOMPARE(gridPosition(grid, child(window, "progressBarFlash")), (QList<int>{0, 0, 1, 1}));
    QCOMPARE(gridPosition(grid, child(window, "progressBarExtFlashWr")), (QList<int>{1, 0, 1, 1}));
    QCOMPARE(gridPosition(grid, child(window, "progressBarExtFlashRd")), (QList<int>{2, 0, 1, 1}));
    QCOMPARE(gridPosition(grid, child(window, "txt")), (QList<int>{3, 0, 1, 2}));
    QCOMPARE(gridPosition(grid, column), (QList<int>{0, 2, 4, 1}));

    // One spacer, below the buttons, pushes them to the top of the column.
    QList<QSpacerItem *> spacers;
    for (int i = 0; i < column->count(); ++i)
        if (QSpacerItem *spacer = column->itemAt(i)->spacerItem())
            spacers << spacer;
    QCOMPARE(spacers.size(), 1);
    QCOMPARE(gridPosition(column, spacers.first()), (QList<int>{12, 0, 1, 1}));
    QVERIFY(spacers.first()->expandingDirections() & Qt::Vertical);

    // "Change Firmware" stands where "Connect" stands once every button shows,
    // and then the column reads in its fixed order.
    const int top = button(window, "pushButtonFirmware")->y();
    QList<QPushButton *> buttons = window.findChildren<QPushButton *>();
    for (QPushButton *b : buttons) {
        QVERIFY(column->indexOf(b) >= 0);
        b->show();
    }
    grid->activate();
    std::sort(buttons.begin(), buttons.end(), [](QWidget *a, QWidget *b) { return a->y() < b->y(); });
    QStringList order;
    for (QPushButton *b : buttons)
        order << b->text();
    QCOMPARE(order, (QStringList{"Connect", "Disconnect", "Read", "Write", "WritePage",
                                 "Change Firmware", "WriteExtFlashBin", "RunApplication",
                                 "WriteExternalFlash", "ReadExternalFlash", "CreateUpg",
                                 "CreateBootBin"}));
    QCOMPARE(buttons.first()->y(), top);
}

void TestWindow::menusAndBars()
{
    VR480_Bootloader window;

    // File holds Close only; Open exists but is reachable from nowhere.
    QMenuBar *menuBar = window.menuBar();
    QCOMPARE(menuBar->actions().size(), 1);
    QMenu *file = menuBar->actions().first()->menu();
    QVERIFY(file);
    QCOMPARE(file->title(), QStringLiteral("File"));
    QCOMPARE(file->actions().size(), 1);
    QCOMPARE(file->actions().first(), child<QAction>(window, "actionClose"));
    QCOMPARE(file->actions().first()->text(), QStringLiteral("Close"));
    QAction *open = child<QAction>(window, "actionOpen");
    QVERIFY(open);
    QCOMPARE(open->text(), QStringLiteral("Open"));
    QVERIFY(open->associatedObjects().isEmpty());

    // An empty tool bar at the top and an empty status bar.
    QToolBar *toolBar = child<QToolBar>(window, "mainToolBar");
    QVERIFY(toolBar);
    QCOMPARE(window.toolBarArea(toolBar), Qt::TopToolBarArea);
    QVERIFY(toolBar->actions().isEmpty());
    QStatusBar *statusBar = window.statusBar();
    QCOMPARE(statusBar, child<QStatusBar>(window, "statusBar"));
    QVERIFY(statusBar->currentMessage().isEmpty());
    for (QWidget *w : statusBar->findChildren<QWidget *>(Qt::FindDirectChildrenOnly))
        QVERIFY2(qobject_cast<QSizeGrip *>(w), qPrintable(w->objectName()));
}

void TestWindow::fileCloseEndsEventLoop()
{
    VR480_Bootloader window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));

    // As in main: File > Close ends the event loop with 0. Should it not, the
    // watchdog ends it with 1.
    QTimer::singleShot(0, child<QAction>(window, "actionClose"), &QAction::trigger);
    QTimer watchdog;
    watchdog.setSingleShot(true);
    QObject::connect(&watchdog, &QTimer::timeout, [] { QCoreApplication::exit(1); });
    watchdog.start(5000);
    QCOMPARE(QApplication::exec(), 0);
    QVERIFY(!window.isVisible());
}

void TestWindow::metaObject()
{
    VR480_Bootloader window;
    const QMetaObject *meta = window.metaObject();
    QCOMPARE(meta->className(), "VR480_Bootloader");
    QCOMPARE(meta->superClass(), &QMainWindow::staticMetaObject);
    QCOMPARE(meta->propertyCount(), meta->propertyOffset());
    QCOMPARE(window.qt_metacast("VR480_Bootloader"), static_cast<void *>(&window));

    // Only public slots returning nothing, in a fixed order from Connect to
    // ReadExternalFlash; the time-out slot last.
    for (int i = meta->methodOffset(); i < meta->methodCount(); ++i) {
        const QMetaMethod method = meta->method(i);
        QCOMPARE(method.methodType(), QMetaMethod::Slot);
        QCOMPARE(method.access(), QMetaMethod::Public);
        QCOMPARE(method.returnType(), int(QMetaType::Void));
    }
    const QList<const char *> ordered = {
        "slotpushButtonConnect(bool)",          "slotpushButtonDisconnect(bool)",
        "slotpushButtonRead(bool)",             "slotpushButtonWrite(bool)",
        "slotpushButtonWritePage(bool)",        "slotpushButtonFirmware(bool)",
        "slotpushButtonWriteExtFlashBin(bool)", "slotpushButtonRunApplication(bool)",
        "slotpushButtonWriteExternalFlash(bool)", "slotpushButtonReadExternalFlash(bool)",
        "slotpushButtonCreateUpg(bool)",        "slotpushButtonCreateBootBin(bool)"};
    for (int i = 0; i < ordered.size(); ++i) {
        QCOMPARE(meta->indexOfSlot(ordered[i]), meta->methodOffset() + i);
        QCOMPARE(meta->method(meta->indexOfSlot(ordered[i])).parameterNames(), QList<QByteArray>{"t"});
    }
    QCOMPARE(meta->indexOfSlot("slotTimeout()"), meta->methodCount() - 1);

    // slotTimeout, reachable only through the meta-object, only writes its line.
    DebugCapture debug;
    QVERIFY(QMetaObject::invokeMethod(&window, "slotTimeout"));
    QCOMPARE(debug.lines(), QStringList{"VR480_Bootloader::slotTimeout(void)"});
    QVERIFY(logLines(window).isEmpty());
}

void TestWindow::connectSlot()
{
    DebugCapture debug;
    {
        VR480_Bootloader window;
        QPushButton *connectButton = button(window, "pushButtonConnect");
        QVERIFY(connectButton->isHidden());

        connectButton->click(); // nothing on the bus
        QCOMPARE(logLines(window), QStringList{"Connect ERROR"});
        QCOMPARE(debug.count("Connect ERROR"), 1);

        sim::addDevice();
        emit connectButton->clicked(false);
        QCOMPARE(logLines(window), (QStringList{"Connect ERROR", "Connect OK"}));
        QCOMPARE(debug.count("Connect OK"), 1);
        QCOMPARE(debug.count("VR480_Bootloader::slotpushButtonConnect(bool t)"), 2);
        QCOMPARE(sim::openHandles(), 1);
    }
    // The window's end closes the device.
    QCOMPARE(sim::openHandles(), 0);
}

void TestWindow::disconnectSlot()
{
    sim::addDevice();
    VR480_Bootloader window;
    button(window, "pushButtonConnect")->click();
    QCOMPARE(sim::openHandles(), 1);

    QFile stale("dane.csv");
    QVERIFY(stale.open(QIODevice::WriteOnly));
    stale.write(QByteArray(5000, 'x'));
    stale.close();

    const QRegularExpression line("^(\\d+) -> (\\d+)$");
    const QRegularExpression csv("^(\\d+,){191};$");
    DebugCapture debug;
    auto *log = child<QTextBrowser>(window, "txt");
    for (int press = 1; press <= 2; ++press) {
        log->append("earlier line");
        button(window, "pushButtonDisconnect")->click();
        QCOMPARE(sim::openHandles(), 0);
        QCOMPARE(debug.count("VR480_Bootloader::slotpushButtonDisconnect(bool t)"), press);

        // Each line: the raw draw and the value it gives; the values are 351..541.
        const QStringList lines = logLines(window);
        QCOMPARE(lines.size(), 191);
        QList<int> values;
        for (const QString &text : lines) {
            const QRegularExpressionMatch m = line.match(text);
            QVERIFY2(m.hasMatch(), qPrintable(text));
            QCOMPARE(m.captured(2).toInt(), m.captured(1).toInt() % 191 + 351);
            values << m.captured(2).toInt();
        }
        std::sort(values.begin(), values.end());
        for (int i = 0; i < 191; ++i)
            QCOMPARE(values[i], 351 + i);

        // The file is written from scratch.
        QFile file("dane.csv");
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray content = file.readAll();
        QVERIFY2(csv.match(QString::fromLatin1(content)).hasMatch(), content.left(60).constData());
    }

    // A directory in the file's place: the open fails, the log is still filled.
    QVERIFY(QFile::remove("dane.csv"));
    QVERIFY(QDir().mkdir("dane.csv"));
    button(window, "pushButtonDisconnect")->click();
    QCOMPARE(logLines(window).size(), 191);
}

void TestWindow::runApplicationSlot()
{
    VR480_Bootloader window;
    QPushButton *run = button(window, "pushButtonRunApplication");
    QVERIFY(run->isHidden());

    run->click(); // nothing on the bus: nothing is sent
    QVERIFY(sim::controlTransfers().isEmpty());

    sim::Device &device = sim::addDevice();
    DebugCapture debug;
    run->click();
    QCOMPARE(debug.count("USBVR480::RunApplication(void)"), 1);
    QCOMPARE(device.restarts(), 1);
    QCOMPARE(device.mode(), sim::Mode::Bootloader);

    // Request 4 without data stage, then release and close, then a fresh
    // connection with its identity check.
    const QList<sim::Event> events = sim::events();
    const auto restart = std::find_if(events.begin(), events.end(), [](const sim::Event &e) {
        return e.kind == sim::Event::Control && e.request == 4;
    });
    QVERIFY(restart != events.end());
    QCOMPARE(restart->requestType, 0x40);
    QCOMPARE(restart->length, 0);
    QList<int> kinds;
    QList<int> requests;
    for (auto e = restart + 1; e != events.end(); ++e) {
        if (e->kind != sim::Event::FindDevices)
            kinds << e->kind;
        if (e->kind == sim::Event::Control)
            requests << e->request;
    }
    QCOMPARE(kinds, (QList<int>{sim::Event::ReleaseInterface, sim::Event::Close, sim::Event::Open,
                                sim::Event::SetConfiguration, sim::Event::ClaimInterface,
                                sim::Event::Control, sim::Event::Control}));
    QCOMPARE(requests, (QList<int>{0xFF, 0xFE}));
    QCOMPARE(sim::openHandles(), 1);

    // Pressed again, the bootloader starts the application.
    run->click();
    QCOMPARE(device.restarts(), 2);
    QCOMPARE(device.applicationStarts(), 1);
    QCOMPARE(device.mode(), sim::Mode::Application);
    QCOMPARE(sim::openHandles(), 1);

    // A device that does not come back stays closed, without a word in the log.
    sim::DeviceConfig gone;
    gone.comesBack = false;
    device.setConfig(gone);
    run->click();
    QCOMPARE(device.restarts(), 3);
    QCOMPARE(sim::openHandles(), 0);
    QVERIFY(logLines(window).isEmpty());
}

void TestWindow::translationFound()
{
    // Only vr480_pl: found for pl_PL by shortening the name.
    copyTranslation("vr480_pl.qm");
    QTranslator translator;
    QVERIFY(app::loadTranslation(translator, "pl_PL", installed));
    QCOMPARE(loadedFile(translator), QStringLiteral("vr480_pl.qm"));

    VR480_Bootloader before; // built before the translator is installed
    {
        InstalledTranslator installed(translator);
        VR480_Bootloader window;
        QCOMPARE(button(window, "pushButtonFirmware")->text(), QStringLiteral("Zmień oprogramowanie"));
        QCOMPARE(child<QProgressBar>(window, "progressBarFlash")->text(),
                 QStringLiteral("Pamięć Flash 0%"));
        QCOMPARE(window.menuBar()->actions().first()->text(), QStringLiteral("Plik"));
        QCOMPARE(child<QAction>(window, "actionClose")->text(), QStringLiteral("Zamknij"));
        QCOMPARE(window.windowTitle(), QStringLiteral("VR480 – program rozruchowy"));
        QCOMPARE(app::windowTitle(), QStringLiteral("Vr480 v3.00")); // not translated
        // The window does not retranslate on a language change.
        QCoreApplication::processEvents();
        QCOMPARE(button(before, "pushButtonFirmware")->text(), QStringLiteral("Change Firmware"));
    }

    // The full name is preferred, and the fallback is then not loaded.
    copyTranslation("vr480_pl_PL.qm");
    copyTranslation("vr480_en.qm");
    QTranslator full;
    QVERIFY(app::loadTranslation(full, "pl_PL", installed));
    QCOMPARE(loadedFile(full), QStringLiteral("vr480_pl_PL.qm"));
}

void TestWindow::translationFallback()
{
    // No file at all: an empty translator and the source texts.
    {
        QTranslator translator;
        QVERIFY(!app::loadTranslation(translator, "pl_PL", installed));
        QVERIFY(translator.isEmpty());
        InstalledTranslator installed(translator);
        VR480_Bootloader window;
        QCOMPARE(button(window, "pushButtonFirmware")->text(), QStringLiteral("Change Firmware"));
        QCOMPARE(child<QProgressBar>(window, "progressBarFlash")->text(), QStringLiteral("Flash 0%"));
    }
    // Only vr480_en (here with the Polish texts, to tell it apart) is found when
    // the locale's own file is missing.
    copyTranslation("vr480_en.qm");
    QTranslator translator;
    QVERIFY(!app::loadTranslation(translator, "de_DE", installed));
    QCOMPARE(loadedFile(translator), QStringLiteral("vr480_en.qm"));
    InstalledTranslator installed(translator);
    VR480_Bootloader window;
    QCOMPARE(button(window, "pushButtonFirmware")->text(), QStringLiteral("Zmień oprogramowanie"));
}

// Which folder a translation comes from: the working directory first, then the
// installed folder; the locale's own file in either before the fallback.
void TestWindow::translationFolders_data()
{
    QTest::addColumn<QStringList>("inWorkDir");
    QTest::addColumn<QStringList>("inInstalled");
    QTest::addColumn<QString>("locale");
    QTest::addColumn<bool>("own");     // the locale's own translation found
    QTest::addColumn<QString>("loaded"); // "work/" or "installed/" and the name; empty for none

    QTest::newRow("installed only") << QStringList{} << QStringList{"vr480_pl.qm"} << "pl_PL" << true
                                    << "installed/vr480_pl.qm";
    QTest::newRow("working directory first") << QStringList{"vr480_pl.qm"} << QStringList{"vr480_pl_PL.qm"}
                                             << "pl_PL" << true << "work/vr480_pl.qm";
    QTest::newRow("own before fallback") << QStringList{"vr480_en.qm"} << QStringList{"vr480_pl.qm"} << "pl_PL"
                                         << true << "installed/vr480_pl.qm";
    QTest::newRow("fallback in working directory first") << QStringList{"vr480_en.qm"} << QStringList{"vr480_en.qm"}
                                                         << "de_DE" << false << "work/vr480_en.qm";
    QTest::newRow("fallback installed") << QStringList{} << QStringList{"vr480_en.qm", "vr480_pl.qm"} << "de_DE"
                                        << false << "installed/vr480_en.qm";
    QTest::newRow("none") << QStringList{} << QStringList{} << "pl_PL" << false << "";
}

void TestWindow::translationFolders()
{
    QFETCH(QStringList, inWorkDir);
    QFETCH(QStringList, inInstalled);
    QFETCH(QString, locale);
    QFETCH(bool, own);
    QFETCH(QString, loaded);
    for (const QString &name : inWorkDir)
        copyTranslation(name);
    for (const QString &name : inInstalled)
        QVERIFY(QFile::copy(QStringLiteral(VR480_QM_FILE), installed + QLatin1Char('/') + name));

    QTranslator translator;
    QCOMPARE(app::loadTranslation(translator, locale, installed), own);
    QString found = QFileInfo(translator.filePath()).absoluteFilePath();
    found.replace(QDir(workDir->path()).absolutePath(), QStringLiteral("work"));
    found.replace(QDir(installed).absolutePath(), QStringLiteral("installed"));
    QCOMPARE(translator.filePath().isEmpty() ? QString() : found, loaded);

    // Every file here holds the Polish texts: the window shows them whenever one was loaded.
    InstalledTranslator installedTranslator(translator);
    VR480_Bootloader window;
    QCOMPARE(button(window, "pushButtonFirmware")->text(),
             loaded.isEmpty() ? QStringLiteral("Change Firmware") : QStringLiteral("Zmień oprogramowanie"));
}

QTEST_MAIN(TestWindow)
#include "tst_window.moc"
