// The main window: its form, the Connect, Disconnect and RunApplication slots
// against the simulated device, the choice of translation at start-up, the
// Change Firmware slot driving the upgrade worker, and the image builders with
// their dialogs driven for real: upgrade files from Intel HEX (checked byte
// for byte and programmed into the simulated device) and numbered bootloader
// images.

#include "bytes.h"
#include "capture.h"
#include "dialogs.h"
#include "memorymap.h"
#include "randomimage.h"
#include "scramble.h"
#include "simdevice.h"
#include "simfirmware.h"
#include "simtrail.h"
#include "simusb.h"
#include "startup.h"
#include "upgradefile.h"
#include "upgrader.h"
#include "usbvr480.h"
#include "vr480_bootloader.h"
#include "vr480_bootloaderclass.h"

#include <QAction>
#include <QApplication>
#include <QBuffer>
#include <QFileDialog>
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
#include <QtEndian>
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

QString logText(const QObject &window)
{
    return child<QTextBrowser>(window, "txt")->toPlainText();
}

QStringList logLines(const QObject &window)
{
    const QString text = logText(window);
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

// Presses "Change Firmware" and chooses `path` in its file dialog.
void changeFirmware(const QWidget &window, const QString &path)
{
    answerDialogs([&] { window.findChild<QPushButton *>("pushButtonFirmware")->click(); },
                  {{"file: Open File / Upg (*.upg)", path}});
}

QByteArray contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The file dialogs, answered with `path`, or cancelled for an empty path.
QVariant pathOrCancel(const QString &path)
{
    return path.isEmpty() ? kCancel : QVariant(path);
}
Answer openHex(const QString &path) { return {"file: Open File / Hex (*.hex)", pathOrCancel(path)}; }
Answer saveUpg(const QString &path) { return {"save file: Save File / Upg (*.upg)", pathOrCancel(path)}; }

// An item dialog (not editable) offering `current` of `items`; accepted as
// offered, or cancelled.
Answer itemDialog(const QString &title, const QString &label, const QStringList &items,
                  const QString &current, bool accept = true)
{
    return {title + " / " + label + " / " + current + " of " + items.join(','),
            accept ? QVariant(current) : kCancel};
}

// An integer dialog offering 1 in minimum..maximum by 1; `value` entered, or
// cancelled for -1.
Answer intDialog(const QString &title, const QString &label, int minimum, int maximum, int value)
{
    return {QStringLiteral("%1 / %2 / 1 in %3..%4 by 1").arg(title, label).arg(minimum).arg(maximum),
            value < 0 ? kCancel : QVariant(value)};
}

// A critical box titled "Error" with `text` and one OK button.
Answer errorBox(const QString &text)
{
    return {"critical: Error / " + text, "OK"};
}

QStringList twoDigits(int first, int last)
{
    QStringList items;
    for (int i = first; i <= last; ++i)
        items << QStringLiteral("%1").arg(i, 2, 10, QLatin1Char('0'));
    return items;
}
const QStringList kYears = twoDigits(0, 99);
const QStringList kWeeks = twoDigits(1, 53);

// The steps up to the count dialog for year 26, week 15 and `number`.
QList<Answer> bootloaderAnswers(const QString &hex, int number, int maxCount, int count)
{
    return {openHex(hex), itemDialog("Production year", "Year(YY)", kYears, "26"),
            itemDialog("Production week", "Week(WW)", kWeeks, "15"),
            intDialog("Production number", "Number(NNNN)", 1, 9999, number),
            intDialog("Iteration", "Count:", 1, maxCount, count)};
}

// Bytes a & 0xFF at the addresses of the edges fixture inside the upgrade
// image, checksums added: the expected image, computed without the builder.
QByteArray edgesUpgradeImage()
{
    QByteArray image(UpgradeFile::kImageSize, '\0');
    const QList<QPair<quint32, quint32>> ranges = {
        {0x08004000, 0x08004008}, {0x0800FFF0, 0x08010010}, {0x0803FFC0, 0x0803FFD0},
        {0x0803FFD2, 0x08040008}, {0x0805BFF8, 0x0805C000}};
    for (const auto &[from, to] : ranges) {
        for (quint32 a = from; a < to; ++a)
            image[MemoryMap::imageOffset(a)] = char(a);
    }
    using namespace UpgradeFile;
    for (const auto &[offset, size] : {qMakePair(kApplicationOffset, kApplicationSize),
                                       qMakePair(kExternalOffset, kExternalSize)}) {
        quint32 sum = 0;
        for (int i = offset; i < offset + size - 4; i += 4)
            sum += qFromLittleEndian<quint32>(image.constData() + i);
        qToLittleEndian(sum, image.data() + offset + size - 4);
    }
    return image;
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

    void changeFirmwareSlot();
    void closingStopsTheUpgrade_data();
    void closingStopsTheUpgrade();

    void createUpg();
    void createUpgEndings_data();
    void createUpgEndings();
    void createUpgOverItsInput();
    void createBootBin();
    void productionNumberLimits_data();
    void productionNumberLimits();
    void productionDate_data();
    void productionDate();
    void createBootBinEndings_data();
    void createBootBinEndings();

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

// The button: bars back to 0, the file from the dialog, the run on the worker
// thread feeding the log and the bar.
void TestWindow::changeFirmwareSlot()
{
    const QByteArray image = randomUpgradeImage(2);
    const QString file = writeUpgradeFile(workDir->filePath("new.upg"), image);
    sim::Device &device = deviceHolding(randomUpgradeImage(1));
    DebugCapture debug;
    VR480_Bootloader window;
    auto *log = window.findChild<QTextBrowser *>("txt");
    auto *flash = window.findChild<QProgressBar *>("progressBarFlash");
    auto *write = window.findChild<QProgressBar *>("progressBarExtFlashWr");
    auto *read = window.findChild<QProgressBar *>("progressBarExtFlashRd");

    // Cancelled: the bars go back to 0, the run ends at once without a line.
    for (QProgressBar *bar : {flash, write, read})
        bar->setValue(50);
    QString directory;
    answerDialogs([&] { window.findChild<QPushButton *>("pushButtonFirmware")->click(); },
                  {{"file: Open File / Upg (*.upg)", kCancel}},
                  [&](QWidget *dialog) { directory = qobject_cast<QFileDialog *>(dialog)->directory().absolutePath(); });
    QCOMPARE(debug.count("Vr306_bootloader::slotpushButtonCHF(bool t)"), 1);
    QCOMPARE(directory, QDir::current().absolutePath());
    for (QProgressBar *bar : {flash, write, read})
        QCOMPARE(bar->value(), 0);
    QTest::qWait(50);
    QVERIFY(log->toPlainText().isEmpty());
    QVERIFY(sim::events().isEmpty());

    // Chosen: the whole upgrade, its lines in the log, the bars at 100 %. A
    // second press while it runs starts nothing; the run keeps its file.
    changeFirmware(window, file);
    QTRY_VERIFY(log->toPlainText().contains("Reset device"));
    const QString other = writeUpgradeFile(workDir->filePath("other.upg"), randomUpgradeImage(5));
    changeFirmware(window, other);
    QTRY_COMPARE_WITH_TIMEOUT(device.applicationStarts(), 1, 60000);
    QTest::qWait(100);
    QCOMPARE(debug.count("Start firmware upgrade"), 1);
    QVERIFY(!log->toPlainText().contains(other));
    QVERIFY(holds(device, image));
    QVERIFY(log->toPlainText().endsWith("Verify External Flash ...  \nOK"));
    QCOMPARE(flash->value(), 100);
    QCOMPARE(write->value(), 100);
    QCOMPARE(read->value(), 100);
    QVERIFY(log->toPlainText().startsWith(file + "\nVR4800001\nBOOT v2.04\nApllication mode\n"));
    // The window checks that the new application starts: after the final
    // restart the serial is read again.
    QTRY_VERIFY(trail(sim::controlTransfers()).mid(trail(sim::controlTransfers()).lastIndexOf("40:04"))
                == QStringList({"40:04", "c0:ff", "c0:fe", "80:06"}));
}

// Closing the window in the middle of an upgrade: the worker stops at the next
// page or transfer, the device stays in its bootloader with no application
// started, and nothing is left running or open.
void TestWindow::closingStopsTheUpgrade_data()
{
    QTest::addColumn<int>("request");
    QTest::addColumn<int>("transfers"); // of that request before the window closes
    QTest::newRow("writing pages") << 3 << 10;
    QTest::newRow("writing external flash") << 6 << 50;
    QTest::newRow("verifying external flash") << 5 << 20;
}

void TestWindow::closingStopsTheUpgrade()
{
    QFETCH(int, request);
    QFETCH(int, transfers);
    sim::DeviceConfig config;
    config.mode = sim::Mode::Bootloader;
    sim::Device &device = deviceHolding(randomUpgradeImage(1), config);
    const QString file = writeUpgradeFile(workDir->filePath("new.upg"), randomUpgradeImage(2));
    sim::setLatency(2000);
    DebugCapture debug;
    auto window = std::make_unique<VR480_Bootloader>();
    changeFirmware(*window, file);
    QTRY_VERIFY_WITH_TIMEOUT(requestCount(sim::controlTransfers(), request) >= transfers, 60000);
    window.reset();

    QCOMPARE(debug.count("Upgrader destructor"), 1);
    const int seen = requestCount(sim::controlTransfers(), request);
    const int total = request == 3 ? kPages : request == 6 ? kExternalWrites : kExternalReads;
    QVERIFY2(seen < total, qPrintable(QString::number(seen)));
    QCOMPARE(device.mode(), sim::Mode::Bootloader);
    QCOMPARE(device.applicationStarts(), 0);
    QCOMPARE(sim::openHandles(), 0);
}

// SRecord's file with data at every window edge becomes an upgrade file that
// holds exactly those bytes with their checksums, and the upgrade worker
// programs it.
void TestWindow::createUpg()
{
    DebugCapture debug;
    VR480_Bootloader window;
    window.findChild<QTextBrowser *>(QStringLiteral("txt"))->setPlainText("earlier text");
    debug.clear();
    const QString upg = workDir->filePath(QStringLiteral("release.upg"));
    answerDialogs([&] { window.slotpushButtonCreateUpg(false); },
                  {openHex(fixture("edges16.hex")), saveUpg(upg)});
    QCOMPARE(logText(window), QString());
    QCOMPARE(debug.lines().value(0), QStringLiteral("VR480_Bootloader::slotpushButtonCreateUpg(bool t)"));

    const QByteArray expected = edgesUpgradeImage();
    QFile file(upg);
    QCOMPARE(file.size(), 393282);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QByteArray payload;
    QVERIFY(UpgradeFile::read(file, payload).ok());
    file.close();
    decodeData(payload.data(), int(payload.size()));
    QVERIFY(payload == expected);

    // The worker takes the file; the device's own unscrambling gives back the
    // application, and the external flash holds the data as the tools store it.
    sim::Device &device = sim::addDevice(0);
    USBVR480 usb;
    Upgrader upgrader(&usb);
    upgrader.setSleeper([](unsigned long) {});
    QStringList log;
    connect(&upgrader, &Upgrader::sendText, this, [&](const QString &text) { log << text; },
            Qt::DirectConnection);
    upgrader.slotSetFileName(upg);
    upgrader.start();
    QVERIFY(upgrader.wait(120000));
    QCOMPARE(log.count(QStringLiteral("OK")), 3);
    QCOMPARE(device.applicationStarts(), 1);
    QVERIFY(holds(device, expected));
}

void TestWindow::createUpgEndings_data()
{
    QTest::addColumn<QString>("hex");         // chosen in the open dialog; "" cancels it
    QTest::addColumn<QString>("upg");         // chosen in the save dialog; "" cancels it
    QTest::addColumn<QString>("log");
    QTest::addColumn<QString>("boxText");     // text of the "Error" box, if one
    QTest::addColumn<QStringList>("unexpected"); // dialogs after the scripted ones

    QTest::newRow("open cancelled") << QString() << QString() << QString() << QString()
                                    << QStringList();
    QTest::newRow("save cancelled") << fixture("firmware.hex") << QString() << QString()
                                    << QString() << QStringList();
    QTest::newRow("foreign brand") << fixture("firmware_brand.hex") << QString()
                                   << "Err: Invalid brand!" << QString()
                                   << QStringList{"Save File"};
    QTest::newRow("conversion error") << fixture("firmware.c") << QString()
                                      << "HexToBin error: -2)" << "HexToBin error: -2)"
                                      << QStringList{"Save File"};
    const QString noApplication = "No application data in " + fixture("bootloader.hex");
    QTest::newRow("no application data") << fixture("bootloader.hex") << QString() << noApplication
                                         << noApplication << QStringList{"Save File"};
    QTest::newRow("folder missing")
        << fixture("firmware.hex") << "missing/release.upg"
        << "Cannot write the file %1/missing/release.upg"
        << "Cannot write the file %1/missing/release.upg" << QStringList();
}

// Every other ending: no file is left behind.
void TestWindow::createUpgEndings()
{
    QFETCH(QString, hex);
    QFETCH(QString, upg);
    QFETCH(QString, log);
    QFETCH(QString, boxText);
    QFETCH(QStringList, unexpected);
    log.replace(QLatin1String("%1"), workDir->path());
    boxText.replace(QLatin1String("%1"), workDir->path());

    DebugCapture quiet;
    VR480_Bootloader window;
    QList<Answer> answers{openHex(hex)};
    if (!hex.isEmpty() && unexpected.isEmpty())
        answers << saveUpg(upg.isEmpty() ? QString() : workDir->filePath(upg));
    if (!boxText.isEmpty())
        answers << errorBox(boxText);
    answerDialogs([&] { window.slotpushButtonCreateUpg(false); }, answers);
    QCOMPARE(logText(window), log);
    QCOMPARE(QDir(workDir->path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
             QStringList());
}

// Year 26, week 15, numbers 1 to 3.
void TestWindow::createBootBin()
{
    VR480_Bootloader window;
    window.setDateSource([] { return QDate(2026, 4, 8); });
    answerDialogs([&] { window.slotpushButtonCreateBootBin(false); },
                  bootloaderAnswers(fixture("bootloader.hex"), 1, 9998, 3));
    QCOMPARE(logText(window), QStringLiteral("prod_number 1\niter 3\n"
                                           "261500001\nNew bootloader + serial:\nVr480_Bootloader_261500001.bin\n"
                                           "261500002\nNew bootloader + serial:\nVr480_Bootloader_261500002.bin\n"
                                           "261500003\nNew bootloader + serial:\nVr480_Bootloader_261500003.bin"));
    QCOMPARE(QDir().entryList(QDir::Files),
             QStringList({"Vr480_Bootloader_261500001.bin", "Vr480_Bootloader_261500002.bin",
                          "Vr480_Bootloader_261500003.bin"}));
    const QByteArray first = contents("Vr480_Bootloader_261500001.bin");
    QCOMPARE(first.size(), 16384);
    QCOMPARE(qFromLittleEndian<quint32>(first.constData()), 0x20010000u); // the program's vectors
    QCOMPARE(first.mid(0x3FD0, 2), QByteArray(2, '\0'));
    // The serial over the file's placeholder, whose tenth byte stays.
    QCOMPARE(first.mid(0x3FF0, 11), QByteArray("261500001*\0", 11));
    for (const char *name : {"Vr480_Bootloader_261500002.bin", "Vr480_Bootloader_261500003.bin"}) {
        QByteArray other = contents(name);
        QCOMPARE(other.mid(0x3FF0, 9), QByteArray(name + 17, 9));
        QCOMPARE(other.replace(0x3FF8, 1, "1"), first);
    }
}

void TestWindow::productionNumberLimits_data()
{
    QTest::addColumn<int>("number");
    QTest::addColumn<int>("maxCount");
    QTest::newRow("9990") << 9990 << 9;
    QTest::newRow("9998") << 9998 << 1;
    QTest::newRow("9999") << 9999 << 1;
}

// The last number of a run is 9998, but a run may start at 9999.
void TestWindow::productionNumberLimits()
{
    QFETCH(int, number);
    QFETCH(int, maxCount);
    VR480_Bootloader window;
    window.setDateSource([] { return QDate(2026, 4, 8); });
    answerDialogs([&] { window.slotpushButtonCreateBootBin(false); },
                  bootloaderAnswers(fixture("bootloader.hex"), number, maxCount, maxCount));
    const QStringList files = QDir().entryList(QDir::Files);
    QCOMPARE(files.size(), maxCount);
    QCOMPARE(files.last(), QStringLiteral("Vr480_Bootloader_2615%1.bin")
                               .arg(qMin(number + maxCount - 1, 9999), 5, 10, QLatin1Char('0')));
}

void TestWindow::productionDate_data()
{
    QTest::addColumn<QDate>("today");
    QTest::addColumn<QString>("year");
    QTest::addColumn<QString>("week");
    QTest::newRow("week 15") << QDate(2026, 4, 8) << "26" << "15";
    QTest::newRow("week 53") << QDate(2026, 12, 31) << "26" << "53";
    // The year is the ISO week's, which differs from the calendar's around New Year.
    QTest::newRow("1 January in last year's week 53") << QDate(2027, 1, 1) << "26" << "53";
    QTest::newRow("1 January in last year's week 52") << QDate(2022, 1, 1) << "21" << "52";
    QTest::newRow("29 December in next year's week 1") << QDate(2025, 12, 29) << "26" << "01";
    QTest::newRow("year 2000") << QDate(2000, 6, 1) << "00" << "22";
}

// The dialogs offer today's ISO week and its year; cancelling the week
// ends the run.
void TestWindow::productionDate()
{
    QFETCH(QDate, today);
    QFETCH(QString, year);
    QFETCH(QString, week);
    VR480_Bootloader window;
    window.setDateSource([today] { return today; });
    answerDialogs([&] { window.slotpushButtonCreateBootBin(false); },
                  {openHex(fixture("bootloader.hex")), itemDialog("Production year", "Year(YY)", kYears, year),
                   itemDialog("Production week", "Week(WW)", kWeeks, week, false)});
    QCOMPARE(QDir().entryList(QDir::Files), QStringList());
}

void TestWindow::createBootBinEndings_data()
{
    QTest::addColumn<QString>("hex");
    QTest::addColumn<int>("cancelAt"); // dialog cancelled: 1 open, 2 year, 3 week, 4 number, 5 count; 0 none
    QTest::addColumn<QString>("log");
    QTest::addColumn<QString>("boxText");
    QTest::addColumn<QStringList>("files");

    const QString hex = fixture("bootloader.hex");
    for (int at = 1; at <= 5; ++at) {
        QTest::addRow("cancel at dialog %d", at)
            << hex << at << (at == 5 ? "prod_number 1" : "") << QString() << QStringList();
    }
    QTest::newRow("foreign brand") << fixture("bootloader_brand.hex") << 0 << "Err: Invalid brand!"
                                   << QString() << QStringList();
    QTest::newRow("conversion error") << fixture("firmware.ld") << 0 << "HexToBin error: -2)"
                                      << "HexToBin error: -2)" << QStringList();
    const QString noBootloader = "No bootloader data in " + fixture("firmware.hex");
    QTest::newRow("no bootloader data") << fixture("firmware.hex") << 0 << noBootloader << noBootloader
                                        << QStringList();
    // A folder in the way of the second file: the run stops there.
    QTest::newRow("second file not written")
        << hex << 0
        << "prod_number 1\niter 3\n261500001\nNew bootloader + serial:\nVr480_Bootloader_261500001.bin\n"
           "261500002\nCannot write the file Vr480_Bootloader_261500002.bin"
        << "Cannot write the file Vr480_Bootloader_261500002.bin"
        << QStringList{"Vr480_Bootloader_261500001.bin"};
}

void TestWindow::createBootBinEndings()
{
    QFETCH(QString, hex);
    QFETCH(int, cancelAt);
    QFETCH(QString, log);
    QFETCH(QString, boxText);
    QFETCH(QStringList, files);

    VR480_Bootloader window;
    window.setDateSource([] { return QDate(2026, 4, 8); });
    QList<Answer> answers;
    if (cancelAt > 0) {
        answers = bootloaderAnswers(hex, 1, 9998, 3).mid(0, cancelAt);
        answers.last().reply = kCancel;
    } else if (files.isEmpty()) {
        answers << openHex(hex);
    } else {
        QVERIFY(QDir().mkdir(QStringLiteral("Vr480_Bootloader_261500002.bin")));
        answers = bootloaderAnswers(hex, 1, 9998, 3);
    }
    if (!boxText.isEmpty())
        answers << errorBox(boxText);
    answerDialogs([&] { window.slotpushButtonCreateBootBin(false); }, answers);
    QCOMPARE(logText(window), log);
    QCOMPARE(QDir().entryList(QDir::Files), files);
}

// Choosing the HEX file itself as the upgrade file, and confirming the
// replacement, saves the upgrade file over it: the image is already in memory.
void TestWindow::createUpgOverItsInput()
{
    const QString hex = workDir->filePath(QStringLiteral("fw.hex"));
    QVERIFY(QFile::copy(fixture("edges16.hex"), hex));
    VR480_Bootloader window;
    answerDialogs([&] { window.slotpushButtonCreateUpg(false); },
                  {openHex(hex), saveUpg(hex), {"warning: Save File / fw.hex already exists.\nDo you want to replace it? (more buttons)", "Yes"}});
    QCOMPARE(logText(window), QString());
    QBuffer file;
    file.setData(contents(hex));
    QVERIFY(file.open(QIODevice::ReadOnly));
    QByteArray payload;
    QVERIFY(UpgradeFile::read(file, payload).ok());
    decodeData(payload.data(), int(payload.size()));
    QVERIFY(payload == edgesUpgradeImage());
}

QTEST_MAIN(TestWindow)
#include "tst_window.moc"
