// vr480-cli run as a process: its demo build against a simulated device that
// the test prepares, saves to a state file, and inspects after the run.

#include "bytes.h"
#include "capture.h"
#include "devicenode.h"
#include "hexdump.h"
#include "randomimage.h"
#include "scramble.h"
#include "simdevice.h"
#include "simfirmware.h"
#include "srecord.h"
#include "system.h"
#include "upgradefile.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QDate>
#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <QLockFile>

#include <cerrno>
#include <csignal>
#include <functional>
#include <memory>

namespace {

const QString kFixtures = QStringLiteral(VR480_FIXTURES);

// What vr480-cli says of the simulated device whose configuration is refused
// (EPERM), as the system reads that refusal.
QString refusedDevice()
{
    return usb::refusalOf(EPERM) == usb::Refusal::NoPermission
               ? "a VR480 is on the bus (bus 001, device 001), but this user may not open it: install the udev rule "
                 "60-vr480.rules (see the README, \"USB access on Linux\"), then plug the device in again"
               : "a VR480 is on the bus (bus 001, device 001), but it cannot be opened: it is not bound to the WinUSB "
                 "driver, or another program has it open (see the README, \"Binding the VR480 to WinUSB\")";
}

// A file of the source tree, such as one of the docs.
QString sourceText(const QString &path)
{
    QFile file(kFixtures + QStringLiteral("/../../") + path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

// The rows of the two-column table under `header` in that text.
QStringList tableRows(const QString &text, const QString &header)
{
    return text.section(header + QLatin1String("\n|---|---|\n"), 1).section(QLatin1String("\n\n"), 0, 0).split(
        QLatin1Char('\n'), Qt::SkipEmptyParts);
}

struct Result {
    int status = -1;
    QString out;
    QString err;
};

QByteArray contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

QStringList entries(const QString &dir)
{
    return QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
}

// The upgrade image a HEX file should give, from SRecord's conversion of the
// two windows and the file format's checksums.
QByteArray expectedUpgradeImage(const QString &hexFile)
{
    using namespace UpgradeFile;
    QByteArray image(kImageSize, '\0');
    const quint32 application = MemoryMap::kApplicationAddress;
    const quint32 external = MemoryMap::kExternalLinkAddress;
    image.replace(kApplicationOffset, kApplicationSize,
                  srecordWindow(hexFile, application, application + kApplicationSize - 1, 0));
    image.replace(kExternalOffset, kExternalSize, srecordWindow(hexFile, external, external + kExternalSize - 1, 0));
    fillChecksums(image);
    return image;
}

QByteArray imageOfUpgradeFile(const QString &path)
{
    QFile file(path);
    QByteArray payload;
    if (!file.open(QIODevice::ReadOnly) || !UpgradeFile::read(file, payload).ok())
        return {};
    decodeData(payload.data(), int(payload.size()));
    return payload;
}

// What an upgrade stopped after its first write says (the signal cases, which
// are POSIX's only).
[[maybe_unused]] QString incomplete()
{
    return QStringLiteral("interrupted before the upgrade was complete: the device may be left in its bootloader");
}

// An upgrade file of `image`, as the writer makes it.
QByteArray upgradeFile(const QByteArray &image)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    UpgradeFile::write(buffer, image);
    return bytes;
}

sim::DeviceConfig inMode(sim::Mode mode)
{
    sim::DeviceConfig config;
    config.mode = mode;
    return config;
}

// A VR480 with the serial VR480000<number>.
sim::DeviceConfig numbered(int number, sim::Mode mode = sim::Mode::Application)
{
    sim::DeviceConfig config = inMode(mode);
    config.applicationSerial = "VR480000" + QByteArray::number(number);
    config.bootloaderSerial = config.applicationSerial + 'b';
    return config;
}

// Writes an upgrade file of random firmware; returns its application.
QByteArray writeRandomUpgradeFile(const QString &path)
{
    const QByteArray image = randomUpgradeImage(2);
    writeUpgradeFile(path, image);
    return applicationOf(image);
}

// Prepares the simulated bus before a run.
using Setup = std::function<void()>;

// The cases written as POSIX shell scripts skip on Windows.
#define SKIP_POSIX_SHELL() SKIP_ON_WINDOWS("a POSIX shell script (/bin/sh, ulimit, /dev/full, symbolic links)")
// The cases that give files to another user (chown).
#define SKIP_UNLESS_ROOT() \
    do { \
        SKIP_POSIX_SHELL(); \
        if (!runsAsRoot()) \
            QSKIP("gives files to another user: root only"); \
    } while (false)

} // namespace

Q_DECLARE_METATYPE(Setup)
Q_DECLARE_METATYPE(sim::Mode)
Q_DECLARE_METATYPE(std::optional<sim::FaultRule>)

class TestCli : public QObject {
    Q_OBJECT

    QTemporaryDir dir;
    QString state;
    QString windowsRules; // VR480_SIM_WINDOWS of the next run, if any
    std::unique_ptr<DebugCapture> quiet; // the scrambler's debug lines

    // Starts the demo program in `workDir` (the test's folder by default)
    // on the simulation saved in the state file.
    void start(QProcess &process, const QStringList &arguments, const QString &workDir = {})
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("VR480_SIM_STATE"), state);
        if (!windowsRules.isEmpty())
            environment.insert(QStringLiteral("VR480_SIM_WINDOWS"), windowsRules);
        process.setProcessEnvironment(environment);
        process.setWorkingDirectory(workDir.isEmpty() ? dir.path() : workDir);
        process.start(QStringLiteral(VR480_CLI), arguments);
        // Under Wine a process start now and then fails and succeeds when
        // tried again; a program that cannot start fails the second time too.
        if (!process.waitForStarted(120000) && process.error() == QProcess::FailedToStart) {
            qWarning("retrying the start of %s: %s", VR480_CLI, qPrintable(process.errorString()));
            process.start(QStringLiteral(VR480_CLI), arguments);
        }
        QVERIFY2(process.waitForStarted(120000), qPrintable(process.errorString()));
    }

    static Result finish(QProcess &process)
    {
        if (!process.waitForFinished(120000) || process.exitStatus() != QProcess::NormalExit)
            return {};
        return {process.exitCode(), QString::fromLocal8Bit(process.readAllStandardOutput()),
                QString::fromLocal8Bit(process.readAllStandardError())};
    }

    // Saves the simulation as it stands, runs the program and loads what it left.
    Result run(const QStringList &arguments, const QString &workDir = {})
    {
        if (!sim::saveState(state))
            qFatal("cannot save the simulation");
        QProcess process;
        start(process, arguments, workDir);
        const Result result = finish(process);
        if (!sim::loadState(state))
            qFatal("cannot load the simulation");
        return result;
    }

    sim::Device &device() { return *sim::devices().first(); }

    static void shellColumns()
    {
        QTest::addColumn<QString>("script"); // $CLI is the program, $FW a firmware build
        QTest::addColumn<QByteArray>("out");
        QTest::addColumn<QString>("err"); // how standard error starts after the program's name
    }

    // Runs the row's script in /bin/sh, in a folder of its own, with one
    // simulated device.
    void shellCase()
    {
        QFETCH(QString, script);
        QFETCH(QByteArray, out);
        QFETCH(QString, err);
        sim::addDevice(0);
        QVERIFY(sim::saveState(state));
        QTemporaryDir work;
        QProcess process;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("VR480_SIM_STATE"), state);
        environment.insert(QStringLiteral("CLI"), QStringLiteral(VR480_CLI));
        environment.insert(QStringLiteral("FW"), kFixtures + QStringLiteral("/firmware.hex"));
        process.setProcessEnvironment(environment);
        process.setWorkingDirectory(work.path());
        process.start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), script});
        QVERIFY(process.waitForFinished(120000));
        QCOMPARE(process.readAllStandardOutput(), out);
        const QString error = QString::fromLocal8Bit(process.readAllStandardError());
        QVERIFY2(err.isEmpty() ? error.isEmpty() : error.startsWith(QStringLiteral("vr480-cli-sim: ") + err),
                 qPrintable(error));
        QProcess::execute(QStringLiteral("rm"), {QStringLiteral("-r"), work.path()}); // names Qt cannot spell
    }

private slots:
    void initTestCase() { quiet = std::make_unique<DebugCapture>(); }

    void init()
    {
        state = dir.filePath(QStringLiteral("state"));
        windowsRules.clear();
        sim::reset();
    }

    void help()
    {
        const Result program = run({QStringLiteral("--help")});
        QCOMPARE(program.status, 0);
        QVERIFY(program.out.contains(QLatin1String("130  interrupted")));
        const Result version = run({QStringLiteral("--version")});
        QCOMPARE(version.status, 0);
        QCOMPARE(version.out, QStringLiteral("vr480-cli-sim 3.00\n"));
        // The docs copy the exit statuses and the outcome words as the help
        // gives them, and the README has the sections that messages name.
        QStringList helpRows;
        for (const QString &line : program.out.section(QLatin1String("Exit status:\n"), 1).section(QLatin1String("\n\n"), 0, 0).split(QLatin1Char('\n')))
            helpRows << QStringLiteral("| %1 | %2 |").arg(line.section(QLatin1Char(' '), 2, 2), line.mid(7));
        QCOMPARE(tableRows(sourceText(QStringLiteral("docs/command-line.md")), QStringLiteral("| status | meaning |")),
                 helpRows);
        QStringList outcomes;
        for (const QString &row : tableRows(sourceText(QStringLiteral("docs/record.md")), QStringLiteral("| outcome | what |"))) {
            const QRegularExpressionMatch cells = QRegularExpression(QStringLiteral("^\\| `([a-z-]+)` \\| (.+) \\|$")).match(row);
            QVERIFY2(cells.hasMatch(), qPrintable(row));
            outcomes << cells.captured(1) + QLatin1String(": ") + cells.captured(2);
        }
        const Result upgradeHelp = run({QStringLiteral("upgrade"), QStringLiteral("--help")});
        QVERIFY2(upgradeHelp.out.simplified().contains(QStringLiteral("outcome (%1), status").arg(outcomes.join(QLatin1String("; ")))),
                 qPrintable(outcomes.join(QLatin1Char('\n'))));
        const QString readme = sourceText(QStringLiteral("README.md"));
        for (const char *section : {"USB access on Linux", "Binding the VR480 to WinUSB"})
            QVERIFY2(readme.contains(QRegularExpression(QStringLiteral("^#+ %1$").arg(QLatin1String(section)),
                                                        QRegularExpression::MultilineOption)),
                     section);
        // Every command listed has its own help.
        const QString list = program.out.section(QLatin1String("Commands:\n"), 1).section(QLatin1String("\n\n"), 0, 0);
        QStringList commands;
        for (const QString &line : list.split(QLatin1Char('\n')))
            commands << line.simplified().section(QLatin1Char(' '), 0, 0);
        QCOMPARE(commands, (QStringList{"create-upg", "create-bootbin", "hex2bin", "list", "info", "restart",
                                        "upgrade", "verify", "backup", "station", "read-mem", "read-ext", "write-ext"}));
        for (const QString &command : commands) {
            const Result help = run({command, QStringLiteral("--help")});
            QCOMPARE(help.status, 0);
            QVERIFY2(help.out.startsWith(QStringLiteral("Usage: vr480-cli-sim ") + command), qPrintable(help.out));
            QVERIFY(help.err.isEmpty());
        }
    }

    // Wrong usage: status 2, the argument named, a pointer to the help, nothing done.
    void usageErrors_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("message");
        const QString hex = kFixtures + QStringLiteral("/bootloader.hex");
        QTest::newRow("no command") << QStringList{} << "no command given\nTry 'vr480-cli-sim --help'.";
        QTest::newRow("unknown command") << QStringList{"flash"} << "unknown command \"flash\"";
        QTest::newRow("unknown option") << QStringList{"info", "--fast"} << "Unknown option 'fast'.\nTry 'vr480-cli-sim info --help'.";
        QTest::newRow("missing argument") << QStringList{"create-upg", "-o", "x.upg"} << "FIRMWARE.hex is missing";
        QTest::newRow("extra argument") << QStringList{"info", "now"} << "unexpected argument \"now\"";
        QTest::newRow("output required") << QStringList{"create-upg", hex} << "--output is required";
        QTest::newRow("number required") << QStringList{"create-bootbin", hex} << "--number is required";
        QTest::newRow("number past 9999") << QStringList{"create-bootbin", hex, "--number", "10000"}
                                          << "--number \"10000\" is not a number from 1 to 9999";
        QTest::newRow("run past 9998") << QStringList{"create-bootbin", hex, "--number", "9990", "--count", "10"}
                                       << "--count \"10\" is not a number from 1 to 9";
        QTest::newRow("week 0") << QStringList{"create-bootbin", hex, "--number", "1", "--week", "0"}
                                << "--week \"0\" is not a number from 1 to 53";
        QTest::newRow("year 100") << QStringList{"create-bootbin", hex, "--number", "1", "--year", "100"}
                                  << "--year \"100\" is not a number from 0 to 99";
        QTest::newRow("window reversed")
            << QStringList{"hex2bin", hex, "--first", "8000010", "--last", "0x8000000", "-o", "x.bin"}
            << "--last 0x8000000 is below --first 0x8000010";
        QTest::newRow("window too large")
            << QStringList{"hex2bin", hex, "--first", "0", "--last", "0x10000000", "-o", "x.bin"}
            << "a window of 268435457 bytes is larger than 256 MiB";
        QTest::newRow("fill 256") << QStringList{"hex2bin", hex, "--first", "0", "--last", "1", "--fill", "0x100", "-o", "x.bin"}
                                  << "--fill \"0x100\" is not a number from 0 to 255";
        QTest::newRow("station --count 0") << QStringList{"station", "x.upg", "--count", "0"}
                                           << "--count \"0\" is not a number from 1 to 1000000";
        QTest::newRow("station, one --serial twice") << QStringList{"station", "x.upg", "--serial", "VR4800001", "--serial", "VR4800001b"}
                                                     << "--serial \"VR4800001b\" is empty or given twice";
        QTest::newRow("address not hex") << QStringList{"read-mem", "0x8g", "16"} << "ADDR \"0x8g\" is not a hexadecimal 32-bit address";
        QTest::newRow("length 0") << QStringList{"read-mem", "0", "0"} << "LEN \"0\" is not a number from 1 to 1048576";
        QTest::newRow("length past 1 MiB") << QStringList{"read-ext", "0", "0x100001"} << "LEN \"0x100001\" is not a number";
        QTest::newRow("range past 2^32") << QStringList{"read-mem", "0xFFFFF800", "0x1000"}
                                         << "4096 bytes at 0xfffff800 pass the end of the 32-bit address space";
        QTest::newRow("output name empty") << QStringList{"read-mem", "0x08000000", "16", "-o", ""}
                                           << "the output file name is empty";
        QTest::newRow("output is the input") << QStringList{"create-upg", "state", "-o", "./state"}
                                             << "./state is also the input file";
        // Control characters in an argument are escaped: one message, one line.
        QTest::newRow("unknown option, ESC and newline") << QStringList{"info", "--bad\x1b[2J\nFAKE"}
                                                         << "Unknown option 'bad\\x1b[2J\\x0aFAKE'.\nTry";
        QTest::newRow("unknown command, newline") << QStringList{"fl\nash"} << "unknown command \"fl\\x0aash\"\nTry";
        QTest::newRow("extra argument, newline") << QStringList{"info", "a\nb"} << "unexpected argument \"a\\x0ab\"\nTry";
        QTest::newRow("address, ESC") << QStringList{"read-mem", "0x8\x1b", "16"} << "ADDR \"0x8\\x1b\" is not";
        QTest::newRow("--count, ESC") << QStringList{"station", "x.upg", "--count", "1\x1b"} << "--count \"1\\x1b\" is not";
    }

    void usageErrors()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, message);
        sim::addDevice(0);
        const Result result = run(arguments);
        QCOMPARE(result.status, 2);
        QVERIFY2(result.err.startsWith(QStringLiteral("vr480-cli-sim: ") + message), qPrintable(result.err));
        QVERIFY(result.err.contains(QLatin1String("--help'.")));
        QVERIFY(result.out.isEmpty());
        QCOMPARE(sim::controlTransferCount(), 0);
        QCOMPARE(entries(dir.path()), QStringList{"state"});
    }

    void createUpg()
    {
        SKIP_WITHOUT_SRECORD();
        const QString hex = kFixtures + QStringLiteral("/firmware.hex");
        const Result result = run({QStringLiteral("create-upg"), hex, QStringLiteral("-o"), QStringLiteral("fw.upg")});
        QCOMPARE(result.status, 0);
        QCOMPARE(result.out, QStringLiteral("fw.upg\n"));
        QCOMPARE(contents(dir.filePath("fw.upg")).size(), 393282);
        QVERIFY(imageOfUpgradeFile(dir.filePath("fw.upg")) == expectedUpgradeImage(hex));
    }

    void createBootBin()
    {
        SKIP_WITHOUT_SRECORD();
        const QString hex = kFixtures + QStringLiteral("/bootloader.hex");
        QVERIFY(QDir(dir.path()).mkdir("out"));
        const Result result = run({"create-bootbin", hex, "--year", "26", "--week", "15", "--number", "0x3e7",
                                   "--count", "3", "--dir", "out"});
        QCOMPARE(result.status, 0);
        const QStringList names{"out/Vr480_Bootloader_261500999.bin", "out/Vr480_Bootloader_261501000.bin",
                                "out/Vr480_Bootloader_261501001.bin"};
        QCOMPARE(result.out, names.join(QLatin1Char('\n')) + QLatin1Char('\n'));
        QCOMPARE(entries(dir.filePath("out")).size(), 3);
        const QByteArray bootloader = srecordWindow(hex, 0x08000000, 0x08003FFF, 0);
        for (const QString &name : names) {
            QByteArray expected = bootloader;
            expected.replace(0x3FF0, 9, name.mid(21, 9).toLatin1());
            QVERIFY2(contents(dir.filePath(name)) == expected, qPrintable(name));
        }

        // Year and week default to today's; 9999 makes a run of one.
        const QDate before = QDate::currentDate();
        const Result today = run({"create-bootbin", hex, "--number", "9999", "--dir", "out"});
        const QDate after = QDate::currentDate();
        QCOMPARE(today.status, 0);
        int isoYear = 0;
        if (before.weekNumber(&isoYear) == after.weekNumber())
            QCOMPARE(today.out, QStringLiteral("out/Vr480_Bootloader_%1%2%3.bin\n")
                                    .arg(isoYear % 100, 2, 10, QLatin1Char('0'))
                                    .arg(before.weekNumber(), 2, 10, QLatin1Char('0'))
                                    .arg(QLatin1String("09999")));
    }

    void hexToBin_data()
    {
        SKIP_WITHOUT_SRECORD();
        QTest::addColumn<QString>("file");
        QTest::addColumn<quint32>("first");
        QTest::addColumn<quint32>("last");
        QTest::addColumn<int>("fill");
        QTest::newRow("external data") << "firmware.hex" << 0x08040000u << 0x0805BFFFu << 0;
        QTest::newRow("gaps filled") << "firmware.hex" << 0x08003FF0u << 0x0800410Fu << 0xAA;
        QTest::newRow("64 KiB boundary, 255-byte records") << "edges255.hex" << 0x0800FFE0u << 0x0801001Fu << 0x5C;
    }

    void hexToBin()
    {
        QFETCH(QString, file);
        QFETCH(quint32, first);
        QFETCH(quint32, last);
        QFETCH(int, fill);
        const QString hex = kFixtures + QLatin1Char('/') + file;
        const Result result = run({"hex2bin", hex, "--first", QString::number(first, 16), "--last",
                                   QStringLiteral("0x") + QString::number(last, 16), "--fill",
                                   QString::number(fill), "-o", "w.bin"});
        QCOMPARE(result.status, 0);
        QCOMPARE(contents(dir.filePath("w.bin")), srecordWindow(hex, first, last, fill));
    }

    // Refused inputs and unwritable outputs: the status, a message naming
    // the file, and the folder left as it was.
    void refused_data()
    {
        QTest::addColumn<QStringList>("arguments"); // "%d" is the test's folder
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("message");
        const QString firmware = kFixtures + QStringLiteral("/firmware.hex");
        const QString bootloader = kFixtures + QStringLiteral("/bootloader.hex");
        QTest::newRow("HEX error") << QStringList{"create-upg", "%d/bad.hex", "-o", "x.upg"} << 3
                                   << "%d/bad.hex: a line that does not start with ':' (HexToBin error -2)";
        QTest::newRow("HEX missing") << QStringList{"create-upg", "%d/none.hex", "-o", "x.upg"} << 3
                                     << "%d/none.hex: the file cannot be read (HexToBin error -9)";
        QTest::newRow("foreign brand") << QStringList{"create-upg", kFixtures + "/firmware_brand.hex", "-o", "x.upg"} << 3
                                       << kFixtures + "/firmware_brand.hex: invalid brand: 0x";
        QTest::newRow("no such folder") << QStringList{"create-upg", firmware, "-o", "none/x.upg"} << 4
                                        << "none/x.upg: No such file or directory";
        QTest::newRow("folder in the way") << QStringList{"create-upg", firmware, "-o", "sub"} << 4
                                           << "sub: is a folder";
        QTest::newRow("bootloader of another brand") << QStringList{"create-bootbin", kFixtures + "/bootloader_brand.hex", "--number", "1"} << 3
                                                     << kFixtures + "/bootloader_brand.hex: invalid brand";
        // The second of three files is blocked: none is written.
        QTest::newRow("one of a run blocked") << QStringList{"create-bootbin", bootloader, "--year", "26", "--week", "1",
                                                             "--number", "41", "--count", "3"} << 4
                                              << "Vr480_Bootloader_260100042.bin: is a folder";
        QTest::newRow("hex2bin HEX error") << QStringList{"hex2bin", "%d/bad.hex", "--first", "0", "--last", "0xff", "-o", "x.bin"} << 3
                                           << "%d/bad.hex: a line that does not start with ':'";
        QTest::newRow("read-mem output blocked") << QStringList{"read-mem", "8000000", "16", "-o", "sub"} << 4
                                                 << "sub: is a folder";
        QTest::newRow("write-ext input missing") << QStringList{"write-ext", "none.bin"} << 3
                                                 << "none.bin: " + noSuchFile();
        QTest::newRow("upgrade file missing") << QStringList{"upgrade", "none.upg"} << 3
                                              << "none.upg: " + noSuchFile();
        QTest::newRow("upgrade file of another kind") << QStringList{"upgrade", "%d/bad.hex"} << 3
                                                      << "%d/bad.hex: not a VR480 upgrade file";
        // Nothing that is not a firmware build becomes an upgrade file.
        QTest::newRow("empty HEX file") << QStringList{"create-upg", "%d/empty.hex", "-o", "x.upg"} << 3
                                        << "%d/empty.hex: no end-of-file record: the file is empty or cut short (HexToBin error -10)";
        QTest::newRow("end record only") << QStringList{"create-upg", "%d/end.hex", "-o", "x.upg"} << 3
                                         << "%d/end.hex: no data for the application (0x08004000-0x0803ffff)";
        QTest::newRow("bootloader as firmware") << QStringList{"create-upg", bootloader, "-o", "x.upg"} << 3
                                                << bootloader + ": no data for the application";
        QTest::newRow("bootloader then firmware") << QStringList{"create-upg", "%d/both.hex", "-o", "x.upg"} << 3
                                                  << "%d/both.hex: no data for the application";
        QTest::newRow("firmware as bootloader") << QStringList{"create-bootbin", firmware, "--number", "1"} << 3
                                                << firmware + ": no data for the bootloader (0x08000000-0x08003fff)";
        QTest::newRow("hex2bin empty window") << QStringList{"hex2bin", firmware, "--first", "0", "--last", "0xff", "-o", "x.bin"} << 3
                                              << firmware + ": no data in the window 0x00000000-0x000000ff";
        QTest::newRow("endless upgrade file") << QStringList{"upgrade", "/dev/zero"} << 3
                                              << "/dev/zero: not a VR480 upgrade file";
        QTest::newRow("damaged upgrade file") << QStringList{"upgrade", "%d/damaged.upg"} << 3
                                              << "%d/damaged.upg: wrong checksum: the file is damaged";
        QTest::newRow("damaged upgrade file, --all") << QStringList{"upgrade", "%d/damaged.upg", "--all"} << 3
                                                     << "%d/damaged.upg: wrong checksum: the file is damaged";
        QTest::newRow("external-flash image of 1023 bytes") << QStringList{"write-ext", "%d/odd.bin"} << 3
                                                            << "%d/odd.bin: 1023 bytes: an external-flash image";
        QTest::newRow("name with control characters") << QStringList{"create-upg", "%d/no\nne\x1b.hex", "-o", "x.upg"} << 3
                                                      << "%d/no\\x0ane\\x1b.hex: the file cannot be read";
    }

    void refused()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, status);
        QFETCH(QString, message);
        QTemporaryDir work;
        QDir(work.path()).mkdir("sub");
        QDir(work.path()).mkdir("Vr480_Bootloader_260100042.bin");
        const auto write = [&](const char *name, const QByteArray &bytes) {
            QFile file(work.filePath(name));
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
        };
        write("bad.hex", ":0100000000FF\nnot a record\n");
        write("empty.hex", "");
        write("end.hex", ":00000001FF\n");
        write("both.hex", contents(kFixtures + "/bootloader.hex") + contents(kFixtures + "/firmware.hex"));
        write("odd.bin", QByteArray(1023, 'x'));
        QByteArray damaged = upgradeFile(QByteArray(UpgradeFile::kImageSize, '\0'));
        damaged[66 + 0x5000] = char(damaged[66 + 0x5000] ^ 1);
        write("damaged.upg", damaged);
        const QStringList before = entries(work.path());
        sim::addDevice(0, inMode(sim::Mode::Bootloader));
        sim::addFault({sim::Fault::Unplug}); // the first transfer takes the device off the bus
        arguments.replaceInStrings(QStringLiteral("%d"), work.path());
        message.replace(QStringLiteral("%d"), work.path());

        if (kOnWindows && arguments.contains(QLatin1String("/dev/zero")))
            QSKIP("Windows has no endless file such as /dev/zero");
        const Result result = run(arguments, work.path());
        QCOMPARE(result.status, status);
        QVERIFY2(result.err.startsWith(QStringLiteral("vr480-cli-sim: ") + message), qPrintable(result.err));
        QCOMPARE(entries(work.path()), before);
        QCOMPARE(device().applicationStarts(), 0);
        QVERIFY(device().online()); // refused before the device is touched
    }

    void info_data()
    {
        QTest::addColumn<Setup>("setup");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("out");
        QTest::addColumn<QString>("err");
        QTest::newRow("application") << Setup([] { sim::addDevice(0); }) << 0
                                     << "Serial: VR4800001\nMode: application\nBootloader version: BOOT v2.04\n" << "";
        QTest::newRow("bootloader") << Setup([] {
            sim::DeviceConfig config = inMode(sim::Mode::Bootloader);
            config.bootloaderVersion = "BOOT v2.10";
            sim::addDevice(0, config);
        }) << 0 << "Serial: VR4800001b\nMode: bootloader\nBootloader version: BOOT v2.10\n" << "";
        QTest::newRow("no device") << Setup([] {}) << 5 << ""
                                   << "vr480-cli-sim: no VR480 found: check the USB cable, and that this user may open the device\n";
        QTest::newRow("no permission") << Setup([] {
            sim::DeviceConfig config;
            config.denyAccess = true;
            sim::addDevice(0, config);
        }) << 5 << "" << "vr480-cli-sim: " + refusedDevice() + "\n";
        QTest::newRow("another brand") << Setup([] {
            sim::DeviceConfig config;
            config.brandId = 7;
            sim::addDevice(0, config);
        }) << 5 << "" << "vr480-cli-sim: no VR480 found: check the USB cable, and that this user may open the device\n";
        QTest::newRow("version unreadable") << Setup([] {
            sim::addDevice(0);
            sim::addFault({sim::Fault::Stall, 1});
        }) << 1 << "Serial: VR4800001\nMode: application\n" << "vr480-cli-sim: cannot read the bootloader version\n";
    }

    void info()
    {
        QFETCH(Setup, setup);
        QFETCH(int, status);
        QFETCH(QString, out);
        QFETCH(QString, err);
        setup();
        const Result result = run({QStringLiteral("info")});
        QCOMPARE(result.status, status);
        QCOMPARE(result.out, out);
        QCOMPARE(result.err, err);
    }

    // list, and which device a command takes: never a guess among several.
    void deviceChoice_data()
    {
        QTest::addColumn<Setup>("setup");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("out");
        QTest::addColumn<QString>("err"); // its start
        const Setup two([] {
            sim::addDevice(0, numbered(1));
            sim::addDevice(1, numbered(2, sim::Mode::Bootloader));
            sim::addFault({sim::Fault::Stall, 1, -1, 0, -1, 0, -1, 1}); // the second's memory is unreadable
        });
        const QString table = "BUS  DEVICE  SERIAL      MODE         BOOTLOADER\n"
                              "001  001     VR4800001   application  BOOT v2.04\n"
                              "002  001     VR4800002b  bootloader   -\n";
        QTest::newRow("list") << two << QStringList{"list"} << 0 << table << "";
        QTest::newRow("list, none attached") << Setup([] {}) << QStringList{"list"} << 5 << ""
                                             << "vr480-cli-sim: no VR480 found";
        QTest::newRow("several, no --serial") << two << QStringList{"info"} << 2 << ""
                                              << "vr480-cli-sim: 2 VR480 are attached; choose one with --serial "
                                                 "SERIAL:\n" + table;
        QTest::newRow("--serial chosen") << two << QStringList{"restart", "--serial", "VR4800002"} << 0
                                         << "Mode: bootloader, restarting\nMode: application\nSerial: VR4800002\n" << "";
        QTest::newRow("--serial not attached") << two << QStringList{"info", "--serial", "VR4800009"} << 5 << ""
                                               << "vr480-cli-sim: no VR480 with the serial VR4800009 is attached:\n" + table;
        QTest::newRow("two with one serial") << Setup([] {
            sim::addDevice(0, numbered(1));
            sim::addDevice(0, numbered(1, sim::Mode::Bootloader));
        }) << QStringList{"read-mem", "0x08000000", "16", "--serial", "VR4800001b"} << 2 << ""
           << "vr480-cli-sim: 2 VR480 have the serial VR4800001 and cannot be told apart";
        QTest::newRow("--serial twice") << two << QStringList{"info", "--serial", "VR4800001", "--serial", "VR4800002"}
                                        << 2 << "" << "vr480-cli-sim: --serial is given more than once";
        QTest::newRow("--all with --serial") << two << QStringList{"upgrade", "fw.upg", "--all", "--serial", "VR4800001"}
                                             << 2 << "" << "vr480-cli-sim: --all and --serial exclude each other";
    }

    void deviceChoice()
    {
        QFETCH(Setup, setup);
        QFETCH(QStringList, arguments);
        QFETCH(int, status);
        QFETCH(QString, out);
        QFETCH(QString, err);
        setup();
        QVERIFY(!writeRandomUpgradeFile(dir.filePath("fw.upg")).isEmpty());
        const Result result = run(arguments);
        QCOMPARE(result.status, status);
        QCOMPARE(result.out, out);
        QVERIFY2(err.isEmpty() ? result.err.isEmpty() : result.err.startsWith(err), qPrintable(result.err));
        // Only a restart that went through restarted anything, and only the device it named.
        const bool restarted = status == 0 && arguments.first() == QLatin1String("restart");
        for (const sim::Device *device : sim::devices())
            QCOMPARE(device->restarts(), restarted && device->config().applicationSerial == "VR4800002" ? 1 : 0);
    }

    // Several devices at once, each with its own outcome; a device that
    // follows its serial across its restarts never takes another.
    void upgradeSeveral_data()
    {
        QTest::addColumn<Setup>("setup");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("status");
        QTest::addColumn<QStringList>("upgraded");
        QTest::addColumn<QStringList>("failed"); // the others are not touched
        const Setup three([] {
            sim::addDevice(0, numbered(1, sim::Mode::Bootloader));
            sim::addDevice(0, numbered(2));
            sim::addDevice(1, numbered(3));
        });
        const QStringList all{"VR4800001", "VR4800002", "VR4800003"};
        QTest::newRow("--all") << three << QStringList{"--all"} << 0 << all << QStringList();
        // One handle per device, and each bootloader a new device instance.
        QTest::newRow("--all under Windows' rules") << Setup([this, three] {
            three();
            sim::setLatency(2000);
            windowsRules = QStringLiteral("1500");
        }) << QStringList{"--all"} << 0 << all << QStringList();
        QTest::newRow("--all, one unplugged half-way") << Setup([three] {
            three();
            sim::addFault({sim::Fault::Unplug, 3, -1, 60, 1, 0, -1, 1});
        }) << QStringList{"--all"} << 1 << QStringList{"VR4800001", "VR4800003"} << QStringList{"VR4800002"};
        QTest::newRow("two --serial") << three << QStringList{"--serial", "VR4800003", "--serial", "VR4800001b"} << 0
                                      << QStringList{"VR4800003", "VR4800001"} << QStringList();
        QTest::newRow("one --serial, another in the bootloader")
            << three << QStringList{"--serial", "VR4800002"} << 0 << QStringList{"VR4800002"} << QStringList();
    }

    void upgradeSeveral()
    {
        QFETCH(Setup, setup);
        QFETCH(QStringList, arguments);
        QFETCH(int, status);
        QFETCH(QStringList, upgraded);
        QFETCH(QStringList, failed);
        setup();
        const QByteArray before = applicationIn(device());
        const QByteArray application = writeRandomUpgradeFile(dir.filePath("fw.upg"));
        const Result result = run(QStringList{"upgrade", "fw.upg"} + arguments);
        QCOMPARE(result.status, status);

        const bool summary = upgraded.size() + failed.size() > 1;
        const QStringList lines = result.out.split(QLatin1Char('\n'));
        for (const sim::Device *d : sim::devices()) {
            const QString serial = QString::fromLatin1(d->config().applicationSerial);
            const QStringList row = lines.filter(QRegularExpression(QStringLiteral("^%1 +[0-9.]+  ").arg(serial)));
            if (upgraded.contains(serial)) {
                QVERIFY2(applicationIn(*d) == application, qPrintable(serial));
                QCOMPARE(d->applicationStarts(), 1);
                QCOMPARE(d->mode(), sim::Mode::Application);
                if (summary) {
                    QCOMPARE(row.size(), 1);
                    QVERIFY(row.first().endsWith(QLatin1String("upgraded: the new application is running")));
                    QVERIFY(lines.contains(serial + QStringLiteral(": Writting firmware ... ")));
                    QVERIFY(lines.contains(serial + QStringLiteral(": Flash: 100%")));
                }
            } else if (failed.contains(serial)) {
                QCOMPARE(d->applicationStarts(), 0);
                QCOMPARE(row.size(), 1);
                QVERIFY2(row.first().contains(QLatin1String("the upgrade failed")), qPrintable(row.first()));
            } else {
                QCOMPARE(d->restarts(), 0);
                QVERIFY(applicationIn(*d) == before);
                QVERIFY(row.isEmpty());
            }
        }
        if (status != 0)
            QCOMPARE(result.err, QStringLiteral("vr480-cli-sim: %1 of 3 VR480 not upgraded\n").arg(failed.size()));
    }

    // The record of every device run, each once and whole, with what its
    // run found, appended after what the report held; --json gives the same
    // objects on standard output, the log going to standard error.
    void report_data()
    {
        QTest::addColumn<Setup>("setup");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QStringList>("records"); // "SERIAL OUTCOME STATUS", "-" for no serial
        QTest::addColumn<int>("status");
        const Setup three([] {
            sim::addDevice(0, numbered(1, sim::Mode::Bootloader));
            sim::addDevice(0, numbered(2));
            sim::addDevice(1, numbered(3));
        });
        QTest::newRow("one device") << Setup([] { sim::addDevice(0, numbered(4)); }) << QStringList()
                                    << QStringList{"VR4800004 upgraded 0"} << 0;
        QTest::newRow("one device, a page write fails") << Setup([] {
            sim::addDevice(0, numbered(4, sim::Mode::Bootloader));
            sim::addFault({sim::Fault::Stall, 3, -1, 5});
        }) << QStringList() << QStringList{"VR4800004 failed 1"} << 1;
        QTest::newRow("no device") << Setup([] {}) << QStringList() << QStringList{"- no-device 5"} << 5;
        QTest::newRow("an empty serial") << Setup([] {
            sim::DeviceConfig config;
            config.applicationSerial = "";
            sim::addDevice(0, config);
        }) << QStringList() << QStringList{" untouched 1"} << 1;
        QTest::newRow("--all, one unplugged half-way") << Setup([three] {
            three();
            sim::addFault({sim::Fault::Unplug, 3, -1, 60, 1, 0, -1, 1});
        }) << QStringList{"--all"} << QStringList{"VR4800001 upgraded 0", "VR4800002 failed 1", "VR4800003 upgraded 0"}
           << 1;
        QTest::newRow("two --serial") << three << QStringList{"--serial", "VR4800003", "--serial", "VR4800001b"}
                                      << QStringList{"VR4800001 upgraded 0", "VR4800003 upgraded 0"} << 0;
    }

    void report()
    {
        QFETCH(Setup, setup);
        QFETCH(QStringList, arguments);
        QFETCH(QStringList, records);
        QFETCH(int, status);
        setup();
        QVERIFY(!writeRandomUpgradeFile(dir.filePath("fw.upg")).isEmpty());
        const QString sha256 = QCryptographicHash::hash(contents(dir.filePath("fw.upg")), QCryptographicHash::Sha256).toHex();
        const QString report = dir.filePath("units.jsonl");
        const QByteArray earlier = "{\"earlier\":true}\n";
        QFile file(report);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(earlier) == earlier.size());
        file.close();

        const Result result = run(QStringList{"upgrade", "fw.upg", "--report", "units.jsonl", "--json"} + arguments);
        QVERIFY(contents(report).startsWith(earlier));
        QStringList lines = QString::fromUtf8(contents(report).mid(earlier.size())).split(QLatin1Char('\n'));
        QCOMPARE(lines.takeLast(), QString());
        QStringList out = result.out.split(QLatin1Char('\n'));
        QCOMPARE(out.takeLast(), QString());
        lines.sort();
        out.sort();
        QCOMPARE(out, lines);
        QCOMPARE(result.status, status);
        QVERIFY2(result.err.contains(QLatin1String("BOOT v2.04")) == (status != 5), qPrintable(result.err));

        QStringList found;
        for (const QString &line : std::as_const(lines)) {
            const QJsonObject record = QJsonDocument::fromJson(line.toUtf8()).object();
            QCOMPARE(record.keys(), (QStringList{"bootloader", "bus", "device", "end", "file", "message", "outcome",
                                                 "seconds", "serial", "sha256", "start", "status"}));
            const bool touched = !record.value("serial").isNull();
            found << QStringLiteral("%1 %2 %3").arg(touched ? record.value("serial").toString() : "-",
                                                     record.value("outcome").toString())
                         .arg(record.value("status").toInt());
            QCOMPARE(record.value("bootloader").toString(), touched ? QStringLiteral("BOOT v2.04") : QString());
            QCOMPARE(record.value("bus").isString() && record.value("device").toInt() > 0, touched);
            QCOMPARE(record.value("file").toString(), QStringLiteral("fw.upg"));
            QCOMPARE(record.value("sha256").toString(), sha256);
            const QDateTime start = QDateTime::fromString(record.value("start").toString(), Qt::ISODateWithMs);
            const QDateTime end = QDateTime::fromString(record.value("end").toString(), Qt::ISODateWithMs);
            QVERIFY(start.isValid() && start.timeSpec() == Qt::UTC && start <= end && end.timeSpec() == Qt::UTC);
            QVERIFY(record.value("seconds").toDouble() >= 0);
            const QString message = record.value("message").toString();
            if (record.value("status").toInt() == 0)
                QCOMPARE(message, QStringLiteral("upgraded: the new application is running"));
            else
                QVERIFY2(!message.isEmpty() && result.err.contains(message), qPrintable(message));
        }
        found.sort();
        QCOMPARE(found, records);
        QVERIFY(QFile::remove(report) && QFile::remove(dir.filePath("fw.upg")));
    }

    // Two programs appending to one report at once: every line whole, none
    // missing.
    void reportShared()
    {
        QVERIFY(!writeRandomUpgradeFile(dir.filePath("fw.upg")).isEmpty());
        QList<std::shared_ptr<QProcess>> stations;
        for (int station = 0; station < 2; ++station) {
            sim::reset();
            for (int i = 1; i <= 4; ++i)
                sim::addDevice(0, numbered(4 * station + i, sim::Mode::Bootloader));
            const QString stationState = dir.filePath(QStringLiteral("station%1").arg(station));
            QVERIFY(sim::saveState(stationState));
            auto process = std::make_shared<QProcess>();
            QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
            environment.insert(QStringLiteral("VR480_SIM_STATE"), stationState);
            process->setProcessEnvironment(environment);
            process->setWorkingDirectory(dir.path());
            process->setStandardOutputFile(QProcess::nullDevice());
            stations << process;
        }
        for (const std::shared_ptr<QProcess> &process : std::as_const(stations))
            process->start(QStringLiteral(VR480_CLI), {"upgrade", "fw.upg", "--all", "--report", "shared.jsonl"});
        for (const std::shared_ptr<QProcess> &process : std::as_const(stations)) {
            QVERIFY(process->waitForFinished(120000));
            QCOMPARE(process->exitCode(), 0);
        }
        QStringList serials;
        const QList<QByteArray> lines = contents(dir.filePath("shared.jsonl")).split('\n');
        QCOMPARE(lines.last(), QByteArray());
        for (const QByteArray &line : lines.mid(0, lines.size() - 1)) {
            QJsonParseError error{};
            const QJsonDocument record = QJsonDocument::fromJson(line, &error);
            QVERIFY2(error.error == QJsonParseError::NoError, line.constData());
            serials << record.object().value("serial").toString();
        }
        serials.sort();
        QCOMPARE(serials, (QStringList{"VR4800001", "VR4800002", "VR4800003", "VR4800004", "VR4800005", "VR4800006",
                                       "VR4800007", "VR4800008"}));
        for (const char *name : {"shared.jsonl", "station0", "station1", "fw.upg"})
            QVERIFY(QFile::remove(dir.filePath(QLatin1String(name))));
    }

    // A report that cannot be opened fails the run at once, before any
    // device work (nothing on standard output); one that cannot be written
    // is said when it happens, the upgrade goes on, and the status is 4.
    void reportNotWritten_data()
    {
        SKIP_POSIX_SHELL();
        shellColumns();
        const QString upg = QStringLiteral("$CLI create-upg \"$FW\" -o fw.upg >/dev/null; ");
        QTest::newRow("folder missing") << upg + "$CLI upgrade fw.upg --report none/r.jsonl; echo $?" << QByteArray("4\n")
                                        << "none/r.jsonl: No such file or directory";
        QTest::newRow("a folder") << upg + "mkdir r; $CLI upgrade fw.upg --report r; echo $?" << QByteArray("4\n")
                                  << "r: Is a directory";
        QTest::newRow("FIFO without a reader") << upg + "mkfifo r; $CLI upgrade fw.upg --report r; echo $?" << QByteArray("4\n")
                                               << "r: No such device or address";
        QTest::newRow("the upgrade file") << upg + "$CLI upgrade fw.upg --report ./fw.upg; echo $?" << QByteArray("2\n")
                                          << "./fw.upg is also the input file";
        QTest::newRow("disk full") << upg + "{ $CLI upgrade fw.upg --report /dev/full; echo $? >status; } | tail -1; cat status"
                                   << QByteArray("Upgrade complete: the new application is running\n4\n")
                                   << "/dev/full: No space left on device: the record of VR4800001 is not in the report\n"
                                      "vr480-cli-sim: /dev/full: 1 record(s) not written";
        // 98 bytes below the file size limit: the record is cut, the next one
        // (no limit) starts a line of its own and is whole.
        QTest::newRow("record cut by a full file") << upg + "yes '{}' | head -c 51102 >r; (ulimit -f 100; $CLI upgrade "
                                                           "fw.upg --report r >/dev/null); echo $?; $CLI upgrade fw.upg "
                                                           "--report r >/dev/null; echo $?; wc -l <r; tail -n 2 r | "
                                                           "grep -c '^{\"serial\"[^{]*}$'"
                                                   << QByteArray("4\n0\n17036\n1\n")
                                                   << "r: File too large: the record of VR4800001 is not in the report";
    }
    void reportNotWritten() { shellCase(); }

    // A link on the way to the report is followed only when this user or
    // root owns it (the test's folder and links belong to uid 4242).
    void reportLinks_data()
    {
        SKIP_UNLESS_ROOT();
        shellColumns();
        const QString setup = QStringLiteral("$CLI create-upg \"$FW\" -o fw.upg >/dev/null; echo old >t; mkdir d; "
                                             "ln -s ../t d/r; ln -s d e; chown -h 4242 d/r e; chown 4242 d; ");
        QTest::newRow("another user's link") << setup + "$CLI upgrade fw.upg --report d/r; echo $?; cat t"
                                             << QByteArray("4\nold\n")
                                             << "d/r: the symbolic link d/r belongs to uid 4242, neither this user "
                                                "nor root: not followed";
        QTest::newRow("another user's link on the way") << setup + "$CLI upgrade fw.upg --report e/new; echo $?; ls d"
                                                        << QByteArray("4\nr\n") << "e/new: the symbolic link e belongs";
        QTest::newRow("own link") << setup + "chown -h 0 d/r; $CLI upgrade fw.upg --report d/r >/dev/null; echo $?; wc -l <t"
                                  << QByteArray("0\n2\n") << "";
    }
    void reportLinks() { shellCase(); }

    // list --json and info --json: one object per device, as the table says.
    void jsonDevices()
    {
        sim::addDevice(0, numbered(1));
        sim::addDevice(1, numbered(2, sim::Mode::Bootloader));
        const Result table = run({"list"});
        const Result list = run({"list", "--json"});
        QCOMPARE(list.status, 0);
        QStringList rows = table.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts).mid(1);
        QStringList objects = list.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        QCOMPARE(objects.size(), rows.size());
        for (int i = 0; i < rows.size(); ++i) {
            const QJsonObject device = QJsonDocument::fromJson(objects.at(i).toUtf8()).object();
            QCOMPARE(QStringList({device.value("bus").toString(),
                                  QStringLiteral("%1").arg(device.value("device").toInt(), 3, 10, QLatin1Char('0')),
                                  device.value("serial").toString(), device.value("mode").toString(),
                                  device.value("bootloader").toString()})
                         .join(' '),
                     rows.at(i).simplified());
            const Result info = run({"info", "--json", "--serial", device.value("serial").toString()});
            QCOMPARE(info.status, 0);
            QCOMPARE(info.out, objects.at(i) + QLatin1Char('\n'));
        }
    }

    // From a HEX build to the device running it: create-upg, then upgrade.
    void upgradeFromHex()
    {
        SKIP_WITHOUT_SRECORD();
        const QString hex = kFixtures + QStringLiteral("/firmware.hex");
        deviceHolding(randomUpgradeImage(1));
        QCOMPARE(run({"create-upg", hex, "-o", "fw.upg"}).status, 0);
        const Result result = run({"upgrade", "fw.upg"});
        QCOMPARE(result.status, 0);
        QVERIFY(result.err.isEmpty());

        const QByteArray image = expectedUpgradeImage(hex);
        QVERIFY(holds(device(), image));
        QCOMPARE(device().mode(), sim::Mode::Application);
        QCOMPARE(device().applicationStarts(), 1);

        // The worker's log with the progress as plain lines at each tenth.
        QStringList lines = result.out.split(QLatin1Char('\n'));
        QCOMPARE(lines.takeLast(), QString());
        const QStringList log = lines.filter(QRegularExpression(QStringLiteral("^(?!Flash|External flash)")));
        QCOMPARE(log, (QStringList{"fw.upg", "VR4800001", "BOOT v2.04", "Apllication mode", "Reset device",
                                   "Disconnect", "Connect", "Serial:VR4800001b", "Writting firmware ... ", "OK",
                                   "Writting External Flash ... ", "OK", "Verify External Flash ...  ", "OK",
                                   "Upgrade complete: the new application is running"}));
        QStringList tenths;
        for (int percent = 0; percent <= 100; percent += 10)
            tenths << QStringLiteral("Flash: %1%").arg(percent);
        QCOMPARE(lines.filter(QRegularExpression(QStringLiteral("^Flash"))), tenths);
        QCOMPARE(lines.filter(QStringLiteral("External flash write: ")).last(), QStringLiteral("External flash write: 100%"));
        QCOMPARE(lines.filter(QStringLiteral("External flash verify: ")).size(), 11);
    }

    void upgradeFailures_data()
    {
        QTest::addColumn<Setup>("setup");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("message");
        QTest::addColumn<bool>("bootloaderRunning");
        const auto withFault = [](sim::FaultRule rule) {
            return Setup([rule] {
                sim::addDevice(0, inMode(sim::Mode::Bootloader));
                sim::addFault(rule);
            });
        };
        QTest::newRow("no device") << Setup([] {}) << 5 << "no VR480 found" << false;
        QTest::newRow("no permission") << Setup([] {
            sim::DeviceConfig config = inMode(sim::Mode::Bootloader);
            config.denyAccess = true;
            sim::addDevice(0, config);
        }) << 5 << refusedDevice() << true;
        QTest::newRow("page write fails") << withFault({sim::Fault::Stall, 3, -1, 5}) << 1
                                          << "the upgrade failed: the write of page 6 of 120 (at 0x08006800) failed: "
                                             "the device may be left in its bootloader" << true;
        QTest::newRow("page stored wrong") << withFault({sim::Fault::Corrupt, 3, -1, 5}) << 1
                                           << "the upgrade failed: the verification of page 6 of 120" << true;
        // Nothing written: the device still runs what it ran, whatever went wrong on the way.
        const QString application = "nothing was written: the device still runs its application";
        const auto running = [](std::function<void(sim::DeviceConfig &)> change, std::optional<sim::FaultRule> rule) {
            return Setup([=] {
                sim::DeviceConfig config;
                change(config);
                sim::addDevice(0, config);
                if (rule)
                    sim::addFault(*rule);
            });
        };
        QTest::newRow("restart request lost") << running([](sim::DeviceConfig &) {}, sim::FaultRule{sim::Fault::Timeout, 4})
                                              << 1 << application << false;
        QTest::newRow("application never in its bootloader")
            << running([](sim::DeviceConfig &c) { c.comesBack = false; }, {}) << 1
            << "nothing was written: the device was told to restart into its bootloader and has not come back on "
               "the bus" << true;
        QTest::newRow("every page refused after the restart: back in its application")
            << running([](sim::DeviceConfig &) {}, sim::FaultRule{sim::Fault::Stall, 3, -1, 0, -1}) << 1
            << "nothing was written: the device refused the first page; it was restarted back into its "
               "application, which runs again" << false;
        // A twin of the device's serial turns up after the device was chosen
        // (scans: the choice, the first connection, the look for a twin after
        // it, the one before the final restart).
        const auto twin = [](int hiddenScans, sim::Mode mode) {
            return Setup([=] {
                sim::DeviceConfig config = inMode(mode);
                config.comesBack = false;
                sim::addDevice(0, config);
                sim::addDevice(0).hideForScans(hiddenScans);
            });
        };
        QTest::newRow("twin at the first connection") << twin(2, sim::Mode::Application) << 1
            << "nothing was written: another VR480 with the serial VR4800001 is attached, and the two cannot be "
               "told apart; the device still runs its application" << false;
        QTest::newRow("twin during the writes, the device never back")
            << twin(3, sim::Mode::Bootloader) << 1
            << "the firmware was written and verified and the application told to start, but another VR480 with "
               "the serial VR4800001 is attached, and the two cannot be told apart: its start is not proven" << false;
        QTest::newRow("bootloader with the application's serial")
            << running([](sim::DeviceConfig &c) { c.bootloaderSerial = c.applicationSerial; }, {}) << 1 << application
            << true;
        QTest::newRow("application with the bootloader's serial")
            << running([](sim::DeviceConfig &c) { c.applicationSerial = c.bootloaderSerial; }, {}) << 1
            << "nothing was written: the device refused the first page" << false;
        QTest::newRow("external flash differs") << withFault({sim::Fault::Corrupt, 6, -1, 3}) << 1
                                                << "the upgrade failed" << true;
        QTest::newRow("application refuses memory reads") << Setup([] {
            sim::addDevice(0);
            sim::addFault({sim::Fault::Stall, 1, -1, 0, -1});
        }) << 1 << "nothing was written: the device still runs its application (\"vr480-cli-sim restart\" starts its bootloader" << false;
        QTest::newRow("serial of an unknown form") << Setup([] {
            sim::DeviceConfig config;
            config.applicationSerial = "VR48";
            sim::addDevice(0, config);
        }) << 1 << "nothing was written: the device's serial VR48 names neither its application nor its bootloader" << false;
        QTest::newRow("application never back") << Setup([] {
            sim::DeviceConfig config = inMode(sim::Mode::Bootloader);
            config.comesBack = false;
            sim::addDevice(0, config);
        }) << 1 << "the firmware was written and verified, but the application did not come back within 10 s" << false;
    }

    void upgradeFailures()
    {
        QFETCH(Setup, setup);
        QFETCH(int, status);
        QFETCH(QString, message);
        QFETCH(bool, bootloaderRunning);
        setup();
        QVERIFY(!writeRandomUpgradeFile(dir.filePath("fw.upg")).isEmpty());
        const QByteArray before = sim::devices().isEmpty() ? QByteArray() : applicationIn(device());

        const Result result = run({"upgrade", "fw.upg"});
        QCOMPARE(result.status, status);
        QVERIFY2(result.err.startsWith(QStringLiteral("vr480-cli-sim: ") + message), qPrintable(result.err));
        if (!sim::devices().isEmpty()) {
            QCOMPARE(device().mode() == sim::Mode::Bootloader, bootloaderRunning);
            const bool untouched = message.startsWith("nothing was written");
            if (untouched)
                QVERIFY(applicationIn(device()) == before);
            const bool started = message.contains("restarted back") || !(bootloaderRunning || untouched);
            QCOMPARE(device().applicationStarts(), started ? 1 : 0);
        }
        for (const sim::Device *other : sim::devices().mid(1)) // a twin: never touched
            QVERIFY(other->restarts() == 0 && applicationIn(*other) == before);
    }

    // verify, backup and upgrade --backup on one device: what they say, the
    // files they leave, the device left in the firmware it was found running,
    // and nothing written but by the upgrade after its backup.
    void readBackCommands_data()
    {
        QTest::addColumn<sim::Mode>("mode");
        QTest::addColumn<bool>("holdsFile"); // else other firmware
        QTest::addColumn<std::optional<sim::FaultRule>>("fault");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QByteArray>("stopAt"); // SIGINT at this line of standard output
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("said"); // on standard output or error
        QTest::addColumn<QStringList>("files");
        const auto app = sim::Mode::Application;
        const auto boot = sim::Mode::Bootloader;
        const std::optional<sim::FaultRule> none;
        const QStringList verify{"verify", "fw.upg"};
        const QStringList backup{"backup", "-o", "old.upg"};
        const QStringList upgrade{"upgrade", "fw.upg", "--backup", "old.upg"};
        const QStringList both{"fw.upg", "old.upg"};
        QTest::newRow("verify matches") << app << true << none << verify << QByteArray() << 0
                                        << "Matches: the device holds the firmware of fw.upg" << QStringList{"fw.upg"};
        QTest::newRow("verify differs") << boot << false << none << verify << QByteArray() << 6
                                        << "the device does not hold the firmware of fw.upg: 120 of 120 pages and 0 "
                                           "external-flash ranges differ" << QStringList{"fw.upg"};
        const QStringList station{"station", "fw.upg", "--verify", "--count", "1"};
        QTest::newRow("station --verify, matches") << app << true << none << station << QByteArray() << 0
                                                   << "1 matching, 0 not matching" << QStringList{"fw.upg"};
        QTest::newRow("station --verify, differs") << boot << false << none << station << QByteArray() << 6
                                                   << "0 matching, 1 not matching" << QStringList{"fw.upg"};
        QTest::newRow("backup") << app << false << none << backup << QByteArray() << 0 << "Backup kept in old.upg"
                                << both;
        QTest::newRow("backup stopped") << app << false << none << backup << QByteArray("Flash: 10%") << 130
                                        << "interrupted" << QStringList{"fw.upg"};
        QTest::newRow("upgrade --backup") << app << false << none << upgrade << QByteArray() << 0
                                          << "Upgrade complete" << both;
        QTest::newRow("upgrade --backup, its read fails")
            << app << false << std::optional(sim::FaultRule{sim::Fault::Stall, 5, -1, 0, -1}) << upgrade
            << QByteArray() << 1 << "no backup was made: the read of the external flash failed"
            << QStringList{"fw.upg"};
    }

    void readBackCommands()
    {
        QFETCH(sim::Mode, mode);
        QFETCH(bool, holdsFile);
        QFETCH(std::optional<sim::FaultRule>, fault);
        QFETCH(QStringList, arguments);
        QFETCH(QByteArray, stopAt);
        QFETCH(QString, said);
        QTemporaryDir work;
        const QByteArray image = randomUpgradeImage(2);
        writeUpgradeFile(work.filePath("fw.upg"), image);
        const QByteArray application = applicationOf(image);
        sim::Device &unit = sim::addDevice(0, inMode(mode));
        const QByteArray before = holdsFile ? application : randomBytes(0x3C000, 9);
        unit.setFlash(MemoryMap::kApplicationAddress, before);
        unit.setExternalFlash(0, scrambledCopy(externalOf(image)));
        if (fault)
            sim::addFault(*fault);
        if (!stopAt.isEmpty())
            sim::setLatency(5000);
        QVERIFY(sim::saveState(state));

        QProcess process;
        start(process, arguments, work.path());
        if (!stopAt.isEmpty()) {
#ifdef Q_OS_UNIX
            QByteArray out;
            QTRY_VERIFY_WITH_TIMEOUT((out += process.readAllStandardOutput()).contains(stopAt), 60000);
            QCOMPARE(::kill(pid_t(process.processId()), SIGINT), 0);
#else
            QSKIP("sends SIGINT with kill()");
#endif
        }
        const Result result = finish(process);
        QVERIFY(sim::loadState(state));
        QTEST(result.status, "status");
        QVERIFY2((result.out + result.err).contains(said), qPrintable(result.err));
        QTEST(entries(work.path()), "files");
        QCOMPARE(device().mode(), mode);
        const bool upgraded = result.out.contains("Upgrade complete");
        QCOMPARE(applicationIn(device()), upgraded ? application : before);
        if (QFile::exists(work.filePath("old.upg")))
            QCOMPARE(imageOfUpgradeFile(work.filePath("old.upg")).mid(0x4000, 0x3C000), before);
    }

    // Ctrl+C (SIGINT) or SIGTERM during an upgrade: the run stops between
    // two transfers and says where: during the page writes the bootloader is
    // left running; while connecting, or waiting for the bootloader, no
    // time-out is reported.
    void interruptedUpgrade_data()
    {
#if !VR480_TEST_POSIX
        QSKIP("sends POSIX signals (SIGINT, SIGTERM, SIGHUP) with kill()");
#else
        QTest::addColumn<int>("signal");
        QTest::addColumn<Setup>("setup");
        QTest::addColumn<QByteArray>("when"); // a line of standard output
        QTest::addColumn<QString>("message");
        QTest::addColumn<QStringList>("options");
        const Setup bootloader = [] {
            sim::addDevice(0, inMode(sim::Mode::Bootloader));
            sim::setLatency(5000);
        };
        QTest::newRow("SIGINT while writing") << SIGINT << bootloader << QByteArray("Flash: 10%") << incomplete()
                                              << QStringList();
        QTest::newRow("SIGTERM while writing") << SIGTERM << bootloader << QByteArray("Flash: 10%") << incomplete()
                                               << QStringList();
        QTest::newRow("SIGHUP while writing") << SIGHUP << bootloader << QByteArray("Flash: 10%") << incomplete()
                                              << QStringList();
        QTest::newRow("SIGINT while connecting") << SIGINT << Setup([] {
            sim::DeviceConfig config;
            config.brandId = 7; // never accepted: connecting is tried again and again
            sim::addDevice(0, config);
            sim::setLatency(300000);
        }) << QByteArray("Flash: 0%") << "interrupted: nothing was written" << QStringList();
        QTest::newRow("SIGTERM while waiting for the bootloader") << SIGTERM << Setup([] {
            sim::DeviceConfig config;
            config.comesBack = false;
            sim::addDevice(0, config);
        }) << QByteArray("Reset device") << incomplete() << QStringList();
        QTest::newRow("SIGINT, two devices while writing") << SIGINT << Setup([] {
            sim::addDevice(0, numbered(1, sim::Mode::Bootloader));
            sim::addDevice(0, numbered(2, sim::Mode::Bootloader));
            sim::setLatency(5000);
        }) << QByteArray("Flash: 10%") << "interrupted: 2 of 2 VR480 not upgraded" << QStringList{"--all"};
#endif
    }

    void interruptedUpgrade()
    {
#if VR480_TEST_POSIX
        QFETCH(int, signal);
        QFETCH(Setup, setup);
        QFETCH(QByteArray, when);
        QFETCH(QString, message);
        QFETCH(QStringList, options);
        setup();
        QFile file(dir.filePath("fw.upg"));
        QVERIFY(file.open(QIODevice::WriteOnly) && UpgradeFile::write(file, QByteArray(UpgradeFile::kImageSize, '\0')));
        file.close();
        QVERIFY(sim::saveState(state));

        QProcess process;
        start(process, QStringList{"upgrade", "fw.upg", "--report", "stopped.jsonl"} + options);
        QByteArray out;
        QTRY_VERIFY_WITH_TIMEOUT((out += process.readAllStandardOutput()).contains(when), 60000);
        QCOMPARE(::kill(pid_t(process.processId()), signal), 0);
        const Result result = finish(process);
        QVERIFY(sim::loadState(state));
        out += result.out.toLocal8Bit();

        QCOMPARE(result.status, 130);
        QVERIFY2(result.err.startsWith("vr480-cli-sim: " + message), qPrintable(result.err));
        QVERIFY(!out.contains("USB Timeout") && !out.contains("USB timout"));
        QVERIFY(!out.contains("Flash: 100%"));
        // Every run stopped has its record.
        QStringList outcomes;
        for (const QByteArray &line : contents(dir.filePath("stopped.jsonl")).split('\n'))
            if (!line.isEmpty())
                outcomes << QJsonDocument::fromJson(line).object().value("outcome").toString();
        QCOMPARE(outcomes, QStringList(sim::devices().size(), QStringLiteral("interrupted")));
        QVERIFY(QFile::remove(dir.filePath("stopped.jsonl")));
        for (const sim::Device *d : sim::devices()) {
            QCOMPARE(d->applicationStarts(), 0);
            if (when == "Flash: 0%")
                QCOMPARE(d->restarts(), 0); // never connected
            else
                QCOMPARE(d->mode(), sim::Mode::Bootloader);
        }
#endif
    }

    // The station on two devices that upgrade: a stop signal takes no new
    // device and lets the running upgrades end; a second one stops them.
    // Either way one record per unit.
    void stationStopped_data()
    {
#if !VR480_TEST_POSIX
        QSKIP("sends POSIX signals (SIGINT, SIGHUP) with kill()");
#else
        QTest::addColumn<QList<int>>("stops"); // the signals sent
        QTest::addColumn<int>("status");
        QTest::addColumn<int>("upgraded");
        QTest::addColumn<QString>("outcome"); // of each record
        QTest::newRow("SIGINT: upgrades end") << QList<int>{SIGINT} << 0 << 2 << "upgraded";
        QTest::newRow("SIGHUP, SIGINT: upgrades stopped") << QList<int>{SIGHUP, SIGINT} << 130 << 0 << "interrupted";
#endif
    }

    void stationStopped()
    {
#if VR480_TEST_POSIX
        QFETCH(QList<int>, stops);
        QFETCH(int, status);
        QFETCH(int, upgraded);
        QFETCH(QString, outcome);
        sim::addDevice(0, numbered(1, sim::Mode::Bootloader));
        sim::addDevice(0, numbered(2, sim::Mode::Bootloader));
        sim::setLatency(5000);
        QVERIFY(!writeRandomUpgradeFile(dir.filePath("fw.upg")).isEmpty());
        QVERIFY(sim::saveState(state));
        QFile::remove(dir.filePath("units.jsonl"));

        QProcess process;
        start(process, {"station", "fw.upg", "--report", "units.jsonl"});
        QByteArray out;
        QTRY_VERIFY_WITH_TIMEOUT((out += process.readAllStandardOutput()).contains("VR4800002: Flash: 10%"), 60000);
        for (const int signal : stops)
            QCOMPARE(::kill(pid_t(process.processId()), signal), 0);
        const Result result = finish(process);
        QVERIFY(sim::loadState(state));
        out += result.out.toLocal8Bit();

        QCOMPARE(result.status, status);
        QVERIFY2(out.endsWith(QStringLiteral("%1 upgraded, %2 failed\n").arg(upgraded).arg(2 - upgraded).toLatin1()),
                 out.right(300).constData());
        for (const sim::Device *d : sim::devices())
            QCOMPARE(d->applicationStarts(), upgraded / 2);
        if (status != 0)
            QVERIFY2(result.err.startsWith("vr480-cli-sim: interrupted: 2 of 2 VR480 not upgraded"),
                     qPrintable(result.err));
        QStringList records;
        for (const QByteArray &line : contents(dir.filePath("units.jsonl")).split('\n')) {
            const QJsonObject record = QJsonDocument::fromJson(line).object();
            if (!line.isEmpty())
                records << record.value("serial").toString() + ' ' + record.value("outcome").toString();
        }
        records.sort();
        QCOMPARE(records, QStringList({"VR4800001 " + outcome, "VR4800002 " + outcome}));
#endif
    }

    // The system around an upgrade misbehaves: standard output a pipe whose
    // reader is gone before the first line (every write fails, none kills the
    // run), or too few file descriptors for the workers (refused before any
    // device is written).
    void hostileSystem_data()
    {
        SKIP_ON_WINDOWS("a pipe without reader and a descriptor limit (RLIMIT_NOFILE) set up in the child: POSIX");
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<int>("devices");
        QTest::addColumn<bool>("readerGone");
        QTest::addColumn<int>("fileLimit"); // 0: none
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("message");
        const QString lost = "standard output: Broken pipe: the log was lost";
        QTest::newRow("reader gone") << QStringList() << 1 << true << 0 << 0 << lost;
        QTest::newRow("reader gone, --all") << QStringList{"--all"} << 2 << true << 0 << 0 << lost;
#ifndef __SANITIZE_ADDRESS__ // whose own checks of memory need descriptors (a pipe)
        QTest::newRow("8 descriptors, --all") << QStringList{"--all"} << 3 << false << 8 << 1
                                              << "cannot work on 3 VR480 at once: Too many open files";
#endif
    }

    void hostileSystem()
    {
#if VR480_TEST_POSIX
        QFETCH(QStringList, options);
        QFETCH(int, devices);
        QFETCH(bool, readerGone);
        QFETCH(int, fileLimit);
        QFETCH(int, status);
        QFETCH(QString, message);
        for (int i = 1; i <= devices; ++i)
            sim::addDevice(0, numbered(i));
        const QByteArray application = writeRandomUpgradeFile(dir.filePath("fw.upg"));
        int out[2];
        QCOMPARE(::pipe(out), 0);
        ::close(out[0]);
        QVERIFY(sim::saveState(state));

        QProcess process;
        process.setChildProcessModifier([=] {
            if (readerGone)
                ::dup2(out[1], STDOUT_FILENO);
            const rlimit limit{rlim_t(fileLimit), rlim_t(fileLimit)};
            if (fileLimit > 0)
                ::setrlimit(RLIMIT_NOFILE, &limit);
        });
        start(process, QStringList{"upgrade", "fw.upg"} + options);
        ::close(out[1]);
        const Result result = finish(process);
        QVERIFY(sim::loadState(state));

        QCOMPARE(result.status, status);
        QVERIFY2(result.err.contains(message), qPrintable(result.err));
        for (const sim::Device *d : sim::devices()) {
            QCOMPARE(d->applicationStarts(), status == 0 ? 1 : 0);
            QCOMPARE(applicationIn(*d) == application, status == 0);
        }
#endif
    }

    // Text from the device (serial, bootloader version) and the file's name
    // reach the terminal escaped: one device stays one line of list.
    void deviceTextEscaped_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QStringList>("expected"); // lines of standard output
        const QString serial = "VR\\x1b[2J\\x0a01";
        const QString version = "B\\x07\\x1b]0;x\\x07\\x0d";
        QTest::newRow("list") << QStringList{"list"}
                              << QStringList{"001  001     " + serial + "  application  " + version};
        QTest::newRow("info") << QStringList{"info"}
                              << QStringList{"Serial: " + serial, "Mode: application", "Bootloader version: " + version};
        QTest::newRow("upgrade") << QStringList{"upgrade", "fw.upg"}
                                 << QStringList{serial, version, "Serial:" + serial + "b"};
        QTest::newRow("upgrade, the file named") << QStringList{"upgrade", "f\x7f\xc2\x9bw.upg"}
                                                 << QStringList{"f\\x7f\\x9bw.upg", serial};
    }

    void deviceTextEscaped()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QStringList, expected);
        sim::DeviceConfig config;
        config.applicationSerial = "VR\x1b[2J\n01";
        config.bootloaderSerial = config.applicationSerial + 'b';
        config.bootloaderVersion = "B\a\x1b]0;x\a\r";
        sim::addDevice(0, config);
        QVERIFY(!writeRandomUpgradeFile(dir.filePath(arguments.value(1, "fw.upg"))).isEmpty());

        const Result result = run(arguments);
        QCOMPARE(result.status, 0);
        QVERIFY(!result.out.contains(QRegularExpression(QStringLiteral("[\\x00-\\x09\\x0b-\\x1f\\x7f]"))));
        const QStringList lines = result.out.split(QLatin1Char('\n'));
        for (const QString &line : expected)
            QVERIFY2(lines.contains(line), qPrintable(line + "\n" + result.out));
        if (arguments.first() == "list")
            QCOMPARE(lines.size(), 3);
    }

    // The same signals end commands that only read and write files, also
    // while a read waits for a FIFO's writer: status 130, nothing written.
    void interruptedFileCommands_data()
    {
#if !VR480_TEST_POSIX
        QSKIP("FIFOs and POSIX signals");
#else
        QTest::addColumn<int>("signal");
        QTest::addColumn<QStringList>("arguments");
        const QString bootloader = kFixtures + "/bootloader.hex";
        QTest::newRow("long production run") << SIGTERM << QStringList{"create-bootbin", bootloader, "--number", "1", "--count", "9998"};
        QTest::newRow("create-upg from a FIFO") << SIGINT << QStringList{"create-upg", "fifo", "-o", "x.upg"};
        QTest::newRow("hex2bin from a FIFO") << SIGTERM << QStringList{"hex2bin", "fifo", "--first", "0", "--last", "1", "-o", "x.bin"};
        QTest::newRow("upgrade from a FIFO") << SIGINT << QStringList{"upgrade", "fifo"};
        QTest::newRow("write-ext from a FIFO") << SIGTERM << QStringList{"write-ext", "fifo"};
#endif
    }

    void interruptedFileCommands()
    {
#if VR480_TEST_POSIX
        QFETCH(int, signal);
        QFETCH(QStringList, arguments);
        sim::addDevice(0, inMode(sim::Mode::Bootloader));
        QVERIFY(sim::saveState(state));
        QTemporaryDir work;
        const QByteArray fifo = QFile::encodeName(work.filePath("fifo"));
        QCOMPARE(mkfifo(fifo.constData(), 0600), 0);

        QProcess process;
        start(process, arguments, work.path());
        // Running: the first image staged, or the FIFO open for reading (a
        // writer can open it only then), the writer then kept silent.
        int writer = -1;
        if (arguments.first() == "create-bootbin")
            QTRY_VERIFY_WITH_TIMEOUT(!entries(work.path()).isEmpty(), 60000);
        else
            QTRY_VERIFY_WITH_TIMEOUT((writer = ::open(fifo.constData(), O_WRONLY | O_NONBLOCK)) >= 0, 60000);
        QCOMPARE(::kill(pid_t(process.processId()), signal), 0);
        const Result result = finish(process);
        if (writer >= 0)
            ::close(writer);
        QVERIFY(sim::loadState(state));

        QCOMPARE(result.status, 130);
        QVERIFY2(result.err.startsWith("vr480-cli-sim: interrupted"), qPrintable(result.err));
        QCOMPARE(entries(work.path()), QStringList()); // files only: the FIFO is not listed
        QCOMPARE(sim::controlTransferCount(), 0);
#endif
    }

    // Standard input is read once: a HEX build and an upgrade file through pipes.
    void pipes()
    {
        SKIP_WITHOUT_SRECORD();
        const QString hex = kFixtures + "/firmware.hex";
        sim::addDevice(0);
        QVERIFY(sim::saveState(state));
        QProcess create;
        start(create, {"create-upg", "/dev/stdin", "-o", "pipe.upg"});
        create.write(contents(hex));
        create.closeWriteChannel();
        QCOMPARE(finish(create).status, 0);
        const QByteArray image = expectedUpgradeImage(hex);
        QVERIFY(imageOfUpgradeFile(dir.filePath("pipe.upg")) == image);

        QProcess upgrade;
        start(upgrade, {"upgrade", "/dev/stdin"});
        upgrade.write(contents(dir.filePath("pipe.upg")));
        upgrade.closeWriteChannel();
        const Result result = finish(upgrade);
        QVERIFY(sim::loadState(state));
        QCOMPARE(result.status, 0);
        QVERIFY(applicationIn(device()) == applicationOf(image));

        // Several devices from one pipe: it is read once, for all of them.
        sim::addDevice(0, numbered(2));
        QVERIFY(sim::saveState(state));
        QProcess several;
        start(several, {"upgrade", "/dev/stdin", "--all"});
        several.write(contents(dir.filePath("pipe.upg")));
        several.closeWriteChannel();
        QCOMPARE(finish(several).status, 0);
        QVERIFY(sim::loadState(state));
        for (const sim::Device *d : sim::devices()) {
            QCOMPARE(d->applicationStarts(), d->id() == 0 ? 2 : 1);
            QVERIFY(applicationIn(*d) == applicationOf(image));
        }
    }

    // An output that is not a regular file is written into, never replaced;
    // "-" is standard output.
    void specialOutputs()
    {
        const QString hex = kFixtures + "/firmware.hex";
        const QStringList window{"hex2bin", hex, "--first", "0x08004000", "--last", "0x080040ff", "-o"};
        if (!kOnWindows) { // which has no /dev/null
            QCOMPARE(run(window + QStringList{"/dev/null"}).status, 0);
            QVERIFY(QFileInfo("/dev/null").exists() && !QFileInfo("/dev/null").isFile());
        }
        SKIP_WITHOUT_SRECORD();
        QProcess process;
        start(process, window + QStringList{"-"});
        QVERIFY(process.waitForFinished());
        QCOMPARE(process.exitCode(), 0);
        QCOMPARE(process.readAllStandardOutput(), srecordWindow(hex, 0x08004000, 0x080040ff, 0));
    }

    // Output names: bytes as given, links that lead nowhere, the longest names.
    void outputNames_data()
    {
        SKIP_POSIX_SHELL();
        shellColumns();
        QTest::newRow("names not UTF-8")
            << R"sh(cp "$FW" "$(printf 'fw\351')" && $CLI create-upg "$(printf 'fw\351')" -o "$(printf 'fw\351.upg')"; echo $?; ls -A)sh"
            << QByteArray("fw\xe9.upg\n0\nfw\xe9\nfw\xe9.upg\n") << "";
        // A name printed is one line: control characters escaped, a C1 byte too.
        QTest::newRow("names with control characters")
            << R"sh(mkdir "$(printf 'd\ne')" && $CLI create-upg "$FW" -o "$(printf 'a\nb.upg')" && )sh"
               R"sh($CLI create-upg "$FW" -o "$(printf 'c\233\351.upg')" && )sh"
               R"sh($CLI create-bootbin "$(dirname "$FW")/bootloader.hex" --number 1 --year 26 --week 1 --dir "$(printf 'd\ne')")sh"
            << QByteArray("a\\x0ab.upg\nc\\x9b\xe9.upg\nd\\x0ae/Vr480_Bootloader_260100001.bin\n") << "";
        // In a record, a name not UTF-8 is its bytes: no lone surrogate escape, which strict parsers refuse.
        QTest::newRow("record of a name not UTF-8")
            << R"sh(n=$(printf 'lat\351.upg'); $CLI create-upg "$FW" -o "$n" >/dev/null; $CLI upgrade "$n" --json >r 2>/dev/null; )sh"
               "grep -o '\"file\":[^\"]*' r; iconv -f UTF-8 -t UTF-8 r >/dev/null && ! grep -q '\\\\u[dD][89abAB]' r && echo strict"
            << QByteArray("\"file\":[108,97,116,233,46,117,112,103],\nstrict\n") << "";
        QTest::newRow("name of 250 bytes") << R"sh($CLI create-upg "$FW" -o $(printf '%0250d' 0) >/dev/null; echo $?; ls -A | wc -c)sh"
                                           << QByteArray("0\n251\n") << "";
        QTest::newRow("link to nothing") << R"sh(ln -s none x.upg; $CLI create-upg "$FW" -o x.upg; echo $?)sh"
                                         << QByteArray("4\n") << "x.upg: is a link to a file that does not exist";
        QTest::newRow("loop of links") << R"sh(ln -s x.upg x.upg; $CLI create-upg "$FW" -o x.upg; echo $?)sh"
                                       << QByteArray("4\n") << "x.upg: Too many levels of symbolic links";
    }
    void outputNames() { shellCase(); }

    // Limits on file size and memory: a message and a status, no temporary left.
    void resourceLimits_data()
    {
        SKIP_POSIX_SHELL();
        shellColumns();
        const QString tooLarge = QStringLiteral("x.bin: File too large");
        QTest::newRow("create-upg") << R"sh(ulimit -f 100; $CLI create-upg "$FW" -o x.bin; echo $?; ls -A)sh"
                                    << QByteArray("4\n") << tooLarge;
        QTest::newRow("hex2bin") << R"sh(ulimit -f 100; $CLI hex2bin "$FW" --first 8000000 --last 805ffff -o x.bin; echo $?; ls -A)sh"
                                 << QByteArray("4\n") << tooLarge;
        QTest::newRow("read-mem") << R"sh(ulimit -f 100; $CLI read-mem 8000000 200000 -o x.bin; echo $?; ls -A)sh"
                                  << QByteArray("4\n") << tooLarge;
#ifndef __SANITIZE_ADDRESS__ // which reserves far more address space
        QTest::newRow("hex2bin window of 256 MiB")
            << R"sh(ulimit -v 200000; $CLI hex2bin "$FW" --first 0 --last 0x0FFFFFFF -o x.bin; echo $?; ls -A)sh"
            << QByteArray("4\n") << "x.bin: not enough memory for a window of 268435456 bytes";
#endif
    }
    void resourceLimits() { shellCase(); }

    // Standard output that cannot be written fails every command.
    void outputErrors_data()
    {
        SKIP_POSIX_SHELL();
        shellColumns();
        for (const char *command : {"--help", "info", "list", "read-mem 8000000 4096", "create-upg \"$FW\" -o x.upg"})
            QTest::newRow(command) << QStringLiteral("$CLI %1 >/dev/full; echo $?").arg(command) << QByteArray("4\n")
                                   << "standard output: No space left on device";
        // The files of a command that fails so are not left in place.
        for (const char *command : {"create-upg \"$FW\" -o x.upg",
                                    "create-bootbin \"${FW%/*}/bootloader.hex\" --number 1 --count 2 --dir .",
                                    "hex2bin \"$FW\" --first 8004000 --last 80040ff -o x.bin",
                                    "read-mem 8000000 4096 -o x.bin"})
            QTest::addRow("%s, nothing left", command)
                << QStringLiteral("$CLI %1 >/dev/full; echo $?; ls -A").arg(command) << QByteArray("4\n")
                << "standard output: No space left on device: nothing was written";
    }
    void outputErrors() { shellCase(); }

    // Started with standard streams closed: no file the program opens takes
    // their place (and its lines), and the command succeeds.
    void closedStreams_data()
    {
        SKIP_POSIX_SHELL();
        shellColumns();
        const QString upg = QStringLiteral("$CLI create-upg \"$FW\" -o fw.upg >/dev/null; ");
        QTest::newRow("create-upg") << upg + "$CLI -v create-upg \"$FW\" -o o.upg <&- >&- 2>&-; echo $?; cmp fw.upg o.upg"
                                    << QByteArray("0\n") << "";
        QTest::newRow("upgrade --report") << upg + "$CLI -v upgrade fw.upg --report r <&- >&- 2>&-; echo $?; wc -l <r"
                                          << QByteArray("0\n1\n") << "";
        QTest::newRow("station --report") << upg + "$CLI -v station fw.upg --count 1 --report r <&- >&- 2>&-; echo $?; wc -l <r"
                                          << QByteArray("0\n1\n") << "";
    }
    void closedStreams() { shellCase(); }

    // A damaged file is refused (see refused()), or written on request.
    void ignoreChecksum()
    {
        sim::addDevice(0, inMode(sim::Mode::Bootloader));
        QByteArray file = upgradeFile(QByteArray(UpgradeFile::kImageSize, '\0'));
        file[66 + 0x5000] = char(file[66 + 0x5000] ^ 1);
        QFile upg(dir.filePath("damaged.upg"));
        QVERIFY(upg.open(QIODevice::WriteOnly) && upg.write(file) == file.size());
        upg.close();
        QCOMPARE(run({"upgrade", "damaged.upg", "--ignore-checksum"}).status, 0);
        QByteArray payload = file.mid(66);
        decodeData(payload.data(), int(payload.size()));
        QVERIFY(applicationIn(device()) == applicationOf(payload));
    }

    // Two demo programs on one state file: the second waits for the first.
    void stateFileLocked()
    {
        sim::addDevice(0);
        QVERIFY(sim::saveState(state));
        QLockFile lock(state + ".lock");
        lock.setStaleLockTime(0);
        QVERIFY(lock.tryLock());
        QProcess process;
        start(process, {"info"});
        QByteArray err;
        QTRY_VERIFY_WITH_TIMEOUT((err += process.readAllStandardError()).contains("Waiting for"), 60000);
        QVERIFY(process.state() == QProcess::Running);
        lock.unlock();
        QCOMPARE(finish(process).status, 0);
    }

    void readCommands()
    {
        sim::Device &before = sim::addDevice(0, inMode(sim::Mode::Bootloader));
        const QByteArray memory = randomBytes(5000, 3);
        const QByteArray external = randomBytes(3000, 4);
        before.setFlash(0x08010000, memory);
        before.setExternalFlash(0x1000, scrambledCopy(external));

        Result result = run({"read-mem", "0x08010000", "5000", "-o", "mem.bin"});
        QCOMPARE(result.status, 0);
        QCOMPARE(result.out, QStringLiteral("mem.bin\n"));
        QVERIFY(contents(dir.filePath("mem.bin")) == memory);

        result = run({"read-ext", "1000", "3000", "--output", "ext.bin"});
        QCOMPARE(result.status, 0);
        QVERIFY(contents(dir.filePath("ext.bin")) == external);

        // The dump, as the window shows it (after its line with the buffer's address).
        result = run({"read-ext", "0x1000", "40"});
        QCOMPARE(result.status, 0);
        const QByteArray dump = HexDump(external.constData(), 40);
        QCOMPARE(result.out.section(QLatin1Char('\n'), 2), QString::fromLatin1(dump.mid(dump.indexOf('\n', 1) + 1)) + '\n');

        // A read failing half-way leaves no file.
        sim::addFault({sim::Fault::Timeout, 5, -1, 2, -1});
        result = run({"read-ext", "0", "4096", "-o", "fail.bin"});
        QCOMPARE(result.status, 1);
        QCOMPARE(result.err, QStringLiteral("vr480-cli-sim: reading 4096 bytes at 0x0 failed\n"));
        QVERIFY(!entries(dir.path()).join(' ').contains(QLatin1String("fail.bin")));
    }

    void writeExt_data()
    {
        QTest::addColumn<int>("size");
        QTest::addColumn<sim::Mode>("mode");
        QTest::addColumn<std::optional<sim::FaultRule>>("fault");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("err");
        QTest::newRow("written") << 1000 << sim::Mode::Bootloader << std::optional<sim::FaultRule>() << 0 << "";
        QTest::newRow("length not aligned") << 6 << sim::Mode::Bootloader << std::optional<sim::FaultRule>() << 3
                                            << "%f: 6 bytes: an external-flash image is a non-empty multiple of 4 bytes, at most 2097152";
        QTest::newRow("application running") << 8 << sim::Mode::Application << std::optional<sim::FaultRule>() << 1
                                             << "writing the external flash failed (the device runs its application; "
                                                "\"vr480-cli-sim restart\" starts its bootloader)";
        QTest::newRow("stored wrong") << 1000 << sim::Mode::Bootloader
                                      << std::optional<sim::FaultRule>(sim::FaultRule{sim::Fault::Corrupt, 6, -1, 2})
                                      << 1 << "the external flash does not hold what was written";
    }

    void writeExt()
    {
        QFETCH(int, size);
        QFETCH(sim::Mode, mode);
        QFETCH(std::optional<sim::FaultRule>, fault);
        QFETCH(int, status);
        QFETCH(QString, err);
        sim::addDevice(0, inMode(mode));
        if (fault)
            sim::addFault(*fault);
        const QByteArray image = randomBytes(size, 5);
        const QString path = dir.filePath("ext.bin");
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(image) == size);
        file.close();

        const Result result = run({"write-ext", path});
        QCOMPARE(result.status, status);
        err.replace(QStringLiteral("%f"), path);
        QCOMPARE(result.err, err.isEmpty() ? QString() : QStringLiteral("vr480-cli-sim: ") + err + '\n');
        if (status == 0) {
            QVERIFY(device().externalFlash(0, size) == scrambledCopy(image));
            QCOMPARE(result.out, QStringLiteral("Writing: 25%\nWriting: 51%\nWriting: 76%\nWriting: 100%\n"
                                                "Verifying: 51%\nVerifying: 100%\n"
                                                "Written and verified: 1000 bytes at external-flash address 0\n"));
        }
    }

    void restart()
    {
        sim::addDevice(0);
        Result result = run({"restart"});
        QCOMPARE(result.status, 0);
        QCOMPARE(result.out, QStringLiteral("Mode: application, restarting\nMode: bootloader\nSerial: VR4800001b\n"));
        QCOMPARE(device().mode(), sim::Mode::Bootloader);
        result = run({"restart"});
        QCOMPARE(result.status, 0);
        QCOMPARE(result.out, QStringLiteral("Mode: bootloader, restarting\nMode: application\nSerial: VR4800001\n"));
        QCOMPARE(device().applicationStarts(), 1);
    }

    // On a terminal the progress is a bar redrawn in place.
    void progressBarOnATerminal()
    {
        SKIP_ON_WINDOWS("a pseudo-terminal made by script (util-linux): POSIX");
        const QString script = QStandardPaths::findExecutable(QStringLiteral("script"));
        if (script.isEmpty())
            QSKIP("script (util-linux) is not installed");
        if (QProcess::execute(script, {"-qec", "true", "/dev/null"}) != 0)
            QSKIP("script cannot open a pseudo-terminal here (is /dev/pts mounted?)");
        sim::addDevice(0, inMode(sim::Mode::Bootloader));
        QFile file(dir.filePath("ext.bin"));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(QByteArray(2048, 'x')) == 2048);
        file.close();
        QVERIFY(sim::saveState(state));
        QProcess process;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("VR480_SIM_STATE"), state);
        process.setProcessEnvironment(environment);
        process.setWorkingDirectory(dir.path());
        process.start(script, {"-qec", QStringLiteral(VR480_CLI " write-ext ext.bin"), "/dev/null"});
        const Result result = finish(process);
        QCOMPARE(result.status, 0);
        QVERIFY2(result.out.contains(QStringLiteral("\r\033[KWriting [%1]  50%").arg(QString(20, '#') + QString(20, '.'))),
                 qPrintable(result.out));
        QVERIFY(result.out.contains(QStringLiteral("\r\033[KVerifying [%1] 100%\r\n").arg(QString(40, '#'))));
        QVERIFY(!result.out.contains(QLatin1String("Writing: ")));

        // Several devices: one line each, redrawn in place, then the summary.
        sim::reset();
        sim::addDevice(0, numbered(1, sim::Mode::Bootloader));
        sim::addDevice(0, numbered(2, sim::Mode::Bootloader));
        QVERIFY(!writeRandomUpgradeFile(dir.filePath("fw.upg")).isEmpty());
        QVERIFY(sim::saveState(state));
        process.start(script, {"-qec", QStringLiteral(VR480_CLI " upgrade fw.upg --all"), "/dev/null"});
        const Result several = finish(process);
        QCOMPARE(several.status, 0);
        const QString done = QStringLiteral("\r\033[KVR480000%1  [") + QString(20, '#') + QStringLiteral("] 100%  OK\r\n");
        QVERIFY2(several.out.contains(QStringLiteral("\033[2A") + done.arg(1) + done.arg(2) + QStringLiteral("SERIAL")),
                 qPrintable(several.out.right(400)));
        QVERIFY(!several.out.contains(QLatin1String("VR4800001: ")));
    }
};

QTEST_GUILESS_MAIN(TestCli)
#include "tst_cli.moc"
