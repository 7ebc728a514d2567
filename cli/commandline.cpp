#include "cli/commandline.h"

#include "cli/progress.h"
#include "image/imagebuilder.h"
#include "image/intelhex.h"
#include "image/outputfiles.h"
#include "image/upgradefile.h"
#include "tools/hexdump.h"
#include "tools/servicetools.h"
#include "upgrade/upgrader.h"
#include "usb/usbvr480.h"

#include <QCommandLineParser>
#include <QDate>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QThread>
#include <QtEndian>

#include <csignal>
#include <cstdio>
#include <functional>
#include <optional>

namespace {

// --- Output and failures ---------------------------------------------------

QString programName = QStringLiteral("vr480-cli");

void writeTo(std::FILE *stream, const QByteArray &bytes)
{
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fflush(stream);
}

void print(const QString &text)
{
    writeTo(stdout, text.toLocal8Bit() + '\n');
}

// Ends a command with an exit status and a message for standard error.
// Thrown by the commands and caught once, in runCommandLine.
struct Exit {
    int status;
    QString message;
    QString command; // for a usage error: whose help to point at
};

[[noreturn]] void fail(int status, const QString &message)
{
    throw Exit{status, message, {}};
}

// --- Stopping on Ctrl+C ----------------------------------------------------

volatile std::sig_atomic_t stopRequested = 0;

extern "C" void requestStop(int)
{
    stopRequested = 1;
}

// Waits for a running thread, passing a Ctrl+C or termination signal on as a
// stop request: device operations stop between two transfers, so the device
// is never left in the middle of one.
void waitFor(QThread &thread)
{
    while (!thread.wait(50)) {
        if (stopRequested)
            thread.requestInterruption();
    }
}

// --- Arguments -------------------------------------------------------------

// A command's parsed command line, with conversions that end the command with
// a usage error naming the argument.
class Invocation {
public:
    Invocation(const QString &command, const QCommandLineParser &parser, bool terminal)
        : command(command), parser(parser), terminal(terminal)
    {
    }

    const QString command;
    const QCommandLineParser &parser;
    const bool terminal;

    [[noreturn]] void usageError(const QString &message) const
    {
        throw Exit{ExitUsage, message, command};
    }

    QString argument(int i) const { return parser.positionalArguments().at(i); }

    std::optional<QString> option(const QString &name) const
    {
        if (!parser.isSet(name))
            return std::nullopt;
        return parser.value(name);
    }

    QString requiredOption(const QString &name) const
    {
        const std::optional<QString> value = option(name);
        if (!value || value->isEmpty())
            usageError(QStringLiteral("--%1 is required").arg(name));
        return *value;
    }

    // An address as the service tools take it: hexadecimal, "0x" optional.
    quint32 address(const QString &what, const QString &text) const
    {
        bool ok = false;
        const quint32 value = ServiceTools::fromHexText(text, &ok);
        if (!ok)
            usageError(QStringLiteral("%1 \"%2\" is not a hexadecimal 32-bit address").arg(what, text));
        return value;
    }

    // A decimal number, or a hexadecimal one with "0x", from `low` to `high`.
    int number(const QString &what, const QString &text, int low, int high) const
    {
        bool ok = false;
        const bool hex = text.startsWith(QLatin1String("0x"), Qt::CaseInsensitive);
        const qlonglong value = hex ? text.mid(2).toLongLong(&ok, 16) : text.toLongLong(&ok, 10);
        if (!ok || value < low || value > high)
            usageError(QStringLiteral("%1 \"%2\" is not a number from %3 to %4").arg(what, text).arg(low).arg(high));
        return int(value);
    }

    int numberOption(const QString &name, int low, int high, std::optional<int> fallback) const
    {
        const std::optional<QString> text = option(name);
        if (!text && fallback)
            return *fallback;
        return number(QStringLiteral("--") + name, text ? *text : requiredOption(name), low, high);
    }
};

// --- Files -----------------------------------------------------------------

QByteArray readInput(const QString &fileName)
{
    QFile file(fileName);
    if (QFileInfo(fileName).isDir())
        fail(ExitBadInput, QStringLiteral("%1: is a folder").arg(fileName));
    if (!file.open(QIODevice::ReadOnly))
        fail(ExitBadInput, QStringLiteral("%1: %2").arg(fileName, file.errorString()));
    return file.readAll();
}

void saveOutput(const QString &fileName, const QByteArray &contents)
{
    QString error;
    if (!ImageBuilder::saveFile(fileName, contents, &error))
        fail(ExitCannotWrite, error);
    print(fileName);
}

// A HexToBin result other than 0 refuses the file.
void checkConverted(const QString &hexFile, int result)
{
    if (result != HexOk)
        fail(ExitBadInput, QStringLiteral("%1: %2 (HexToBin error %3)")
                               .arg(hexFile, hexToBinErrorText(result))
                               .arg(result));
}

// Images of another brand are refused, as the window refuses them.
void checkBrand(const QString &hexFile, const QByteArray &image, int brandOffset)
{
    if (ImageBuilder::hasForeignBrand(image, brandOffset))
        fail(ExitBadInput,
             QStringLiteral("%1: invalid brand: 0x%2 at 0x%3, where this program takes 0 only")
                 .arg(hexFile)
                 .arg(qFromLittleEndian<quint16>(image.constData() + brandOffset), 4, 16, QLatin1Char('0'))
                 .arg(MemoryMap::kFlashBase + quint32(brandOffset), 8, 16, QLatin1Char('0')));
}

// --- The device --------------------------------------------------------------

QString modeName(const QByteArray &serial)
{
    switch (USBVR480::runningFirmware(serial)) {
    case USBVR480::Firmware::Application:
        return QStringLiteral("application");
    case USBVR480::Firmware::Bootloader:
        return QStringLiteral("bootloader");
    case USBVR480::Firmware::Unknown:
        break;
    }
    return QStringLiteral("unknown");
}

// Runs `work` on a thread of its own with the device connected, so that
// Ctrl+C can stop it between two transfers. The serial read at connection
// is passed to `work`.
void onDevice(USBVR480 &usb, const std::function<void(const QByteArray &serial)> &work)
{
    std::optional<Exit> failure;
    std::unique_ptr<QThread> thread(QThread::create([&] {
        try {
            if (usb.connect() != 0)
                fail(ExitNoDevice, QStringLiteral("no VR480 found: check the USB cable, and that this "
                                                  "user may open the device"));
            work(usb.readStringDescriptor());
        } catch (const Exit &exit) {
            failure = exit;
        }
    }));
    thread->start();
    waitFor(*thread);
    usb.disconnect();
    if (failure && stopRequested)
        fail(ExitInterrupted, QStringLiteral("interrupted"));
    if (failure)
        throw *failure;
}

// External flash answers only in the bootloader.
QString bootloaderHint(const QByteArray &serial)
{
    return USBVR480::isApplicationSerial(serial)
               ? QStringLiteral(" (the device runs its application; \"%1 restart\" starts its bootloader)")
                     .arg(programName)
               : QString();
}

// --- Commands ----------------------------------------------------------------

void createUpg(const Invocation &in)
{
    const QString hexFile = in.argument(0);
    const QString upgFile = in.requiredOption(QStringLiteral("output"));
    QByteArray image;
    checkConverted(hexFile, ImageBuilder::convertUpgradeImage(hexFile, image));
    checkBrand(hexFile, image, UpgradeFile::kBrandOffset);
    QString error;
    if (!ImageBuilder::saveUpgradeFile(upgFile, image, &error))
        fail(ExitCannotWrite, error);
    print(upgFile);
}

void createBootBin(const Invocation &in)
{
    const QString hexFile = in.argument(0);
    const QDate today = QDate::currentDate();
    const int year = in.numberOption(QStringLiteral("year"), 0, 99, ImageBuilder::productionYear(today));
    const int week = in.numberOption(QStringLiteral("week"), 1, 53, ImageBuilder::productionWeek(today));
    const int number = in.numberOption(QStringLiteral("number"), 1, ImageBuilder::kMaxProductionNumber, {});
    const int count = in.numberOption(QStringLiteral("count"), 1, ImageBuilder::maxProductionCount(number), 1);
    const std::optional<QString> dir = in.option(QStringLiteral("dir"));

    QByteArray image;
    checkConverted(hexFile, ImageBuilder::convertBootloaderImage(hexFile, image));
    checkBrand(hexFile, image, ImageBuilder::kBootloaderBrandOffset);

    // All files or none: a production run is repeated as a whole.
    OutputFiles files;
    QStringList names;
    for (int n = number; n < number + count; ++n) {
        const QByteArray serial = ImageBuilder::productionSerial(year, week, n);
        ImageBuilder::setSerial(image, serial);
        const QString name = ImageBuilder::bootloaderFileName(serial);
        names << (dir ? QDir(*dir).filePath(name) : name);
        if (!files.add(names.last(), OutputFiles::bytes(image)))
            break;
    }
    if (!files.commit())
        fail(ExitCannotWrite, files.errorString());
    for (const QString &name : std::as_const(names))
        print(name);
}

void hexToBin(const Invocation &in)
{
    constexpr quint64 kMaxWindow = 256 * 1024 * 1024;
    const QString hexFile = in.argument(0);
    const quint32 first = in.address(QStringLiteral("--first"), in.requiredOption(QStringLiteral("first")));
    const quint32 last = in.address(QStringLiteral("--last"), in.requiredOption(QStringLiteral("last")));
    const QString binFile = in.requiredOption(QStringLiteral("output"));
    const int fill = in.numberOption(QStringLiteral("fill"), 0, 255, 0);
    if (last < first)
        in.usageError(QStringLiteral("--last 0x%1 is below --first 0x%2").arg(last, 0, 16).arg(first, 0, 16));
    const quint64 size = quint64(last) - first + 1;
    if (size > kMaxWindow)
        in.usageError(QStringLiteral("a window of %1 bytes is larger than 256 MiB").arg(size));

    QByteArray window(qsizetype(size), static_cast<char>(fill));
    checkConverted(hexFile, HexToBin(hexFile, window.data(), first, last));
    saveOutput(binFile, window);
}

void info(const Invocation &)
{
    USBVR480 usb;
    onDevice(usb, [&](const QByteArray &serial) {
        print(QStringLiteral("Serial: ") + USBVR480::deviceText(serial));
        print(QStringLiteral("Mode: ") + modeName(serial));
        const std::optional<QString> version = usb.ReadBootloaderVersion();
        if (!version)
            fail(ExitDeviceFailed, QStringLiteral("cannot read the bootloader version"));
        print(QStringLiteral("Bootloader version: ") + *version);
    });
}

void restart(const Invocation &)
{
    constexpr int kTries = 50; // 10 s in 200 ms steps
    USBVR480 usb;
    onDevice(usb, [&](const QByteArray &serial) {
        print(QStringLiteral("Mode: %1, restarting").arg(modeName(serial)));
        // The application restarts into the bootloader and the bootloader
        // starts the application: wait for the other one.
        const auto other = USBVR480::isApplicationSerial(serial) ? &USBVR480::isBootloaderSerial
                                                                 : &USBVR480::isApplicationSerial;
        usb.RunApplication();
        usb.disconnect();
        if (!usb.waitForSerial(other, kTries, 200, [](unsigned long ms) { QThread::msleep(ms); }))
            fail(ExitDeviceFailed, QStringLiteral("the device did not come back within 10 s"));
        const QByteArray now = usb.readStringDescriptor();
        print(QStringLiteral("Mode: %1").arg(modeName(now)));
        print(QStringLiteral("Serial: ") + USBVR480::deviceText(now));
    });
}

void upgrade(const Invocation &in)
{
    const QString upgFile = in.argument(0);
    readInput(upgFile); // unreadable: refused before the device is touched

    USBVR480 usb;
    Upgrader upgrader(&usb);
    upgrader.setStartCheck(true);
    Progress progress(stdout, in.terminal);
    // Without a receiver the functors run on the worker's thread, which is
    // the only one writing while it runs.
    QObject::connect(&upgrader, &Upgrader::sendText, [&](const QString &text) { progress.line(text); });
    QObject::connect(&upgrader, &Upgrader::sendPercent,
                     [&](int percent) { progress.update(QStringLiteral("Flash"), percent); });
    QObject::connect(&usb, &USBVR480::sendPercentExtFlashWrite,
                     [&](int percent) { progress.update(QStringLiteral("External flash write"), percent); });
    QObject::connect(&usb, &USBVR480::sendPercentExtFlashRead,
                     [&](int percent) { progress.update(QStringLiteral("External flash verify"), percent); });
    upgrader.slotSetFileName(upgFile);
    upgrader.start();
    waitFor(upgrader);

    using Outcome = Upgrader::Outcome;
    switch (upgrader.outcome()) {
    case Outcome::Started:
        progress.line(QStringLiteral("Upgrade complete: the new application is running"));
        return;
    case Outcome::BadFile:
        fail(ExitBadInput, QStringLiteral("%1: not a VR480 upgrade file").arg(upgFile));
    case Outcome::NoDevice:
        fail(ExitNoDevice, QStringLiteral("no VR480 found"));
    case Outcome::Interrupted:
        fail(ExitInterrupted, QStringLiteral("interrupted before the upgrade was complete: the device "
                                             "may be left in its bootloader; run the upgrade again"));
    case Outcome::NotStarted:
        fail(ExitDeviceFailed, QStringLiteral("the firmware was written and verified, but the application "
                                              "did not come back within 10 s"));
    case Outcome::NoFile:
    case Outcome::Written:
    case Outcome::Failed:
        break;
    }
    fail(ExitDeviceFailed, QStringLiteral("the upgrade failed: the device may be left in its "
                                          "bootloader; run the upgrade again"));
}

// read-mem and read-ext: a dump on standard output, or the bytes in a file.
void read(const Invocation &in, bool external)
{
    const quint32 address = in.address(QStringLiteral("ADDR"), in.argument(0));
    const int length = in.number(QStringLiteral("LEN"), in.argument(1), 1, ServiceTools::kMaxLength);
    const std::optional<QString> binFile = in.option(QStringLiteral("output"));

    USBVR480 usb;
    // The progress shares standard output only when the data goes to a file.
    std::optional<Progress> progress;
    if (binFile && external) {
        progress.emplace(stdout, in.terminal);
        QObject::connect(&usb, &USBVR480::sendPercentExtFlashRead,
                         [&](int percent) { progress->update(QStringLiteral("Reading"), percent); });
    }
    QByteArray data;
    onDevice(usb, [&](const QByteArray &serial) {
        const std::optional<QByteArray> bytes = external ? ServiceTools::readExternalFlash(usb, address, length)
                                                        : ServiceTools::readMemory(usb, address, length);
        if (!bytes)
            fail(ExitDeviceFailed, QStringLiteral("reading %1 bytes at 0x%2 failed%3")
                                       .arg(length)
                                       .arg(address, 0, 16)
                                       .arg(external ? bootloaderHint(serial) : QString()));
        data = *bytes;
    });
    progress.reset();
    if (binFile)
        saveOutput(*binFile, data);
    else
        writeTo(stdout, HexDump(data.constData(), int(data.size())) + '\n');
}

void writeExt(const Invocation &in)
{
    const QString binFile = in.argument(0);
    const QByteArray image = readInput(binFile);

    USBVR480 usb;
    Progress progress(stdout, in.terminal);
    QObject::connect(&usb, &USBVR480::sendPercentExtFlashWrite,
                     [&](int percent) { progress.update(QStringLiteral("Writing"), percent); });
    QObject::connect(&usb, &USBVR480::sendPercentExtFlashRead,
                     [&](int percent) { progress.update(QStringLiteral("Verifying"), percent); });
    onDevice(usb, [&](const QByteArray &serial) {
        using ServiceTools::ImageResult;
        switch (ServiceTools::writeExternalFlashImage(usb, image)) {
        case ImageResult::Ok:
            return;
        case ImageResult::LengthError:
            fail(ExitBadInput, QStringLiteral("%1: %2 bytes: an external-flash image is a non-empty "
                                              "multiple of 4 bytes")
                                   .arg(binFile)
                                   .arg(image.size()));
        case ImageResult::WriteError:
            fail(ExitDeviceFailed, QStringLiteral("writing the external flash failed") + bootloaderHint(serial));
        case ImageResult::ReadError:
            fail(ExitDeviceFailed, QStringLiteral("reading the external flash back failed"));
        case ImageResult::Mismatch:
            fail(ExitDeviceFailed, QStringLiteral("the external flash does not hold what was written"));
        }
    });
    progress.line(QStringLiteral("Written and verified: %1 bytes at external-flash address 0").arg(image.size()));
}

// --- The command table and help ------------------------------------------------

struct Argument {
    QString name;
    QString description;
};

struct Command {
    QString name;
    QString summary; // one line, for the program's help
    QString details; // more, for the command's help
    QList<Argument> arguments;
    QList<QCommandLineOption> options;
    std::function<void(const Invocation &)> run;
};

QCommandLineOption outputOption(const QString &what)
{
    return QCommandLineOption({QStringLiteral("o"), QStringLiteral("output")}, what, QStringLiteral("FILE"));
}

const QList<Command> &commands()
{
    static const QList<Command> table{
        {QStringLiteral("create-upg"), QStringLiteral("Build an upgrade file from an Intel HEX firmware build"),
         QStringLiteral("Converts the application (0x08004000-0x0803FFFF) and external-flash data "
                        "(0x08040000-0x0805BFFF) of the HEX file into an upgrade file, as the window's "
                        "CreateUpg does. Refuses a HEX file with an error and an image whose brand "
                        "halfword (0x0803FFD0) is not 0."),
         {{QStringLiteral("FIRMWARE.hex"), QStringLiteral("The firmware build, Intel HEX.")}},
         {outputOption(QStringLiteral("The upgrade file to write (required)."))},
         createUpg},
        {QStringLiteral("create-bootbin"), QStringLiteral("Build numbered bootloader images with their serials"),
         QStringLiteral("Converts the bootloader (0x08000000-0x08003FFF) of the HEX file and writes COUNT "
                        "images Vr480_Bootloader_YYWW0NNNN.bin, each with its serial at offset 0x3FF0, "
                        "as the window's CreateBootBin does. NUMBER is 1-9999; the last number of a run "
                        "is at most 9998, except that a run of one may be 9999. All files are written "
                        "or none."),
         {{QStringLiteral("BOOT.hex"), QStringLiteral("The bootloader build, Intel HEX.")}},
         {{{QStringLiteral("year")}, QStringLiteral("Production year, 0-99 (default: this year's)."), QStringLiteral("YY")},
          {{QStringLiteral("week")}, QStringLiteral("Production week, 1-53 (default: this ISO week)."), QStringLiteral("WW")},
          {{QStringLiteral("number")}, QStringLiteral("First production number, 1-9999 (required)."), QStringLiteral("NUMBER")},
          {{QStringLiteral("count")}, QStringLiteral("How many images (default 1)."), QStringLiteral("COUNT")},
          {{QStringLiteral("dir")}, QStringLiteral("Folder for the images (default: the current one)."), QStringLiteral("DIR")}},
         createBootBin},
        {QStringLiteral("hex2bin"), QStringLiteral("Convert one address window of an Intel HEX file to binary"),
         QStringLiteral("Writes the bytes from --first to --last (both included, hexadecimal) as the HEX "
                        "file gives them; bytes it does not give are --fill. At most 256 MiB."),
         {{QStringLiteral("FILE.hex"), QStringLiteral("The Intel HEX file.")}},
         {{{QStringLiteral("first")}, QStringLiteral("First address of the window (required)."), QStringLiteral("ADDR")},
          {{QStringLiteral("last")}, QStringLiteral("Last address of the window (required)."), QStringLiteral("ADDR")},
          outputOption(QStringLiteral("The binary file to write (required).")),
          {{QStringLiteral("fill")}, QStringLiteral("Value of bytes the file does not give, 0-255 (default 0)."), QStringLiteral("BYTE")}},
         hexToBin},
        {QStringLiteral("info"), QStringLiteral("Show the VR480's serial, mode and bootloader version"),
         QStringLiteral("Connects to the VR480 and reads what an upgrade reads first: the serial, which "
                        "tells whether the application or the bootloader runs, and the bootloader's "
                        "version text."),
         {}, {}, info},
        {QStringLiteral("upgrade"), QStringLiteral("Write an upgrade file into the VR480 and start it"),
         QStringLiteral("Runs the upgrade of the window's \"Change Firmware\": restarts the device into its "
                        "bootloader, writes and verifies the application page by page and the external-flash "
                        "data, starts the new application and waits until it runs. Succeeds only then."),
         {{QStringLiteral("FILE.upg"), QStringLiteral("The upgrade file.")}}, {}, upgrade},
        {QStringLiteral("restart"), QStringLiteral("Restart the VR480 into its other firmware"),
         QStringLiteral("The application restarts into the bootloader (which read-ext and write-ext need); "
                        "the bootloader starts the application. Waits until the device is back."),
         {}, {}, restart},
        {QStringLiteral("read-mem"), QStringLiteral("Dump device memory"),
         QStringLiteral("Reads LEN bytes of memory from ADDR: a hex dump on standard output, or the plain "
                        "bytes in a file."),
         {{QStringLiteral("ADDR"), QStringLiteral("Address, hexadecimal (\"0x\" optional).")},
          {QStringLiteral("LEN"), QStringLiteral("Length, 1-1048576 bytes.")}},
         {outputOption(QStringLiteral("Write the bytes to this file instead."))},
         [](const Invocation &in) { read(in, false); }},
        {QStringLiteral("read-ext"), QStringLiteral("Dump external flash"),
         QStringLiteral("Reads LEN bytes of external flash from ADDR, unscrambled: a hex dump on standard "
                        "output, or the plain bytes in a file. Needs the bootloader."),
         {{QStringLiteral("ADDR"), QStringLiteral("Address, hexadecimal (\"0x\" optional).")},
          {QStringLiteral("LEN"), QStringLiteral("Length, 1-1048576 bytes.")}},
         {outputOption(QStringLiteral("Write the bytes to this file instead."))},
         [](const Invocation &in) { read(in, true); }},
        {QStringLiteral("write-ext"), QStringLiteral("Write an external-flash image and verify it"),
         QStringLiteral("Writes the plain image at external-flash address 0, scrambled, reads it back and "
                        "compares, as the window's WriteExtFlashBin does. The image is a non-empty multiple "
                        "of 4 bytes. Needs the bootloader."),
         {{QStringLiteral("FILE.bin"), QStringLiteral("The plain external-flash image.")}}, {}, writeExt},
    };
    return table;
}

const QCommandLineOption helpOption({QStringLiteral("h"), QStringLiteral("help")},
                                    QStringLiteral("Show this help."));
const QCommandLineOption verboseOption({QStringLiteral("v"), QStringLiteral("verbose")},
                                       QStringLiteral("Also write the device traffic and other debug lines "
                                                      "on standard error."));

QString programHelp()
{
    QString list;
    for (const Command &command : commands())
        list += QStringLiteral("  %1%2\n").arg(command.name, -16).arg(command.summary);
    return QStringLiteral(
               "Usage: %1 [-v] COMMAND [ARGUMENTS]\n"
               "\n"
               "Builds VR480 firmware images, upgrades the VR480 and reads and writes its memory.\n"
               "\n"
               "Commands:\n%2"
               "\n"
               "Options:\n"
               "  -h, --help      Show this help; after a command, the command's help.\n"
               "  -v, --verbose   Also write the device traffic and other debug lines on standard error.\n"
               "  --version       Show the version.\n"
               "\n"
               "Addresses are hexadecimal (\"0x\" optional); other numbers are decimal, or\n"
               "hexadecimal with \"0x\". Files are written under a temporary name and renamed\n"
               "when complete: a failure leaves no file behind.\n"
               "\n"
               "Exit status:\n"
               "  0    done\n"
               "  1    the device failed an operation or its verification\n"
               "  2    wrong usage: unknown command, missing or invalid argument\n"
               "  3    an input file cannot be read or is refused\n"
               "  4    an output file cannot be written\n"
               "  5    no VR480 found\n"
               "  130  interrupted (Ctrl+C or a termination signal)\n"
               "\n"
               "Run '%1 COMMAND --help' for a command's arguments and options.\n")
        .arg(programName, list);
}

// `text` in lines of at most 79 characters, broken between words.
QString wrapped(const QString &text)
{
    QString result;
    qsizetype lineStart = 0;
    for (const QString &word : text.split(QLatin1Char(' '))) {
        if (result.size() > lineStart && result.size() - lineStart + 1 + word.size() > 79) {
            result += QLatin1Char('\n');
            lineStart = result.size();
        } else if (result.size() > lineStart) {
            result += QLatin1Char(' ');
        }
        result += word;
    }
    return result;
}

void setUp(QCommandLineParser &parser, const Command &command)
{
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.setApplicationDescription(command.summary + QStringLiteral(".\n\n") + wrapped(command.details));
    for (const Argument &argument : command.arguments)
        parser.addPositionalArgument(argument.name, argument.description);
    parser.addOptions(command.options);
    parser.addOption(helpOption);
    parser.addOption(verboseOption);
}

QString commandHelp(const QCommandLineParser &parser, const Command &command)
{
    QString usage = QStringLiteral("Usage: %1 %2").arg(programName, command.name);
    if (!command.options.isEmpty())
        usage += QStringLiteral(" [options]");
    for (const Argument &argument : command.arguments)
        usage += QLatin1Char(' ') + argument.name;
    QString text = parser.helpText();
    return usage + text.mid(text.indexOf(QLatin1Char('\n')));
}

bool verbose = false;

void messageHandler(QtMsgType type, const QMessageLogContext &, const QString &text)
{
    if (type == QtDebugMsg && !verbose)
        return;
    writeTo(stderr, text.toLocal8Bit() + '\n');
}

int run(const QStringList &arguments, bool terminal)
{
    // Options before the command: only the program's own.
    int at = 1;
    for (; at < arguments.size() && arguments.at(at).startsWith(QLatin1Char('-')); ++at) {
        const QString &option = arguments.at(at);
        if (option == QLatin1String("-h") || option == QLatin1String("--help")) {
            writeTo(stdout, programHelp().toLocal8Bit());
            return ExitOk;
        }
        if (option == QLatin1String("--version")) {
            print(QStringLiteral("%1 3.00").arg(programName));
            return ExitOk;
        }
        if (option == QLatin1String("-v") || option == QLatin1String("--verbose"))
            verbose = true;
        else
            throw Exit{ExitUsage, QStringLiteral("unknown option %1").arg(option), {}};
    }
    if (at == arguments.size())
        throw Exit{ExitUsage, QStringLiteral("no command given"), {}};
    const QString name = arguments.at(at);
    if (name == QLatin1String("help")) {
        writeTo(stdout, programHelp().toLocal8Bit());
        return ExitOk;
    }
    const auto command = std::find_if(commands().begin(), commands().end(),
                                      [&](const Command &c) { return c.name == name; });
    if (command == commands().end())
        throw Exit{ExitUsage, QStringLiteral("unknown command \"%1\"").arg(name), {}};

    QCommandLineParser parser;
    setUp(parser, *command);
    QStringList rest = arguments.mid(at + 1);
    rest.prepend(programName);
    const Invocation in(name, parser, terminal);
    if (!parser.parse(rest))
        in.usageError(parser.errorText());
    if (parser.isSet(helpOption)) {
        writeTo(stdout, commandHelp(parser, *command).toLocal8Bit());
        return ExitOk;
    }
    verbose = verbose || parser.isSet(verboseOption);
    const qsizetype given = parser.positionalArguments().size();
    if (given != command->arguments.size()) {
        if (given > command->arguments.size())
            in.usageError(QStringLiteral("unexpected argument \"%1\"").arg(parser.positionalArguments().at(command->arguments.size())));
        in.usageError(QStringLiteral("%1 is missing").arg(command->arguments.at(given).name));
    }
    command->run(in);
    return ExitOk;
}

} // namespace

int runCommandLine(const QStringList &arguments, bool terminal)
{
    if (!arguments.isEmpty())
        programName = QFileInfo(arguments.first()).fileName();
    qInstallMessageHandler(messageHandler);
    std::signal(SIGINT, requestStop);
    std::signal(SIGTERM, requestStop);
    try {
        return run(arguments, terminal);
    } catch (const Exit &exit) {
        QString text = programName + QStringLiteral(": ") + exit.message + QLatin1Char('\n');
        if (exit.status == ExitUsage)
            text += exit.command.isEmpty()
                        ? QStringLiteral("Try '%1 --help'.\n").arg(programName)
                        : QStringLiteral("Try '%1 %2 --help'.\n").arg(programName, exit.command);
        writeTo(stderr, text.toLocal8Bit());
        return exit.status;
    }
}
