// The service tools of the main window against the simulated device, driven
// through their real dialogs: Read, Write and WritePage on device memory,
// ReadExternalFlash, WriteExternalFlash and WriteExtFlashBin on the external
// flash. What the dialogs offer is remembered for the whole process, so each
// test walks one tool's calls in order.

#include "app/vr480_bootloader.h"
#include "image/scramble.h"
#include "sim/simdevice.h"
#include "testsupport.h"
#include "tools/hexdump.h"

#include <QApplication>
#include <QFileDialog>
#include <QInputDialog>
#include <QMessageBox>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTextBrowser>
#include <QTranslator>
#include <QtTest>

#include <functional>
#include <optional>

Q_DECLARE_METATYPE(sim::Fault)
Q_DECLARE_METATYPE(QMessageBox::Icon)

namespace {

using Answer = std::function<void(QWidget *)>;

// Answers the modal dialogs that show while it exists, one answer each in
// order; a dialog beyond the answers is cancelled and counted.
class Dialogs {
public:
    explicit Dialogs(QList<Answer> answers) : pending(std::move(answers))
    {
        QObject::connect(&timer, &QTimer::timeout, [this] { poll(); });
        timer.start(0);
    }
    int unanswered() const { return int(pending.size()); }
    int unexpected() const { return extra; }

private:
    void poll()
    {
        QWidget *dialog = QApplication::activeModalWidget();
        if (!dialog || dialog == last)
            return;
        last = dialog;
        if (pending.isEmpty()) {
            ++extra;
            static_cast<QDialog *>(dialog)->reject();
            return;
        }
        pending.takeFirst()(dialog);
    }

    QTimer timer;
    QList<Answer> pending;
    QPointer<QWidget> last;
    int extra = 0;
};

// Clicks the (hidden) button and answers the dialogs of the slot it runs.
void click(const QObject &window, const char *name, QList<Answer> answers = {})
{
    Dialogs dialogs(std::move(answers));
    auto *button = window.findChild<QPushButton *>(QString::fromLatin1(name));
    QVERIFY(button);
    button->click();
    QCOMPARE(dialogs.unanswered(), 0);
    QCOMPARE(dialogs.unexpected(), 0);
}

// Each answer looks at the dialog, closes it, and only then compares, so a
// failed comparison never leaves a dialog open.
void closeInput(QInputDialog *dialog, bool accept)
{
    if (accept)
        dialog->accept();
    else
        dialog->reject();
}

// The dialog as the kind expected, or nothing after cancelling another kind.
template <typename Dialog>
Dialog *expect(QWidget *w)
{
    auto *dialog = qobject_cast<Dialog *>(w);
    if (!dialog)
        static_cast<QDialog *>(w)->reject();
    return dialog;
}

// A one-line text dialog: its title, label and offered text; then `reply`
// is entered, or the dialog is cancelled when there is none.
Answer text(const QString &title, const QString &label, const QString &offered,
            std::optional<QString> reply)
{
    return [=](QWidget *w) {
        auto *dialog = expect<QInputDialog>(w);
        QVERIFY2(dialog, qPrintable(w->windowTitle()));
        const QStringList seen{dialog->windowTitle(), dialog->labelText(), dialog->textValue()};
        const bool oneLine = dialog->inputMode() == QInputDialog::TextInput
            && dialog->textEchoMode() == QLineEdit::Normal;
        if (reply)
            dialog->setTextValue(*reply);
        closeInput(dialog, reply.has_value());
        QCOMPARE(seen, (QStringList{title, label, offered}));
        QVERIFY(oneLine);
    };
}

// An integer dialog: title, label, and offered value, minimum, maximum, step.
Answer integer(const QString &title, const QString &label, QList<int> offered, std::optional<int> reply)
{
    return [=](QWidget *w) {
        auto *dialog = expect<QInputDialog>(w);
        QVERIFY2(dialog, qPrintable(w->windowTitle()));
        const QStringList seen{dialog->windowTitle(), dialog->labelText()};
        const QList<int> numbers{dialog->intValue(), dialog->intMinimum(), dialog->intMaximum(),
                                 dialog->intStep()};
        const bool intMode = dialog->inputMode() == QInputDialog::IntInput;
        if (reply)
            dialog->setIntValue(*reply);
        closeInput(dialog, reply.has_value());
        QCOMPARE(seen, (QStringList{title, label}));
        QCOMPARE(numbers, offered);
        QVERIFY(intMode);
    };
}

// A message box with a single OK button, which is pressed.
Answer box(QMessageBox::Icon icon, const QString &title, const QString &message)
{
    return [=](QWidget *w) {
        auto *dialog = expect<QMessageBox>(w);
        QVERIFY2(dialog, qPrintable(w->windowTitle()));
        const QStringList seen{dialog->windowTitle(), dialog->text()};
        const QMessageBox::Icon shown = dialog->icon();
        const QMessageBox::StandardButtons buttons = dialog->standardButtons();
        dialog->accept();
        QCOMPARE(seen, (QStringList{title, message}));
        QCOMPARE(shown, icon);
        QCOMPARE(buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    };
}

Answer conversionError() { return box(QMessageBox::Warning, "error", "Conversion error"); }

// The open-file dialog of WriteExtFlashBin; an empty path cancels it.
Answer openFile(const QString &path)
{
    return [=](QWidget *w) {
        auto *dialog = expect<QFileDialog>(w);
        QVERIFY2(dialog, qPrintable(w->windowTitle()));
        const QStringList seen{dialog->windowTitle(), dialog->nameFilters().join(';')};
        if (path.isEmpty()) {
            dialog->reject();
        } else {
            dialog->selectFile(path);
            static_cast<QDialog *>(dialog)->accept();
        }
        QCOMPARE(seen, (QStringList{"Open File", "Bin (*.bin)"}));
    };
}

QByteArray randomBytes(int length, quint32 seed)
{
    QByteArray bytes(length, '\0');
    QRandomGenerator random(seed);
    for (char &c : bytes)
        c = char(random.bounded(256));
    return bytes;
}

QByteArray scrambled(QByteArray data)
{
    encodeData(data.data(), int(data.size()));
    return data;
}

QTextBrowser *logOf(const QObject &window)
{
    return window.findChild<QTextBrowser *>("txt");
}

QString logText(const QObject &window)
{
    return logOf(window)->toPlainText();
}

// The log holds what clear() and append() would leave: the same document
// and the cursor at its end.
void checkAsAppended(const QObject &window)
{
    QTextBrowser *log = logOf(window);
    QTextBrowser reference;
    reference.setFont(log->font());
    reference.append(log->toPlainText());
    QCOMPARE(log->toHtml(), reference.toHtml());
    QCOMPARE(log->textCursor().position(), reference.textCursor().position());
}

// A dump with the buffer's own address in its header blanked out: that
// address is where the slot's buffer happened to lie.
QString anyAddress(const QString &dump)
{
    static const QRegularExpression header("src address: 0x[0-9a-f]{8,}");
    QString out = dump;
    return out.replace(header, "src address: *");
}

QString dumpOf(const QByteArray &data)
{
    return anyAddress(QString::fromLatin1(HexDump(data.constData(), int(data.size()))));
}

// Address and length of each vendor transfer with the given request.
QStringList transfers(int request)
{
    QStringList out;
    for (const sim::Event &e : sim::controlTransfers())
        if (e.request == request && (e.requestType & 0x60) == 0x40)
            out << QStringLiteral("0x%1+%2").arg(quint32(e.index) << 16 | quint32(e.value), 0, 16).arg(e.length);
    return out;
}

QByteArray sentData(int request)
{
    QByteArray out;
    for (const sim::Event &e : sim::controlTransfers())
        if (e.request == request && e.requestType == 0x40)
            out += e.data;
    return out;
}

QList<int> values(const QSignalSpy &spy)
{
    QList<int> out;
    for (const QList<QVariant> &arguments : spy)
        out << arguments.at(0).toInt();
    return out;
}

sim::Device &bootloader()
{
    sim::DeviceConfig config;
    config.mode = sim::Mode::Bootloader;
    return sim::addDevice(0, config);
}

constexpr int kMaxLength = 1048576;

} // namespace

class TestServiceTools : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void read();
    void write();
    void writePage();
    void readExternalFlash();
    void writeExternalFlash();
    void writeExtFlashBin_data();
    void writeExtFlashBin();
};

void TestServiceTools::init()
{
    sim::reset();
}

void TestServiceTools::cleanup()
{
    sim::reset();
}

void TestServiceTools::read()
{
    sim::Device &device = bootloader();
    device.setFlash(0x08000000, randomBytes(0x2000, 1));
    VR480_Bootloader window;
    DebugCapture debug;
    const QString title = "Read From Vr480";
    const auto address = [&](const QString &offered, std::optional<QString> reply) {
        return text(title, "Address (hex)", offered, reply);
    };
    const auto length = [&](int offered, std::optional<int> reply) {
        return integer(title, "Length (dec)", {offered, 1, kMaxLength, 1}, reply);
    };

    // First offer; an address without its prefix. The log is cleared first.
    logOf(window)->append("earlier line");
    click(window, "pushButtonRead", {address("0x8000000", "8000000"), length(256, 32)});
    QCOMPARE(debug.count("VR480_Bootloader::slotpushButtonRead(bool t)"), 1);
    QCOMPARE(transfers(1), QStringList{"0x8000000+32"});
    QCOMPARE(anyAddress(logText(window)), dumpOf(device.flash(0x08000000, 32)));
    checkAsAppended(window);

    // "0X" and upper-case digits; the length entered before is offered.
    sim::clearEvents();
    click(window, "pushButtonRead", {address("0x8000000", "0X80000A0"), length(32, 5000)});
    QCOMPARE(transfers(1), (QStringList{"0x80000a0+2048", "0x80008a0+2048", "0x80010a0+904"}));
    QCOMPARE(anyAddress(logText(window)), dumpOf(device.flash(0x080000A0, 5000)));

    // Cancelling the length dialog reads nothing and changes nothing.
    sim::clearEvents();
    click(window, "pushButtonRead", {address("0x80000a0", "0x8000000"), length(5000, std::nullopt)});
    // Not hexadecimal: the box comes after the length dialog, whose value
    // counts; the address offered next is 0.
    click(window, "pushButtonRead", {address("0x80000a0", "8000xyz"), length(5000, 7), conversionError()});
    click(window, "pushButtonRead", {address("0x0", std::nullopt)});
    QVERIFY(sim::controlTransfers().isEmpty());

    // A failed read shows "Read error" in place of a dump.
    sim::addFault({sim::Fault::Stall, 1});
    click(window, "pushButtonRead", {address("0x0", "0x8000000"), length(7, 16)});
    QCOMPARE(transfers(1), QStringList{"0x8000000+16"});
    QCOMPARE(logText(window), QStringLiteral("Read error"));
    QCOMPARE(debug.count("VR480_Bootloader::slotpushButtonRead(bool t)"), 6);
}

void TestServiceTools::write()
{
    sim::Device &device = bootloader();
    VR480_Bootloader window;
    DebugCapture debug;
    QByteArray pattern(512, '\0');
    for (int i = 0; i < 512; ++i)
        pattern[i] = char(i);

    // Sent: the block reaches the device, its dump goes to the debug output
    // as one quoted string, nothing to the log.
    click(window, "pushButtonWrite");
    QCOMPARE(transfers(2), QStringList{"0x0+512"});
    QCOMPARE(device.lastBlock(), pattern);
    QString quoted;
    QDebug(&quoted).nospace() << HexDump(pattern.constData(), 512);
    const auto dumps = [&] { return debug.lines().filter(QRegularExpression("^\"\\\\n src address: 0x")); };
    QCOMPARE(debug.lines().value(0), QStringLiteral("VR480_Bootloader::slotpushButtonWrite(bool t)"));
    QCOMPARE(dumps().size(), 1);
    QCOMPARE(anyAddress(dumps().first()), anyAddress(quoted));
    QVERIFY(logText(window).isEmpty());

    // Refused: no dump anywhere.
    debug.clear();
    sim::addFault({sim::Fault::Short, 2, -1, 0, 1, 100});
    click(window, "pushButtonWrite");
    QCOMPARE(debug.count("VR480_Bootloader::slotpushButtonWrite(bool t)"), 1);
    QVERIFY(dumps().isEmpty());
    QVERIFY(logText(window).isEmpty());
}

void TestServiceTools::writePage()
{
    sim::Device &device = bootloader();
    VR480_Bootloader window;
    DebugCapture debug;
    const auto pattern = [](int offered, std::optional<int> reply) {
        return integer("Fill pattern", "Number (dec)", {offered, 0, 255, 1}, reply);
    };
    const QByteArray page(2048, char(0xA5));
    const QByteArray before = device.flash(0x08004800, 2048);

    // The page goes to 0x08005000, scrambled on the wire, plain in the flash.
    click(window, "pushButtonWritePage", {pattern(0, 0xA5)});
    QCOMPARE(transfers(3), QStringList{"0x8005000+2048"});
    QCOMPARE(sentData(3), scrambled(page));
    QCOMPARE(device.flash(0x08005000, 2048), page);
    QCOMPARE(device.flash(0x08004800, 2048), before);
    QCOMPARE(debug.count("page write OK"), 1);

    // The value is offered again; cancelled, nothing is written.
    sim::clearEvents();
    click(window, "pushButtonWritePage", {pattern(0xA5, std::nullopt)});
    QVERIFY(sim::controlTransfers().isEmpty());

    sim::addFault({sim::Fault::Stall, 3});
    click(window, "pushButtonWritePage", {pattern(0xA5, 1)});
    QCOMPARE(debug.count("page write ERROR"), 1);
    QCOMPARE(device.flash(0x08005000, 2048), page);
    QCOMPARE(debug.count("VR480_Bootloader::slotpushButtonWritePage(bool t)"), 3);
    QVERIFY(logText(window).isEmpty());
}

void TestServiceTools::readExternalFlash()
{
    sim::Device &device = bootloader();
    const QByteArray plain = randomBytes(1000, 2);
    device.setExternalFlash(0x100, scrambled(plain));
    VR480_Bootloader window;
    QSignalSpy bar(window.findChild<QProgressBar *>("progressBarExtFlashRd"), &QProgressBar::valueChanged);
    DebugCapture debug;
    const QString title = "Read External Flash From Vr480";
    const auto address = [&](const QString &offered, std::optional<QString> reply) {
        return text(title, "Address (hex)", offered, reply);
    };
    const auto length = [&](int offered, std::optional<int> reply) {
        return integer(title, "Length (dec)", {offered, 1, kMaxLength, 1}, reply);
    };

    // Read in chunks of 512 and shown unscrambled.
    click(window, "pushButtonReadExternalFlash", {address("0x0", "0X100"), length(512, 1000)});
    QCOMPARE(transfers(5), (QStringList{"0x100+512", "0x300+488"}));
    QCOMPARE(values(bar), (QList<int>{51, 100}));
    QCOMPARE(anyAddress(logText(window)), dumpOf(plain));

    // Not hexadecimal: the box only after the length dialog; 0 offered next.
    sim::clearEvents();
    click(window, "pushButtonReadExternalFlash", {address("0x100", "zz"), length(1000, 600), conversionError()});
    click(window, "pushButtonReadExternalFlash", {address("0x0", "0x100"), length(600, std::nullopt)});
    QVERIFY(sim::controlTransfers().isEmpty());
    QCOMPARE(anyAddress(logText(window)), dumpOf(plain));

    // A read that fails for good shows "Read error"; like the dialogs, in the
    // user's language.
    QTranslator polish;
    QVERIFY(polish.load(QStringLiteral(VR480_QM_FILE)));
    QCoreApplication::installTranslator(&polish);
    sim::addFault({sim::Fault::Timeout, 5, -1, 0, -1});
    const QString polishTitle = QStringLiteral("Odczyt pamięci zewnętrznej z Vr480");
    click(window, "pushButtonReadExternalFlash",
          {text(polishTitle, QStringLiteral("Adres (szesnastkowo)"), "0x0", "0"),
           integer(polishTitle, QStringLiteral("Długość (dziesiętnie)"), {600, 1, kMaxLength, 1}, 600)});
    QCoreApplication::removeTranslator(&polish);
    QCOMPARE(transfers(5).size(), 101);
    QCOMPARE(logText(window), QStringLiteral("Błąd odczytu"));
    QCOMPARE(debug.count("VR480_Bootloader::slotpushButtonReadExternalFlash(bool t)"), 4);
}

void TestServiceTools::writeExternalFlash()
{
    sim::Device &device = bootloader();
    VR480_Bootloader window;
    DebugCapture debug;
    const QString title = "Write To External Flash Vr480";
    const auto address = [&](const QString &offered, std::optional<QString> reply) {
        return text(title, "Address (hex)", offered, reply);
    };
    const auto length = [&](int offered, std::optional<int> reply) {
        return integer(title, "Length (dec)", {offered, 1, kMaxLength, 1}, reply);
    };
    const auto data = [&](const QString &offered, std::optional<QString> reply) {
        return text(title, "Data(hex)", offered, reply);
    };
    const auto logged = [&](const QString &lengthLine, const QString &addressLine, const QByteArray &sent) {
        return anyAddress(lengthLine + '\n' + addressLine + '\n' + QString::fromLatin1(HexDump(sent.constData(), int(sent.size()))));
    };

    // Five bytes of 0xAB: the first four form a scrambled word, the fifth stays.
    const QByteArray five = scrambled(QByteArray(5, char(0xAB)));
    QVERIFY(five.left(4) != QByteArray(4, char(0xAB)));
    QCOMPARE(five.at(4), char(0xAB));
    logOf(window)->append("earlier line");
    click(window, "pushButtonWriteExternalFlash",
          {address("0x0", "0x1000"), length(1, 5), data("0x1", "0xAB")});
    QCOMPARE(transfers(6), QStringList{"0x1000+5"});
    QCOMPARE(device.externalFlash(0x1000, 5), five);
    QCOMPARE(anyAddress(logText(window)), logged("lenght:        5", "address: 0x    1000", five));

    // A fill value that is not hexadecimal stops before sending and is
    // offered as 0 next; so is an address, which is checked at once.
    sim::clearEvents();
    click(window, "pushButtonWriteExternalFlash",
          {address("0x1000", "0x1000"), length(5, 5), data("0xab", "xyz"), conversionError()});
    click(window, "pushButtonWriteExternalFlash", {address("0x1000", "g"), conversionError()});
    click(window, "pushButtonWriteExternalFlash",
          {address("0x0", "0x0"), length(5, 9), data("0x0", std::nullopt)});
    QVERIFY(sim::controlTransfers().isEmpty());

    // Only the low byte fills; the whole value is offered again.
    click(window, "pushButtonWriteExternalFlash",
          {address("0x0", "0x20000"), length(9, 8), data("0x0", "0x1234")});
    const QByteArray eight = scrambled(QByteArray(8, 0x34));
    QCOMPARE(device.externalFlash(0x20000, 8), eight);
    QCOMPARE(anyAddress(logText(window)), logged("lenght:        8", "address: 0x   20000", eight));

    // A write that fails for good adds "Write error" after the three blocks.
    sim::clearEvents();
    sim::addFault({sim::Fault::Stall, 6, -1, 0, -1, 0, 0x40});
    click(window, "pushButtonWriteExternalFlash",
          {address("0x20000", "0"), length(8, 300), data("0x1234", "0x1")});
    QCOMPARE(transfers(6).size(), 101);
    QCOMPARE(anyAddress(logText(window)),
             logged("lenght:      300", "address: 0x       0", scrambled(QByteArray(300, 1)))
                 + "\nWrite error");
    checkAsAppended(window);
    QCOMPARE(debug.count("VR480_Bootloader::slotpushButtonWriteExternalFlash(bool t)"), 6);
}

void TestServiceTools::writeExtFlashBin_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<sim::Fault>("fault");
    QTest::addColumn<int>("faultRequest"); // -1: no fault
    QTest::addColumn<QMessageBox::Icon>("icon");
    QTest::addColumn<QStringList>("message"); // the box's title and text
    QTest::addColumn<QStringList>("writes");
    QTest::addColumn<QStringList>("reads");
    QTest::addColumn<QList<int>>("writeBar");
    QTest::addColumn<QList<int>>("readBar");

    const QStringList writes{"0x0+256", "0x100+256", "0x200+256", "0x300+232"};
    const QStringList reads{"0x0+512", "0x200+488"};
    const QList<int> writeBar{25, 51, 76, 100};
    const QList<int> readBar{51, 100};
    const auto critical = QMessageBox::Critical;

    QTest::newRow("written and verified")
        << 1000 << sim::Fault::Stall << -1 << QMessageBox::Information << QStringList{"Info", "Write OK"}
        << writes << reads << writeBar << readBar;
    for (int size : {6, 0})
        QTest::addRow("%d bytes", size)
            << size << sim::Fault::Stall << -1 << critical
            << QStringList{"Length error", "Length should be aligned to 4"} << QStringList() << QStringList()
            << QList<int>() << QList<int>();
    QTest::newRow("read back differs")
        << 1000 << sim::Fault::Corrupt << 5 << critical << QStringList{"Error", "memcmp"} << writes << reads
        << writeBar << readBar;
    QTest::newRow("write fails")
        << 1000 << sim::Fault::Stall << 6 << critical << QStringList{"Error", "WriteExternalFlashToAddress"}
        << QStringList(101, "0x0+256") << QStringList() << QList<int>() << QList<int>();
    QTest::newRow("read-back fails")
        << 1000 << sim::Fault::Stall << 5 << critical << QStringList{"Error", "ReadExternalFlashFromAddress"}
        << writes << QStringList(101, "0x0+512") << writeBar << QList<int>();
}

void TestServiceTools::writeExtFlashBin()
{
    QFETCH(int, size);
    QFETCH(sim::Fault, fault);
    QFETCH(int, faultRequest);
    QFETCH(QMessageBox::Icon, icon);
    QFETCH(QStringList, message);
    QFETCH(QStringList, writes);
    QFETCH(QStringList, reads);
    QFETCH(QList<int>, writeBar);
    QFETCH(QList<int>, readBar);

    sim::Device &device = bootloader();
    const QByteArray image = randomBytes(size, 3);
    QTemporaryDir dir;
    const QString path = dir.filePath("image.bin");
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(image) == size);
    file.close();

    VR480_Bootloader window;
    QSignalSpy writeSpy(window.findChild<QProgressBar *>("progressBarExtFlashWr"), &QProgressBar::valueChanged);
    QSignalSpy readSpy(window.findChild<QProgressBar *>("progressBarExtFlashRd"), &QProgressBar::valueChanged);
    DebugCapture debug;

    // No file chosen: nothing happens.
    click(window, "pushButtonWriteExtFlashBin", {openFile(QString())});
    QVERIFY(sim::controlTransfers().isEmpty());

    // A corrupted read-back once; a failing transfer every time.
    if (faultRequest >= 0)
        sim::addFault({fault, faultRequest, -1, 0, fault == sim::Fault::Corrupt ? 1 : -1, 0,
                       faultRequest == 5 ? 0xC0 : 0x40});
    click(window, "pushButtonWriteExtFlashBin", {openFile(path), box(icon, message[0], message[1])});
    QCOMPARE(transfers(6), writes);
    QCOMPARE(transfers(5), reads);
    QCOMPARE(values(writeSpy), writeBar);
    QCOMPARE(values(readSpy), readBar);
    QCOMPARE(debug.count("VR480_Bootloader::slotpushButtonWriteExtFlashBin(bool t)"), 2);
    QCOMPARE(debug.count(QStringLiteral("length error %1").arg(size)), writes.isEmpty() ? 1 : 0);
    // Whatever was written is the image scrambled, and stays in the flash.
    if (!reads.isEmpty())
        QCOMPARE(device.externalFlash(0, size), scrambled(image));
    QVERIFY(logText(window).isEmpty());
}

QTEST_MAIN(TestServiceTools)
#include "tst_servicetools.moc"
